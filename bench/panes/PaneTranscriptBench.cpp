// Figures of an agent pane's transcript, each printed with its target: a pane
// holding 20,000 lines (200 answers with code blocks) is opened on screen,
// offscreen, and takes its lines in (a prompt is sent meanwhile, while it
// still takes in the older ones behind the newest); the user scrolls to its top and then
// jumps back to the newest line (the scroll bar dragged to its end); a new
// answer then streams in, first line by line and then in bursts of 100 lines.
// Opening and the jump are timed turn by turn (the turns that did work) until
// the pane has settled; each update from the lines' arrival until the pane is
// brought up to date and painted. Every figure is the GUI thread's time (its
// CPU time, which other programs on the machine do not inflate). Target:
// every turn and every update under 16 ms.
#include "PaneBench.h"
#include "agents/AgentPaneState.h"
#include "ui/panes/AgentPaneView.h"
#include "ui/panes/TranscriptView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QUuid>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

using namespace nerim;
using Kind = OutputLine::Kind;

namespace {

using bench::report;
using bench::percentile;
using bench::threadCpuMs;
using bench::timeWorkingTurns;

// The lines of one answer of `length` lines: prose around a fenced block.
QStringList answer(int turn, int length)
{
    QStringList lines;
    lines.append(QStringLiteral("Working on step %1: I'll update the **signup form** and its `handler`.").arg(turn));
    lines.append(QStringLiteral("```js"));
    for (int i = 0; i < length / 3; ++i)
        lines.append(QStringLiteral("const field%1 = form.querySelector('#field-%1'); // check \"value\"").arg(i));
    lines.append(QStringLiteral("```"));
    while (lines.size() < length)
        lines.append(QStringLiteral("Line %1 of the explanation, with a [link](https://example.com/%1) and more words.")
                         .arg(lines.size()));
    return lines;
}

// A transcript of `turns` prompts, each followed by an answer, a task report
// and an exit line: 100 lines a turn.
QList<OutputLine> history(int turns)
{
    QList<OutputLine> lines;
    lines.reserve(turns * 100);
    for (int turn = 0; turn < turns; ++turn) {
        lines.append(OutputLine::make(Kind::userPrompt, QStringLiteral("Please do part %1 of the plan").arg(turn)));
        for (const QString &text : answer(turn, 97))
            lines.append(OutputLine::make(Kind::stdout, text));
        lines.append(OutputLine::make(Kind::taskComplete, QStringLiteral("Part %1 is done").arg(turn)));
        lines.append(OutputLine::make(Kind::system, QStringLiteral("Bench exited · code 0")));
    }
    return lines;
}

// Brings the transcript up to date (it would wait for the end of the frame
// when it was updated less than a frame ago), processes what that queued
// (layout requests, the repaint) and returns the GUI thread's time for that
// and the append.
template <typename Append>
double timedUpdate(TranscriptView *transcript, Append append)
{
    const double start = threadCpuMs();
    append();
    transcript->syncNow();
    for (int i = 0; i < 4; ++i)
        QApplication::processEvents();
    return threadCpuMs() - start;
}

} // namespace

int main(int argc, char **argv)
{
    nerim::bench::printLoadOnce();
    bench::PaneBenchApplication app(argc, argv);

    AgentPaneState pane(QUuid::createUuid(), QStringLiteral("bench"), QStringLiteral("Bench"), 1, false,
                        AgentRole::unspecified, QString());
    pane.setOutputLines(history(200));

    bench::warmUpPanes();

    // Opened: every turn until the pane has every line (it opens at the
    // newest ones and takes the older ones in behind them).
    const double openCpu = threadCpuMs();
    AgentPaneView view(&pane, AppState::OutputMode::verbose, {});
    view.setFocused(true);
    view.resize(360, 640);
    view.show();
    QApplication::processEvents();
    const double openTurn = threadCpuMs() - openCpu;
    // A prompt is sent while the pane still takes its older lines in: the
    // view comes to it in the turns that follow, as to any new line.
    bool prompted = false;
    QTimer::singleShot(30, [&] {
        pane.appendLine(Kind::userPrompt, QStringLiteral("A prompt sent while the pane opens"));
        prompted = true;
    });
    const double openLongest = std::max(
        openTurn, timeWorkingTurns([&] { return !prompted || TranscriptView::anyCatchingUp(); }).longestCpu());
    TranscriptView *transcript = view.transcript();
    if (transcript->shownLineCount() != pane.outputLines().size() ||
        transcript->scrollPosition() != transcript->maximumScrollPosition())
        std::printf("unexpected: the pane did not end at its newest line\n");

    // The user reads from the top, then jumps to the newest line: every
    // turn until the rows there are built and laid out.
    transcript->scrollByUser(0);
    bench::runUntil([] { return !TranscriptView::anyCatchingUp(); });
    // (Done by a timer of its own: a turn of the program's, which is timed.)
    bool jumpedYet = false;
    QTimer::singleShot(0, [&] {
        transcript->scrollByUser(transcript->maximumScrollPosition());
        jumpedYet = true;
    });
    const auto jumped = timeWorkingTurns([&] { return !jumpedYet || TranscriptView::anyCatchingUp(); });
    const double jump = jumped.longestCpu();
    const bool atNewest = transcript->scrollPosition() == transcript->maximumScrollPosition() &&
                          transcript->isFollowing();
    if (!atNewest)
        std::printf("unexpected: the jump did not end at the newest line\n");

    // A new prompt, then an answer streams in line by line…
    const double firstLine =
        timedUpdate(transcript, [&] { pane.appendLine(Kind::userPrompt, QStringLiteral("One more thing")); });
    std::vector<double> singles;
    const QStringList streamed = answer(200, 600);
    int next = 0;
    for (; next < 300; ++next)
        singles.push_back(timedUpdate(transcript, [&] { pane.appendLine(Kind::stdout, streamed[next]); }));
    // …then in bursts of 100 lines per turn of the event loop.
    std::vector<double> bursts;
    for (int burst = 0; burst < 30; ++burst)
        bursts.push_back(timedUpdate(transcript, [&] {
            for (int i = 0; i < 100; ++i, ++next)
                pane.appendLine(Kind::stdout, next < streamed.size() ? streamed[next] : QStringLiteral("more output"));
        }));

    std::printf("pane transcript, %lld lines at the end, %d rows\n", static_cast<long long>(pane.outputLines().size()),
                transcript->rows()->rowCount());
    const double singleMax = *std::max_element(singles.begin(), singles.end());
    const double burstMax = *std::max_element(bursts.begin(), bursts.end());
    report("opening a pane with 20,000 lines, a prompt meanwhile: longest turn", openLongest, "ms", "< 16", openLongest < 16);
    report("jump from the top to the newest line: longest turn", jump, "ms", "< 16", jump < 16);
    report("first line after the jump", firstLine, "ms", "< 16", firstLine < 16);
    report("one line: longest GUI-thread time per update", singleMax, "ms", "< 16", singleMax < 16);
    report("one line: 99th percentile", percentile(singles, 0.99), "ms", "< 16", percentile(singles, 0.99) < 16);
    report("100 lines: longest GUI-thread time per update", burstMax, "ms", "< 16", burstMax < 16);
    report("100 lines: 99th percentile", percentile(bursts, 0.99), "ms", "< 16", percentile(bursts, 0.99) < 16);
    return 0;
}
