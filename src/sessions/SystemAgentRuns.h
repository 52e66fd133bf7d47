#pragma once

#include "agents/AgentOutput.h"
#include "agents/AgentPaneState.h"
#include "agents/AgentProvider.h"
#include "agents/ProjectAwareness.h"
#include "foundation/Timestamp.h"
#include "persistence/ContextEntry.h"
#include "persistence/ModelChoice.h"

#include <QCoro/QCoroTask>
#include <QList>
#include <QObject>
#include <QPointer>
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

// What a flow (the Repair loop, the Deploy flow) does with its agent's runs.
class SystemAgentFlow {
public:
    // Why a run asked for did not go on to run.
    enum class NotStarted {
        abandonedBeforeSpawn, // while the activity log was read
        spawnFailed,
        abandonedAtSpawn,  // the process started after its session moved on
        abandonedAtStream, // likewise, while its output stream was taken
    };

    virtual ~SystemAgentFlow() = default;

    // Whether the flow's session still wants runs.
    virtual bool isActive() const = 0;
    // Whether the session is still preparing its first run.
    virtual bool isPreparing() const = 0;
    // The session's phase, for log lines.
    virtual QString phaseDescription() const = 0;
    // The pane the session records (kept after it ends).
    virtual std::optional<QUuid> paneId() const = 0;
    virtual void setPaneId(const QUuid &id) = 0;
    // One stdout line of a run, as the pane shows it, in stream order.
    virtual void handleStdoutLine(const QString &line, AgentPaneState *pane) = 0;
    // Whether the session has stopped on purpose for the user's answer, so a
    // run that exits cleanly now leaves its pane waiting rather than done.
    virtual bool isWaitingForUser() const { return false; }
    // A run exited or will not run: what was meant for that run only goes.
    virtual void handleRunOver() {}
    // A run will not run. Called before any further wait; the pane is null once it is gone.
    virtual void handleNotStarted(AgentPaneState *pane, NotStarted why) = 0;
    // A run exited while the session is active, and no run waited for it in
    // the session's pane. `inSessionPane`: the run was in that pane.
    virtual void handleRunEnded(AgentPaneState *pane, bool inSessionPane) = 0;
    // Output text as the pane shows it.
    virtual QString shownOutput(const QString &text) const { return text; }
    // Whether a stdout line is one of the agent's marker lines.
    virtual bool isMarkerLine(const QString &line) const = 0;
};

// The runs of one of Nerim's own agents (Repair, Deploy) in its system pane.
//
// `claude` answers one prompt per process, so a session of a system agent is
// a series of runs in one pane: the first is given the session's briefing,
// every later one the session's turns so far with the briefing restored and
// the new message as its task. One run goes at a time; a message for the agent
// that arrives while a run goes waits until that run exits. Each run's output
// is consumed in stream order and handed to the flow, which acts on marker
// lines and hears of every exit.
//
// Only the current generation's output is acted on: once the session asks for
// a run that takes over its step (even one that waits for the running run to
// exit), begins anew or its step closes, an earlier run's lines are still shown but its markers do
// nothing. The one exception is the run that ended the session: until
// anything else is asked for, what it prints after the end still reaches the
// flow (which, being inactive, takes only what completes that end).
//
// Every run carries a generation: the one current when it was asked for.
// A new session, a new run, cancelling, stopping (a closed step) and the end of
// a session each move the generation on. Whatever arrives for an older
// generation (a spawn that returns late, its failure, its exit) changes nothing
// in the session or the pane, and a late agent is stopped as soon as it has
// started; so is one whose pane closed or whose canvas was left (or released)
// while it started. GUI thread only.
//
// A follow-up that takes over the session's step (`startWhenFree(…,
// supersedes)`: a Repair retry, a refused marker's answer, the run that
// carries the user's answer to what the agent asked) or a new session moves
// the generation on even while the running agent finishes, whose marker
// lines are then replaced by one line saying they changed nothing
// (SystemAgentFlow::isMarkerLine); so a late STUCK or LIVE from the asking run
// is only shown. The run that ended the session is the exception, so a
// DEPLOYMENT_ID printed after LIVE completes its history line. A clean exit
// while the flow waits for the user (`isWaitingForUser`: a token, a value,
// the checklist) leaves the pane idle, not done. Extra environment, PATH
// folders and tool permissions are a run's parameters (SpawnExtras: the
// Deploy run's tokens and values; none for Repair).
//
// Bounds, both reset with each session. A request Nerim refuses is answered
// by a run of its own, a few times per session only (`countRefusal`): a
// Repair session ends stuck once it has refused as many requests as it has
// attempts (a refused marker also counts as an attempt while repairing); a
// Deploy step answers two refused requests and ends stuck at the third
// (reason "refusal-cap-hit"). The runs a session asks for on its own
// (`countRun`; a prompt the user typed is not counted) are at most 12 for a
// repair and 16 for a Deploy step (a deploy, an operation, the Live menu's
// env-var card or the domain step); past it the session ends stuck, saying so
// (reason "run-cap-hit"). Either way the pane and the stuck reason say what
// was refused and what the user can do.
//
// Each session implements SystemAgentFlow (phase checks, its pane id, its
// stdout and marker handling, what happens when a run ends or does not start,
// masking) and keeps its own state, context builder, marker actions, retry or
// operation logic and history; PaneRuns.h holds the two steps every pane's
// run shares.
class SystemAgentRuns : public QObject {
public:
    using NotStarted = SystemAgentFlow::NotStarted;

