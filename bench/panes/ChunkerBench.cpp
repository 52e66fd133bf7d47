// What cutting a run of agent output into chunks costs on hostile text, each
// figure printed beside its target (CPU time of the thread, the median of
// three tries): runs of 64 KiB whose paragraphs hold markup that nothing
// closes (emphasis openers "*", "_" and "**" as in glob lists, "[" and "](",
// backtick strings of varied lengths), markup closed in reverse far below,
// code spans chained over the whole run from a backtick string left open
// (each line's code closes the span before and opens the next), and
// ordinary mixed prose as a control. For each: the whole text cut at
// once, the same text appended line by line to one chunker (as a transcript
// takes in a streaming answer), and its inline Markdown read whole.
#include "../BenchTiming.h"
#include "ui/panes/InlineMarkdown.h"
#include "ui/panes/RunChunks.h"

#include <QString>
#include <QStringList>
#include <cstdio>
#include <functional>
#include <vector>

using namespace nerim;
using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype kRunSize = 64 * 1024;
constexpr double kTargetMs = 50;

// `pattern` repeated, line by line, until the run holds kRunSize characters.
QStringList repeated(const QStringList &pattern, qsizetype size = kRunSize)
{
    QStringList lines;
    qsizetype length = 0;
    for (qsizetype i = 0; length < size; ++i) {
        lines.append(pattern.at(i % pattern.size()));
        length += lines.last().size() + 1;
    }
    return lines;
}

double medianMs(const std::function<void()> &work)
{
    std::vector<double> times;
    for (int i = 0; i < 3; ++i) {
        const double start = bench::threadCpuMs();
        work();
        times.push_back(bench::threadCpuMs() - start);
    }
    return bench::percentile(times, 0.5);
}

bool report(const QString &what, double ms)
{
    const bool met = ms <= kTargetMs;
    std::printf("%-66s %9.2f ms  target %.0f ms  %s\n", qPrintable(what), ms, kTargetMs, met ? "met" : "MISSED");
    return met;
}

} // namespace

int main()
{
    nerim::bench::printLoadOnce();
    QStringList ticks;
    for (int i = 0; i < 99; ++i)
        ticks.append(QString(1 + i % 9, u'`') + u" a "_s + QString(1 + (i * 7) % 11, u'`'));
    QStringList reversed = repeated({u"*.js"_s, u"_tmp"_s}, kRunSize / 2);
    reversed += repeated({u"x*"_s, u"y_"_s}, kRunSize / 2);
    QString longLine;
    while (longLine.size() < kRunSize)
        longLine += u"*a _b [c `d "_s;

    const struct {
        const char *what;
        QStringList lines;
    } runs[] = {
        {"glob lines (*.js, *.ts)", repeated({u"*.js"_s, u"*.ts"_s, u"src/*.tsx"_s})},
        {"underscore openers (_tmp)", repeated({u"_tmp"_s, u"_cache/"_s})},
        {"strong openers (**/dist)", repeated({u"**/dist"_s, u"**/build"_s})},
        {"openers, then closers in reverse", reversed},
        {"\"one*\" / \"two **three\"", repeated({u"one*"_s, u"two **three"_s})},
        {"brackets and link tails ([a, ](x)", repeated({u"[a"_s, u"]("_s, u"[b"_s, u"[c"_s, u"](x"_s})},
        {"open brackets ([)", repeated({u"["_s, u"see [this"_s})},
        {"brackets and link tails after a line of prose",
         QStringList{u"Results:"_s} + repeated({u"[a"_s, u"]("_s, u"[b"_s, u"[c"_s, u"](x"_s})},
        {"code spans chained from an open backtick",
         QStringList{u"open [ and ` here"_s} + repeated({u"word `code` x"_s, u"plain"_s, u"more"_s})},
        {"backtick strings of varied lengths", repeated(ticks)},
        {"one line of openers", {longLine}},
        {"ordinary mixed Markdown (control)",
         repeated({u"Updated **src/app.ts** to use `fetch` and _retry_."_s, u"See [the docs](https://example.com/a)."_s,
                   QString(), u"- item one with `code`"_s, u"- item two"_s})},
    };

    bool allMet = true;
    std::printf("Cutting 64 KiB runs into chunks (Release figures count)\n");
    for (const auto &run : runs) {
        const QString whole = run.lines.join(u'\n');
        qsizetype chunks = 0;
        allMet &= report(u"%1: cut whole"_s.arg(QLatin1String(run.what)), medianMs([&] {
                             chunks = cutRunChunks(whole).size();
                         }));
        qsizetype read = 0;
        qsizetype lookedAt = 0;
        allMet &= report(u"%1: line by line (%2 lines)"_s.arg(QLatin1String(run.what)).arg(run.lines.size()),
                         medianMs([&] {
                             RunChunker chunker;
                             RunText text;
                             for (const QString &line : run.lines) {
                                 text.append(line);
                                 chunker.update(text);
                             }
                             read = chunker.charactersRead();
                             lookedAt = chunker.charactersLookedAt();
                         }));
        allMet &= report(u"%1: inline Markdown whole"_s.arg(QLatin1String(run.what)), medianMs([&] {
                             (void)inlineMarkdownText(whole);
                         }));
        std::printf("%-66s %9lld chunks, prose read %.1f times over line by line, lines looked at %.1f times\n", "",
                    static_cast<long long>(chunks), double(read) / double(whole.size()),
                    double(lookedAt) / double(whole.size()));
    }
    return allMet ? 0 : 1;
}
