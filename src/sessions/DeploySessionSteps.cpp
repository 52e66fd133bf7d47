// Beginning, retrying, cancelling and restoring a deploy session's step: a
// deploy (with the providers' tools installed first), "Try again" of a step on
// the live deploy, the user's cancel, Nerim closing the project, and opening a
// project that was live (or whose step an earlier Nerim never ended). Each
// step is written down (SystemAgentStepRecord) while it runs.
#include "sessions/DeploySession.h"
#include "persistence/ProjectDataFolder.h"

#include "deploy/DeployPrompt.h"
#include "deploy/DeployToolInstaller.h"
#include "foundation/SerialExecutor.h"
#include "foundation/UuidText.h"

#include <QCoro/QCoroFuture>
#include <QProcessEnvironment>

namespace nerim {

using Kind = DeploySessionState::Phase::Kind;

// ---- Beginning, cancelling, ending ------------------------------------------------------------

QCoro::Task<> DeploySession::begin(QList<DeployProvider> providers, DeployKind kind, bool keepTranscript)
{
    if (m_state->phase().isActive()) {
        logDeploy(QStringLiteral("beginDeploy called while phase %1 is active \u2014 ignoring")
                      .arg(m_state->phase().debugDescription()));
        co_return;
    }
    if (providers.isEmpty()) {
        logDeploy(QStringLiteral("beginDeploy called with no providers \u2014 ignoring"));
        co_return;
    }
    writeLiveEntryAwaitingID();
    // A deploy over a live one (Redeploy) that is cancelled leaves that one live.
    const std::optional<Phase> live = livePhaseNow();
    // Preparing before the first wait: a second begin right after is refused.
    const std::optional<quint64> serial = m_runs.beginSession();
    if (!serial)
        co_return;
    m_returnTo = live;
    m_state->setPhase(Phase::preparing());
    m_nextRunValues.clear();
    m_pendingDeploymentID.reset();
    m_state->setLastErrorText(std::nullopt);
    m_state->setLastProgressLine(std::nullopt);
    m_operation.reset();
    m_checklistFromLive.reset();
    m_domainFlow.reset();
    QPointer<DeploySession> self(this);
    const auto stillPreparing = [&] { return self && m_runs.isPreparing(*serial); };
    QCoro::Task<DeployContext> gathering = makeContext(providers, kind);
    const DeployContext context = co_await std::move(gathering);
    if (!stillPreparing())
        co_return;
    // The saved settings as they are now, read off the window's thread.
    QCoro::Task<std::optional<DeployConfig>> loading = readConfig();
    const std::optional<DeployConfig> saved = co_await std::move(loading);
    if (!stillPreparing())
        co_return;
    m_state->setContext(context);
    SystemAgentStepRecord step;
    step.step = deployKindRawValue(kind);
    step.providers = providerNames(providers);
    recordStep(step);
    // The checklist's rows start from the choices the user saved last time.
    m_state->setEnvDecisions(saved ? saved->envDecisions : QMap<QString, QString>{});
    AgentPaneState *pane = m_runs.openPane();
    const QStringList names = providerNames(providers);
    logDeploy(QStringLiteral("begin %1 deploy to %2").arg(deployKindRawValue(kind), names.join(QStringLiteral(", "))));

    const QString shape = context.shape == DeployProvider::ProjectShape::frontend ? QStringLiteral("frontend")
                          : context.shape == DeployProvider::ProjectShape::backendOrFullStack
                              ? QStringLiteral("backendOrFullStack")
                              : QStringLiteral("unknown");
    // A redeploy goes on below what the pane showed, as operations do.
    // So does a deploy tried again.
    QCoro::Task<AgentPaneState *> preparing = m_runs.preparePane(
        *serial,
        ContextEntry::DeployStarted{uuidText(pane->id()), pane->agentName(), names, shape, deployKindRawValue(kind)},
        QStringLiteral("failed to log deploy activity: "), kind == DeployKind::redeploy || keepTranscript);
    pane = co_await std::move(preparing);
    if (!pane)
        co_return;

    QCoro::Task<> installing = installTools(providers, *serial);
    co_await std::move(installing);
    if (!stillPreparing())
        co_return;

    m_runs.setBriefing(buildDeployPrompt(m_host.projectDisplayName(), context));
    if (!countRun())
        co_return;
    QCoro::Task<> starting = startRun(m_runs.briefing(), true);
    co_await std::move(starting);
}

QCoro::Task<> DeploySession::installTools(QList<DeployProvider> providers, quint64 serial)
{
    QPointer<DeploySession> self(this);
    const QString folder = toolsFolder();
    const QString path = QProcessEnvironment::systemEnvironment().value(QStringLiteral("PATH"));
    // The installs stop, npm and all, once the session is no longer preparing
    // (cancelled, ended, replaced) or the canvas goes.
    delete m_installStopper;
    auto *stopper = new QObject(this);
    m_installStopper = stopper;
    connect(m_state, &DeploySessionState::phaseChanged, stopper, [this, stopper, serial] {
        if (!m_runs.isPreparing(serial))
            stopper->deleteLater();
    });
    for (DeployProvider provider : providers) {
        if (!self || !m_runs.isPreparing(serial))
            co_return;
        if (DeployToolInstaller::isAvailable(provider, folder, path))
            continue;
        DeployToolInstaller::Request request;
        request.npmProgram = m_npmProgram;
        request.toolsFolder = folder;
        request.provider = provider;
        request.stopper = m_installStopper;
        request.stoppable = true;
        request.progress = [self](const QString &line) {
            if (AgentPaneState *pane = self ? self->pane() : nullptr)
                pane->appendLine(OutputLine::Kind::system, line);
        };
        QCoro::Task<std::optional<QString>> installing = DeployToolInstaller::install(std::move(request));
        const std::optional<QString> failure = co_await std::move(installing);
        if (!self || !m_runs.isPreparing(serial))
            co_return;
        if (failure) {
            logDeploy(QStringLiteral("installing %1 failed: %2").arg(provider.npmPackage(), *failure));
            if (AgentPaneState *pane = this->pane())
                pane->appendLine(
                    OutputLine::Kind::stderr,
                    QStringLiteral("Couldn't install the %1 command-line tool: ").arg(provider.toolName()) + *failure);
        }
    }
}

QCoro::Task<> DeploySession::retry()
{
    if (m_failedStep && !m_state->phase().isActive()) {
        QCoro::Task<> retrying = retryStep(*m_failedStep);
        co_await std::move(retrying);
        co_return;
    }
    const std::optional<DeployContext> context = m_state->context();
    // Without a session behind it (after a restart), the project's saved providers.
    QList<DeployProvider> providers = context ? context->providersInOrder : QList<DeployProvider>{};
    if (providers.isEmpty())
        providers = redeployProviders();
    const DeployKind kind = context ? context->kind : DeployKind::fresh;
    if (!m_state->phase().isActive()) {
        m_state->setPhase(Phase::idle());
        m_state->setDeployPaneID(std::nullopt);
        m_state->setContext(std::nullopt);
        m_state->setLastProgressLine(std::nullopt);
        m_state->setLastErrorText(std::nullopt);
        m_state->setCapturedBackendURL(std::nullopt);
        m_state->setCapturedBackendAnonKey(std::nullopt);
    }
    // What the pane showed stays: the new try goes on below it.
    QCoro::Task<> beginning = begin(providers, kind, true);
    co_await std::move(beginning);
}

QString DeploySession::stepName(const SystemAgentStepRecord &record)
{
    const QString &step = record.step;
    if (step == QLatin1String("rollback"))
        return QStringLiteral("the rollback");
    if (step == QLatin1String("gitConnect"))
        return record.enable.value_or(true) ? QStringLiteral("connecting to git")
                                            : QStringLiteral("disconnecting from git");
    if (step == QLatin1String("envVarUpdate"))
        return QStringLiteral("the env-var update");
    if (step == QLatin1String("domain"))
        return QStringLiteral("adding the domain");
    if (step == QLatin1String("redeploy"))
        return QStringLiteral("the redeploy");
    return QStringLiteral("the deploy");
}

std::optional<QString> DeploySession::retryStepTitle() const
{
    if (!m_failedStep || m_state->phase().isActive())
        return std::nullopt;
    return QStringLiteral("Try %1 again").arg(stepName(*m_failedStep));
}

void DeploySession::recordStep(SystemAgentStepRecord record)
{
    record.state = SystemAgentStepRecord::State::running;
    record.instance = SystemAgentStepRecord::currentInstance();
    record.startedAt = Timestamp::now().toIso8601();
    // A new step: the one that failed before is no longer the one to try again.
    m_failedStep.reset();
    m_failedStepFromDisk = false;
    m_step = record;
    SystemAgentStepRecord::write(m_host.dataFolder(), stepFileName, record);
}

QCoro::Task<> DeploySession::retryStep(SystemAgentStepRecord step)
{
    logDeploy(QStringLiteral("trying %1 again").arg(stepName(step)));
    // A step read back from the project's folder names nothing Nerim takes on
    // its word: the live deploy's providers, a deployment this user's deploys
    // made, and a domain the user types again.
    const bool fromDisk = m_failedStepFromDisk;
    QList<DeployProvider> providers;
    if (!fromDisk)
        for (const QString &raw : std::as_const(step.providers))
            if (const std::optional<DeployProvider> provider = DeployProvider::fromRaw(raw))
                providers.append(*provider);
    if (providers.isEmpty())
        providers = liveProviders();
    if (fromDisk && step.step == QLatin1String("rollback")) {
        QPointer<DeploySession> self(this);
        const QUrl url = m_host.projectURL();
        QFuture<QList<DeployHistoryEntry>> reading =
            m_host.launchWork().run([url] { return DeployHistoryEntry::recentLive(url, 6); });
        const QList<DeployHistoryEntry> recent = co_await reading;
        if (!self || m_state->phase().isActive() || !m_failedStep)
            co_return;
        bool own = false;
        for (const DeployHistoryEntry &entry : recent)
            own = own || (step.deploymentID && entry.deploymentID == step.deploymentID);
        if (!own) {
            logDeploy(QStringLiteral("the rollback to retry is not to a deployment of this user's — ignoring"));
            m_failedStep.reset();
            co_return;
        }
    }
    if (fromDisk)
        step.domain.reset();
    if (step.step == QLatin1String("rollback")) {
        DeployHistoryEntry entry;
        entry.timestamp = step.targetTimestamp.value_or(QString());
        entry.providers = providerNames(providers);
        entry.frontendURL = step.frontendURL;
        entry.deploymentID = step.deploymentID;
        QCoro::Task<> rolling = beginRollback(entry);
        co_await std::move(rolling);
    } else if (step.step == QLatin1String("gitConnect")) {
        QCoro::Task<> connecting = beginGitConnect(step.enable.value_or(true));
        co_await std::move(connecting);
    } else if (step.step == QLatin1String("envVarUpdate")) {
        // A value typed into the card was for that run only: the card asks
        // again. The step stays the one to try again until the card starts
        // it: a card closed unchanged changes nothing.
        openEnvVarChecklist();
    } else if (step.step == QLatin1String("domain")) {
        if (openCustomDomainInput() && step.domain) {
            QCoro::Task<> adding = beginCustomDomain(*step.domain);
            co_await std::move(adding);
        }
    } else {
        const DeployKind kind = step.step == QLatin1String("fresh") ? DeployKind::fresh : DeployKind::redeploy;
        QCoro::Task<> beginning = begin(providers, kind, true);
        co_await std::move(beginning);
    }
}

QCoro::Task<> DeploySession::cancel()
{
    return m_runs.cancel([this] {
        const QString what = activityName();
        finalize(Phase::cancelled(), QStringLiteral("You cancelled %1.").arg(what));
    });
}

void DeploySession::endForQuit()
{
    if (!m_state->phase().isActive())
        return;
    const QString what = activityName();
    logDeploy(QStringLiteral("Nerim closes the project during %1").arg(what));
    // The pane's line comes with the history's, as for any cancel.
    finalize(Phase::cancelled(), QStringLiteral("Nerim was closed during %1.").arg(what), true);
}

QCoro::Task<> DeploySession::restoreLive()
{
    QPointer<DeploySession> self(this);
    const QUrl url = m_host.projectURL();
    const QString projectPath = m_host.projectPath();
    // Only an address this user's own deploy saved (the config's own record
    // vouches for it): a cloned project's file makes nothing live.
    struct Saved {
        std::optional<Snapshot> snapshot;
        QList<DeployProvider> providers;
        SystemAgentStepRecord::Found step;
        std::optional<DeployConfig> config;
    };
    const quint64 changes = m_configChanges;
    QFuture<Saved> reading = m_host.launchWork().run([url, projectPath, door = m_host.dataFolder()]() -> Saved {
        Saved saved;
        saved.step = SystemAgentStepRecord::read(projectPath, stepFileName, door);
        const std::optional<DeployConfig> config = DeployConfig::load(url);
        saved.config = config;
        if (!config)
            return saved;
        const std::optional<QString> live = config->liveURL();
        if (!live)
            return saved;
        saved.snapshot = Snapshot{*live, config->backendURL};
        saved.providers = config->providers;
        return saved;
    });
    const Saved saved = co_await reading;
    if (!self || m_host.isTornDown())
        co_return;
    if (m_configChanges == changes)
        m_config = saved.config;
    if (m_state->phase().kind() != Kind::idle)
        co_return;
    AgentPaneState *deployPane = nullptr;
    for (AgentPaneState *pane : m_host.panes()) {
        if (pane->isSystemPane() && pane->agentName() == QLatin1String("Deploy")) {
            deployPane = pane;
            break;
        }
    }
    const std::optional<Snapshot> &snapshot = saved.snapshot;
    if (snapshot) {
        // The steps on the live deploy are recorded with its providers.
        m_liveProviders = saved.providers;
        if (deployPane)
            m_state->setDeployPaneID(deployPane->id());
    }

    // A record this Nerim did not write offers nothing and writes nothing; the pane says so once.
    if (saved.step.notNerims && deployPane)
        deployPane->appendLine(OutputLine::Kind::stderr, SystemAgentStepRecord::notNerimsLine(saved.step, stepFileName));
    std::optional<SystemAgentStepRecord> step = saved.step.record;
    if (step && step->wasInterrupted() && !m_host.writesProjectData())
        step.reset();
    if (step && step->wasInterrupted()) {
        // An earlier Nerim never ended this step: it was killed or crashed during it.
        const QString what = stepName(*step);
        logDeploy(QStringLiteral("%1 was interrupted when Nerim last ran").arg(what));
        const QString reason = QStringLiteral("Nerim stopped unexpectedly during %1.").arg(what);
        DeployHistoryEntry entry;
        entry.timestamp = Timestamp::now().toIso8601();
        entry.providers = step->providers;
        entry.outcome = QStringLiteral("interrupted");
        entry.kind = step->step;
        entry.reason = reason;
        appendHistory(entry);
        // On a live deploy, the step can be tried again from the Live menu.
        step->state = snapshot ? SystemAgentStepRecord::State::failed : SystemAgentStepRecord::State::ended;
        SystemAgentStepRecord::write(m_host.dataFolder(), stepFileName, *step);
        if (deployPane) {
            QString line = QStringLiteral("[Nerim stopped unexpectedly during %1, so it didn't finish.").arg(what);
            if (snapshot)
                line += QStringLiteral(" Your app is still live at %1. To try again, choose \u201cTry %2 again\u201d "
                                       "in the Live menu.")
                            .arg(snapshot->frontendURL, what);
            else
                line += QStringLiteral(" Deploy again when you're ready.");
            deployPane->appendLine(OutputLine::Kind::stderr, line + QLatin1Char(']'));
        }
    }
    if (!snapshot)
        co_return;
    if (step && step->state == SystemAgentStepRecord::State::failed) {
        m_failedStep = step;
        m_failedStepFromDisk = true;
    }
    logDeploy(QStringLiteral("the project opens live at %1").arg(displayHost(snapshot->frontendURL)));
    m_state->setPhase(Phase::live(snapshot->frontendURL, snapshot->backendURL));
}

} // namespace nerim
