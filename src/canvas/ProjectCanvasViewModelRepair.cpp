// The repair loop on the canvas. When the user's app failed to start, a
// session of Nerim's Repair agent runs in the Repair system pane: it is given
// the failure, its output and the project, and talks back through marker
// lines, on which the loop restarts the app and judges the result, asks the
// user for a secret for .env, saves a start command, or ends stuck. Each
// session ends once, in the repair history and the activity log.
//
// The `claude` program answers one prompt per process. Every follow-up to the
// agent (after a failed restart, after a secret, a prompt the user types to
// the Repair pane) is therefore a new run in the pane, given the session's
// earlier turns with the first prompt restored. An agent's exit ends the
// session only while it is preparing or repairing: after its ready or
// ask-secret marker the agent's exit is expected.
#include "canvas/ProjectCanvasViewModel.h"

#include "foundation/Log.h"
#include "foundation/Text.h"
#include "foundation/UuidText.h"
#include "launcher/LocalURLDetection.h"
#include "persistence/AtomicFileWriter.h"
#include "persistence/ProjectContextActor.h"
#include "repair/DotEnvFile.h"
#include "repair/RepairHistoryEntry.h"
#include "repair/RepairMarkers.h"
#include "repair/RepairPrompt.h"

#include <QCoro/QCoroFuture>
#include <QRegularExpression>
#include <QTimer>
#include <cmath>

