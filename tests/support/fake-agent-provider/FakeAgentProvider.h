#pragma once

#include "agents/AgentError.h"
#include "agents/AgentProvider.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QQueue>
#include <optional>

namespace nerim::test {

// An agent provider for tests: no program runs; each spawn plays the next
// queued script. Like the real provider, a session's stream keeps every event
// until it is read, and terminating a running session ends it with an exit
// event (at once, or later for a "slow" exit). Lives on the GUI thread.
class FakeAgentProvider : public AgentProvider {
public:
    struct Script {
        // The spawn fails with this error.
        std::optional<AgentError> failure;
        // Yielded as soon as the session exists.
        QList<AgentOutput> events;
        // Set: the process exits right after `events` (an instant exit).
        // Unset: it runs until `finish` or `terminate`.
        std::optional<qint32> exitCode;
        // The spawn does not return until the next `releaseSpawns()`.
        bool holdSpawn = false;
        // The exit a terminated, still running session reports (SIGTERM's number),
        // and after how long (0: during the terminate call itself).
        qint32 terminatedExitCode = 15;
        int terminatedExitDelayMs = 0;
        // The terminate call returns only after the exit was reported and the
        // event loop has run (as a real stop waits for the process to end).
        bool terminateWaitsForExit = false;
    };

    struct SpawnCall {
        AgentRole role;
        QList<ContextEntry> recentEntries;
        QList<ConversationTurn> priorTurns;
        QString task;
        ProjectAwareness awareness;
        ModelChoice model;
        SpawnExtras extras;
    };

    // Scripts are used in order; with none queued a spawn runs until finished.
    void enqueue(Script script) { m_scripts.enqueue(std::move(script)); }
    static Script events(QList<AgentOutput> events, std::optional<qint32> exitCode = 0)
    {
        Script script;
        script.events = std::move(events);
        script.exitCode = exitCode;
        return script;
    }
    static Script failing(AgentError error)
    {
        Script script;
        script.failure = std::move(error);
        return script;
    }
    static Script running(QList<AgentOutput> events = {})
    {
        Script script;
        script.events = std::move(events);
        return script;
    }
    // The script, its spawn held until released (then it fails or starts as scripted).
    static Script held(Script script)
    {
        script.holdSpawn = true;
        return script;
    }

    QCoro::Task<AgentSession> spawn(AgentRole role, QList<ContextEntry> recentEntries,
                                    QList<ConversationTurn> priorTurns, QString task, ProjectAwareness awareness,
                                    ModelChoice model, SpawnExtras extras = {}) override;
    QCoro::Task<> send(QUuid sessionId, QString text) override;
    QCoro::Task<std::shared_ptr<AgentOutputStream>> outputStream(QUuid sessionId) override;
    QCoro::Task<> terminate(QUuid sessionId) override;

    // Lets every spawn held so far return; later held spawns wait for the next release.
    void releaseSpawns() { ++m_releases; }
    int heldSpawns() const { return m_held; }

    // Feeds a running session.
    void yieldEvent(const QUuid &sessionId, const AgentOutput &event);
    // The session's process exits with the code.
    void finish(const QUuid &sessionId, qint32 exitCode);
    bool isRunning(const QUuid &sessionId) const { return m_sessions.value(sessionId).running; }

    const QList<SpawnCall> &spawnCalls() const { return m_spawnCalls; }
    const QList<QUuid> &terminated() const { return m_terminated; }
    // Every session started, oldest first.
    const QList<QUuid> &sessionIds() const { return m_order; }

private:
    struct Session {
        std::shared_ptr<AgentOutputStream> stream;
        bool running = false;
        qint32 terminatedExitCode = 15;
        int terminatedExitDelayMs = 0;
        bool terminateWaitsForExit = false;
    };

    QQueue<Script> m_scripts;
    QHash<QUuid, Session> m_sessions;
    QList<QUuid> m_order;
    QList<SpawnCall> m_spawnCalls;
    QList<QUuid> m_terminated;
    int m_releases = 0;
    int m_held = 0;
    qint32 m_nextPid = 4100;
    QObject m_timerContext; // timers of late exits die with the provider
};

} // namespace nerim::test
