// Opening a pane that holds a long transcript, and widening it, as the user
// does: a window with one agent pane is shown over a transcript of 10k, 100k,
// 250k and 1M lines (prompts, answers with code blocks and inline Markdown,
// warnings, exit lines), and every turn of the event loop is timed until the
// pane has taken in every line (it opens at the newest ones). Then the pane
// is widened to an expanded pane's width and narrowed again inside the
// window, as the agent column does, and last the window itself is made
// narrower and wider again, each timed until the window has settled. The
// first pane of the process counts what is done once beforehand (the pane
// warm-up the agent column starts). Each figure is printed beside its
// target: no turn over 16 ms, at any length, and the newest line on screen
// within 100 ms.
//
// Arguments: the largest length (1000000 unless given).
#include "PaneBench.h"
#include "agents/AgentPaneState.h"
#include "ui/panes/AgentPaneView.h"
#include "ui/panes/OutputLineView.h"
#include "ui/panes/PaneWarmUp.h"
#include "ui/panes/TranscriptView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QTimer>
#include <algorithm>
#include <functional>
#include <cstdio>
#include <vector>

using namespace nerim;

namespace {

using bench::report;
using bench::inform;
using bench::runUntil;
using bench::timeWorkingTurns;
using bench::timeWorkingTurnsFor;
using bench::TurnTimes;

void openAndWiden(int count)
{
    AgentPaneState pane(QUuid::createUuid(), QStringLiteral("pane"), QStringLiteral("Claude 1"), 1, false,
                        AgentRole::unspecified, QString());
    pane.setOutputLines(bench::longTranscript(count));

    QWidget window;
    auto *layout = new QHBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    // A window as wide as an expanded pane: the column gives the pane its
    // width (360 points, or the window's width when expanded), so a widen
    // changes the pane's width inside a window that keeps its size.
    window.resize(1100, 800);
    window.show();
    if (!PaneWarmUp::isDone()) {
        // What the first pane of the process costs once is done as a
        // project's agent column does it when it is made, before its panes
        // come: a step a turn. Its turns count as the opening's.
        const double longest = bench::warmUpPanes();
        report("before the first pane: longest warm-up turn (CPU)", longest, "ms", "<= 16", longest <= 16);
    }
    runUntil([] { return false; }, 200);

    // The turn that makes the pane, then every turn until it has every line.
    QElapsedTimer open;
    open.start();
    const double openCpu = bench::threadCpuMs();
    auto *view = new AgentPaneView(&pane, AppState::OutputMode::verbose, {}, &window);
    view->setFixedWidth(360);
    layout->addWidget(view);
    layout->addStretch(1);
    view->show();
    QApplication::processEvents();
    const double first = bench::threadCpuMs() - openCpu;
    TranscriptView *transcript = view->transcript();
    // The newest line is on screen: the last row, the transcript's last
    // line, built and drawn whole inside the view, which is at its bottom.
    const QUuid lastId = pane.outputLines().id(pane.outputLines().size() - 1);
    const auto newestOnScreen = [&] {
        TranscriptRows *rows = transcript->rows();
        if (rows->rowCount() == 0 || transcript->scrollPosition() != transcript->maximumScrollPosition())
            return false;
        auto *last = qobject_cast<OutputLineView *>(rows->builtRow(rows->rowCount() - 1));
        return last && last->isVisible() && last->line().id == lastId &&
               last->geometry().intersected(rows->rect()).height() == last->height();
    };
    double newestShown = newestOnScreen() ? open.nsecsElapsed() / 1e6 : -1;
    const TurnTimes turns = timeWorkingTurns([&] {
        if (newestShown < 0 && newestOnScreen())
            newestShown = open.nsecsElapsed() / 1e6;
        return transcript->hasPendingSync();
    });
    const double filled = open.nsecsElapsed() / 1e6;
    char what[128];
    std::snprintf(what, sizeof what, "open %d lines: the turn that makes the pane (CPU)", count);
    report(what, first, "ms", "<= 16", first <= 16);
    const double worst = turns.longestCpu();
    std::snprintf(what, sizeof what, "open %d lines: longest later turn (CPU)", count);
    report(what, worst, "ms", "<= 16", worst <= 16);
    // Of the turns that took lines in or laid rows out (not the empty ones).
    const double p99 = turns.cpuPercentile(0.99);
    std::snprintf(what, sizeof what, "open %d lines: working turn 99th percentile (CPU)", count);
    report(what, p99, "ms", "<= 16", p99 <= 16);
    const double p99Wall = turns.wallPercentile(0.99);
    std::snprintf(what, sizeof what, "open %d lines: working turn 99th percentile (wall)", count);
    report(what, p99Wall, "ms", "<= 16", p99Wall <= 16);
    std::snprintf(what, sizeof what, "open %d lines: until the newest line is on screen (wall)", count);
    report(what, newestShown, "ms", "<= 100", newestShown >= 0 && newestShown <= 100);
    std::snprintf(what, sizeof what, "open %d lines: until every line is in (%zu working turns)", count,
                  turns.count());
    inform(what, filled, "ms");
    if (transcript->shownLineCount() != count || transcript->scrollPosition() != transcript->maximumScrollPosition())
        std::printf("  unexpected: %lld lines shown, at %lld of %lld\n",
                    static_cast<long long>(transcript->shownLineCount()),
                    static_cast<long long>(transcript->scrollPosition()),
                    static_cast<long long>(transcript->maximumScrollPosition()));

    // Widened to an expanded pane's width, then narrowed again; then the
    // window (the pane expanded in it) narrower and wider again.
    const auto paneWidth = [&](int width) { view->setFixedWidth(width); };
    const auto windowWidth = [&](int width) {
        view->setMinimumWidth(0);
        view->setMaximumWidth(QWIDGETSIZE_MAX);
        window.resize(width, 800);
    };
    const struct {
        int width;
        const char *label;
        std::function<void(int)> apply;
    } steps[] = {
        {1100, "first widen", paneWidth},
        {360, "narrow again", paneWidth},
        {700, "window narrowed", windowWidth},
        {1100, "window widened", windowWidth},
    };
    for (const auto &[width, label, apply] : steps) {
        const double before = bench::threadCpuMs();
        apply(width);
        QApplication::processEvents();
        const double turn = bench::threadCpuMs() - before;
        const double longest = std::max(turn, timeWorkingTurnsFor(100).longestCpu());
        std::snprintf(what, sizeof what, "%s after %d lines: longest turn (CPU)", label, count);
        report(what, longest, "ms", "<= 16", longest <= 16);
    }
    delete view;
}

} // namespace

int main(int argc, char **argv)
{
    nerim::bench::printLoadOnce();
    bench::PaneBenchApplication app(argc, argv);
    const int largest = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000000;
    for (int count : {10000, 100000, 250000, 1000000})
        if (count <= largest)
            openAndWiden(count);
    return 0;
}
