#pragma once

// What the headless and streaming benchmarks share: a temporary home,
// running the event loop (a real one, so that turns are timed as the app's
// are) until something holds, and timing the turns of the event loop that
// did work.
//
// The programs under bench/ print each figure with its target; they are built
// with the tests but not run by them. A turn is seen through an
// application-wide event filter (WorkingTurns; timeWorkingTurns runs the loop
// while a condition holds). Work a benchmark starts itself is started from a
// timer of its own (QTimer::singleShot), so that its turn is one of the
// program's and is timed.

#include "BenchTiming.h"

#include <QCoreApplication>
#include <QCoro/QCoroTask>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

namespace nerim::bench {

// Points HOME and the XDG data and configuration folders into `home`, so
// that nothing of the real home is read or written.
inline void useTemporaryHome(const QTemporaryDir &home)
{
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/.local/share")).toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/.config")).toUtf8());
}

// Before the application object of a benchmark with windows: the temporary
// home, and the offscreen platform unless another one is asked for.
inline void prepareWindowBench(const QTemporaryDir &home)
{
    useTemporaryHome(home);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

// Runs the event loop until `condition` holds or `timeoutMs` have passed;
// whether it holds.
template <typename F>
bool runUntil(F condition, int timeoutMs = 600000)
{
    QElapsedTimer timer;
    timer.start();
    QEventLoop loop;
    QTimer poll;
    // (Polling is the benchmark's own work, not the program's.)
    poll.setObjectName(QStringLiteral("benchPoll"));
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (condition() || timer.elapsed() > timeoutMs)
            loop.quit();
    });
    poll.start(1);
    if (!condition())
        loop.exec();
    return condition();
}

// Runs the event loop until `task` has finished.
template <typename T>
void awaitTask(QCoro::Task<T> &&task)
{
    bool done = false;
    auto driver = [&]() -> QCoro::Task<> {
        co_await std::move(task);
        done = true;
    };
    auto running = driver();
    runUntil([&] { return done; });
}

// The turns of the event loop that did work, each timed as the GUI thread's
// CPU time (which other programs on a busy machine do not inflate) and as
// wall time: the time between two firings of a zero-interval timer, which
// fires once at the end of every turn. A turn counts only when an event other
// than the benchmark's own timers was delivered in it (a timer or a queued
// call of the program, painting, input, a socket, a deferred delete): a loop
// with nothing to do spins through empty turns by the million, which would
// hide the long ones in any percentile. Measures while it exists, from
// `start` on.
struct TurnTimes {
    // In the order they came: GUI-thread CPU and wall time, in ms.
    std::vector<double> cpu;
    std::vector<double> wall;
    // Turns in which nothing but the benchmark's own timers ran.
    qint64 emptyTurns = 0;

    size_t count() const { return cpu.size(); }
    double longestCpu() const { return cpu.empty() ? 0 : *std::max_element(cpu.begin(), cpu.end()); }
    double longestWall() const { return wall.empty() ? 0 : *std::max_element(wall.begin(), wall.end()); }
    double cpuPercentile(double p) const { return percentile(cpu, p); }
    double wallPercentile(double p) const { return percentile(wall, p); }
    // Adds a turn timed by other means (the one that started the work).
    void add(double cpuMs, double wallMs)
    {
        cpu.push_back(cpuMs);
        wall.push_back(wallMs);
    }
};

class WorkingTurns : public QObject {
public:
    WorkingTurns()
    {
        m_heartbeat.setObjectName(QStringLiteral("benchHeartbeat"));
        QObject::connect(&m_heartbeat, &QTimer::timeout, [this] { endTurn(); });
    }
    ~WorkingTurns() override { stop(); }

    void start()
    {
        if (m_running)
            return;
        m_running = true;
        m_worked = false;
        QCoreApplication::instance()->installEventFilter(this);
        m_clock.start();
        m_lastWall = m_clock.nsecsElapsed();
        m_lastCpu = threadCpuMs();
        m_heartbeat.start(0);
    }
    void stop()
    {
        if (!m_running)
            return;
        m_running = false;
        m_heartbeat.stop();
        if (QCoreApplication *app = QCoreApplication::instance())
            app->removeEventFilter(this);
    }
    const TurnTimes &times() const { return m_times; }
    // The turns timed so far, which are forgotten.
    TurnTimes take() { return std::exchange(m_times, TurnTimes()); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!m_worked && !isBenchOwn(watched, event))
            m_worked = true;
        return false;
    }

private:
    static bool isBenchOwn(QObject *watched, QEvent *event)
    {
        // The heartbeat's and runUntil's timers firing (a QTimer's own timer
        // event); anything else delivered is the program's work.
        if (event->type() != QEvent::Timer)
            return false;
        const QString &name = watched->objectName();
        return name == QLatin1String("benchHeartbeat") || name == QLatin1String("benchPoll");
    }

    void endTurn()
    {
        const qint64 wall = m_clock.nsecsElapsed();
        const double cpu = threadCpuMs();
        if (m_worked)
            m_times.add(cpu - m_lastCpu, (wall - m_lastWall) / 1e6);
        else
            ++m_times.emptyTurns;
        m_worked = false;
        // (What this bookkeeping took is not the next turn's.)
        m_lastWall = m_clock.nsecsElapsed();
        m_lastCpu = threadCpuMs();
    }

    QTimer m_heartbeat;
    QElapsedTimer m_clock;
    qint64 m_lastWall = 0;
    double m_lastCpu = 0;
    bool m_running = false;
    bool m_worked = false;
    TurnTimes m_times;
};

// Runs the event loop while `running` holds (or until `timeoutMs` have
// passed), timing the turns that did work.
template <typename Running>
TurnTimes timeWorkingTurns(Running running, int timeoutMs = 600000)
{
    WorkingTurns turns;
    turns.start();
    runUntil([&] { return !running(); }, timeoutMs);
    turns.stop();
    return turns.take();
}

// Runs the event loop for `ms`, timing the turns that did work.
inline TurnTimes timeWorkingTurnsFor(int ms)
{
    QElapsedTimer clock;
    clock.start();
    return timeWorkingTurns([&] { return clock.elapsed() < ms; });
}

} // namespace nerim::bench
