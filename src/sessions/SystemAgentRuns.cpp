#include "sessions/SystemAgentRuns.h"

#include "sessions/PaneRuns.h"
#include "foundation/Log.h"
#include "foundation/UuidText.h"
#include "persistence/AtomicFileWriter.h"
#include "persistence/ProjectContextActor.h"

#include <QCoro/QCoroFuture>
#include <QPointer>
#include <cmath>

namespace nerim {

SystemAgentRuns::SystemAgentRuns(SystemAgentHost &host, SystemAgentFlow &flow, Agent agent)
    : m_host(host), m_flow(flow), m_agent(std::move(agent))
{
}

AgentPaneState *SystemAgentRuns::pane() const
{
    const std::optional<QUuid> id = m_flow.paneId();
    return id ? m_host.paneWithId(*id) : nullptr;
}

bool SystemAgentRuns::isActiveIn(const QUuid &paneId) const
{
    return m_flow.paneId() == paneId && m_flow.isActive();
}

std::optional<quint64> SystemAgentRuns::beginSession()
{
    if (m_host.isTornDown())
        return std::nullopt;
    endRuns();
    // A new session: whatever an earlier run still prints is no longer acted on.
    m_trailing.reset();
    restartClock();
    m_runsAsked = 0;
    m_refusals = 0;
    return ++m_session;
}

bool SystemAgentRuns::countRun(int limit)
{
    if (m_runsAsked >= limit)
        return false;
    ++m_runsAsked;
    return true;
}

void SystemAgentRuns::endRuns()
{
    // The run that ended the session may still complete what it reported.
    m_trailing = m_generation;
    ++m_generation;
    m_waiting.clear();
    // The run still starting will not go on: its pane shows it stopped, without its turn.
    if (m_starting) {
        if (AgentPaneState *pane = m_starting->pane)
            tidyAbandoned(pane);
        m_starting.reset();
    }
}

qint64 SystemAgentRuns::secondsSinceStart(const Timestamp &now) const
{
    return m_startedAt ? std::llround(now.secondsSince(*m_startedAt)) : qint64(0);
}

// ---- A session's pane -----------------------------------------------------------------------------

AgentPaneState *SystemAgentRuns::openPane()
{
    AgentPaneState *open = nullptr;
    for (AgentPaneState *pane : m_host.panes()) {
        if (pane->isSystemPane() && pane->agentName() == m_agent.paneName) {
            open = pane;
            break;
        }
    }
    if (!open) {
        open = new AgentPaneState(newUuid(), m_agent.agentId, m_agent.paneName, 0, true, AgentRole::unspecified,
                                  m_agent.responsibility);
        m_host.appendPane(open);
    }
    m_flow.setPaneId(open->id());
    return open;
}

QCoro::Task<AgentPaneState *> SystemAgentRuns::preparePane(quint64 session, ContextEntry::Payload started,
                                                           QString failurePrefix, bool keepTranscript)
{
    QPointer<SystemAgentRuns> self(this);
    QCoro::Task<> logging = logActivity(std::move(started), std::move(failurePrefix));
    co_await std::move(logging);
    if (!self || !isPreparing(session))
        co_return nullptr;
    AgentPaneState *pane = this->pane();
    if (!pane)
        co_return nullptr;
    // An agent still running from an earlier session has nothing more to say.
    if (pane->currentSession()) {
        const std::optional<AgentSession> earlier = m_host.detachAgentRun(pane);
        const std::shared_ptr<AgentProvider> provider = m_host.agentProvider();
        QCoro::Task<> stopping = provider->terminate(earlier->id);
        co_await std::move(stopping);
        if (!self || !isPreparing(session))
            co_return nullptr;
        pane = this->pane();
        if (!pane)
            co_return nullptr;
    }
    if (!keepTranscript)
        pane->setOutputLines({});
    pane->setCurrentStdout({});
    pane->setConversation({});
    co_return pane;
}

QList<ConversationTurn> SystemAgentRuns::turnsSoFar(const AgentPaneState *pane) const
{
    QList<ConversationTurn> turns = pane->completedTurns();
    if (!turns.isEmpty() && turns.first().userPrompt == m_agent.shownBriefing)
        turns.first().userPrompt = m_briefing;
    return turns;
}

// ---- One run ------------------------------------------------------------------------------------

QCoro::Task<std::optional<SystemAgentRuns::StartFailure>> SystemAgentRuns::start(AgentPaneState *pane, Run run)
{
    QPointer<SystemAgentRuns> self(this);
    QPointer<AgentPaneState> guard(pane);
    // A new run: whatever an earlier one still reports is no longer the session's.
    moveOn();
    const quint64 generation = m_generation;
    m_starting = Starting{generation, guard};
    // The provider stays alive for the spawn even if the canvas goes meanwhile.
    const std::shared_ptr<AgentProvider> provider = m_host.agentProvider();
    // The run is still the one the session waits for (checked after each wait).
    const auto current = [&] { return self && isCurrent(generation); };
    // The session was cancelled or ended, the step closed, a newer run asked
    // for, or the pane closed or the canvas left, during a wait.
    const auto abandoned = [&] {
        return !current() || !guard || !m_host.isPaneOpen(pane) || !m_flow.isActive();
    };
    // The flow hears of it before anything else waits; a run of an older
    // generation has nobody to tell (what moved the generation on tidied the pane).
    const auto notStarted = [&](NotStarted why) {
        if (!current())
            return;
        m_starting.reset();
        m_flow.handleRunOver();
        m_flow.handleNotStarted(guard ? pane : nullptr, why);
    };

    pane->setCurrentStdout({});
    pane->setStatus(AgentStatus::spawning);
    pane->beginTurn(run.shownPrompt);

    QList<ContextEntry> entries;
    if (run.recentEntries > 0) {
        QCoro::Task<QList<ContextEntry>> reading = m_host.recentContextEntries(run.recentEntries);
        entries = co_await std::move(reading);
        if (abandoned()) {
            notStarted(NotStarted::abandonedBeforeSpawn);
            co_return std::nullopt;
        }
    }

    AgentSession spawned;
    std::exception_ptr failure;
    try {
        QCoro::Task<AgentSession> spawning =
            provider->spawn(run.role, entries, run.priorTurns, run.task, m_host.projectAwareness(),
                            m_host.modelChoice(), run.extras);
        spawned = co_await std::move(spawning);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        if (!current())
            co_return std::nullopt;
        notStarted(NotStarted::spawnFailed);
        co_return StartFailure{AtomicFileWriter::describeFailure(failure), guard};
    }
    // A late agent is stopped, also when this object (the canvas) is gone.
    if (abandoned()) {
        notStarted(NotStarted::abandonedAtSpawn);
        QCoro::Task<> stopping = provider->terminate(spawned.id);
        co_await std::move(stopping);
        co_return std::nullopt;
    }

    // The stream is taken at once: every event of the run reaches the consumer.
    QCoro::Task<std::shared_ptr<AgentOutputStream>> fetching = provider->outputStream(spawned.id);
    const std::shared_ptr<AgentOutputStream> stream = co_await std::move(fetching);
    if (abandoned()) {
        notStarted(NotStarted::abandonedAtStream);
        QCoro::Task<> stopping = provider->terminate(spawned.id);
        co_await std::move(stopping);
        co_return std::nullopt;
    }
    m_starting.reset();
    pane->setCurrentSession(spawned);
    pane->setStatus(AgentStatus::working);
    if (run.running)
        run.running();
    m_host.startStreamConsumer(stream, pane, [this, generation](const AgentOutput &event, AgentPaneState *target) {
        handleOutput(event, target, generation);
    });
    co_return std::nullopt;
}

void SystemAgentRuns::startWhenFree(std::function<void()> start, bool supersedes)
{
    AgentPaneState *pane = this->pane();
    if (!pane)
        return;
    // One run at a time: this one goes in when the running one ends.
    if (pane->currentSession() || isBusy(pane->status())) {
        // The session has moved on: the running run's markers no longer act
        // (a run still starting has said nothing yet, and is not abandoned).
        if (supersedes && !m_starting)
            moveOn();
        m_waiting.append(std::move(start));
        return;
    }
    start();
}

void SystemAgentRuns::showStartFailure(AgentPaneState *pane, const QString &failure) const
{
    pane->appendLine(OutputLine::Kind::stderr, QStringLiteral("Couldn't start the %1: ").arg(m_agent.label) + failure);
    pane->setStatus(AgentStatus::error);
}

void SystemAgentRuns::tidyAbandoned(AgentPaneState *pane)
{
    if (pane->status() == AgentStatus::spawning)
        pane->setStatus(AgentStatus::stopped);
    removeTurnInFlight(pane);
}

// ---- The run's output ---------------------------------------------------------------------------

void SystemAgentRuns::handleOutput(const AgentOutput &event, AgentPaneState *pane, quint64 generation)
{
    switch (event.kind()) {
    case AgentOutput::Kind::stdoutLine:
        if (acts(generation)) {
            m_flow.handleStdoutLine(m_flow.shownOutput(event.text()), pane);
        } else if (m_flow.isMarkerLine(event.text())) {
            // A run the session has moved on from: its markers act on nothing,
            // and the pane says so once rather than show them as if they did.
            if (m_toldSuperseded != generation) {
                m_toldSuperseded = generation;
                pane->appendLine(OutputLine::Kind::system,
                                 QStringLiteral("[The %1's earlier run reported after Nerim had moved on; that "
                                                "changes nothing.]")
                                     .arg(m_agent.label));
            }
        } else { // its other lines are shown as text
            pane->appendLine(OutputLine::Kind::stdout, m_flow.shownOutput(event.text()));
        }
        break;
    case AgentOutput::Kind::stderrLine:
        pane->appendLine(OutputLine::Kind::stderr, m_flow.shownOutput(event.text()));
        break;
    case AgentOutput::Kind::statusLine:
        pane->appendLine(OutputLine::Kind::system, m_flow.shownOutput(event.text()));
        break;
    case AgentOutput::Kind::completion:
        if (!event.text().isEmpty())
            pane->appendLine(OutputLine::Kind::taskComplete, m_flow.shownOutput(event.text()));
        break;
    case AgentOutput::Kind::hangSignal:
        pane->appendLine(OutputLine::Kind::system, QStringLiteral("[%1 has been quiet for a while \u2014 %2]")
                                                       .arg(m_agent.label, hangThresholdName(event.threshold())));
        break;
    case AgentOutput::Kind::processExited:
        handleExit(event.exitCode(), pane, generation);
        break;
    }
}

void SystemAgentRuns::handleExit(qint32 exitCode, AgentPaneState *pane, quint64 generation)
{
    pane->appendLine(exitCode == 0 ? OutputLine::Kind::system : OutputLine::Kind::stderr,
                     QStringLiteral("[%1 exited \u00b7 code %2]").arg(m_agent.label).arg(exitCode));
    // A clean exit while the session waits for the user's answer is not the end of its work.
    const bool waits = exitCode == 0 && acts(generation) && m_flow.isActive() && m_flow.isWaitingForUser();
    pane->setStatus(exitCode != 0 ? AgentStatus::error : waits ? AgentStatus::idle : AgentStatus::done);
    pane->setCurrentSession(std::nullopt);
    pane->closeTurn(std::nullopt);
    m_flow.handleRunOver();

    if (!m_flow.isActive()) {
        m_waiting.clear();
        return;
    }
    // A run that waited for this one starts now (the pane is free, whichever
    // generation the run that left it had).
    const bool inSessionPane = pane == this->pane();
    if (inSessionPane && !m_waiting.isEmpty()) {
        const std::function<void()> start = m_waiting.takeFirst();
        start();
        return;
    }
    // The exit of a run of an ended session, or of a step since closed, says
    // nothing about the current one.
    if (!isCurrent(generation))
        return;
    m_flow.handleRunEnded(pane, inSessionPane);
}

// ---- Stopping ------------------------------------------------------------------------------------

std::optional<AgentSession> SystemAgentRuns::stop()
{
    AgentPaneState *pane = this->pane();
    std::optional<AgentSession> session;
    if (pane) {
        session = m_host.detachAgentRun(pane);
        if (session || isBusy(pane->status())) {
            pane->setStatus(AgentStatus::stopped);
            pane->closeTurn(std::nullopt);
        }
    }
    endRuns();
    return session;
}

QCoro::Task<> SystemAgentRuns::terminate(std::optional<AgentSession> session)
{
    if (!session)
        co_return;
    const std::shared_ptr<AgentProvider> provider = m_host.agentProvider();
    QCoro::Task<> stopping = provider->terminate(session->id);
    co_await std::move(stopping);
}

QCoro::Task<> SystemAgentRuns::cancel(std::function<void()> end)
{
    if (!m_flow.isActive())
        co_return;
    logLine(m_agent.logPrefix + QStringLiteral("user cancelled session in phase %1").arg(m_flow.phaseDescription()));
    const std::optional<AgentSession> session = stop();
    m_flow.handleRunOver();
    end();
    QCoro::Task<> stopping = terminate(session);
    co_await std::move(stopping);
}

// ---- Activity log --------------------------------------------------------------------------------

QCoro::Task<> SystemAgentRuns::logActivity(ContextEntry::Payload payload, QString failurePrefix)
{
    const std::shared_ptr<ProjectContextActor> actor = m_host.contextActor();
    if (!actor)
        co_return;
    // This object may be gone after the wait.
    const QString logPrefix = m_agent.logPrefix;
    try {
        QFuture<ContextEntry> appending = actor->append(payload, Timestamp::now());
        co_await appending;
    } catch (...) {
        logLine(logPrefix + failurePrefix + AtomicFileWriter::describeFailure(std::current_exception()));
    }
}

} // namespace nerim
