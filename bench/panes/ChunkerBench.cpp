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
//
// Then a fuzzer's lines and a few other hostile shapes at 8, 16, 32 and
// 64 KiB (a link target opened and never closed, "(a[[](a", line after line;
// link titles left open; nested brackets; many "[" opened, then closed one a
// line; emphasis runs; backtick strings; one long line without a line
// break): each cut whole and line by line against its share of the 50 ms a
// 64 KiB run may take, with how the time
// grows from 8 to 64 KiB (about eight times when it is linear); and the
// 64 KiB runs handed to a pane on screen: the GUI thread's time until all
// of it is cut and drawn, the longest turn of the event loop until every row
// is laid out, and (for information) the time on the clock until it is drawn,
// which includes the waits between the frames the transcript takes lines in.
#include "../BenchTiming.h"
#include "agents/AgentPaneState.h"
#include "ui/panes/AgentPaneView.h"
#include "ui/panes/InlineMarkdown.h"
#include "ui/panes/RunChunks.h"
#include "ui/panes/TranscriptView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUuid>
#include <algorithm>
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

// The median of three tries; a first try over a second is taken alone.
double medianMs(const std::function<void()> &work)
{
    std::vector<double> times;
    for (int i = 0; i < 3; ++i) {
        const double start = bench::threadCpuMs();
        work();
        times.push_back(bench::threadCpuMs() - start);
        if (times.front() > 1000)
            break;
    }
    return bench::percentile(times, 0.5);
}

bool report(const QString &what, double ms)
{
    const bool met = ms <= kTargetMs;
    std::printf("%-66s %9.2f ms  target %.0f ms  %s\n", qPrintable(what), ms, kTargetMs, met ? "met" : "MISSED");
    return met;
}

// Every line of `text` as standard output of an agent.
OutputLines asOutput(const QString &text)
{
    QList<OutputLine> lines;
    for (const QString &line : text.split(u'\n'))
        lines.append(OutputLine::make(OutputLine::Kind::stdout, line));
    return lines;
}

// Notes the GUI thread's time at the first paint of the transcript once it
// has taken in (and cut) every line it was handed.
class PaintedWhole : public QObject {
public:
    PaintedWhole(const TranscriptView *transcript, qsizetype lines)
        : m_transcript(transcript)
        , m_lines(lines)
    {
    }
    double at = -1;
    qint64 wallAt = -1;
    QElapsedTimer clock;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && at < 0 && !m_transcript->hasPendingSync()
            && m_transcript->shownLineCount() >= m_lines) {
            at = bench::threadCpuMs();
            wallAt = clock.elapsed();
        }
        return QObject::eventFilter(watched, event);
    }

private:
    const TranscriptView *m_transcript;
    qsizetype m_lines;
};

// A pane on screen handed `text` as one burst of output: the GUI thread's
// time until the transcript has cut all of it and painted, its longest turn
// of the event loop until every row is laid out (what the window freezes
// for), and that whole time; and the time on the clock until that paint.
// The median of three tries (a first try over a second alone). Between turns
// the loop sleeps until the next event, as the application's does: a wait
// is not the GUI thread's work.
struct Drawn {
    double firstPaint = 0;
    double longestTurn = 0;
    double total = 0;
    double wall = 0;
};

Drawn cutAndDrawn(const QString &text)
{
    const OutputLines lines = asOutput(text);
    std::vector<double> firstPaints, longestTurns, totals, walls;
    for (int i = 0; i < 3 && (totals.empty() || totals.front() <= 1000); ++i) {
        QWidget window;
        window.resize(1000, 700);
        auto *pane = new AgentPaneState(QUuid::createUuid(), u"bench"_s, u"Bench"_s, 1, false, AgentRole::unspecified,
                                        QString());
        pane->setParent(&window);
        auto *view = new AgentPaneView(pane, AppState::OutputMode::verbose, {}, &window);
        view->setGeometry(0, 0, 480, 680);
        window.show();
        QApplication::processEvents();
        PaintedWhole painted(view->transcript(), lines.size());
        view->transcript()->viewport()->installEventFilter(&painted);
        const double start = bench::threadCpuMs();
        painted.clock.start();
        pane->setOutputLines(lines);
        // Handing the lines over is part of a turn too.
        double longest = bench::threadCpuMs() - start;
        QElapsedTimer waited;
        waited.start();
        // Wakes the loop now and then, should nothing else come.
        QTimer wake;
        wake.start(5);
        do {
            const double turn = bench::threadCpuMs();
            QApplication::processEvents(QEventLoop::WaitForMoreEvents);
            longest = std::max(longest, bench::threadCpuMs() - turn);
            // Painted before the last lines came in: paint again.
            if (painted.at < 0 && !TranscriptView::anyCatchingUp())
                view->transcript()->viewport()->update();
        } while ((TranscriptView::anyCatchingUp() || painted.at < 0) && waited.elapsed() < 600000);
        firstPaints.push_back(painted.at - start);
        walls.push_back(double(painted.wallAt));
        longestTurns.push_back(longest);
        totals.push_back(bench::threadCpuMs() - start);
    }
    return {bench::percentile(firstPaints, 0.5), bench::percentile(longestTurns, 0.5), bench::percentile(totals, 0.5),
            bench::percentile(walls, 0.5)};
}

