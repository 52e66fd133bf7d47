// The repair session's course: what it works on, its pane, beginning,
// cancelling and ending, and its agent's runs and output. The marker actions,
// the retry and the secrets are in RepairSessionActions.cpp.
#include "sessions/RepairSession.h"
#include "persistence/ProjectDataFolder.h"

#include "sessions/PaneRuns.h"
#include "foundation/Log.h"
#include "foundation/SerialExecutor.h"
#include "foundation/Text.h"
#include "foundation/UuidText.h"
#include "preview/PreviewState.h"
#include "repair/RepairHistoryEntry.h"
#include "repair/RepairMarkers.h"
#include "repair/RepairPrompt.h"

#include <QCoro/QCoroFuture>
#include <QFileInfo>
#include <QTimer>
#include <cmath>

namespace nerim {

using Phase = RepairSessionState::Phase;

namespace {

const QString logPrefix = QStringLiteral("[Nerim repair] ");
// What the pane's first turn shows in place of the long briefing.
const QString shownBriefing = QStringLiteral("(system prompt \u2014 see plans/SELF_HEALING_PREVIEW.md \u00a76)");

// Runs one session may start for its own steps (attempts, answers to refused
// requests, secrets): an agent that keeps asking cannot cost without end.
constexpr int runsPerSession = 12;

const QString couldNotStartText = QStringLiteral("The Repair agent couldn't start.");
const QString exitedSilentText = QStringLiteral("The Repair agent finished without saying what happened.");
// What the user can do after a repair Nerim did not see through.
const QString interruptedAdvice =
    QStringLiteral(" Run your app again; if it still fails, ask Nerim to fix it from the preview's banner.");

QString withFullStop(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty() || trimmed.endsWith(QLatin1Char('.')) || trimmed.endsWith(QLatin1Char('!')) ||
        trimmed.endsWith(QLatin1Char('?')))
        return trimmed;
    return trimmed + QLatin1Char('.');
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

void RepairSession::logRepair(const QString &text)
{
    logLine(logPrefix + text);
}

RepairSession::RepairSession(CanvasSessionHost &host, std::chrono::milliseconds fixedToIdleDelay,
                             std::chrono::milliseconds retryWatchdog)
    : m_host(host), m_fixedToIdleDelay(fixedToIdleDelay), m_retryWatchdog(retryWatchdog),
      m_state(new RepairSessionState(this)),
      m_runs(host, *this,
             {QStringLiteral("Repair"), QStringLiteral("nerim.repair"), QStringLiteral("Fixing the crash"),
              QStringLiteral("Repair agent"), shownBriefing, logPrefix})
{
}

// ---- What a session works on --------------------------------------------------------------

bool RepairSession::canBegin() const
{
    // Nothing can be repaired in a project folder that is gone (deleted or
    // unmounted): the agent would only work in a folder made again, empty.
    if (!QFileInfo(m_host.projectPath()).isDir())
        return false;
    const bool failedPlan =
        m_host.devServerRunner().lastFailure() && (m_host.lastAttemptedLaunchPlan() || m_overridePlan);
    return failedPlan || m_host.lastLaunchAttemptDetectionError().has_value();
}

std::optional<RepairContext> RepairSession::makeContext() const
{
    if (!canBegin())
        return std::nullopt;
    // A launch command saved by the Repair agent clears the remembered plan; it
    // is the plan the next start runs, so it stands in.
    const std::optional<LaunchPlan> &lastPlan = m_host.lastAttemptedLaunchPlan();
    const std::optional<LaunchPlan> plan = lastPlan ? lastPlan : m_overridePlan;
    DevServerRunner &runner = m_host.devServerRunner();
    return RepairContext::fromFailedStart(m_host.projectURL(), runner.lastFailure(), plan,
                                          m_host.lastLaunchAttemptDetectionError(), runner.recentOutput());
}

RepairBannerCoordinator RepairSession::bannerCoordinator()
{
    QPointer<RepairSession> self(this);
    RepairBannerCoordinator coordinator;
    coordinator.isRepairable = canBegin();
    coordinator.beginRepair = [self] {
        if (self) {
            QCoro::Task<> beginning = self->begin();
            Q_UNUSED(beginning);
        }
    };
    coordinator.cancelRepair = [self] {
        if (self) {
            QCoro::Task<> cancelling = self->cancel();
            Q_UNUSED(cancelling);
        }
    };
    coordinator.retryRepairFromScratch = [self] {
        if (self) {
            QCoro::Task<> retrying = self->retryFromScratch();
            Q_UNUSED(retrying);
        }
    };
    coordinator.submitSecret = [self](const QString &value) {
        if (!self)
            return;
        const Phase phase = self->m_state->phase();
        if (phase.kind() != Phase::Kind::awaitingSecret)
            return; // the value is dropped
        QCoro::Task<> submitting = self->submitSecret(phase.varName(), value);
        Q_UNUSED(submitting);
    };
    return coordinator;
}

// ---- The Repair pane ------------------------------------------------------------------------

bool RepairSession::isFollowUpTarget(const AgentPaneState *pane) const
{
    return pane && pane->isSystemPane() && m_state->phase().isActive() && m_state->repairPaneID() == pane->id();
}

// ---- Beginning, cancelling, ending ------------------------------------------------------------

QCoro::Task<> RepairSession::begin()
{
    if (m_state->phase().isActive()) {
        logRepair(QStringLiteral("beginRepair called while phase is active \u2014 ignoring"));
        co_return;
    }
    std::optional<RepairContext> context = makeContext();
    if (!context) {
        logRepair(QStringLiteral("beginRepair: no crash context available \u2014 ignoring"));
        co_return;
    }
    // Preparing before the first wait: a second begin right after is refused.
    const std::optional<quint64> serial = m_runs.beginSession();
    if (!serial)
        co_return;
    QPointer<RepairSession> self(this);
    m_savedCommand.reset();
    m_secretInFlight = false;
    m_state->setPhase(Phase::preparing());
    m_state->setContext(context);
    SystemAgentStepRecord step;
    step.instance = SystemAgentStepRecord::currentInstance();
    step.step = QStringLiteral("repair");
    step.startedAt = Timestamp::now().toIso8601();
    step.category = rawValue(context->failureCategory);
    step.attempt = context->attempt;
    m_step = step;
    SystemAgentStepRecord::write(m_host.dataFolder(), stepFileName, step);
    AgentPaneState *pane = m_runs.openPane();
    const auto stillPreparing = [&] { return self && m_runs.isPreparing(*serial); };

    QCoro::Task<AgentPaneState *> preparing = m_runs.preparePane(
        *serial,
        ContextEntry::RepairSessionStarted{uuidText(pane->id()), pane->agentName(), rawValue(context->failureCategory),
                                           context->summary, context->attempt},
        QStringLiteral("failed to log session start: "));
    pane = co_await std::move(preparing);
    if (!pane)
        co_return;

    m_runs.setBriefing(buildRepairPrompt(*context));
    pane->appendLine(OutputLine::Kind::system, QStringLiteral("Nerim is looking at the crash. Attempt %1 of %2.")
                                                   .arg(context->attempt)
                                                   .arg(context->retryCap));
    m_runs.countRun(runsPerSession);

    QCoro::Task<> starting = startFirstRun(pane);
    co_await std::move(starting);
    if (stillPreparing())
        m_state->setPhase(Phase::repairing(context->attempt));
}

QCoro::Task<> RepairSession::cancel()
{
    return m_runs.cancel([this] { finalize(Phase::cancelled(), QStringLiteral("User cancelled the repair.")); });
}

QCoro::Task<> RepairSession::retryFromScratch()
{
    if (!m_state->phase().isActive()) {
        m_state->setPhase(Phase::idle());
        m_state->setRepairPaneID(std::nullopt);
        m_state->setContext(std::nullopt);
        m_state->setLastErrorText(std::nullopt);
    }
    // While a session runs, begin refuses (and says so in the log).
    QCoro::Task<> beginning = begin();
    co_await std::move(beginning);
}

void RepairSession::finalize(const Phase &phase, const std::optional<QString> &reason, bool interrupted)
{
    logRepair(QStringLiteral("finalize \u2192 %1").arg(phase.debugDescription()));
    m_state->setPhase(phase);
    m_runs.endRuns();
    ++m_retrySerial; // a retry's watchdog has nothing left to watch
    if (std::optional<SystemAgentStepRecord> step = std::exchange(m_step, std::nullopt)) {
        step->state = SystemAgentStepRecord::State::ended;
        SystemAgentStepRecord::write(m_host.dataFolder(), stepFileName, *step);
    }
    // The pane says how the session ended when the agent's own lines don't.
    if (AgentPaneState *pane = this->pane()) {
        if (interrupted && reason)
            pane->appendLine(OutputLine::Kind::system, QLatin1Char('[') + *reason + interruptedAdvice + QLatin1Char(']'));
        else if (phase.kind() == Phase::Kind::stuck)
            pane->appendLine(OutputLine::Kind::stderr,
                             QStringLiteral("[The repair stopped: %1 To start over, use \u201cTry again\u201d on the "
                                            "preview's banner.]")
                                 .arg(withFullStop(phase.reason())));
    }

    const Timestamp now = Timestamp::now();
    const std::optional<RepairContext> &context = m_state->context();
    const int attempts = context ? context->attempt : 1;
    const std::optional<ContextEntry::RepairSessionOutcome> outcome = outcomeOf(phase);
    if (!outcome)
        logRepair(QStringLiteral("finalize called with non-terminal phase: %1").arg(phase.debugDescription()));
    const QString category = context ? rawValue(context->failureCategory) : QStringLiteral("unknown");

    RepairHistoryEntry::append({.timestamp = now.toIso8601(),
                                .category = category,
                                .attempts = attempts,
                                .outcome = interrupted ? QStringLiteral("interrupted")
                                           : outcome   ? rawValue(*outcome)
                                                       : QStringLiteral("unknown"),
                                .reason = reason,
                                .durationSec = m_runs.secondsSinceStart(now)},
                               m_host.dataFolder());

    if (outcome && m_host.contextActor()) {
        if (AgentPaneState *pane = this->pane()) {
            QCoro::Task<> logging =
                m_runs.logActivity(ContextEntry::RepairSessionEnded{uuidText(pane->id()), pane->agentName(), *outcome,
                                                                    attempts, category, reason},
                                   QStringLiteral("failed to log session end: "));
            Q_UNUSED(logging);
        }
    }

    if (phase.kind() == Phase::Kind::fixed) {
        const quint64 serial = m_runs.session();
        QTimer::singleShot(m_fixedToIdleDelay, this, [this, serial] {
            if (m_runs.session() != serial || m_state->phase().kind() != Phase::Kind::fixed)
                return;
            m_state->setPhase(Phase::idle());
            m_host.preview().setError(std::nullopt);
        });
    }
}

// ---- Agent runs ---------------------------------------------------------------------------------

QCoro::Task<> RepairSession::startFirstRun(AgentPaneState *pane)
{
    QCoro::Task<std::optional<SystemAgentRuns::StartFailure>> starting =
        m_runs.start(pane, {.task = m_runs.briefing(), .shownPrompt = shownBriefing, .recentEntries = 10});
    const std::optional<SystemAgentRuns::StartFailure> failure = co_await std::move(starting);
    // A run whose pane closed has nobody to tell (one of an older generation reports nothing).
    if (!failure || !failure->pane)
        co_return;
    logRepair(QStringLiteral("provider.spawn failed: %1").arg(failure->description));
    if (AgentPaneState *current = this->pane())
        m_runs.showStartFailure(current, failure->description);
    finalize(Phase::stuck(couldNotStartText), QStringLiteral("spawn-failed"));
}

void RepairSession::stopStuck(const QString &reason, const QString &key)
{
    // The ending's pane line says why.
    finalize(Phase::stuck(reason), key);
}

void RepairSession::endForQuit()
{
    if (!m_state->phase().isActive())
        return;
    logRepair(QStringLiteral("Nerim closes the project during the repair"));
    finalize(Phase::cancelled(), QStringLiteral("Nerim was closed during the repair, so it didn't finish."), true);
}

QCoro::Task<> RepairSession::restoreInterrupted()
{
    QPointer<RepairSession> self(this);
    const QString projectPath = m_host.projectPath();
    QFuture<SystemAgentStepRecord::Found> reading =
        m_host.launchWork().run([projectPath, door = m_host.dataFolder()] {
            return SystemAgentStepRecord::read(projectPath, stepFileName, door);
        });
    const SystemAgentStepRecord::Found found = co_await reading;
    if (!self || m_host.isTornDown())
        co_return;
    AgentPaneState *repairPane = nullptr;
    for (AgentPaneState *pane : m_host.panes()) {
        if (pane->isSystemPane() && pane->agentName() == QLatin1String("Repair")) {
            repairPane = pane;
            break;
        }
    }
    // A record this Nerim did not write offers nothing and writes nothing; the pane says so once.
    if (found.notNerims && repairPane)
        repairPane->appendLine(OutputLine::Kind::stderr, SystemAgentStepRecord::notNerimsLine(found, stepFileName));
    std::optional<SystemAgentStepRecord> step = found.record;
    if (!step || !step->wasInterrupted() || !m_host.writesProjectData())
        co_return;
    // An earlier Nerim never ended this session: it was killed or crashed during it.
    logRepair(QStringLiteral("the repair was interrupted when Nerim last ran"));
    const QString reason = QStringLiteral("Nerim stopped unexpectedly during the repair, so it didn't finish.");
    RepairHistoryEntry::append({.timestamp = Timestamp::now().toIso8601(),
                                .category = step->category && detectedFailureCategoryFromRaw(*step->category)
                                                ? *step->category
                                                : QStringLiteral("unknown"),
                                .attempts = step->attempt,
                                .outcome = QStringLiteral("interrupted"),
                                .reason = reason,
                                .durationSec = 0},
                               m_host.dataFolder());
    step->state = SystemAgentStepRecord::State::ended;
    SystemAgentStepRecord::write(m_host.dataFolder(), stepFileName, *step);
    if (repairPane)
        repairPane->appendLine(OutputLine::Kind::stderr, QLatin1Char('[') + reason + interruptedAdvice + QLatin1Char(']'));
}

void RepairSession::sendFollowUp(const QString &text, FollowUpKind kind)
{
    if (kind != FollowUpKind::user && !m_runs.countRun(runsPerSession)) {
        logRepair(QStringLiteral("run limit reached"));
        stopStuck(QStringLiteral("Nerim stopped the repair after %1 runs of the Repair agent. Try again to start "
                                 "afresh.")
                      .arg(runsPerSession),
                  QStringLiteral("run-cap-hit"));
        return;
    }
    // A new attempt, or the answer to a marker Nerim refused, takes over from
    // the run still going: what that run prints from now on is only shown.
    const bool supersedes = kind == FollowUpKind::retry || kind == FollowUpKind::refused;
    m_runs.startWhenFree(
        [this, followUp = FollowUp{text, kind}] {
            QCoro::Task<> starting = startFollowUpRun(followUp);
            Q_UNUSED(starting);
        },
        supersedes);
}

QCoro::Task<> RepairSession::startFollowUpRun(FollowUp followUp)
{
    AgentPaneState *pane = this->pane();
    if (!pane || !m_state->phase().isActive())
        co_return;
    const QList<ConversationTurn> prior = m_runs.turnsSoFar(pane);
    if (followUp.kind == FollowUpKind::user)
        pane->appendLine(OutputLine::Kind::userPrompt, followUp.text);

    QCoro::Task<std::optional<SystemAgentRuns::StartFailure>> starting = m_runs.start(
        pane, {.task = followUp.text, .shownPrompt = followUp.text, .priorTurns = prior, .recentEntries = 10});
    const std::optional<SystemAgentRuns::StartFailure> failure = co_await std::move(starting);
    if (!failure || !failure->pane)
        co_return;

    const QString &description = failure->description;
    AgentPaneState *current = this->pane();
    switch (followUp.kind) {
    case FollowUpKind::retry:
        logRepair(QStringLiteral("escalation send failed: %1").arg(description));
        break;
    case FollowUpKind::secret:
        logRepair(QStringLiteral("provider.send failed: %1").arg(description));
        if (current)
            current->appendLine(OutputLine::Kind::stderr,
                                QStringLiteral("[couldn't deliver confirmation to agent: %1]").arg(description));
        break;
    case FollowUpKind::refused:
    case FollowUpKind::user:
        logRepair(QStringLiteral("provider.spawn failed: %1").arg(description));
        break;
    }
    if (current)
        m_runs.showStartFailure(current, description);
    // With no agent left to work, the session cannot go on.
    if (m_state->phase().isActive())
        finalize(Phase::stuck(couldNotStartText), QStringLiteral("spawn-failed"));
}

void RepairSession::handleNotStarted(AgentPaneState *pane, NotStarted why)
{
    if (!pane)
        return;
    if (why == NotStarted::spawnFailed) {
        pane->setCurrentSession(std::nullopt);
        removeTurnInFlight(pane);
        return;
    }
    // A newer run already works in the pane: it is left alone.
    if (!pane->currentSession())
        SystemAgentRuns::tidyAbandoned(pane);
}

QCoro::Task<> RepairSession::sendUserFollowUp(QString text)
{
    const Phase phase = m_state->phase();
    if (!pane() || !phase.isActive())
        co_return;
    // The user answers instead of giving the value: the agent works again.
    if (phase.kind() == Phase::Kind::awaitingSecret)
        m_state->setPhase(Phase::repairing(phase.attempt()));
    sendFollowUp(text, FollowUpKind::user);
}

// ---- The agent's output -----------------------------------------------------------------------

void RepairSession::handleStdoutLine(const QString &line, AgentPaneState *pane)
{
    pane->appendCurrentStdout(line);
    const QString trimmed = line.trimmed();

    // A marker is acted on here, in stream order, so what the agent said last
    // before its exit is what the session records.
    if (const std::optional<RepairMarkers::Signal> signal = RepairMarkers::parse(trimmed)) {
        // The ready marker may close a sentence of the agent's: that sentence stays.
        if (std::holds_alternative<RepairMarkers::ReadyToRetrySignal>(*signal)) {
            QString said = trimmed;
            said.remove(RepairMarkers::readyToRetry, Qt::CaseInsensitive);
            said = said.trimmed();
            if (!said.isEmpty()) {
                pane->appendLine(OutputLine::Kind::stdout, said);
                pane->appendStdoutToTurn(said);
            }
        }
        std::visit(
            [&](const auto &s) {
                using S = std::decay_t<decltype(s)>;
                if constexpr (std::is_same_v<S, RepairMarkers::StuckSignal>)
                    finalize(Phase::stuck(s.reason), s.reason);
                else if constexpr (std::is_same_v<S, RepairMarkers::ReadyToRetrySignal>)
                    handleReadyToRetry();
                else if constexpr (std::is_same_v<S, RepairMarkers::AskSecretSignal>)
                    handleAskSecret(s.name, s.explanation);
                else
                    handleLaunchOverride(s.command, pane);
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

bool RepairSession::isMarkerLine(const QString &line) const
{
    return RepairMarkers::parse(line).has_value();
}

void RepairSession::handleRunEnded(AgentPaneState *, bool)
{
    // After its ready or ask-secret marker the agent is expected to stop;
    // otherwise its exit is the end of its work.
    const Phase::Kind kind = m_state->phase().kind();
    if (kind == Phase::Kind::preparing || kind == Phase::Kind::repairing)
        finalize(Phase::stuck(exitedSilentText), QStringLiteral("agent-exited-silent"));
}

} // namespace nerim
