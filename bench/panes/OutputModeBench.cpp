// Switching the output mode of three panes over long transcripts, as the
// user does from the canvas's header: three agent panes stacked in a column,
// each over a transcript of 10k, 100k and 1M lines, are switched between
// Full transcript and Highlights in one turn (as the agent column
// applies the mode to each of its panes), and every turn of the event loop
// that did work is timed until the panes have taken their lines in again for
// the new mode and what the old mode held is let go of. First at the newest
// lines (the panes follow), then with each pane read from the middle (the
// line at its top is kept in place). Each figure is the longest working turn
// (GUI-thread CPU) beside its target: 16 ms, at any length.
//
// Arguments: the largest length (1000000 unless given). With
// NERIM_BENCH_TURNS=MS set, every turn longer than MS of GUI-thread CPU is
// printed with the wall clock (CLOCK_REALTIME) at its end, to find it in a
// profile recorded with that clock.
#include "PaneBench.h"
#include "agents/AgentPaneState.h"
#include "ui/panes/AgentPaneView.h"
#include "ui/panes/TranscriptView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QVBoxLayout>
#include <cstdio>
#include <memory>
#include <vector>

using namespace nerim;
using Mode = AppState::OutputMode;

namespace {

using bench::report;
using bench::runUntil;
using bench::timeWorkingTurns;
using bench::TurnTimes;

const char *modeName(Mode mode)
{
    switch (mode) {
    case Mode::verbose: return "Full";
    case Mode::notification: return "Highlights";
    case Mode::summary: return "Summary";
    }
    return "?";
}

// Every transcript has its lines in and its rows laid out.
bool settled() { return !TranscriptView::anyCatchingUp(); }

// Switches every pane to `mode` in one turn and times the working turns
// until they have settled in it (and a little after, for what is let go of
// in later turns).
TurnTimes switchTo(const std::vector<AgentPaneView *> &views, Mode mode)
{
    bool switched = false;
    QTimer::singleShot(0, [&] {
        for (AgentPaneView *view : views)
            view->setOutputMode(mode);
        switched = true;
    });
    QElapsedTimer quiet;
    // Long turns, each with its end on the wall clock.
    const int printOver = qEnvironmentVariableIntValue("NERIM_BENCH_TURNS");
    QTimer stamp;
    stamp.setObjectName(QStringLiteral("benchHeartbeat"));
    double lastCpu = bench::threadCpuMs();
    if (printOver > 0) {
        QObject::connect(&stamp, &QTimer::timeout, [&] {
            const double cpu = bench::threadCpuMs();
            if (cpu - lastCpu > printOver) {
                timespec ts{};
                clock_gettime(CLOCK_REALTIME, &ts);
                std::printf("  a turn of %.1f ms CPU ending at %.6f\n", cpu - lastCpu,
                            double(ts.tv_sec) + double(ts.tv_nsec) / 1e9);
            }
            lastCpu = bench::threadCpuMs();
        });
        stamp.start(0);
    }
    TurnTimes turns = timeWorkingTurns([&] {
        if (!switched || TranscriptView::anyCatchingUp()) {
            quiet.invalidate();
            return true;
        }
        if (!quiet.isValid())
            quiet.start();
        return quiet.elapsed() < 200;
    });
    return turns;
}

void switchModes(int count)
{
    std::vector<std::unique_ptr<AgentPaneState>> panes;
    for (int i = 0; i < 3; ++i) {
        panes.push_back(std::make_unique<AgentPaneState>(QUuid::createUuid(), QStringLiteral("pane"),
                                                         QStringLiteral("Claude %1").arg(i + 1), i + 1, false,
                                                         AgentRole::unspecified, QString()));
        panes.back()->setOutputLines(bench::longTranscript(count));
    }
    // The stacked column: three panes one under the other, each as wide as
    // the column gives them.
    QWidget window;
    auto *layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    std::vector<AgentPaneView *> views;
    for (auto &pane : panes) {
        auto *view = new AgentPaneView(pane.get(), Mode::verbose, {}, &window);
        view->setFixedWidth(360);
        layout->addWidget(view);
        views.push_back(view);
    }
    window.resize(380, 900);
    window.show();
    runUntil(settled);

    char what[160];
    // Summary shows what Full transcript shows (no view leaves lines out for
    // it): only the switches that change what is shown are timed.
    const Mode steps[] = {Mode::notification, Mode::verbose, Mode::notification, Mode::verbose};
    Mode from = Mode::verbose;
    for (const Mode to : steps) {
        const TurnTimes turns = switchTo(views, to);
        std::snprintf(what, sizeof what, "3 x %d lines, %s -> %s: longest turn (CPU)", count, modeName(from),
                      modeName(to));
        report(what, turns.longestCpu(), "ms", "<= 16", turns.longestCpu() <= 16);
        from = to;
    }

    // Read from the middle: each pane keeps the line at its top.
    for (AgentPaneView *view : views) {
        TranscriptView *transcript = view->transcript();
        transcript->scrollByUser(transcript->maximumScrollPosition() / 2);
    }
    runUntil(settled);
    for (const Mode to : {Mode::notification, Mode::verbose}) {
        const TurnTimes turns = switchTo(views, to);
        std::snprintf(what, sizeof what, "3 x %d, from the middle, %s -> %s: longest turn (CPU)", count,
                      modeName(from), modeName(to));
        report(what, turns.longestCpu(), "ms", "<= 16", turns.longestCpu() <= 16);
        from = to;
    }
    for (AgentPaneView *view : views)
        if (view->transcript()->shownLineCount() != count)
            std::printf("  unexpected: a pane shows %lld of %d lines\n",
                        static_cast<long long>(view->transcript()->shownLineCount()), count);
}

} // namespace

int main(int argc, char **argv)
{
    nerim::bench::printLoadOnce();
    bench::PaneBenchApplication app(argc, argv);
    bench::warmUpPanes();
    const int largest = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000000;
    for (int count : {10000, 100000, 1000000})
        if (count <= largest)
            switchModes(count);
    return 0;
}
