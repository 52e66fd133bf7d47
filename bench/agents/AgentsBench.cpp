// Figures of the agent runtime, each printed with its target:
//  1. output ingest, one agent: a stand-in agent prints 200,000 events of a
//     line each; from spawn to the consumed exit event, every line handled the
//     way the canvas does (raw line kept, transcript line, turn answer);
//  2. prompt assembly with 50 prior turns of 4 KB each;
//  3. saving three panes of 20,000 transcript lines each: the time the GUI
//     thread spends taking the snapshot, and the background write;
//  4. three agents printing 100,000 lines each at once, consumed into their
//     panes: lines per second, the GUI thread's own time per line (what it
//     could take in were the agents faster) and its time per event-loop turn
//     in which output was handled, once as events through the event reader
//     (each line a message of its own, the costliest shape) and once as plain
//     lines, in alternating rounds.
// Arguments name the figures to run ("ingest", "prompt", "save", "streams");
// none runs them all.
#include "../BenchTiming.h"
#include "agents/AgentPaneState.h"
#include "agents/SavedPanes.h"
#include "agents/AgentStreamConsumer.h"
#include "agents/ClaudeCodeProvider.h"
#include "panes-store/PanesSnapshot.h"
#include "panes-store/PanesSnapshotStore.h"
#include "agents/PromptAssembly.h"
#include "foundation/SerialFileWriter.h"
#include "foundation/UuidText.h"
#include "support/claude-standin/ClaudeStandin.h"

#include <QCoreApplication>
#include <QCoro/QCoroTask>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <vector>

using namespace nerim;
namespace claudeStandin = nerim::test::claudeStandin;