    // Who the agent is.
    struct Agent {
        QString paneName; // "Repair", "Deploy": also how a restored pane is found again
        QString agentId;
        QString responsibility;
        QString label;         // pane lines say "[<label> exited · code 0]"
        QString shownBriefing; // what the first turn shows in place of the long briefing
        QString logPrefix;     // of the flow's log lines
    };

    // One run of the agent.
    struct Run {
        QString task;
        QString shownPrompt = {}; // what the pane's new turn shows
        QList<ConversationTurn> priorTurns = {};
        int recentEntries = 0;   // activity-log entries read for the agent first; 0: none, no wait
        SpawnExtras extras = {}; // environment, PATH folders and arguments of this run only
        AgentRole role = AgentRole::code; // whose prompt the agent is given
        // Runs once the run works, just before its output is consumed.
        std::function<void()> running = {};
    };

    SystemAgentRuns(SystemAgentHost &host, SystemAgentFlow &flow, Agent agent);

    // The pane the session records, when it is open.
    AgentPaneState *pane() const;
    // Whether the session is active in this pane.
    bool isActiveIn(const QUuid &paneId) const;

    // Begins a session: runs asked for before are abandoned, those waiting
    // dropped, and the session's clock starts. None once the canvas was left.
    std::optional<quint64> beginSession();
    // The session ended (or its step was closed): the generation moves on, so
    // a run still starting is stopped once it has started and the pane is left
    // as it was before that run; runs waiting are dropped. A run already
    // working is left alone: its output still reaches the flow, but its exit
    // no longer counts as the session's.
    void endRuns();
    quint64 session() const { return m_session; }
    // `session` is still the current one and preparing.
    bool isPreparing(quint64 session) const { return session == m_session && m_flow.isPreparing(); }
    const QString &briefing() const { return m_briefing; }
    void setBriefing(const QString &briefing) { m_briefing = briefing; }
    // The session's clock, for the history's duration.
    void restartClock() { m_startedAt = Timestamp::now(); }

    // Every run costs the user money, so a session's runs are bounded: the
    // flow counts each run it asks for on its own (a prompt the user typed is
    // not counted). False once `limit` runs have been asked for in this session.
    bool countRun(int limit);
    // Counts one request of the agent that Nerim refused in this session; the count so far.
    int countRefusal() { return ++m_refusals; }
    qint64 secondsSinceStart(const Timestamp &now) const;

