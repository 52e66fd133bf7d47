// The deploy session itself: its construction, the values it holds for the
// Deploy runs (and masks in their output), and what it reads of the project
// and of the live deploy (context, pane, live address, providers). The rest of
// the class lives by job beside it: DeploySessionSteps.cpp (beginning,
// retrying, cancelling and restoring a step), DeploySessionRuns.cpp (its
// agent's runs and their output), DeploySessionMarkers.cpp (the agent's
// markers), DeploySessionCards.cpp (what the cards and the Live menu hand in),
// DeploySessionOperations.cpp (the operations on the live deploy) and
// DeploySessionEnding.cpp (how a session ends and what it records).
#include "sessions/DeploySession.h"

#include "deploy/DeployPrompt.h"
#include "deploy/DeployVariableRules.h"
#include "foundation/Log.h"
#include "foundation/SerialExecutor.h"
#include "persistence/IntentProcessorConstants.h"

#include <QCoro/QCoroFuture>
#include <QDir>

namespace nerim {

using Kind = DeploySessionState::Phase::Kind;

namespace {

const QString logPrefix = QStringLiteral("[Nerim deploy] ");
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
    if (m_config)
        return m_config->liveURL();
    return std::nullopt;
}

QCoro::Task<std::optional<DeployConfig>> DeploySession::readConfig()
{
    QPointer<DeploySession> self(this);
    const quint64 changes = m_configChanges;
    const QUrl url = m_host.projectURL();
    QFuture<std::optional<DeployConfig>> reading =
        m_host.launchWork().run([url]() -> std::optional<DeployConfig> { return DeployConfig::load(url); });
    std::optional<DeployConfig> config = co_await reading;
    if (self && self->m_configChanges == changes)
        self->m_config = config;
    co_return config;
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
    if (m_config)
        backend = m_config->backendURL;
    if (!backend && phase.kind() == Kind::live)
        backend = phase.backendURL();
    return Snapshot{*url, backend};
}

QList<DeployProvider> DeploySession::redeployProviders() const
{
    if (const std::optional<DeployContext> &context = m_state->context(); context && !context->providersInOrder.isEmpty())
        return context->providersInOrder;
    if (m_config && !m_config->providers.isEmpty())
        return m_config->providers;
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

} // namespace nerim