namespace {

using bench::inform;
using bench::report;
using bench::percentile;

// Resident set size and its peak, in kB, from /proc/self/status.
qint64 statusField(const char *name)
{
    QFile file(QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith(name))
            return line.mid(qstrlen(name)).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// Starts a bench agent. One that does not start is said so and ends its
// figure at once (the figure then reports an unexpected run), instead of
// leaving the bench waiting for ever.
QCoro::Task<std::optional<AgentSession>> spawnAgent(ClaudeCodeProvider &provider)
{
    try {
        co_return co_await provider.spawn(AgentRole::code, {}, {}, QStringLiteral("print"), ProjectAwareness{},
                                          ModelChoice::sonnet45);
    } catch (const std::exception &e) {
        std::printf("an agent did not start: %s\n", e.what());
        co_return std::nullopt;
    }
}

void benchOutputIngest(const QString &project)
{
    constexpr int lineCount = 200000;
    // 100 bytes per line with its line feed.
    const QString text = QStringLiteral("line {n} ") + QString(99 - 16, QLatin1Char('x')) + QStringLiteral(" end");
    claudeStandin::setCommands(QStringLiteral("repeat %1 %2\nout TASK_COMPLETE: printed everything").arg(lineCount).arg(text));
    qputenv("CLAUDE_STANDIN_READ_STDIN", "1");

    ClaudeCodeProvider::Options options;
    options.resolveBinary = [] { return std::optional<QString>(claudeStandin::path()); };
    ClaudeCodeProvider provider(project, options);
    AgentPaneState pane(newUuid(), QStringLiteral("bench"), QStringLiteral("Claude 1"), 1, false, AgentRole::code,
                        QString());
    pane.beginTurn(QStringLiteral("print"));

    // Clear the peak so it measures this run only.
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
    const qint64 rssBefore = statusField("VmRSS:");

    QEventLoop loop;
    qint64 lines = 0;
    qint32 exitCode = -1;
    QElapsedTimer timer;
    timer.start();
    std::shared_ptr<AgentStreamConsumer> consumer;
    auto run = [&]() -> QCoro::Task<> {
        const std::optional<AgentSession> session = co_await spawnAgent(provider);
        if (!session) {
            loop.quit();
            co_return;
        }
        const auto stream = co_await provider.outputStream(session->id);
        consumer = AgentStreamConsumer::start(stream, [&](const AgentOutput &event) {
            if (event.kind() == AgentOutput::Kind::stdoutLine) {
                pane.appendCurrentStdout(event.text());
                pane.appendLine(OutputLine::Kind::stdout, event.text());
                pane.appendStdoutToTurn(event.text());
                ++lines;
            } else if (event.kind() == AgentOutput::Kind::processExited) {
                exitCode = event.exitCode();
                pane.closeTurn(pane.taskCompleteSummary(exitCode));
                pane.markExited(exitCode);
                loop.quit();
            }
        });
    };
    auto task = run();
    loop.exec();
    const double seconds = timer.nsecsElapsed() / 1e9;
    const double growthMb = (statusField("VmHWM:") - rssBefore) / 1024.0;
    if (lines != lineCount + 1 || exitCode != 0)
        std::printf("output ingest: unexpected run (%lld lines, exit %d)\n", static_cast<long long>(lines), exitCode);
    report("output ingest, one agent: lines per second (200,000 x 100 B)", lines / seconds, "lines/s", ">= 300000",
           lines / seconds >= 300000);
    report("output ingest: peak memory growth", growthMb, "MB", "< 150", growthMb < 150);
    qunsetenv("CLAUDE_STANDIN_COMMANDS");
}

void benchPromptAssembly(const QString &project)
{
    QList<ConversationTurn> turns;
    const QString answer = QString(4096 - 20, QLatin1Char('a'));
    for (int i = 0; i < 50; ++i) {
        ConversationTurn turn;
        turn.id = newUuid();
        turn.userPrompt = QStringLiteral("request %1").arg(i);
        turn.agentResponse = answer;
        turn.startedAt = Timestamp(800000000 + i);
        turn.endedAt = Timestamp(800000001 + i);
        turns.append(turn);
    }
    const QList<ContextEntry> entries{
        ContextEntry::create(ContextEntry::ProjectOpened{QStringLiteral("0.1.0")}, Timestamp::now())};
    constexpr int runs = 200;
    qint64 total = 0;
    qint64 worst = 0;
    qsizetype size = 0;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        const QString prompt = assemblePrompt(AgentRole::backend, project, entries, turns, ProjectAwareness{},
                                              QStringLiteral("add an endpoint"));
        const qint64 elapsed = timer.nsecsElapsed();
        total += elapsed;
        worst = std::max(worst, elapsed);
        size = prompt.size();
    }
    const double mean = total / double(runs) / 1e6;
    report("prompt assembly, 50 turns of 4 KB: mean", mean, "ms", "< 2", mean < 2);
    report("prompt assembly, 50 turns of 4 KB: worst of 200", worst / 1e6, "ms", "< 2", worst / 1e6 < 2);
    std::printf("  (prompt of %lld characters)\n", static_cast<long long>(size));
}

void benchSavePanes(const QString &project)
{
    QList<AgentPaneState *> panes;
    for (int p = 1; p <= 3; ++p) {
        auto *pane = new AgentPaneState(newUuid(), uuidText(newUuid()), QStringLiteral("Claude %1").arg(p), p, false,
                                        AgentRole::code, QString());
        QList<OutputLine> lines;
        lines.reserve(20000);
        for (int i = 0; i < 20000; ++i)
            lines.append(OutputLine::make(OutputLine::Kind::stdout,
                                          QStringLiteral("output line %1 of pane %2 with some ordinary text in it").arg(i).arg(p)));
        pane->setOutputLines(lines);
        for (int t = 0; t < 20; ++t) {
            pane->beginTurn(QStringLiteral("task %1").arg(t));
            pane->appendStdoutToTurn(QStringLiteral("did task %1").arg(t));
            pane->closeTurn(QStringLiteral("Did it."));
        }
        panes.append(pane);
    }
    const QString path = project + QStringLiteral("/panes.json");

    double worstSnapshotMs = 0;
    double worstSnapshotCpuMs = 0;
    double worstWriteMs = 0;
    const auto threadCpuMs = [] {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
    };
    for (int round = 0; round < 5; ++round) {
        QElapsedTimer timer;
        const double cpuBefore = threadCpuMs();
        timer.start();
        PanesSnapshot snapshot;
        snapshot.nextAgentNumber = 4;
        snapshot.focusedPaneId = panes.last()->id();
        for (const AgentPaneState *pane : panes)
            snapshot.panes.append(snapshotOfPane(*pane));
        savePanesSnapshot(path, std::move(snapshot));
        worstSnapshotMs = std::max(worstSnapshotMs, timer.nsecsElapsed() / 1e6);
        worstSnapshotCpuMs = std::max(worstSnapshotCpuMs, threadCpuMs() - cpuBefore);
        QElapsedTimer write;
        write.start();
        SerialFileWriter::shared().flush();
        worstWriteMs = std::max(worstWriteMs, write.nsecsElapsed() / 1e6);
    }
    report("save 3 panes x 20,000 lines: GUI thread blocked (worst)", worstSnapshotMs, "ms", "<= 1",
           worstSnapshotMs <= 1);
    // On a loaded machine the wall time also holds the time the thread waited for a core.
    std::printf("  (of which the thread's own CPU, worst: %.2f ms)\n", worstSnapshotCpuMs);
    report("save 3 panes x 20,000 lines: background write (worst)", worstWriteMs, "ms", "< 300", worstWriteMs < 300);
    std::printf("  (panes.json of %.1f MB)\n", QFile(path).size() / 1e6);
    qDeleteAll(panes);
}

struct StreamsFigures {
    double linesPerSecond = 0;
    double guiCpuPerLineUs = 0;
    double p99TurnMs = 0;
    double worstTurnMs = 0;
};

StreamsFigures runThreeStreams(const QString &project, bool plain)
{
    constexpr int lineCount = 100000;
    const QString text = QStringLiteral("compiling module {n} ") + QString(60, QLatin1Char('x'));
    claudeStandin::setCommands(QStringLiteral("repeat %1 %2\nout TASK_COMPLETE: printed everything").arg(lineCount).arg(text));
    qputenv("CLAUDE_STANDIN_PLAIN", plain ? "1" : "0");

    ClaudeCodeProvider::Options options;
    options.resolveBinary = [] { return std::optional<QString>(claudeStandin::path()); };
    ClaudeCodeProvider provider(project, options);
    std::vector<std::unique_ptr<AgentPaneState>> panes;
    for (int i = 0; i < 3; ++i) {
        panes.push_back(std::make_unique<AgentPaneState>(newUuid(), QStringLiteral("bench"),
                                                         QStringLiteral("Claude %1").arg(i + 1), i + 1, false,
                                                         AgentRole::code, QString()));
        panes.back()->beginTurn(QStringLiteral("print"));
    }

    // Every turn of the event loop ends with a zero-interval timer firing: the
    // gaps between firings are how long the GUI thread was busy per turn. Only
    // the turns in which output was handled count: most turns of a fast loop
    // are empty and would hide the long ones in the percentile.
    std::vector<double> turns;
    turns.reserve(1000000);
    QElapsedTimer clock;
    clock.start();
    qint64 last = clock.nsecsElapsed();
    qint64 lines = 0;
    qint64 linesBefore = 0;
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (lines != linesBefore)
            turns.push_back((now - last) / 1e6);
        linesBefore = lines;
        last = clock.nsecsElapsed();
    });

    QEventLoop loop;
    int ended = 0;
    std::vector<std::shared_ptr<AgentStreamConsumer>> consumers;
    std::vector<QCoro::Task<>> runs;
    QElapsedTimer wall;
    wall.start();
    heartbeat.start(0);
    timespec cpuStart{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuStart);
    // The coroutine keeps `target` in its frame; the lambda itself outlives it.
    const auto start = [&](AgentPaneState *target) -> QCoro::Task<> {
            const std::optional<AgentSession> session = co_await spawnAgent(provider);
            if (!session) {
                if (++ended == 3)
                    loop.quit();
                co_return;
            }
            const auto stream = co_await provider.outputStream(session->id);
            consumers.push_back(AgentStreamConsumer::start(stream, [&, target](const AgentOutput &event) {
                if (event.kind() == AgentOutput::Kind::stdoutLine) {
                    target->appendCurrentStdout(event.text());
                    target->appendLine(OutputLine::Kind::stdout, event.text());
                    target->appendStdoutToTurn(event.text());
                    ++lines;
                } else if (event.kind() == AgentOutput::Kind::processExited) {
                    target->closeTurn(target->taskCompleteSummary(event.exitCode()));
                    target->markExited(event.exitCode());
                    if (++ended == 3)
                        loop.quit();
                }
            }));
    };
    for (auto &pane : panes)
        runs.push_back(start(pane.get()));
    loop.exec();
    heartbeat.stop();
    const double seconds = wall.nsecsElapsed() / 1e9;
    timespec cpuEnd{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuEnd);
    const double cpuUs = (cpuEnd.tv_sec - cpuStart.tv_sec) * 1e6 + (cpuEnd.tv_nsec - cpuStart.tv_nsec) / 1e3;
    if (lines != 3 * (lineCount + 1))
        std::printf("three streams: unexpected run (%lld lines)\n", static_cast<long long>(lines));
    qunsetenv("CLAUDE_STANDIN_COMMANDS");
    qunsetenv("CLAUDE_STANDIN_PLAIN");
    return {lines / seconds, cpuUs / lines, percentile(turns, 0.99), percentile(turns, 1.0)};
}

