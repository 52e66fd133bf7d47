// Figures of the canvas controller, each printed with its target:
//  1. three agents print 100,000 lines each (events, as the real program
//     writes them) at the same time, consumed through the controller into
//     their panes (transcript, turn, markers, address sniffer), without views:
//     how long the GUI thread is busy per event-loop turn with output;
//  2. a typed prompt to a running agent: GUI-thread time from `submitPrompt`
//     until the agent has been spawned, with the application's narration
//     (the session's first prompt, which loads the speech engine, apart);
//  3. quitting while three agents flood their panes.
// Arguments name the figures to run ("streams", "submit", "quit"); none runs
// them all.
#include "../BenchLoop.h"
#include "../BenchTiming.h"
#include "canvas/ProjectCanvasViewModel.h"
#include "agents/ClaudeCodeProvider.h"
#include "panes-store/PanesSnapshot.h"
#include "panes-store/PanesSnapshotStore.h"
#include "foundation/SerialFileWriter.h"
#include "platform/ChildProcess.h"
#include "support/claude-standin/ClaudeStandin.h"
#include "voice/AppActivity.h"
#include "voice/VoiceBackendLibrary.h"
#include "voice/VoiceNarratorService.h"

#include <QCoreApplication>
#include <QCoro/QCoroTask>
#include <QDir>
#include <QFile>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

using namespace nerim;
namespace claudeStandin = nerim::test::claudeStandin;

namespace {

using bench::awaitTask;

// Runs the event loop until `task` has finished, waking only for what the
// task itself waits on (no polling timer, whose wake-ups would count as
// GUI-thread time of the task).
template <typename T>
void awaitQuietly(QCoro::Task<T> &&task)
{
    QEventLoop loop;
    bool done = false;
    auto driver = [&]() -> QCoro::Task<> {
        co_await std::move(task);
        done = true;
        loop.quit();
    };
    auto running = driver();
    if (!done)
        loop.exec();
}
using bench::inform;
using bench::percentile;
using bench::runUntil;
using bench::threadCpuMs;

void report(const char *what, double value, const char *unit, const char *target, bool met)
{
    std::printf("%-66s %10.2f %-7s target %-12s %s\n", what, value, unit, target, met ? "met" : "MISSED");
}

std::shared_ptr<ClaudeCodeProvider> standinProvider(const QString &project)
{
    ClaudeCodeProvider::Options options;
    options.resolveBinary = [] { return std::optional<QString>(claudeStandin::path()); };
    return std::make_shared<ClaudeCodeProvider>(project, options);
}

void benchThreeStreams(const QString &project)
{
    constexpr int lineCount = 100000;
    const QString text = QStringLiteral("compiling module {n} ") + QString(60, QLatin1Char('x'));
    claudeStandin::setCommands(
        QStringLiteral("repeat %1 %2\nout TASK_COMPLETE: printed everything\nexit 0").arg(lineCount).arg(text));

    ProjectCanvasViewModel canvas(QStringLiteral("bench"), project, QStringLiteral("Bench"), standinProvider(project));
    awaitTask(canvas.bootstrap());
    canvas.spawnAgents(3);
    const QList<AgentPaneState *> panes = canvas.panes();

    // Every turn of the event loop ends with a zero-interval timer firing: the
    // gaps between firings are how long the GUI thread was busy per turn.
    std::vector<double> turns;
    turns.reserve(1000000);
    QElapsedTimer clock;
    clock.start();
    qint64 last = clock.nsecsElapsed();
    // Only the turns in which output was handled count: most turns of a fast
    // loop are empty and would hide the long ones in the percentile.
    qsizetype linesBefore = 0;
    const auto linesNow = [&] {
        qsizetype lines = 0;
        for (AgentPaneState *pane : panes)
            lines += pane->outputLines().size();
        return lines;
    };
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        const qsizetype lines = linesNow();
        if (lines != linesBefore)
            turns.push_back((now - last) / 1e6);
        linesBefore = lines;
        last = clock.nsecsElapsed();
    });
    heartbeat.start(0);

    QElapsedTimer wall;
    wall.start();
    const double cpuBefore = threadCpuMs();
    for (AgentPaneState *pane : panes) {
        canvas.selectPromptTarget(PromptTarget::pane(pane->id()));
        canvas.setInputPrompt(QStringLiteral("print a lot"));
        awaitTask(canvas.submitPrompt(ContextEntry::PromptSource::text));
    }
    runUntil([&] {
        for (AgentPaneState *pane : panes)
            if (pane->status() != AgentStatus::done && pane->status() != AgentStatus::error)
                return false;
        return true;
    });
    heartbeat.stop();
    const double seconds = wall.nsecsElapsed() / 1e9;
    const double cpuMs = threadCpuMs() - cpuBefore;

    qsizetype consumed = 0;
    for (AgentPaneState *pane : panes)
        consumed += pane->currentStdoutLineCount();
    if (consumed != 3 * (lineCount + 1))
        std::printf("three streams: unexpected run (%lld lines consumed)\n", static_cast<long long>(consumed));
    const double p99 = percentile(turns, 0.99);
    report("3 x 100,000 lines, no views: GUI per event-loop turn, 99th pct", p99, "ms", "<= 16", p99 <= 16);
    inform("3 x 100,000 lines, no views: GUI per event-loop turn, worst", percentile(turns, 1.0), "ms");
    inform("3 x 100,000 lines, no views: lines per second", consumed / seconds, "lines/s");
    inform("3 x 100,000 lines, no views: GUI-thread time per line", cpuMs * 1000 / consumed, "us");
    std::printf("  (%zu turns with output)\n", turns.size());
    awaitTask(canvas.teardown());
}

