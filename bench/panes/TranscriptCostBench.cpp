// Figures of what a long transcript costs the GUI thread, each printed with
// its target (GUI-thread CPU time, which other programs on the machine do not
// inflate):
// - a pane holding 6,000 lines that the reader has scrolled through from top
//   to bottom is widened and narrowed again (the pane expanding and
//   collapsing): the longest turn until its rows are laid out;
// - 8,000 lines are appended one by one to one open code block (an append
//   late in the block should cost what one early in it costs);
// - inline Markdown of 96 KB of nested emphasis, 64 KiB of "<", 64 KiB of
//   ordinary HTML, and 64 KiB each of unclosed link titles, backtick strings of
//   every length, and open brackets followed by links;
// - a pane of 100,000 and of 1,000,000 lines, read half way down, is widened
//   (the pane expanding) and narrowed again: the longest turn of each;
// - an answer that opened a "[" it never closes grows without a blank line,
//   its first 1,000 lines one at a time, 9,000 more in a burst, then 200 one
//   at a time: what a line costs 10,000 lines behind the "[" against what one
//   cost at its start.
#include "../BenchTiming.h"
#include "agents/AgentPaneState.h"
#include "ui/design/MotionPreferences.h"
#include "ui/panes/AgentPaneView.h"
#include "ui/panes/InlineMarkdown.h"
#include "ui/panes/TranscriptView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QScrollBar>
#include <QUuid>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

using namespace nerim;
using Kind = OutputLine::Kind;

