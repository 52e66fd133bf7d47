#pragma once

#include "agents/AgentOutput.h"
#include "agents/AgentPaneState.h"
#include "agents/AgentProvider.h"
#include "agents/ProjectAwareness.h"
#include "persistence/ContextEntry.h"
#include "persistence/ModelChoice.h"

#include <QCoro/QCoroTask>
#include <QList>
#include <QObject>
#include <QString>
#include <QUuid>
#include <functional>
#include <memory>
#include <optional>

namespace nerim {

class ProjectContextActor;

// What the runs of a system agent need of the canvas that holds their pane.
class SystemAgentHost {
public:
    using OutputHandler = std::function<void(const AgentOutput &event, AgentPaneState *pane)>;

    virtual ~SystemAgentHost() = default;

    virtual const QList<AgentPaneState *> &panes() const = 0;
    virtual AgentPaneState *paneWithId(const QUuid &id) const = 0;
    virtual bool isPaneOpen(const AgentPaneState *pane) const = 0;
    // Adds a system pane to the canvas, which owns it from then on.
    virtual void appendPane(AgentPaneState *pane) = 0;
    virtual bool isTornDown() const = 0;
    virtual std::shared_ptr<AgentProvider> agentProvider() const = 0;
    virtual std::shared_ptr<ProjectContextActor> contextActor() const = 0;
    // Cancels the pane's output consumer and forgets its session, which it gives.
    virtual std::optional<AgentSession> detachAgentRun(AgentPaneState *pane) = 0;
    // The one consumer of a run's output: every event goes to `handler` while the canvas and the pane live.
    virtual void startStreamConsumer(std::shared_ptr<AgentOutputStream> stream, AgentPaneState *pane,
                                     OutputHandler handler) = 0;
    virtual QCoro::Task<QList<ContextEntry>> recentContextEntries(int count) = 0;
    virtual ProjectAwareness projectAwareness() const = 0;
    virtual ModelChoice modelChoice() const = 0;
};

// The runs of one of Nerim's own agents (Repair, Deploy) in its system pane.
//
// `claude` answers one prompt per process, so a session of a system agent is
// a series of runs in one pane: the first is given the session's briefing,
// every later one the session's turns so far with the briefing restored and
// the new message as its task. One run goes at a time; a message for the agent
// that arrives while a run goes waits until that run exits. Each run's output
// is consumed in stream order: the flow's line handler acts on marker lines,
// and the flow hears of every exit.
//
// A run belongs to the session that was current when it was asked for; a run
// of an earlier session, or one whose session ended, whose pane closed or
// whose canvas was left while it started, is stopped as soon as it has started.
// GUI thread only.
class SystemAgentRuns : public QObject {
public:
    // Why a run asked for did not go on to run.
    enum class NotStarted {
        abandonedBeforeSpawn, // while the activity log was read
        spawnFailed,
        abandonedAtSpawn,  // the process started after its session moved on
        abandonedAtStream, // likewise, while its output stream was taken
    };

    // Who the agent is and what the flow does with its runs.
    struct Flow {
        QString paneName; // "Repair", "Deploy": also how a restored pane is found again
        QString agentId;
        QString responsibility;
        QString agentLabel;    // pane lines say "[<label> exited · code 0]"
        QString shownBriefing; // what the first turn shows in place of the long briefing
        // Whether the flow's session still wants runs.
        std::function<bool()> isActive;
        // One stdout line of a run, masked, in stream order.
        std::function<void(const QString &line, AgentPaneState *pane)> stdoutLine;
        // After the pane recorded a run's exit (status, session, turn).
        std::function<void(qint32 exitCode, AgentPaneState *pane)> exited;
        // Called before any further wait when a run will not run; the pane is null once it is gone.
        std::function<void(AgentPaneState *pane, NotStarted why)> notStarted;
        // Output text as the pane shows it (the Deploy agent's held values masked); empty: unchanged.
        std::function<QString(const QString &text)> mask;
        // Log lines of the flow, such as a failed activity entry.
        std::function<void(const QString &text)> log;
    };

    // One run of the agent.
    struct Run {
        QString task;
        QString shownPrompt; // what the pane's new turn shows
        QList<ConversationTurn> priorTurns;
        int recentEntries = 0; // activity-log entries read for the agent first; 0: none, no wait
        SpawnExtras extras;    // environment, PATH folders and arguments of this run only
        // Runs once the run works, just before its output is consumed.
        std::function<void()> running;
    };

    SystemAgentRuns(SystemAgentHost &host, Flow flow);

    // The open pane of this agent (a restored one counts), else a new one appended to the canvas.
    AgentPaneState *ensurePane();

    // Sessions. Runs asked for before `beginSession` are abandoned.
    quint64 beginSession() { return ++m_session; }
    quint64 session() const { return m_session; }
    const QString &briefing() const { return m_briefing; }
    void setBriefing(const QString &briefing) { m_briefing = briefing; }

    // The pane made ready for a new session: an agent still running there from
    // an earlier one is stopped, then the transcript and turns are emptied.
    // Null when the pane is gone or `stillCurrent` no longer holds after the wait.
    QCoro::Task<AgentPaneState *> freshPane(std::function<AgentPaneState *()> lookUp,
                                            std::function<bool()> stillCurrent);
    // The pane's completed turns, the first one with the briefing it only named.
    QList<ConversationTurn> turnsSoFar(const AgentPaneState *pane) const;

    // Starts one run in the pane and its consumer. The failure's description
    // when the agent could not be spawned; nothing once it runs or was abandoned.
    QCoro::Task<std::optional<QString>> start(AgentPaneState *pane, Run run);
    // `start` now, or once the pane's running agent has exited. Nothing without a pane.
    void startWhenFree(AgentPaneState *pane, std::function<void()> start);
    // Starts the oldest waiting run; false when none waits.
    bool startNextWaiting();
    void dropWaiting() { m_waiting.clear(); }

    // Ends the pane's run for a cancel: consumer and session first, so the
    // stopped agent's exit is never taken for its answer; a busy pane shows it
    // stopped. Gives the session, for `terminate`.
    std::optional<AgentSession> stop(AgentPaneState *pane);
    QCoro::Task<> terminate(std::optional<AgentSession> session);

    // Appends one entry to the activity log; a failure is logged after `failurePrefix`.
    QCoro::Task<> logActivity(ContextEntry::Payload payload, QString failurePrefix);

    // Shows in the pane that the agent could not be started, and why.
    void showStartFailure(AgentPaneState *pane, const QString &failure) const;
    // Leaves a pane whose run will not go on as it was before the run: a
    // spawning pane shows stopped, the run's turn is dropped.
    static void tidyAbandoned(AgentPaneState *pane);

private:
    void handleOutput(const AgentOutput &event, AgentPaneState *pane);

    SystemAgentHost &m_host;
    const Flow m_flow;
    quint64 m_session = 0;
    QString m_briefing;
    QList<std::function<void()>> m_waiting;
};

} // namespace nerim