// Resident memory of this process, in megabytes.
double residentMb()
{
    QFile status(QStringLiteral("/proc/self/statm"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = status.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toDouble() * 4096 / 1e6 : 0;
}

// Quitting while three agents print as fast as they can, after each pane has
// 100,000 lines: what the application does from its quit on (the quit hook
// asks the agents' guards to stop, the screen's teardown runs until its first
// wait, then the background saves are waited for), and whether what a
// reopen reads (panes.json and its change log) holds every line shown.
void benchQuitWhileFlooding(const QString &project)
{
    constexpr int minimumLines = 100000;
    const QString text = QStringLiteral("compiling module {n} ") + QString(60, QLatin1Char('x'));
    claudeStandin::setCommands(QStringLiteral("repeat 100000000 %1\nexit 0").arg(text));

    auto canvas = std::make_shared<ProjectCanvasViewModel>(QStringLiteral("bench"), project, QStringLiteral("Bench"),
                                                           standinProvider(project));
    awaitTask(canvas->bootstrap());
    canvas->spawnAgents(3);
    const QList<AgentPaneState *> panes = canvas->panes();
    for (AgentPaneState *pane : panes) {
        canvas->selectPromptTarget(PromptTarget::pane(pane->id()));
        canvas->setInputPrompt(QStringLiteral("print forever"));
        awaitTask(canvas->submitPrompt(ContextEntry::PromptSource::text));
    }
    runUntil([&] {
        for (AgentPaneState *pane : panes)
            if (pane->outputLines().size() < minimumLines)
                return false;
        return true;
    });
    const double rss = residentMb();

    QElapsedTimer quitting;
    quitting.start();
    const double cpuBefore = threadCpuMs();
    // As the application quits: its quit hook asks every child's guard to
    // stop, then the event loop ends and the screen's teardown runs.
    platform::ChildProcess::stopAll();
    QCoro::Task<> tearingDown = canvas->teardown();
    SerialFileWriter::shared().flush();
    const double savedMs = quitting.nsecsElapsed() / 1e6;
    const double savedCpu = threadCpuMs() - cpuBefore;

    qsizetype shown = 0;
    for (AgentPaneState *pane : panes)
        shown += pane->outputLines().size();
    // What a reopen reads: panes.json with the changes its log adds.
    qsizetype saved = -1;
    PanesSnapshotStore reopened(project + QStringLiteral("/.nerim/panes.json"));
    if (const std::optional<PanesSnapshot> snapshot = reopened.load()) {
        saved = 0;
        for (const PaneDiskSnapshot &pane : snapshot->panes)
            saved += pane.outputLines.size();
    }
    // Then the controller and its panes go, as the window closes.
    QElapsedTimer releasing;
    releasing.start();
    const double releaseCpuBefore = threadCpuMs();
    canvas.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    const double quitMs = savedMs + releasing.nsecsElapsed() / 1e6;
    const double quitCpu = savedCpu + threadCpuMs() - releaseCpuBefore;
    std::printf("quit while flooding: %lld lines shown / %lld saved (read back as a reopen reads them), %.0f MB resident\n",
                static_cast<long long>(shown), static_cast<long long>(saved), rss);
    inform("quit with three flooding agents: until the panes are saved", savedMs, "ms");
    report("quit with three flooding agents: saved and released", quitMs, "ms", "<= 30", quitMs <= 30);
    inform("quit with three flooding agents: GUI-thread CPU", quitCpu, "ms");
    if (saved < shown)
        std::printf("  MISSED: %lld lines shown were not saved\n", static_cast<long long>(shown - saved));
    runUntil([&] { return true; });
}

void benchSubmitToSpawn(const QString &project)
{
    claudeStandin::setCommands(QStringLiteral("out TASK_COMPLETE: ok\nexit 0"));
    ProjectCanvasViewModel canvas(QStringLiteral("bench"), project, QStringLiteral("Bench"), standinProvider(project));
    awaitTask(canvas.bootstrap());
    AgentPaneState *pane = canvas.spawnPane(QString(), AgentRole::code);
    if (!pane)
        return;
    // Narration as the application has it (the speech engine loaded at the
    // first sentence, "… is on it."), on an application that is active.
    FixedAppActivity active;
    VoiceBackendLibrary::SpeakerOnFirstUse speaker;
    AppActivitySource::setShared(&active);
    VoiceNarratorService::setSharedSpeaker(&speaker);
    constexpr int runs = 40;
    std::vector<double> cpu;
    for (int i = 0; i < runs; ++i) {
        canvas.setInputPrompt(QStringLiteral("add a footer %1").arg(i));
        const double before = threadCpuMs();
        awaitQuietly(canvas.submitPrompt(ContextEntry::PromptSource::text));
        cpu.push_back(threadCpuMs() - before);
        runUntil([&] { return !isBusy(pane->status()) && !pane->streamConsumer(); });
    }
    const double median = percentile(cpu, 0.5);
    const double p95 = percentile(cpu, 0.95);
    report("submitPrompt to spawned agent: GUI-thread time, median", median, "ms", "< 5", median < 5);
    report("submitPrompt to spawned agent: GUI-thread time, 95th pct", p95, "ms", "< 5", p95 < 5);
    report("  the session's first prompt (narration on): GUI-thread time", cpu.front(), "ms", "< 5", cpu.front() < 5);
    awaitTask(canvas.teardown());
    VoiceNarratorService::setSharedSpeaker(nullptr);
    AppActivitySource::setShared(nullptr);
}

} // namespace

int main(int argc, char **argv)
{
    nerim::bench::printLoadOnce();
    QCoreApplication app(argc, argv);
    const QStringList wanted = app.arguments().mid(1);
    const auto runs = [&wanted](const char *name) {
        return wanted.isEmpty() || wanted.contains(QLatin1String(name));
    };
    QTemporaryDir root;
    const QString streams = root.path() + QStringLiteral("/streams");
    const QString submits = root.path() + QStringLiteral("/submits");
    QDir().mkpath(streams);
    QDir().mkpath(submits);
    const QString quits = root.path() + QStringLiteral("/quits");
    QDir().mkpath(quits);
#ifndef NDEBUG
    std::printf("note: a debug build; build in Release for meaningful figures\n");
#endif
    if (runs("streams"))
        benchThreeStreams(streams);
    if (runs("submit"))
        benchSubmitToSpawn(submits);
    if (runs("quit"))
        benchQuitWhileFlooding(quits);
    SerialFileWriter::shared().flush();
    return 0;
}