namespace {

using bench::report;
using bench::inform;
using bench::percentile;
using bench::threadCpuMs;

void settle()
{
    for (int i = 0; i < 4; ++i)
        QApplication::processEvents();
    // A transcript takes lines in at most once a frame and lays out rows a
    // turn's budget at a time: until it is done.
    QElapsedTimer waited;
    waited.start();
    while (TranscriptView::anyCatchingUp() && waited.elapsed() < 600000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
}

template <typename Work>
double timed(Work work)
{
    const double start = threadCpuMs();
    work();
    settle();
    return threadCpuMs() - start;
}

// The longest turn of `work` and of the event loop after it, until the
// transcripts are done (what spreads over turns is judged turn by turn).
template <typename Work>
double longestTurn(Work work)
{
    double start = threadCpuMs();
    work();
    QApplication::processEvents();
    double longest = threadCpuMs() - start;
    for (int i = 0; i < 3 || TranscriptView::anyCatchingUp(); ++i) {
        start = threadCpuMs();
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        longest = std::max(longest, threadCpuMs() - start);
    }
    return longest;
}

AgentPaneState *makePane(QObject *parent)
{
    auto *pane = new AgentPaneState(QUuid::createUuid(), QStringLiteral("bench"), QStringLiteral("Bench"), 1, false,
                                    AgentRole::unspecified, QString());
    pane->setParent(parent);
    return pane;
}

// 6,000 lines: prompts, answers of prose with a code block, task reports.
QList<OutputLine> transcript()
{
    QList<OutputLine> lines;
    for (int turn = 0; lines.size() < 6000; ++turn) {
        lines.append(OutputLine::make(Kind::userPrompt, QStringLiteral("Please do part %1 of the plan").arg(turn)));
        for (int i = 0; i < 20; ++i)
            lines.append(OutputLine::make(
                Kind::stdout, QStringLiteral("Line %1 of the answer, with **bold words**, `code` and a [link](https://"
                                             "example.com/%1) that wraps at a narrow width.")
                                  .arg(i)));
        lines.append(OutputLine::make(Kind::stdout, QStringLiteral("```js")));
        for (int i = 0; i < 14; ++i)
            lines.append(OutputLine::make(Kind::stdout, QStringLiteral("const value%1 = compute(%1); // note").arg(i)));
        lines.append(OutputLine::make(Kind::stdout, QStringLiteral("```")));
        lines.append(OutputLine::make(Kind::taskComplete, QStringLiteral("Part %1 is done").arg(turn)));
    }
    return lines;
}

void resizeAfterScrolling()
{
    QWidget holder;
    AgentPaneState *pane = makePane(&holder);
    pane->setOutputLines(transcript());
    // The pane inside a window, as in the column: its resizes are the
    // column's, delivered at once.
    QWidget window;
    window.resize(1000, 700);
    auto *view = new AgentPaneView(pane, AppState::OutputMode::verbose, {}, &window);
    view->setMaximumWidth(QWIDGETSIZE_MAX); // expanded
    view->setGeometry(0, 0, 360, 640);
    window.show();
    settle();
    QScrollBar *bar = view->transcript()->verticalScrollBar();
    bar->setValue(0);
    settle();
    // The reader scrolls from the top to the bottom, a page at a time.
    while (bar->value() < bar->maximum()) {
        bar->setValue(bar->value() + bar->pageStep());
        settle();
    }
    std::printf("transcript of %lld lines, %d rows, %d built after scrolling through\n",
                static_cast<long long>(pane->outputLines().size()), view->transcript()->rows()->rowCount(),
                view->transcript()->rows()->builtRowCount());
    bar->setValue(bar->maximum() / 2);
    settle();
    const double widen = longestTurn([&] { view->resize(720, 640); });
    const double narrow = longestTurn([&] { view->resize(360, 640); });
    report("6,000 scrolled-through lines: widen the pane, longest turn", widen, "ms", "< 16", widen < 16);
    report("6,000 scrolled-through lines: narrow it again, longest turn", narrow, "ms", "< 16", narrow < 16);
}

void appendToOpenFence()
{
    QWidget holder;
    AgentPaneState *pane = makePane(&holder);
    pane->appendLine(Kind::stdout, QStringLiteral("Here is the file:"));
    pane->appendLine(Kind::stdout, QStringLiteral("```ts"));
    AgentPaneView view(pane, AppState::OutputMode::verbose, {});
    view.resize(360, 640);
    view.show();
    settle();
    std::vector<double> early;
    std::vector<double> appends;
    double total = 0;
    for (int i = 0; i < 8000; ++i) {
        const double ms = timed([&] {
            pane->appendLine(Kind::stdout,
                             QStringLiteral("export const field%1 = form.querySelector(\"#field-%1\"); // keep").arg(i));
            // Up to date now, not at the end of the frame.
            view.transcript()->syncNow();
        });
        total += ms;
        if (i < 1000)
            early.push_back(ms);
        if (i >= 4000)
            appends.push_back(ms);
    }
    const double p99 = percentile(appends, 0.99);
    const double longest = *std::max_element(appends.begin(), appends.end());
    inform("8,000 appends to one open fence: total GUI time", total / 1000, "s");
    inform("append at the first 1,000 lines of the fence: median", percentile(early, 0.5), "ms");
    report("append at 4,000-8,000 lines of the fence: median", percentile(appends, 0.5), "ms", "< 2",
           percentile(appends, 0.5) < 2);
    report("append at 4,000-8,000 lines of the fence: 99th percentile", p99, "ms", "< 16", p99 < 16);
    inform("append at 4,000-8,000 lines of the fence: longest", longest, "ms");
}

void inlineMarkdown()
{
    // Emphasis nested as deeply as it goes: "*a *a *a … a* a* a*".
    QString nested;
    while (nested.size() < 48 * 1024)
        nested += QStringLiteral("*a ");
    const qsizetype openers = nested.size() / 3;
    for (qsizetype i = 0; i < openers; ++i)
        nested += QStringLiteral("a* ");
    const QString angles(64 * 1024, u'<');
    QString html;
    while (html.size() < 64 * 1024)
        html += QStringLiteral("<div class=\"card\"><a href=\"/page\">Open <b>this</b></a></div>\n");
    // Link titles that never close: each "](a (" looks for the end of its title.
    QString titles;
    while (titles.size() < 64 * 1024)
        titles += QStringLiteral("[](a (");
    // Backtick strings of every length, none closed.
    QString backticks;
    for (int length = 1; backticks.size() < 64 * 1024; ++length)
        backticks += QString(length, u'`') + QStringLiteral(" x ");
    // Brackets left open, then links: each link closes every "[" before it for links.
    QString brackets(32 * 1024, u'[');
    while (brackets.size() < 64 * 1024)
        brackets += QStringLiteral("[a](https://x.io) ");

    const struct {
        const char *what;
        const QString &text;
        double target;
    } cases[] = {
        {"inline Markdown: 96 KB of nested emphasis", nested, 50},
        {"inline Markdown: 64 KiB of \"<\"", angles, 20},
        {"inline Markdown: 64 KiB of HTML", html, 20},
        {"inline Markdown: 64 KiB of unclosed link titles", titles, 50},
        {"inline Markdown: 64 KiB of backtick strings", backticks, 50},
        {"inline Markdown: 32 KiB of \"[\", then links", brackets, 50},
    };
    for (const auto &c : cases) {
        InlineMarkdown result;
        const double ms = timed([&] { result = inlineMarkdownText(c.text); });
        char target[16];
        std::snprintf(target, sizeof target, "< %g", c.target);
        report(c.what, ms, "ms", target, ms < c.target);
    }
}

// `count` lines of a transcript like an agent's: prompts, answers of prose with
// a code block, task reports and exit lines.
QList<OutputLine> longTranscript(int count)
{
    QList<OutputLine> lines;
    lines.reserve(count);
    for (int turn = 0; lines.size() < count; ++turn) {
        lines.append(OutputLine::make(Kind::userPrompt, QStringLiteral("Please do part %1 of the plan").arg(turn)));
        for (int i = 0; i < 20; ++i)
            lines.append(OutputLine::make(
                Kind::stdout, QStringLiteral("Line %1 of the answer, with **bold words**, `code` and a [link](https://"
                                             "example.com/%1) that wraps at a narrow width.")
                                  .arg(i)));
        lines.append(OutputLine::make(Kind::stdout, QStringLiteral("```js")));
        for (int i = 0; i < 14; ++i)
            lines.append(OutputLine::make(Kind::stdout, QStringLiteral("const value%1 = compute(%1); // note").arg(i)));
        lines.append(OutputLine::make(Kind::stdout, QStringLiteral("```")));
        lines.append(OutputLine::make(Kind::taskComplete, QStringLiteral("Part %1 is done").arg(turn)));
        lines.append(OutputLine::make(Kind::system, QStringLiteral("Bench exited · code 0")));
    }
    lines.resize(count);
    return lines;
}

void widenLongTranscripts()
{
    for (const int count : {100000, 1000000}) {
        QWidget holder;
        AgentPaneState *pane = makePane(&holder);
        pane->setOutputLines(longTranscript(count));
        QWidget window;
        window.resize(1000, 700);
        auto *view = new AgentPaneView(pane, AppState::OutputMode::verbose, {}, &window);
        view->setMaximumWidth(QWIDGETSIZE_MAX); // expanded
        view->setGeometry(0, 0, 360, 640);
        window.show();
        settle();
        QScrollBar *bar = view->transcript()->verticalScrollBar();
        bar->setValue(bar->maximum() / 2);
        settle();
        std::vector<double> widen;
        std::vector<double> narrow;
        for (int round = 0; round < 3; ++round) {
            widen.push_back(longestTurn([&] { view->resize(720, 640); }));
            narrow.push_back(longestTurn([&] { view->resize(360, 640); }));
        }
        char what[96];
        std::snprintf(what, sizeof what, "%s lines read half way: widen, longest turn (median of 3)",
                      count == 100000 ? "100,000" : "1,000,000");
        report(what, percentile(widen, 0.5), "ms", "<= 16", percentile(widen, 0.5) <= 16);
        std::snprintf(what, sizeof what, "%s lines read half way: narrow, longest turn (median of 3)",
                      count == 100000 ? "100,000" : "1,000,000");
        report(what, percentile(narrow, 0.5), "ms", "<= 16", percentile(narrow, 0.5) <= 16);
    }
}

QString resultLine(int i)
{
    switch (i % 4) {
    case 0: return QStringLiteral("Checked item %1 with a [link](https://example.com/%1) to its page.").arg(i);
    case 1: return QStringLiteral("Item %1 passes `npm test` and **all** of its checks.").arg(i);
    case 2: return QStringLiteral("Item %1: \"quoted\" (noted) and done.").arg(i);
    default: return QStringLiteral("Plain progress line %1 of the results.").arg(i);
    }
}

void growBehindAnOpenBracket()
{
    QWidget holder;
    AgentPaneState *pane = makePane(&holder);
    pane->appendLine(Kind::userPrompt, QStringLiteral("Collect the results"));
    pane->appendLine(Kind::stdout, QStringLiteral("Results so far [partial, more to come:"));
    AgentPaneView view(pane, AppState::OutputMode::verbose, {});
    view.resize(360, 640);
    view.show();
    settle();
    // The first 1,000 lines one at a time, the next 9,000 in one burst, then
    // 200 more one at a time: what a line costs 10,000 lines behind the "[".
    std::vector<double> early;
    std::vector<double> late;
    int i = 0;
    for (; i < 1000; ++i) {
        const QString text = resultLine(i);
        early.push_back(timed([&] {
            pane->appendLine(Kind::stdout, text);
            view.transcript()->syncNow();
        }));
    }
    const double burst = timed([&] {
        for (; i < 10000; ++i)
            pane->appendLine(Kind::stdout, resultLine(i));
        view.transcript()->syncNow();
    });
    for (; i < 10200; ++i) {
        const QString text = resultLine(i);
        late.push_back(timed([&] {
            pane->appendLine(Kind::stdout, text);
            view.transcript()->syncNow();
        }));
    }
    inform("9,000 lines behind an open \"[\" in one burst", burst, "ms");
    inform("a line among the first 1,000 behind the \"[\": median", percentile(early, 0.5), "ms");
    report("a line at 10,000-10,200 lines behind the \"[\": median", percentile(late, 0.5), "ms", "< 2",
           percentile(late, 0.5) < 2);
    report("a line at 10,000-10,200 lines behind the \"[\": 99th percentile", percentile(late, 0.99), "ms", "< 16",
           percentile(late, 0.99) < 16);
}

} // namespace

int main(int argc, char **argv)
{
    nerim::bench::printLoadOnce();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // Each figure is out as soon as it is known.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    MotionPreferences::shared().setReduceMotion(true);
    const QStringList only = app.arguments().mid(1);
    const auto wanted = [&](const char *name) { return only.isEmpty() || only.contains(QLatin1String(name)); };
    if (wanted("markdown"))
        inlineMarkdown();
    if (wanted("resize"))
        resizeAfterScrolling();
    if (wanted("fence"))
        appendToOpenFence();
    if (wanted("widen"))
        widenLongTranscripts();
    if (wanted("bracket"))
        growBehindAnOpenBracket();
    return 0;
}