void benchThreeStreamsThroughTheReader(const QString &project)
{
    // Alternating rounds, best of each, so that a busy machine weighs on both alike.
    StreamsFigures plain, events;
    for (int round = 0; round < 3; ++round) {
        const StreamsFigures p = runThreeStreams(project, true);
        const StreamsFigures e = runThreeStreams(project, false);
        if (p.linesPerSecond > plain.linesPerSecond)
            plain = p;
        if (e.linesPerSecond > events.linesPerSecond)
            events = e;
    }
    report("3 x 100,000 lines as events (reader): lines per second", events.linesPerSecond, "lines/s", ">= 1000000",
           events.linesPerSecond >= 1e6);
    inform("3 x 100,000 lines as plain lines: lines per second", plain.linesPerSecond, "lines/s");
    // What the GUI thread itself spends per line, whatever the agents' pace:
    // its capacity in lines per second of its own time.
    report("3 x 100,000 lines as events: GUI-thread capacity", 1e6 / events.guiCpuPerLineUs, "lines/s", ">= 1000000",
           1e6 / events.guiCpuPerLineUs >= 1e6);
    inform("3 x 100,000 lines as plain lines: GUI-thread capacity", 1e6 / plain.guiCpuPerLineUs, "lines/s");
    std::printf("  (GUI-thread time per line: events %.2f us, plain %.2f us)\n", events.guiCpuPerLineUs,
                plain.guiCpuPerLineUs);
    report("3 x 100,000 lines as events: GUI per turn with output, 99th pct", events.p99TurnMs, "ms", "<= 16",
           events.p99TurnMs <= 16);
    report("3 x 100,000 lines as plain lines: GUI per turn with output, 99th pct", plain.p99TurnMs, "ms", "<= 16",
           plain.p99TurnMs <= 16);
    inform("3 x 100,000 lines as events: GUI per turn, worst", events.worstTurnMs, "ms");
    inform("3 x 100,000 lines as plain lines: GUI per turn, worst", plain.worstTurnMs, "ms");
}

} // namespace

int main(int argc, char **argv)
{
    nerim::bench::printLoadOnce();
    QCoreApplication app(argc, argv);
    QStringList wanted = app.arguments().mid(1);
    const auto runs = [&wanted](const char *name) {
        return wanted.isEmpty() || wanted.contains(QLatin1String(name));
    };
    QTemporaryDir root;
    const QString project = root.path() + QStringLiteral("/bench-project");
    QDir().mkpath(project);
    QFile::copy(QStringLiteral("/dev/null"), project + QStringLiteral("/README.md"));
    bench::noteDebugBuild();
    if (runs("ingest"))
        benchOutputIngest(project);
    if (runs("prompt"))
        benchPromptAssembly(project);
    if (runs("save"))
        benchSavePanes(project);
    if (runs("streams"))
        benchThreeStreamsThroughTheReader(project);
    return 0;
}
