// How a deploy session ends and what it leaves behind: the history line (also
// one that waits for the deployment id its run prints after going live), the
// pane's line, the activity entry, the saved settings and this user's own
// record; and the two ways Nerim itself ends a step stuck: an agent that keeps
// asking for what Nerim refuses, and a step that has used up its runs.
#include "sessions/DeploySession.h"
#include "persistence/ProjectDataFolder.h"

#include "deploy/DeployOwnRecord.h"
#include "foundation/SerialExecutor.h"
#include "foundation/UuidText.h"

#include <QCoro/QCoroFuture>

namespace nerim {

using Kind = DeploySessionState::Phase::Kind;

namespace {

// Refused requests answered in one step before the session stops.
constexpr int refusalsAnswered = 2;
// Runs one step (a deploy, an operation, the env-var card, the domain step) may start.
constexpr int runsPerStep = 16;

std::optional<ContextEntry::DeploySessionOutcome> outcomeOf(const DeploySession::Phase &phase)
{
    switch (phase.kind()) {
    case Kind::live:
    case Kind::customDomainVerified: return ContextEntry::DeploySessionOutcome::live;
    case Kind::stuck: return ContextEntry::DeploySessionOutcome::stuck;
    case Kind::cancelled: return ContextEntry::DeploySessionOutcome::cancelled;
    default: return std::nullopt;
    }
}

QString taskKindName(const ProviderTask &task)
{
    switch (task.kind) {
    case ProviderTask::Kind::rollback: return QStringLiteral("rollback");
    case ProviderTask::Kind::gitConnect: return QStringLiteral("gitConnect");
    case ProviderTask::Kind::envVarUpdate: return QStringLiteral("envVarUpdate");
    }
    return QString();
}

} // namespace

// ---- Ending ------------------------------------------------------------------------------------

void DeploySession::finalize(const Phase &phase, const std::optional<QString> &reason, bool interrupted)
{
    logDeploy(QStringLiteral("finalize \u2192 %1").arg(phase.debugDescription()));
    // A line still waiting for an id comes first: the history stays in order.
    writeLiveEntryAwaitingID();
    const Phase before = m_state->phase();
    const QString what = activityName();
    // What the session was doing, also when it stopped on the way for a token.
    const std::optional<Phase> operation = m_operation;
    const bool addingDomain = m_domainFlow.has_value() || before.kind() == Kind::customDomainVerifying ||
                              before.kind() == Kind::customDomainInput;
    const bool updatingEnvVars = m_checklistFromLive.has_value();
    // Cancelled, failed or cut short on a live deploy: that deploy is still
    // live, and so is its Live menu.
    const bool failed = phase.kind() == Kind::stuck;
    const std::optional<Phase> back = phase.kind() == Kind::cancelled || failed ? m_returnTo : std::nullopt;
    m_returnTo.reset();
    // A step on the live deploy that failed or was cut short can be tried
    // again from the Live menu, also after a restart: its record stays as
    // failed. Any other ending of a step closes the record, and the step that
    // failed before is no longer the one to try again. An ending that ends no
    // step (a card closed before it started one) leaves both as they are.
    std::optional<SystemAgentStepRecord> step = std::exchange(m_step, std::nullopt);
    bool failedNow = false;
    if (step) {
        m_failedStep.reset();
        m_failedStepFromDisk = false;
        if (back && (failed || interrupted)) {
            step->state = SystemAgentStepRecord::State::failed;
            m_failedStep = step;
            failedNow = true;
        } else {
            step->state = SystemAgentStepRecord::State::ended;
        }
        SystemAgentStepRecord::write(m_host.dataFolder(), stepFileName, *step);
    }
    m_state->setPhase(back ? *back : phase);
    m_runs.endRuns();
    // The values were for this session's runs; the tokens stay for the
    // operations on the live deploy unless the user cancelled a deploy.
    dropHeldValues(phase.kind() == Kind::cancelled && !back);
    m_operation.reset();
    m_checklistFromLive.reset();
    m_domainFlow.reset();
    updateRunGoing();
    if (phase.kind() == Kind::stuck)
        m_state->setLastErrorText(phase.reason());

    const std::optional<DeployContext> &context = m_state->context();
    // A step on the live deploy is recorded with that deploy's providers, also
    // after a restart, when the session has no context of its own.
    const bool onLiveDeploy = operation || addingDomain || updatingEnvVars;
    const QList<DeployProvider> deployed =
        onLiveDeploy ? liveProviders() : context ? context->providersInOrder : QList<DeployProvider>{};
    const QStringList providers = providerNames(deployed);
    const Timestamp now = Timestamp::now();
    const std::optional<ContextEntry::DeploySessionOutcome> outcome = outcomeOf(phase);

    std::optional<QString> frontendURL;
    std::optional<QString> backendURL;
    if (phase.kind() == Kind::live) {
        frontendURL = phase.url();
        backendURL = phase.backendURL();
    }
    DeployHistoryEntry entry;
    entry.timestamp = now.toIso8601();
    entry.providers = providers;
    entry.frontendURL = frontendURL;
    entry.backendURL = backendURL;
    if (m_pendingDeploymentID)
        entry.deploymentID = m_pendingDeploymentID->second;
    else if (operation && operation->task().kind == ProviderTask::Kind::rollback &&
             !operation->task().targetDeploymentID.isEmpty())
        entry.deploymentID = operation->task().targetDeploymentID;
    entry.outcome = interrupted ? QStringLiteral("interrupted")
                    : outcome   ? rawValue(*outcome)
                                : QStringLiteral("unknown");
    entry.kind = operation         ? taskKindName(operation->task())
                 : addingDomain    ? QStringLiteral("domain")
                 : updatingEnvVars ? QStringLiteral("envVarUpdate")
                 : context         ? deployKindRawValue(context->kind)
                                   : QStringLiteral("fresh");
    entry.attempts = context ? context->attempt : 1;
    entry.reason = reason;
    entry.durationSec = m_runs.secondsSinceStart(now);
    m_pendingDeploymentID.reset();
    // Live without a deployment id: the run may still print it after the
    // address. Its line waits for the id until the run is over.
    if (outcome == ContextEntry::DeploySessionOutcome::live && !entry.deploymentID) {
        m_liveEntryAwaitingID = LiveEntry{entry, !operation && !addingDomain};
        const AgentPaneState *running = this->pane();
        if (!running || !running->currentSession())
            writeLiveEntryAwaitingID();
    } else {
        appendHistory(entry);
    }

    AgentPaneState *pane = this->pane();
    // The pane says what was cancelled, interrupted or failed, where the app
    // still is, and how to try again.
    if ((phase.kind() == Kind::cancelled || failed) && pane) {
        QString line;
        if (failed) {
            QString why = phase.reason().trimmed();
            if (!why.isEmpty() && !why.endsWith(QLatin1Char('.')) && !why.endsWith(QLatin1Char('!')) &&
                !why.endsWith(QLatin1Char('?')))
                why += QLatin1Char('.');
            line = what.left(1).toUpper() + what.mid(1) + QStringLiteral(" didn't finish: ") + why;
        } else {
            line = reason.value_or(QStringLiteral("Cancelled."));
        }
        if (back)
            line += QStringLiteral(" Your app is still live at ") +
                    (back->kind() == Kind::customDomainVerified ? QStringLiteral("https://") + back->domain()
                                                                : back->url()) +
                    QLatin1Char('.');
        if (failedNow)
            line += QStringLiteral(" To try again, choose \u201c%1\u201d in the Live menu.").arg(*retryStepTitle());
        else if (failed && !back)
            line += QStringLiteral(" To try again, click \u201cTry again\u201d on the Deploy pill.");
        pane->appendLine(failed ? OutputLine::Kind::stderr : OutputLine::Kind::system,
                         QLatin1Char('[') + line + QLatin1Char(']'));
    }
    // The git setting the Live menu shows is saved once the provider does
    // what it says, never before: only a git change that went through saves it.
    if (operation && operation->task().kind == ProviderTask::Kind::gitConnect && phase.kind() == Kind::live) {
        const bool enabled = operation->task().enable;
        saveConfig([enabled](DeployConfig &config) { config.autoDeployOnPush = enabled; });
    }
    if (phase.kind() == Kind::live) {
        const QString liveAt = phase.url();
        // This user's own deploy went live there: the address the Live menu may offer.
        recordOwn([liveAt](DeployOwnRecord &record) { record.frontendURL = liveAt; }, QStringLiteral("live address"));
        if (pane && !operation)
            pane->appendLine(OutputLine::Kind::taskComplete,
                             QStringLiteral("Deployed. Your app is live at ") + phase.url());
        else if (pane && operation->task().kind == ProviderTask::Kind::envVarUpdate)
            pane->appendLine(OutputLine::Kind::taskComplete,
                             QStringLiteral("Env vars updated. Your app is live at ") + phase.url());
        const QList<DeployProvider> chosen = deployed;
        if (!chosen.isEmpty())
            m_liveProviders = chosen;
        const QString url = phase.url();
        const std::optional<QString> backend = phase.backendURL();
        const std::optional<QString> anonKey = m_state->capturedBackendAnonKey();
        const QString deployedAt = now.toIso8601();
        saveConfig([=](DeployConfig &config) {
            if (!chosen.isEmpty())
                config.providers = chosen;
            config.frontendURL = url;
            if (backend)
                config.backendURL = backend;
            if (anonKey)
                config.backendAnonKey = anonKey;
            config.lastDeployedAt = deployedAt;
        });
    } else if (phase.kind() == Kind::customDomainVerified) {
        const QString domain = phase.domain();
        if (pane)
            pane->appendLine(OutputLine::Kind::taskComplete,
                             QStringLiteral("Domain verified. Your app is live at https://") + domain);
        recordOwn([domain](DeployOwnRecord &record) { record.customDomain = domain; }, QStringLiteral("domain"));
        saveConfig([domain](DeployConfig &config) { config.customDomain = domain; });
    }

    if (outcome && pane && m_host.contextActor()) {
        QCoro::Task<> logging = m_runs.logActivity(
            ContextEntry::DeployEnded{uuidText(pane->id()), pane->agentName(), providers, *outcome, frontendURL,
                                      backendURL, context ? context->attempt : 1, reason},
            QStringLiteral("failed to log deploy activity: "));
        Q_UNUSED(logging);
    }
}

// ---- Saved settings and history ---------------------------------------------------------------

void DeploySession::recordOwn(std::function<void(DeployOwnRecord &)> change, const QString &what)
{
    // What the session knows of the settings has the change at once.
    if (!m_config) {
        m_config = DeployConfig::empty();
        m_config->own.record = DeployOwnRecord();
    }
    if (m_config->own.record)
        change(*m_config->own.record);
    ++m_configChanges;
    const QUrl projectURL = m_host.projectURL();
    // On the launcher's serial thread, in order with the saves of deploy-config.json.
    QFuture<void> recording = m_host.launchWork().run([projectURL, change, what] {
        try {
            DeployOwnRecord::update(projectURL, change);
        } catch (const std::exception &e) {
            logDeploy(QStringLiteral("failed to record the %1: %2").arg(what, QString::fromUtf8(e.what())));
        }
    });
    Q_UNUSED(recording);
}

void DeploySession::saveConfig(std::function<void(DeployConfig &)> change)
{
    // What the session knows of the settings has the change at once (the
    // window reads that, never the file).
    if (!m_config) {
        m_config = DeployConfig::empty();
        m_config->own.record = DeployOwnRecord();
    }
    change(*m_config);
    m_config->revision += 1;
    ++m_configChanges;
    const QUrl url = m_host.projectURL();
    // Read, changed and written on the launcher's serial thread, so saves keep their order.
    // The job keeps the project's door (and so its lock) until it has ended.
    QFuture<void> saving = m_host.launchWork().run([url, change, door = m_host.dataFolder()] {
        if (!door) {
            logDeploy(QStringLiteral("deploy-config.json not saved: the project is not open for writing"));
            return;
        }
        DeployConfig config = DeployConfig::loadFile(url).value_or(DeployConfig::empty());
        change(config);
        config.revision += 1;
        try {
            DeployConfig::save(config, *door);
        } catch (const std::exception &e) {
            logDeploy(QStringLiteral("failed to save deploy-config.json: %1").arg(QString::fromUtf8(e.what())));
        }
    });
    Q_UNUSED(saving);
}

void DeploySession::writeLiveEntryAwaitingID()
{
    if (!m_liveEntryAwaitingID)
        return;
    DeployHistoryEntry entry = m_liveEntryAwaitingID->entry;
    // A git, env-var or domain change made no deployment to return to: it must
    // not take a place among the live deploys the Live menu offers.
    if (!entry.deploymentID && !m_liveEntryAwaitingID->rollbackPoint)
        entry.outcome = QStringLiteral("updated");
    m_liveEntryAwaitingID.reset();
    appendHistory(entry);
}

void DeploySession::appendHistory(const DeployHistoryEntry &entry)
{
    // The append records a deployment that went live as this user's own.
    DeployHistoryEntry::append(entry, m_host.dataFolder(), m_host.projectURL());
}

QList<DeployProvider> DeploySession::liveProviders() const
{
    if (!m_liveProviders.isEmpty())
        return m_liveProviders;
    if (m_config && !m_config->providers.isEmpty())
        return m_config->providers;
    const std::optional<DeployContext> &context = m_state->context();
    return context ? context->providersInOrder : QList<DeployProvider>{};
}

// ---- Steps Nerim ends ------------------------------------------------------------------------------

bool DeploySession::countRun()
{
    if (m_runs.countRun(runsPerStep))
        return true;
    logDeploy(QStringLiteral("run limit reached during %1").arg(activityName()));
    stopStuck(QStringLiteral("Nerim stopped %1 after %2 runs of the Deploy agent. Try again to start afresh.")
                  .arg(activityName())
                  .arg(runsPerStep),
              QStringLiteral("run-cap-hit"));
    return false;
}

void DeploySession::answerRefusal(Refused what, const QString &name, const QString &reply)
{
    if (m_runs.countRefusal() <= refusalsAnswered) {
        sendFollowUp(reply);
        return;
    }
    // The agent does not take no for an answer: every further run would cost
    // the user and come back to the same request. The advice names only what
    // the user can do: choosing another provider is open only on a first
    // deploy, and only for a provider the picker offers.
    QString reason;
    if (what == Refused::token) {
        const bool onLiveDeploy = m_operation || m_domainFlow || m_checklistFromLive;
        const bool firstDeploy =
            !onLiveDeploy && !m_returnTo && (!m_state->context() || m_state->context()->kind == DeployKind::fresh);
        bool pickable = false;
        for (DeployProvider provider : DeployProvider::allCases())
            pickable = pickable || provider.tokenVariable().compare(name.trimmed(), Qt::CaseInsensitive) == 0;
        reason = QStringLiteral("The Deploy agent kept asking for %1, which isn't the token of a provider %2 uses, so "
                                "Nerim stopped it.")
                     .arg(name, onLiveDeploy ? QStringLiteral("your live deploy") : QStringLiteral("this deploy"));
        if (firstDeploy && pickable)
            reason += QStringLiteral(" To deploy there too, choose that provider when you deploy again.");
    } else {
        reason = QStringLiteral("The Deploy agent kept asking for a value for %1, which Nerim doesn't set for it, so "
                                "Nerim stopped it. Set %1 in your provider's dashboard yourself, then try again.")
                     .arg(name);
    }
    logDeploy(QStringLiteral("stopped after %1 refused requests").arg(refusalsAnswered + 1));
    stopStuck(reason, QStringLiteral("refusal-cap-hit"));
}

void DeploySession::stopStuck(const QString &reason, const QString &key)
{
    // The ending's pane line says why.
    finalize(Phase::stuck(reason), key);
}

} // namespace nerim