    // The session's pane: the open pane of this agent (a restored one counts),
    // else a new one appended to the canvas; recorded as the session's.
    AgentPaneState *openPane();
    // The session's pane made ready for its first run: `started` goes into the
    // activity log (a failure is logged after `failurePrefix`), an agent still
    // running there from an earlier session is stopped, then the turns are
    // emptied, and the transcript too unless `keepTranscript` (the new session
    // goes on below what the pane showed). Null when the pane is gone, or the
    // session is no longer the preparing one after a wait.
    QCoro::Task<AgentPaneState *> preparePane(quint64 session, ContextEntry::Payload started, QString failurePrefix,
                                              bool keepTranscript = false);
    // The pane's completed turns, the first one with the briefing it only named.
    QList<ConversationTurn> turnsSoFar(const AgentPaneState *pane) const;

    // An agent of the current generation that could not be spawned.
    struct StartFailure {
        QString description;
        AgentPaneState *pane; // null once the pane is gone
    };
    // Starts one run in the pane and its consumer. A failure to spawn while
    // the run's generation is current; nothing once the run works, was
    // abandoned or belongs to an older generation.
    QCoro::Task<std::optional<StartFailure>> start(AgentPaneState *pane, Run run);
    // `start` now, or once the running agent in the session's pane has exited.
    // Nothing without a pane. `supersedes`: the run asked for takes over the
    // session's step, so the running agent's markers no longer act (its
    // lines are still shown).
    void startWhenFree(std::function<void()> start, bool supersedes = false);
    void dropWaiting() { m_waiting.clear(); }
    // Whether a run waits for the running one.
    bool hasWaiting() const { return !m_waiting.isEmpty(); }

    // Ends the run in the session's pane: consumer and session first, so the
    // stopped agent's exit is never taken for its answer; a busy pane shows it
    // stopped; the generation moves on (`endRuns`), so a run still starting is
    // stopped once it has. Gives the session, for `terminate`.
    std::optional<AgentSession> stop();
    QCoro::Task<> terminate(std::optional<AgentSession> session);
    // The user cancels the active session: the run is stopped, `end` ends the
    // session, and then the stopped agent's process is terminated (so whatever
    // reports during that wait finds the session over). Nothing while none is active.
    QCoro::Task<> cancel(std::function<void()> end);

    // Appends one entry to the activity log; a failure is logged after `failurePrefix`.
    QCoro::Task<> logActivity(ContextEntry::Payload payload, QString failurePrefix);

    // Shows in the pane that the agent could not be started, and why.
    void showStartFailure(AgentPaneState *pane, const QString &failure) const;
    // Leaves a pane whose run will not go on as it was before the run: a
    // spawning pane shows stopped, the run's turn is dropped.
    static void tidyAbandoned(AgentPaneState *pane);

private:
    void handleOutput(const AgentOutput &event, AgentPaneState *pane, quint64 generation);
    // Whether output of a run of `generation` is the flow's to act on.
    bool acts(quint64 generation) const
    {
        return !m_host.isTornDown() && (generation == m_generation || generation == m_trailing);
    }
    // The generation moves on for a new step: no earlier run acts any more.
    void moveOn()
    {
        ++m_generation;
        m_trailing.reset();
    }
    void handleExit(qint32 exitCode, AgentPaneState *pane, quint64 generation);
    // A run's generation is the current one, and the canvas still takes runs.
    bool isCurrent(quint64 generation) const { return generation == m_generation && !m_host.isTornDown(); }

    // The run between its spawn being asked for and its output being consumed.
    struct Starting {
        quint64 generation;
        QPointer<AgentPaneState> pane;
    };

    SystemAgentHost &m_host;
    SystemAgentFlow &m_flow;
    const Agent m_agent;
    quint64 m_session = 0;
    quint64 m_generation = 0;
    // The generation whose run ended the session, while nothing newer was asked for.
    std::optional<quint64> m_trailing;
    // The generation whose marker lines the pane has said it ignores.
    std::optional<quint64> m_toldSuperseded;
    std::optional<Starting> m_starting;
    QString m_briefing;
    std::optional<Timestamp> m_startedAt;
    QList<std::function<void()>> m_waiting;
    // Runs asked for and requests refused in this session.
    int m_runsAsked = 0;
    int m_refusals = 0;
};

} // namespace nerim