// The fuzzer's lines and other hostile shapes at growing sizes.
bool hostileShapesBySize(const QString &only)
{
    QString nested;
    for (int depth = 1; depth <= 8; ++depth)
        nested += QString(depth, u'[') + u"a"_s + QString(depth / 2, u']') + u"(b "_s;
    const struct {
        const char *what;
        QStringList pattern;
        bool oneLine = false;
        // Lines that fill the first half of the run, when given.
        QString above = {};
    } shapes[] = {
        {"fuzzer lines (a[[](a", {u"(a[[](a"_s}},
        {"link titles left open [x](a \"t / ](b (t", {u"[x](a \"t"_s, u"](b (t"_s, u"see [y](c 'u"_s}},
        {"nested brackets", {nested}},
        {"brackets opened above, then one closed a line", {u"]"_s}, false, u"[[[[[[[[[["_s},
        {"emphasis runs *_**__***~~", {u"*_**__***___~~a"_s, u"a~~___***__**_*"_s, u"**_*"_s}},
        {"backticks `a``b```c", {u"`a``b```c````d"_s, u"``e`f"_s}},
        {"one long line of (a[[](a", {u"(a[[](a"_s}, true},
        {"ordinary mixed Markdown (control)",
         {u"Updated **src/app.ts** to use `fetch` and _retry_."_s, u"See [the docs](https://example.com/a)."_s,
          QString(), u"- item one with `code`"_s, u"- item two"_s}},
    };
    constexpr qsizetype sizes[] = {8 * 1024, 16 * 1024, 32 * 1024, 64 * 1024};
    bool allMet = true;
    std::printf("\nHostile shapes by size: each against its share of %.0f ms at 64 KiB\n", kTargetMs);
    for (const auto &shape : shapes) {
        if (!QLatin1String(shape.what).contains(only))
            continue;
        double wholeMs[std::size(sizes)] = {};
        double lineMs[std::size(sizes)] = {};
        QString largest;
        for (size_t k = 0; k < std::size(sizes); ++k) {
            const QStringList lines =
                shape.oneLine       ? QStringList{repeated(shape.pattern, sizes[k]).join(QString())}
                : shape.above.size() ? repeated({shape.above}, sizes[k] / 2) + repeated(shape.pattern, sizes[k] / 2)
                                     : repeated(shape.pattern, sizes[k]);
            const QString whole = lines.join(u'\n');
            largest = whole;
            const double target = kTargetMs * double(sizes[k]) / double(64 * 1024);
            wholeMs[k] = medianMs([&] { (void)cutRunChunks(whole); });
            double read = 0;
            double lookedAt = 0;
            lineMs[k] = medianMs([&] {
                RunChunker chunker;
                RunText text;
                for (const QString &line : lines) {
                    text.append(line);
                    chunker.update(text);
                }
                read = double(chunker.charactersRead()) / double(text.size());
                lookedAt = double(chunker.charactersLookedAt()) / double(text.size());
            });
            for (const auto &[how, ms] : {std::pair{"cut whole", wholeMs[k]}, std::pair{"line by line", lineMs[k]}}) {
                const bool met = ms <= target;
                std::printf("%-52s %2lld KiB %-12s %9.2f ms  target %5.1f ms  %s\n", shape.what,
                            static_cast<long long>(sizes[k] / 1024), how, ms, target, met ? "met" : "MISSED");
                allMet &= met;
            }
            std::printf("%-52s %2lld KiB line by line: prose read %.1f times over, lines looked at %.1f times\n",
                        shape.what, static_cast<long long>(sizes[k] / 1024), read, lookedAt);
        }
        // How the time grows from 8 to 64 KiB (eight times the text); a
        // floor of a tenth of a millisecond keeps noise out of the ratio.
        const auto growth = [](const double *ms) { return std::max(ms[3], 0.1) / std::max(ms[0], 0.1); };
        std::printf("%-52s 8 -> 64 KiB grows %.1fx whole, %.1fx line by line (linear: about 8x)\n", shape.what,
                    growth(wholeMs), growth(lineMs));
        const Drawn drawn = cutAndDrawn(largest);
        for (const auto &[how, ms] :
             {std::pair{"cut, drawn", drawn.firstPaint}, std::pair{"longest turn", drawn.longestTurn}}) {
            const bool met = ms <= kTargetMs;
            std::printf("%-52s 64 KiB %-12s %9.2f ms  target %5.1f ms  %s\n", shape.what, how, ms, kTargetMs,
                        met ? "met" : "MISSED");
            allMet &= met;
        }
        std::printf("%-52s 64 KiB every row laid out (spread over turns) %.2f ms\n", shape.what, drawn.total);
        std::printf("%-52s 64 KiB drawn, on the clock (frames paced) %.2f ms\n", shape.what, drawn.wall);
    }
    return allMet;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    nerim::bench::printLoadOnce();
    // Given a word, only the hostile shapes by size whose names hold it.
    const QString only = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (!only.isEmpty())
        return hostileShapesBySize(only) ? 0 : 1;
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
    allMet &= hostileShapesBySize(only);
    return allMet ? 0 : 1;
}