namespace nerim {

namespace {

using Phase = RepairSessionState::Phase;

const QString repairPaneName = QStringLiteral("Repair");
const QString repairAgentId = QStringLiteral("nerim.repair");
const QString repairResponsibility = QStringLiteral("Fixing the crash");
// What the pane's first turn shows in place of the long briefing.
const QString shownRepairPrompt = QStringLiteral("(system prompt \u2014 see plans/SELF_HEALING_PREVIEW.md \u00a76)");

const QString couldNotStartText = QStringLiteral("The Repair agent couldn't start.");
const QString exitedSilentText = QStringLiteral("The Repair agent finished without saying what happened.");

// The restarted app may print this many of its last lines into a follow-up.
constexpr qsizetype followUpOutputLines = 60;

void logRepair(const QString &text)
{
    logLine(QStringLiteral("[Nerim repair] ") + text);
}

// A start command for the log: values of inline NAME=value settings are left
// out, since an agent may put a key there.
QString commandForLog(const QString &command)
{
    static const QRegularExpression assignment(QStringLiteral(R"((^|\s)([A-Za-z_][A-Za-z0-9_]*)=\S*)"));
    QString shown = command;
    shown.replace(assignment, QStringLiteral("\\1\\2=\u2026"));
    return shown;
}

// A command the agent wrapped in one Markdown code span, without it.
QString unwrapCodeSpan(const QString &command)
{
    const QString trimmed = command.trimmed();
    if (trimmed.size() >= 2 && trimmed.startsWith(QLatin1Char('`')) && trimmed.endsWith(QLatin1Char('`')) &&
        trimmed.count(QLatin1Char('`')) == 2)
        return trimmed.mid(1, trimmed.size() - 2).trimmed();
    return trimmed;
}

// The command the agent saves for a project that has nothing to start only
// prints a sentence.
bool isNothingToStartCommand(const QString &command)
{
    return command.startsWith(QLatin1String("echo ")) && !DevServerRunner::isCompoundCommand(command);
}

std::optional<ContextEntry::RepairSessionOutcome> outcomeOf(const Phase &phase)
{
    switch (phase.kind()) {
    case Phase::Kind::fixed: return ContextEntry::RepairSessionOutcome::fixed;
    case Phase::Kind::stuck: return ContextEntry::RepairSessionOutcome::stuck;
    case Phase::Kind::cancelled: return ContextEntry::RepairSessionOutcome::cancelled;
    default: return std::nullopt;
    }
}

} // namespace

// ---- What a session works on --------------------------------------------------------------

bool ProjectCanvasViewModel::canBeginRepair() const
{
    const bool failedPlan = m_devServerRunner->lastFailure() && (m_lastAttemptedLaunchPlan || m_repairOverridePlan);
    return failedPlan || m_lastLaunchAttemptDetectionError.has_value();
}

std::optional<RepairContext> ProjectCanvasViewModel::makeRepairContext() const
{
    if (!canBeginRepair())
        return std::nullopt;
    // A launch command saved by the Repair agent clears the remembered plan; it
    // is the plan the next start runs, so it stands in.
    const std::optional<LaunchPlan> plan = m_lastAttemptedLaunchPlan ? m_lastAttemptedLaunchPlan : m_repairOverridePlan;
    return RepairContext::fromFailedStart(projectURL(), m_devServerRunner->lastFailure(), plan,
                                          m_lastLaunchAttemptDetectionError, m_devServerRunner->recentOutput());
}

RepairBannerCoordinator ProjectCanvasViewModel::repairBannerCoordinator()
{
    QPointer<ProjectCanvasViewModel> self(this);
    RepairBannerCoordinator coordinator;
    coordinator.isRepairable = canBeginRepair();
    coordinator.beginRepair = [self] {
        if (self) {
            QCoro::Task<> beginning = self->beginRepair();
            Q_UNUSED(beginning);
        }
    };
    coordinator.cancelRepair = [self] {
        if (self) {
            QCoro::Task<> cancelling = self->cancelRepair();
            Q_UNUSED(cancelling);
        }
    };
    coordinator.retryRepairFromScratch = [self] {
        if (self) {
            QCoro::Task<> retrying = self->retryRepairFromScratch();
            Q_UNUSED(retrying);
        }
    };
    coordinator.submitSecret = [self](const QString &value) {
        if (!self)
            return;
        const Phase phase = self->m_repairState->phase();
        if (phase.kind() != Phase::Kind::awaitingSecret)
            return; // the value is dropped
        QCoro::Task<> submitting = self->submitRepairSecret(phase.varName(), value);
        Q_UNUSED(submitting);
    };
    return coordinator;
}

// ---- The Repair pane ------------------------------------------------------------------------

AgentPaneState *ProjectCanvasViewModel::ensureRepairPane()
{
    for (AgentPaneState *pane : std::as_const(m_panes)) {
        if (pane->isSystemPane() && pane->agentName() == repairPaneName)
            return pane;
    }
    auto *pane = new AgentPaneState(newUuid(), repairAgentId, repairPaneName, 0, true, AgentRole::unspecified,
                                    repairResponsibility, this);
    appendPane(pane);
    return pane;
}

AgentPaneState *ProjectCanvasViewModel::repairPane() const
{
    const std::optional<QUuid> &id = m_repairState->repairPaneID();
    return id ? paneWithId(*id) : nullptr;
}

bool ProjectCanvasViewModel::isRepairFollowUpTarget(const AgentPaneState *pane) const
{
    return pane && pane->isSystemPane() && m_repairState->phase().isActive() &&
           m_repairState->repairPaneID() == pane->id();
}

// ---- Beginning, cancelling, ending ------------------------------------------------------------

QCoro::Task<> ProjectCanvasViewModel::beginRepair()
{
    if (m_repairState->phase().isActive()) {
        logRepair(QStringLiteral("beginRepair called while phase is active \u2014 ignoring"));
        co_return;
    }
    std::optional<RepairContext> context = makeRepairContext();
    if (!context) {
        logRepair(QStringLiteral("beginRepair: no crash context available \u2014 ignoring"));
        co_return;
    }
    if (m_tornDown)
        co_return;
    QPointer<ProjectCanvasViewModel> self(this);

    // Preparing before the first wait: a second begin right after is refused.
    const quint64 serial = ++m_repairSessionSerial;
    m_pendingRepairFollowUps.clear();
    m_repairSavedCommand.reset();
    m_repairSecretInFlight = false;
    m_repairState->setPhase(Phase::preparing());
    m_repairState->setContext(context);
    m_repairSessionStartedAt = Timestamp::now();
    AgentPaneState *pane = ensureRepairPane();
    m_repairState->setRepairPaneID(pane->id());
    const auto stillPreparing = [&] {
        return self && m_repairSessionSerial == serial && m_repairState->phase().kind() == Phase::Kind::preparing;
    };

    if (m_contextActor) {
        QCoro::Task<> logging = logRepairActivity(
            ContextEntry::RepairSessionStarted{uuidText(pane->id()), pane->agentName(),
                                               rawValue(context->failureCategory), context->summary, context->attempt},
            QStringLiteral("failed to log session start: "));
        co_await std::move(logging);
        if (!stillPreparing())
            co_return;
    }
    pane = repairPane();
    if (!pane)
        co_return;

    // An agent still running from an earlier session has nothing more to say.
    if (pane->currentSession()) {
        const std::optional<AgentSession> earlier = detachAgentRun(pane);
        const std::shared_ptr<AgentProvider> provider = m_provider;
        QCoro::Task<> stopping = provider->terminate(earlier->id);
        co_await std::move(stopping);
        if (!stillPreparing())
            co_return;
        pane = repairPane();
        if (!pane)
            co_return;
    }

    pane->setOutputLines({});
    pane->setCurrentStdout({});
    pane->setConversation({});
    m_repairPrompt = buildRepairPrompt(*context);
    pane->appendLine(OutputLine::Kind::system, QStringLiteral("Nerim is looking at the crash. Attempt %1 of %2.")
                                                   .arg(context->attempt)
                                                   .arg(context->retryCap));

    QCoro::Task<> starting = startRepairAgent(m_repairPrompt, pane);
    co_await std::move(starting);
    if (stillPreparing())
        m_repairState->setPhase(Phase::repairing(context->attempt));
}

QCoro::Task<> ProjectCanvasViewModel::cancelRepair()
{
    const Phase phase = m_repairState->phase();
    if (!phase.isActive())
        co_return;
    logRepair(QStringLiteral("user cancelled session in phase %1").arg(phase.debugDescription()));

    AgentPaneState *pane = repairPane();
    std::optional<AgentSession> session;
    if (pane) {
        // The consumer goes first, so the stopped agent's exit is not taken for its answer.
        session = detachAgentRun(pane);
        if (session || isBusy(pane->status())) {
            pane->setStatus(AgentStatus::stopped);
            pane->closeTurn(std::nullopt);
        }
    }
    // Ended before the wait, so a restarted app reporting meanwhile finds it over.
    finalizeRepair(Phase::cancelled(), QStringLiteral("User cancelled the repair."));
    if (session) {
        const std::shared_ptr<AgentProvider> provider = m_provider;
        QCoro::Task<> stopping = provider->terminate(session->id);
        co_await std::move(stopping);
    }
}

QCoro::Task<> ProjectCanvasViewModel::retryRepairFromScratch()
{
    if (!m_repairState->phase().isActive()) {
        m_repairState->setPhase(Phase::idle());
        m_repairState->setRepairPaneID(std::nullopt);
        m_repairState->setContext(std::nullopt);
        m_repairState->setLastErrorText(std::nullopt);
    }
    // While a session runs, begin refuses (and says so in the log).
    QCoro::Task<> beginning = beginRepair();
    co_await std::move(beginning);
}

void ProjectCanvasViewModel::finalizeRepair(const Phase &phase, const std::optional<QString> &reason)
{
    logRepair(QStringLiteral("finalize \u2192 %1").arg(phase.debugDescription()));
    m_repairState->setPhase(phase);
    m_pendingRepairFollowUps.clear();
    ++m_repairRetrySerial; // a retry's watchdog has nothing left to watch

    const Timestamp now = Timestamp::now();
    const std::optional<RepairContext> &context = m_repairState->context();
    const int attempts = context ? context->attempt : 1;
    const std::optional<ContextEntry::RepairSessionOutcome> outcome = outcomeOf(phase);
    if (!outcome)
        logRepair(QStringLiteral("finalize called with non-terminal phase: %1").arg(phase.debugDescription()));
    const QString category = context ? rawValue(context->failureCategory) : QStringLiteral("unknown");

    RepairHistoryEntry entry;
    entry.timestamp = now.toIso8601();
    entry.category = category;
    entry.attempts = attempts;
    entry.outcome = outcome ? rawValue(*outcome) : QStringLiteral("unknown");
    entry.reason = reason;
    entry.durationSec =
        m_repairSessionStartedAt ? std::llround(now.secondsSince(*m_repairSessionStartedAt)) : qint64(0);
    RepairHistoryEntry::append(entry, projectURL());

    if (outcome && m_contextActor) {
        if (AgentPaneState *pane = repairPane()) {
            QCoro::Task<> logging = logRepairActivity(
                ContextEntry::RepairSessionEnded{uuidText(pane->id()), pane->agentName(), *outcome, attempts, category,
                                                 reason},
                QStringLiteral("failed to log session end: "));
            Q_UNUSED(logging);
        }
    }

    if (phase.kind() == Phase::Kind::fixed) {
        const quint64 serial = m_repairSessionSerial;
        QTimer::singleShot(m_services.repairFixedToIdleDelay, this, [this, serial] {
            if (m_repairSessionSerial != serial || m_repairState->phase().kind() != Phase::Kind::fixed)
                return;
            m_repairState->setPhase(Phase::idle());
            m_preview->setError(std::nullopt);
        });
    }
}

QCoro::Task<> ProjectCanvasViewModel::logRepairActivity(ContextEntry::Payload payload, QString failurePrefix)
{
    const std::shared_ptr<ProjectContextActor> actor = m_contextActor;
    if (!actor)
        co_return;
    try {
        QFuture<ContextEntry> appending = actor->append(payload, Timestamp::now());
        co_await appending;
    } catch (...) {
        logRepair(failurePrefix + AtomicFileWriter::describeFailure(std::current_exception()));
    }
}

// ---- Agent runs ---------------------------------------------------------------------------------

QCoro::Task<> ProjectCanvasViewModel::startRepairAgent(QString prompt, AgentPaneState *pane)
{
    QPointer<ProjectCanvasViewModel> self(this);
    const quint64 serial = m_repairSessionSerial;
    QCoro::Task<std::optional<QString>> spawning = spawnRepairRun(pane, prompt, {}, shownRepairPrompt);
    const std::optional<QString> failure = co_await std::move(spawning);
    if (!self || !failure || serial != m_repairSessionSerial)
        co_return;
    logRepair(QStringLiteral("provider.spawn failed: %1").arg(*failure));
    if (AgentPaneState *current = repairPane()) {
        current->appendLine(OutputLine::Kind::stderr, QStringLiteral("Couldn't start the Repair agent: ") + *failure);
        current->setStatus(AgentStatus::error);
    }
    finalizeRepair(Phase::stuck(couldNotStartText), QStringLiteral("spawn-failed"));
}

QCoro::Task<std::optional<QString>> ProjectCanvasViewModel::spawnRepairRun(AgentPaneState *pane, QString task,
                                                                            QList<ConversationTurn> priorTurns,
                                                                            QString shownPrompt)
{
    QPointer<ProjectCanvasViewModel> self(this);
    QPointer<AgentPaneState> guard(pane);
    const quint64 serial = m_repairSessionSerial;
    // The provider stays alive for the spawn even if the controller goes meanwhile.
    const std::shared_ptr<AgentProvider> provider = m_provider;
    // The session was cancelled or ended, or the pane closed, during a wait.
    const auto abandoned = [&] {
        return !self || !guard || !isOpen(pane) || m_tornDown || serial != m_repairSessionSerial ||
               !m_repairState->phase().isActive();
    };
    // An abandoned run leaves no half-begun turn behind.
    const auto leave = [&] {
        if (!guard || pane->currentSession())
            return;
        if (pane->status() == AgentStatus::spawning)
            pane->setStatus(AgentStatus::stopped);
        if (!pane->conversation().isEmpty() && pane->conversation().last().isInFlight())
            removeLastTurn(pane);
    };

    pane->setCurrentStdout({});
    pane->setStatus(AgentStatus::spawning);
    pane->beginTurn(shownPrompt);

    QCoro::Task<QList<ContextEntry>> reading = recentContextEntries(10);
    const QList<ContextEntry> entries = co_await std::move(reading);
    if (abandoned()) {
        leave();
        co_return std::nullopt;
    }

    AgentSession session;
    std::exception_ptr failure;
    try {
        QCoro::Task<AgentSession> spawning = provider->spawn(AgentRole::code, entries, priorTurns, task,
                                                             makeProjectAwareness(), m_modelPreference->choice());
        session = co_await std::move(spawning);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        if (!self || !guard)
            co_return std::nullopt;
        pane->setCurrentSession(std::nullopt);
        if (!pane->conversation().isEmpty() && pane->conversation().last().isInFlight())
            removeLastTurn(pane);
        co_return AtomicFileWriter::describeFailure(failure);
    }
    if (abandoned()) {
        leave();
        QCoro::Task<> stopping = provider->terminate(session.id);
        co_await std::move(stopping);
        co_return std::nullopt;
    }

    // The stream is taken at once: every event of the run reaches the consumer.
    QCoro::Task<std::shared_ptr<AgentOutputStream>> fetching = provider->outputStream(session.id);
    const std::shared_ptr<AgentOutputStream> stream = co_await std::move(fetching);
    if (abandoned()) {
        leave();
        QCoro::Task<> stopping = provider->terminate(session.id);
        co_await std::move(stopping);
        co_return std::nullopt;
    }
    pane->setCurrentSession(session);
    pane->setStatus(AgentStatus::working);
    startStreamConsumer(stream, pane, &ProjectCanvasViewModel::handleRepairOutput);
    co_return std::nullopt;
}

void ProjectCanvasViewModel::sendRepairFollowUp(const QString &text, RepairFollowUpKind kind)
{
    AgentPaneState *pane = repairPane();
    if (!pane)
        return;
    // One run at a time: the follow-up goes in when the running one ends.
    if (pane->currentSession() || isBusy(pane->status())) {
        m_pendingRepairFollowUps.append({text, kind});
        return;
    }
    QCoro::Task<> starting = startRepairFollowUpRun({text, kind});
    Q_UNUSED(starting);
}

QCoro::Task<> ProjectCanvasViewModel::startRepairFollowUpRun(RepairFollowUp followUp)
{
    AgentPaneState *pane = repairPane();
    if (!pane || !m_repairState->phase().isActive())
        co_return;
    QPointer<ProjectCanvasViewModel> self(this);
    const quint64 serial = m_repairSessionSerial;

    // The session so far, with the briefing the first turn only named.
    QList<ConversationTurn> prior = pane->completedTurns();
    if (!prior.isEmpty() && prior.first().userPrompt == shownRepairPrompt)
        prior.first().userPrompt = m_repairPrompt;
    if (followUp.kind == RepairFollowUpKind::user)
        pane->appendLine(OutputLine::Kind::userPrompt, followUp.text);

    QCoro::Task<std::optional<QString>> spawning = spawnRepairRun(pane, followUp.text, prior, followUp.text);
    const std::optional<QString> failure = co_await std::move(spawning);
    if (!self || !failure || serial != m_repairSessionSerial)
        co_return;

    AgentPaneState *current = repairPane();
    switch (followUp.kind) {
    case RepairFollowUpKind::retry:
        logRepair(QStringLiteral("escalation send failed: %1").arg(*failure));
        break;
    case RepairFollowUpKind::secret:
        logRepair(QStringLiteral("provider.send failed: %1").arg(*failure));
        if (current)
            current->appendLine(OutputLine::Kind::stderr,
                                QStringLiteral("[couldn't deliver confirmation to agent: %1]").arg(*failure));
        break;
    case RepairFollowUpKind::commandRefused:
    case RepairFollowUpKind::user:
        logRepair(QStringLiteral("provider.spawn failed: %1").arg(*failure));
        break;
    }
    if (current) {
        current->appendLine(OutputLine::Kind::stderr, QStringLiteral("Couldn't start the Repair agent: ") + *failure);
        current->setStatus(AgentStatus::error);
    }
    // With no agent left to work, the session cannot go on.
    if (m_repairState->phase().isActive())
        finalizeRepair(Phase::stuck(couldNotStartText), QStringLiteral("spawn-failed"));
}

QCoro::Task<> ProjectCanvasViewModel::sendUserRepairFollowUp(QString text)
{
    const Phase phase = m_repairState->phase();
    if (!repairPane() || !phase.isActive())
        co_return;
    // The user answers instead of giving the value: the agent works again.
    if (phase.kind() == Phase::Kind::awaitingSecret)
        m_repairState->setPhase(Phase::repairing(phase.attempt()));
    sendRepairFollowUp(text, RepairFollowUpKind::user);
}

// ---- The agent's output -----------------------------------------------------------------------

void ProjectCanvasViewModel::handleRepairOutput(const AgentOutput &event, AgentPaneState *pane)
{
    switch (event.kind()) {
    case AgentOutput::Kind::stdoutLine:
        handleRepairStdoutLine(event.text(), pane);
        break;
    case AgentOutput::Kind::stderrLine:
        pane->appendLine(OutputLine::Kind::stderr, event.text());
        break;
    case AgentOutput::Kind::completion:
        if (!event.text().isEmpty())
            pane->appendLine(OutputLine::Kind::taskComplete, event.text());
        break;
    case AgentOutput::Kind::hangSignal:
        pane->appendLine(OutputLine::Kind::system,
                         QStringLiteral("[Repair agent has been quiet for a while \u2014 %1]")
                             .arg(hangThresholdName(event.threshold())));
        break;
    case AgentOutput::Kind::processExited:
        handleRepairExit(event.exitCode(), pane);
        break;
    }
}

void ProjectCanvasViewModel::handleRepairStdoutLine(const QString &line, AgentPaneState *pane)
{
    pane->appendCurrentStdout(line);
    const QString trimmed = line.trimmed();

    // A marker is acted on here, in stream order, so what the agent said last
    // before its exit is what the session records.
    if (const std::optional<RepairMarkers::Signal> signal = RepairMarkers::parse(trimmed)) {
        std::visit(
            [&](const auto &s) {
                using S = std::decay_t<decltype(s)>;
                if constexpr (std::is_same_v<S, RepairMarkers::StuckSignal>)
                    handleRepairStuck(s.reason);
                else if constexpr (std::is_same_v<S, RepairMarkers::ReadyToRetrySignal>)
                    handleRepairReadyToRetry();
                else if constexpr (std::is_same_v<S, RepairMarkers::AskSecretSignal>)
                    handleRepairAskSecret(s.name, s.explanation);
                else
                    handleRepairLaunchOverride(s.command, pane);
            },
            *signal);
        return;
    }

    if (const qsizetype at = trimmed.indexOf(taskCompleteMarker); at >= 0)
        pane->appendLine(OutputLine::Kind::taskComplete,
                         text::trimSpacesAndTabs(trimmed.mid(at + taskCompleteMarker.size())));
    else
        pane->appendLine(OutputLine::Kind::stdout, line);
    pane->appendStdoutToTurn(line);
}

void ProjectCanvasViewModel::handleRepairExit(qint32 exitCode, AgentPaneState *pane)
{
    pane->appendLine(exitCode == 0 ? OutputLine::Kind::system : OutputLine::Kind::stderr,
                     QStringLiteral("[Repair agent exited \u00b7 code %1]").arg(exitCode));
    pane->setStatus(exitCode == 0 ? AgentStatus::done : AgentStatus::error);
    pane->setCurrentSession(std::nullopt);
    pane->closeTurn(std::nullopt);

    const Phase phase = m_repairState->phase();
    if (!phase.isActive()) {
        m_pendingRepairFollowUps.clear();
        return;
    }
    // A follow-up that waited for this run starts now.
    if (!m_pendingRepairFollowUps.isEmpty() && pane == repairPane()) {
        QCoro::Task<> starting = startRepairFollowUpRun(m_pendingRepairFollowUps.takeFirst());
        Q_UNUSED(starting);
        return;
    }
    // After its ready or ask-secret marker the agent is expected to stop;
    // otherwise its exit is the end of its work.
    if (phase.kind() == Phase::Kind::preparing || phase.kind() == Phase::Kind::repairing)
        finalizeRepair(Phase::stuck(exitedSilentText), QStringLiteral("agent-exited-silent"));
}

// ---- Marker actions ---------------------------------------------------------------------------

void ProjectCanvasViewModel::handleRepairStuck(const QString &reason)
{
    finalizeRepair(Phase::stuck(reason), reason);
}

void ProjectCanvasViewModel::handleRepairReadyToRetry()
{
    if (!m_repairState->context())
        return;
    const Phase phase = m_repairState->phase();
    if (phase.kind() != Phase::Kind::repairing) {
        logRepair(QStringLiteral("ready-to-retry received while phase is %1, ignoring").arg(phase.debugDescription()));
        return;
    }
    const int attempt = phase.attempt();
    logRepair(QStringLiteral("READY_TO_RETRY received (attempt %1) \u2014 re-running app").arg(attempt));
    m_repairState->setPhase(Phase::retryingApp(attempt));
    if (AgentPaneState *pane = repairPane())
        pane->appendLine(OutputLine::Kind::system, QStringLiteral("Restarting your app\u2026"));

    // The restart must end in a verdict even when the runner never calls back:
    // a launch that fails, a server that exits without an address or a failure,
    // or one that never prints an address.
    if (!m_runnerWatchedForRetries) {
        m_runnerWatchedForRetries = true;
        connect(m_devServerRunner, &DevServerRunner::statusChanged, this, [this] {
            if (m_repairState->phase().kind() != Phase::Kind::retryingApp)
                return;
            if (m_devServerRunner->status().is(DevServerStatus::Kind::starting))
                m_repairRetryLaunched = true;
            else if (m_runAppsInFlight == 0)
                judgeRepairRetryRun();
        });
    }
    m_repairRetryLaunched = false;
    const quint64 retry = ++m_repairRetrySerial;
    const auto limit = m_services.repairRetryWatchdog;
    QTimer::singleShot(limit, this, [this, retry, limit] {
        if (m_repairRetrySerial != retry || m_repairState->phase().kind() != Phase::Kind::retryingApp)
            return;
        logRepair(QStringLiteral("the restarted app gave no address within %1 s \u2014 counting the retry as failed")
                      .arg(std::chrono::duration_cast<std::chrono::seconds>(limit).count()));
        repairRetryFailed(DevServerRunner::startupCrashFailure());
    });

    QCoro::Task<> running = runApp();
    Q_UNUSED(running);
}

void ProjectCanvasViewModel::judgeRepairRetryRun()
{
    if (m_repairState->phase().kind() != Phase::Kind::retryingApp || !m_repairRetryLaunched)
        return;
    const DevServerStatus &status = m_devServerRunner->status();
    if (status.is(DevServerStatus::Kind::failed)) {
        logRepair(QStringLiteral("the restarted app couldn't be launched: %1").arg(status.reason()));
        repairRetryFailed(DevServerRunner::startupCrashFailure());
        return;
    }
    if (!status.is(DevServerStatus::Kind::stopped) || m_devServerRunner->detectedURL() ||
        m_devServerRunner->lastFailure())
        return; // still running, or already judged through a callback

    // The launch command the agent saved for a project with nothing to start
    // ends by itself, cleanly and without an address: that is the fix.
    const bool nothingToStart = status.wasClean() && status.exitCode() == 0 && m_repairSavedCommand &&
                                isNothingToStartCommand(*m_repairSavedCommand) && m_lastAttemptedLaunchPlan &&
                                m_lastAttemptedLaunchPlan->shellCommand == *m_repairSavedCommand;
    if (nothingToStart) {
        logRepair(QStringLiteral("the saved launch command ended cleanly without an address \u2014 nothing to run"));
        if (AgentPaneState *pane = repairPane())
            pane->appendLine(OutputLine::Kind::system,
                             QStringLiteral("This project has nothing to start, so there's no app to run."));
        finalizeRepair(Phase::fixed(), std::nullopt);
        return;
    }
    logRepair(QStringLiteral("the restarted app ended without an address (exit code %1)").arg(status.exitCode()));
    repairRetryFailed(DevServerRunner::startupCrashFailure());
}

void ProjectCanvasViewModel::repairRetrySucceeded(const QUrl &url)
{
    const Phase phase = m_repairState->phase();
    if (phase.kind() != Phase::Kind::retryingApp)
        return;
    logRepair(QStringLiteral("retry #%1 succeeded: %2").arg(phase.attempt()).arg(localurl::addressForLog(url)));
    if (AgentPaneState *pane = repairPane())
        pane->appendLine(OutputLine::Kind::taskComplete,
                         QStringLiteral("Fixed. Your app is running at ") + url.toString() + QLatin1Char('.'));
    finalizeRepair(Phase::fixed(), std::nullopt);
}

void ProjectCanvasViewModel::repairRetryFailed(const DetectedFailure &failure)
{
    const Phase phase = m_repairState->phase();
    if (phase.kind() != Phase::Kind::retryingApp)
        return;
    std::optional<RepairContext> context = m_repairState->context();
    if (!context) {
        finalizeRepair(Phase::stuck(QStringLiteral("Lost track of the repair context.")),
                       QStringLiteral("context lost"));
        return;
    }
    const int cap = context->retryCap;
    if (phase.attempt() >= cap) {
        finalizeRepair(Phase::stuck(QStringLiteral("Tried %1 fixes and the app still crashes.").arg(cap)),
                       QStringLiteral("retry-cap-hit"));
        return;
    }
    context->attempt += 1;
    const int attempt = context->attempt;
    m_repairState->setContext(context);
    AgentPaneState *pane = repairPane();
    if (!pane) {
        finalizeRepair(Phase::stuck(QStringLiteral("Repair pane vanished.")), QStringLiteral("pane-lost"));
        return;
    }
    pane->appendLine(OutputLine::Kind::system,
                     QStringLiteral("That didn't work \u2014 trying again. Attempt %1 of %2.").arg(attempt).arg(cap));

    const QStringList &output = m_devServerRunner->recentOutput();
    const QString fresh =
        output.isEmpty()
            ? QStringLiteral("(no fresh output captured this retry \u2014 the process may have crashed silently)")
            : output.mid(std::max<qsizetype>(0, output.size() - followUpOutputLines)).join(QLatin1Char('\n'));
    const QString followUp =
        QStringLiteral("Your previous fix didn't take. The app crashed again on the retry with:\n    ") +
        failure.summary + QStringLiteral("\n\nFresh output from this retry (most recent lines below):\n----\n") + fresh +
        QStringLiteral("\n----\n\nYou've already tried what you tried \u2014 you can see it above in this conversation. "
                       "Please pick a DIFFERENT approach this time, or emit ") +
        RepairMarkers::stuck + QStringLiteral(": <one-line reason> if you're out of safe ideas.");

    m_repairState->setPhase(Phase::repairing(attempt));
    sendRepairFollowUp(followUp, RepairFollowUpKind::retry);
}

void ProjectCanvasViewModel::handleRepairAskSecret(const QString &name, const QString &explanation)
{
    const Phase phase = m_repairState->phase();
    if (phase.kind() != Phase::Kind::repairing)
        return;
    logRepair(QStringLiteral("ASK_SECRET received: %1 (explanation: %2)").arg(name, explanation));
    m_repairState->setPhase(Phase::awaitingSecret(name, explanation, phase.attempt()));
    if (AgentPaneState *pane = repairPane())
        pane->appendLine(OutputLine::Kind::system,
                         QStringLiteral("Nerim needs a value for %1. Paste it in the field on the banner above.")
                             .arg(name));
}

void ProjectCanvasViewModel::handleRepairLaunchOverride(const QString &command, AgentPaneState *pane)
{
    logRepair(QStringLiteral("LAUNCH_OVERRIDE received: %1").arg(commandForLog(command)));
    const QString unwrapped = unwrapCodeSpan(command);
    if (unwrapped.isEmpty()) {
        // Saved, an empty command would be the start of every later run.
        pane->appendLine(OutputLine::Kind::stderr,
                         QStringLiteral("[The Repair agent's launch command was empty \u2014 nothing was saved.]"));
        sendRepairFollowUp(QStringLiteral("The launch command you printed was empty, so Nerim saved nothing. Print ") +
                               RepairMarkers::launchOverride +
                               QStringLiteral(": followed by the full shell command on the same line."),
                           RepairFollowUpKind::commandRefused);
        return;
    }
    const QString now = Timestamp::now().toIso8601();
    LaunchOverride record;
    record.version = LaunchOverride::currentVersion;
    record.shellCommand = unwrapped;
    record.description = QStringLiteral("Starting your app");
    record.writtenAt = now;
    record.notes = QStringLiteral("Written by the Repair agent on ") + now + QLatin1Char('.');
    QCoro::Task<> saving = saveRepairLaunchOverride(record, pane);
    Q_UNUSED(saving);
}

QCoro::Task<> ProjectCanvasViewModel::saveRepairLaunchOverride(LaunchOverride record, QPointer<AgentPaneState> pane)
{
    QPointer<ProjectCanvasViewModel> self(this);
    const QString projectPath = m_projectPath;
    const quint64 detections = m_launchDetections;
    // On the launcher's thread, so a start asked for after this marker runs it.
    QFuture<void> saving = launchWork().run([record, projectPath] { record.save(projectPath); });
    std::exception_ptr failure;
    try {
        co_await saving;
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self)
        co_return;
    if (failure) {
        const QString description = AtomicFileWriter::describeFailure(failure);
        logRepair(QStringLiteral("failed to write launch-override: %1").arg(description));
        if (pane)
            pane->appendLine(OutputLine::Kind::stderr,
                             QStringLiteral("[couldn't save launch override: %1]").arg(description));
        co_return;
    }
    m_repairSavedCommand = record.shellCommand;
    if (pane)
        pane->appendLine(OutputLine::Kind::system,
                         QStringLiteral("[Nerim saved the launch command to `.nerim/launch-override.json`: %1 \u2014 "
                                        "it runs every time your app starts.]")
                             .arg(record.shellCommand));
    // The remembered start is out of date, unless a start began since the save
    // was asked for: that one already runs the saved command.
    if (detections == m_launchDetections) {
        m_repairOverridePlan = record.launchPlan(projectPath);
        setLastAttemptedLaunchPlan(std::nullopt);
        setLastLaunchAttemptDetectionError(std::nullopt);
    }
}

// ---- Secrets --------------------------------------------------------------------------------------

QCoro::Task<> ProjectCanvasViewModel::submitRepairSecret(QString name, QString value)
{
    const Phase phase = m_repairState->phase();
    if (phase.kind() != Phase::Kind::awaitingSecret || m_repairSecretInFlight) {
        logRepair(QStringLiteral("submitRepairSecret: phase is %1, ignoring").arg(phase.debugDescription()));
        co_return;
    }
    if (name != phase.varName()) {
        logRepair(QStringLiteral("submitRepairSecret: name mismatch (%1 vs %2)").arg(name, phase.varName()));
        co_return;
    }
    if (!repairPane())
        co_return;
    QPointer<ProjectCanvasViewModel> self(this);
    const quint64 serial = m_repairSessionSerial;

    m_repairSecretInFlight = true;
    QCoro::Task<std::optional<QString>> writing = appendRepairSecretToEnv(name, value);
    const std::optional<QString> error = co_await std::move(writing);
    if (!self)
        co_return;
    m_repairSecretInFlight = false;
    // Cancelled (or ended) while the file was written: nobody waits for the answer.
    if (serial != m_repairSessionSerial || m_repairState->phase() != phase)
        co_return;
    AgentPaneState *pane = repairPane();
    if (!pane)
        co_return;

    QString followUp;
    if (!error) {
        followUp = QStringLiteral("OK, `.env` updated with %1. Continue.").arg(name);
        pane->appendLine(OutputLine::Kind::system, QStringLiteral("[.env updated with %1. Continuing.]").arg(name));
    } else {
        followUp = QStringLiteral("I couldn't write to .env: %1. Please decide whether to emit a stuck marker or try a "
                                  "different approach.")
                       .arg(*error);
        pane->appendLine(OutputLine::Kind::stderr, QStringLiteral("[failed to write .env: %1]").arg(*error));
    }
    m_repairState->setPhase(Phase::repairing(phase.attempt()));
    sendRepairFollowUp(followUp, RepairFollowUpKind::secret);
}

QCoro::Task<std::optional<QString>> ProjectCanvasViewModel::appendRepairSecretToEnv(QString name, QString value)
{
    const QString projectPath = m_projectPath;
    QFuture<std::optional<QString>> writing =
        launchWork().run([projectPath, name, value] { return DotEnvFile::append(projectPath, name, value); });
    try {
        co_return co_await writing;
    } catch (...) {
        co_return AtomicFileWriter::describeFailure(std::current_exception());
    }
}

} // namespace nerim
