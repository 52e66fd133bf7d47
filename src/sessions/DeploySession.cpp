// The deploy session's course: held values, its context and pane, beginning,
// cancelling and restoring, and its agent's runs and output. What the agent's
// markers and the cards do, and the operations on the live deploy, are in
// DeploySessionActions.cpp; how a session ends and what it records, in
// DeploySessionEnding.cpp.
#include "sessions/DeploySession.h"

#include "sessions/PaneRuns.h"
#include "deploy/DeployPrompt.h"
#include "deploy/DeployRuns.h"
#include "deploy/DeployToolInstaller.h"
#include "foundation/Log.h"
#include "foundation/SerialExecutor.h"
#include "foundation/UuidText.h"
#include "persistence/IntentProcessorConstants.h"

#include <QCoro/QCoroFuture>
#include <QDir>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <cmath>

namespace nerim {

using Kind = DeploySessionState::Phase::Kind;

namespace {

const QString logPrefix = QStringLiteral("[Nerim deploy] ");
// What the pane's first turn shows in place of the long briefing.
const QString shownBriefing = QStringLiteral("(Nerim's deploy briefing)");

const QString couldNotStartText = QStringLiteral("The Deploy agent couldn't start.");
const QString exitedSilentText = QStringLiteral("The Deploy agent finished without saying what happened.");
const QString maskText = QStringLiteral("\u2022\u2022\u2022\u2022");

// Phases in which the agent has stopped on purpose, waiting for the user.
bool waitsForUser(const DeploySession::Phase &phase)
{
    switch (phase.kind()) {
    case Kind::awaitingToken:
    case Kind::awaitingSecret:
    case Kind::envVarChecklist:
    case Kind::customDomainInput:
        return true;
    default:
        return false;
    }
}

} // namespace

void DeploySession::logDeploy(const QString &text)
{
    logLine(logPrefix + text);
}

std::optional<DeployProvider> DeploySession::firstHosting(const QList<DeployProvider> &providers)
{
    for (DeployProvider provider : providers)
        if (provider.isHosting())
            return provider;
    return std::nullopt;
}

QStringList DeploySession::providerNames(const QList<DeployProvider> &providers)
{
    QStringList names;
    for (DeployProvider provider : providers)
        names.append(provider.rawValue());
    return names;
}

DeploySession::DeploySession(CanvasSessionHost &host, QString toolsFolder, QString npmProgram)
    : m_host(host), m_toolsFolder(std::move(toolsFolder)), m_npmProgram(std::move(npmProgram)),
      m_state(new DeploySessionState(this)),
      m_runs(host, *this,
             {QStringLiteral("Deploy"), QStringLiteral("nerim.deploy"), QStringLiteral("Putting your app online"),
              QStringLiteral("Deploy agent"), shownBriefing, logPrefix})
{
}

// ---- Names and values -----------------------------------------------------------------------

bool DeploySession::isAllowedVariableName(const QString &name)
{
    return DeployRuns::isSettableVariable(name);
}

QString DeploySession::shownOutput(const QString &output) const
{
    // Every held value, however short, the longest first so that a value
    // holding another is masked whole.
    QStringList values = m_tokens.values() + m_maskedUntilRunEnds;
    for (const QHash<QString, QString> *held : {&m_runValues, &m_nextRunValues})
        values += held->values();
    std::sort(values.begin(), values.end(), [](const QString &a, const QString &b) { return a.size() > b.size(); });
    QString text = output;
    for (const QString &value : std::as_const(values))
        if (!value.isEmpty())
            text.replace(value, maskText);
    return text;
}

QStringList DeploySession::tokenNames() const
{
    QStringList names;
    for (DeployProvider provider : DeployProvider::allCases())
        if (m_tokens.contains(provider))
            names.append(provider.tokenVariable());
    return names;
}

void DeploySession::dropHeldValues(bool tokensToo)
{
    // A run still going had them in its environment: its output stays masked until it ends.
    if (const AgentPaneState *pane = this->pane(); pane && pane->currentSession()) {
        if (tokensToo)
            m_maskedUntilRunEnds += m_tokens.values();
        m_maskedUntilRunEnds += m_runValues.values();
    }
    if (tokensToo)
        m_tokens.clear();
    m_nextRunValues.clear();
    m_runValues.clear();
}

void DeploySession::forgetHeldValues()
{
    writeLiveEntryAwaitingID();
    dropHeldValues(true);
    m_maskedUntilRunEnds.clear();
}

bool DeploySession::isWaitingForUser() const
{
    return waitsForUser(m_state->phase());
}

void DeploySession::handleRunOver()
{
    m_runValues.clear();
    m_maskedUntilRunEnds.clear();
    writeLiveEntryAwaitingID();
    updateRunGoing();
}

std::optional<DeploySession::Phase> DeploySession::flowPhase() const
{
    if (m_operation)
        return m_operation;
    return m_domainFlow;
}

QList<DeployProvider> DeploySession::sessionProviders() const
{
    const std::optional<DeployContext> &context = m_state->context();
    return context ? context->providersInOrder : redeployProviders();
}

void DeploySession::updateRunGoing()
{
    const AgentPaneState *pane = this->pane();
    const bool going = pane && (pane->currentSession() || isBusy(pane->status()) || m_runs.hasWaiting());
    m_state->setAgentRunGoing(going);
}

QString DeploySession::toolsFolder() const
{
    if (!m_toolsFolder.isEmpty())
        return m_toolsFolder;
    return QDir(IntentProcessorConstants::appSupportDirectory()).filePath(QStringLiteral("deploy-tools"));
}

// ---- Context and pane -----------------------------------------------------------------------

QCoro::Task<DeployContext> DeploySession::makeContext(QList<DeployProvider> providers, DeployKind kind) const
{
    DeployContext context;
    context.providersInOrder = providers;
    context.kind = kind;
    const std::optional<LaunchPlan> &plan = m_host.lastAttemptedLaunchPlan();
    context.launchCommand = plan ? plan->shellCommand : QString();
    context.shape = DeployProvider::classify(context.launchCommand);
    context.attempt = 1;
    context.retryCap = 2;
    // .env and package.json come from the project: read off the window's
    // thread, and never waited on (a pipe or a device is not read at all).
    QFuture<DeployProjectFiles> reading = DeployProjectFiles::readInBackground(m_host.projectPath());
    const DeployProjectFiles files = co_await reading;
    context.envFilePath = files.envFilePath;
    context.envVarNames = files.envVarNames;
    context.declaredNames = files.declaredNames;
    context.envFileTooLarge = files.envFileTooLarge;
    context.dependencies = files.dependencies;
    co_return context;
}

std::optional<QString> DeploySession::liveURL() const
{
    const Phase &phase = m_state->phase();
    if (phase.kind() == Kind::live)
        return phase.url();
    if (phase.kind() == Kind::customDomainVerified)
        return QStringLiteral("https://") + phase.domain();
    // Only the addresses in the shape Nerim saves them: the file may have been planted.
    if (const std::optional<DeployConfig> config = DeployConfig::load(m_host.projectURL()))
        return config->liveURL();
    return std::nullopt;
}

std::optional<DeploySession::Phase> DeploySession::livePhaseNow() const
{
    const Phase &phase = m_state->phase();
    if (phase.kind() == Kind::live || phase.kind() == Kind::customDomainVerified)
        return phase;
    if (const std::optional<Snapshot> snapshot = liveSnapshot())
        return Phase::live(snapshot->frontendURL, snapshot->backendURL);
    return std::nullopt;
}

QString DeploySession::activityName() const
{
    const Phase &phase = m_state->phase();
    if (m_operation) {
        switch (m_operation->task().kind) {
        case ProviderTask::Kind::rollback: return QStringLiteral("the rollback");
        case ProviderTask::Kind::gitConnect:
            return m_operation->task().enable ? QStringLiteral("connecting to git")
                                              : QStringLiteral("disconnecting from git");
        case ProviderTask::Kind::envVarUpdate: return QStringLiteral("the env-var update");
        }
    }
    if (m_domainFlow || phase.kind() == Kind::customDomainInput || phase.kind() == Kind::customDomainVerifying)
        return QStringLiteral("adding the domain");
    if (m_checklistFromLive)
        return QStringLiteral("the env-var update");
    if (m_state->context() && m_state->context()->kind == DeployKind::redeploy)
        return QStringLiteral("the redeploy");
    return QStringLiteral("the deploy");
}

std::optional<DeploySession::Snapshot> DeploySession::liveSnapshot() const
{
    const std::optional<QString> url = liveURL();
    if (!url)
        return std::nullopt;
    // The saved backend, else the live phase's (its save may still be on its way).
    const Phase &phase = m_state->phase();
    std::optional<QString> backend;
    if (const std::optional<DeployConfig> config = DeployConfig::load(m_host.projectURL()))
        backend = config->backendURL;
    if (!backend && phase.kind() == Kind::live)
        backend = phase.backendURL();
    return Snapshot{*url, backend};
}

QList<DeployProvider> DeploySession::redeployProviders() const
{
    if (const std::optional<DeployContext> &context = m_state->context(); context && !context->providersInOrder.isEmpty())
        return context->providersInOrder;
    if (const std::optional<DeployConfig> config = DeployConfig::load(m_host.projectURL());
        config && !config->providers.isEmpty())
        return config->providers;
    return {DeployProvider::vercel};
}

std::optional<DeployProvider> DeploySession::runProvider() const
{
    const Phase &phase = m_state->phase();
    if (phase.provider())
        return phase.provider();
    const QList<DeployProvider> providers =
        m_state->context() ? m_state->context()->providersInOrder : QList<DeployProvider>{};
    // The first run works for the first provider; a secret, a domain or an
    // operation belongs to the hosting one.
    if (phase.kind() == Kind::preparing)
        return providers.isEmpty() ? std::nullopt : std::optional<DeployProvider>(providers.first());
    if (const std::optional<DeployProvider> hosting = firstHosting(providers))
        return hosting;
    return firstHosting(redeployProviders());
}

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
    m_state->setContext(context);
    SystemAgentStepRecord step;
    step.step = deployKindRawValue(kind);
    step.providers = providerNames(providers);
    recordStep(step);
    // The checklist's rows start from the choices the user saved last time.
    const std::optional<DeployConfig> saved = DeployConfig::load(m_host.projectURL());
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
    SystemAgentStepRecord::write(m_host.projectPath(), stepFileName, record);
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
        bool own = false;
        for (const DeployHistoryEntry &entry : DeployHistoryEntry::recentLive(m_host.projectURL(), 6))
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
        // A value typed into the card was for that run only: the card asks again.
        m_failedStep.reset();
        openEnvVarChecklist();
    } else if (step.step == QLatin1String("domain")) {
        m_failedStep.reset();
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
        std::optional<SystemAgentStepRecord> step;
    };
    QFuture<Saved> reading = m_host.launchWork().run([url, projectPath]() -> Saved {
        Saved saved;
        saved.step = SystemAgentStepRecord::read(projectPath, stepFileName);
        const std::optional<DeployConfig> config = DeployConfig::load(url);
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
    if (!self || m_host.isTornDown() || m_state->phase().kind() != Kind::idle)
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

    std::optional<SystemAgentStepRecord> step = saved.step;
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
        SystemAgentStepRecord::write(projectPath, stepFileName, *step);
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

// ---- Agent runs -----------------------------------------------------------------------------------

void DeploySession::sendFollowUp(const QString &text, RunFor why)
{
    if (why != RunFor::user && !countRun())
        return;
    const bool typedByUser = why == RunFor::user;
    // An answer takes over from the run that asked: whatever that run prints
    // while it finishes is shown, but acts on nothing.
    m_runs.startWhenFree(
        [this, text, typedByUser] {
            QCoro::Task<> starting = startRun(text, false, typedByUser);
            Q_UNUSED(starting);
        },
        why == RunFor::answer);
    updateRunGoing();
}

QCoro::Task<> DeploySession::startRun(QString task, bool firstRun, bool typedByUser)
{
    AgentPaneState *pane = this->pane();
    if (!pane || !m_state->phase().isActive()) {
        updateRunGoing();
        co_return;
    }
    SystemAgentRuns::Run run;
    run.role = AgentRole::deploy;
    run.task = task;
    run.shownPrompt = firstRun ? shownBriefing : task;
    if (!firstRun)
        run.priorTurns = m_runs.turnsSoFar(pane);
    if (typedByUser)
        pane->appendLine(OutputLine::Kind::userPrompt, task);
    // The values meant for this run go with it, and only with it; of the
    // tokens, only the one of the provider this run works for.
    m_runValues = m_nextRunValues;
    m_nextRunValues.clear();
    const QHash<QString, QString> token = m_tokens.environmentFor(runProvider());
    for (auto it = token.begin(); it != token.end(); ++it)
        run.extras.environment.insert(it.key(), it.value());
    for (auto it = m_runValues.begin(); it != m_runValues.end(); ++it)
        run.extras.environment.insert(it.key(), it.value());
    run.extras.pathEntries = {DeployToolInstaller::binFolder(toolsFolder())};
    const std::optional<DeployContext> &context = m_state->context();
    // The rules that name a variable, a domain or a deployment are built for
    // this run from what Nerim itself holds: the values it put into the
    // environment, the project's .env names, the domain the user typed and the
    // deployment the user chose to return to.
    DeployRuns::RunScope scope(context ? context->providersInOrder : redeployProviders());
    scope.valueNames = m_runValues.keys();
    if (context)
        scope.variableNames = context->envVarNames;
    scope.variableNames += m_runValues.keys();
    if (m_operation && m_operation->kind() == Kind::runningOperation) {
        const ProviderTask &operation = m_operation->task();
        if (operation.kind == ProviderTask::Kind::rollback)
            scope.deploymentID = operation.targetDeploymentID;
        scope.variableNames += operation.decisions.keys();
    }
    if (m_domainFlow)
        scope.domain = m_domainFlow->domain();
    run.extras.arguments = DeployRuns::runArguments(scope);
    // The run's Supabase tool is Nerim's fence around the real one, written
    // before the run starts; when it cannot be written the run does not start.
    if (scope.providers.contains(DeployProvider::supabase)) {
        const QString fence = QDir(toolsFolder()).filePath(QStringLiteral("fence"));
        const QStringList search =
            run.extras.pathEntries +
            QProcessEnvironment::systemEnvironment().value(QStringLiteral("PATH")).split(QLatin1Char(':'), Qt::SkipEmptyParts);
        run.extras.pathEntries.prepend(fence);
        run.extras.prepare = [fence, search] { DeployRuns::writeSupabaseFence(fence, search); };
    }
    if (firstRun) {
        run.running = [this] {
            if (m_state->phase().kind() != Kind::preparing)
                return;
            const QList<DeployProvider> providers =
                m_state->context() ? m_state->context()->providersInOrder : QList<DeployProvider>{};
            if (!providers.isEmpty())
                m_state->setPhase(Phase::authenticating(providers.first()));
        };
    }

    QCoro::Task<std::optional<SystemAgentRuns::StartFailure>> starting = m_runs.start(pane, run);
    updateRunGoing();
    QPointer<DeploySession> self(this);
    const std::optional<SystemAgentRuns::StartFailure> failure = co_await std::move(starting);
    if (!self)
        co_return;
    updateRunGoing();
    if (!failure)
        co_return;
    logDeploy(QStringLiteral("provider.spawn failed: %1").arg(failure->description));
    if (failure->pane)
        m_runs.showStartFailure(failure->pane, failure->description);
    if (m_state->phase().isActive())
        finalize(Phase::stuck(couldNotStartText), QStringLiteral("spawn-failed"));
}

void DeploySession::handleNotStarted(AgentPaneState *pane, NotStarted why)
{
    if (!pane)
        return;
    if (why == NotStarted::spawnFailed)
        removeTurnInFlight(pane);
    else if (why == NotStarted::abandonedAtSpawn)
        SystemAgentRuns::tidyAbandoned(pane);
}

// ---- The agent's output -----------------------------------------------------------------------

void DeploySession::handleStdoutLine(const QString &line, AgentPaneState *pane)
{
    // A marker is acted on here, in stream order, and kept out of the
    // transcript; the turn keeps it, so later runs know what it reported
    // (the backend's address, the deployment, the live address).
    if (const std::optional<DeployMarkers::Signal> signal = DeployMarkers::parse(line)) {
        pane->appendStdoutToTurn(line);
        handleSignal(*signal, pane);
        return;
    }
    pane->appendCurrentStdout(line);
    pane->appendLine(OutputLine::Kind::stdout, line);
    pane->appendStdoutToTurn(line);
}

void DeploySession::handleRunEnded(AgentPaneState *, bool inSessionPane)
{
    updateRunGoing();
    // The run of an earlier pane: nothing that waited goes on.
    if (!inSessionPane) {
        m_runs.dropWaiting();
        return;
    }
    // Stopped to wait for the user: expected. Anything else ends the session,
    // since no further output can come.
    if (!waitsForUser(m_state->phase()))
        finalize(Phase::stuck(exitedSilentText), QStringLiteral("agent-exited-silent"));
}

} // namespace nerim
