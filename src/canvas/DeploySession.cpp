// The deploy session's course: held values, its context and pane, beginning,
// cancelling and ending, the saved settings, and its agent's runs and output.
// What the agent's markers and the cards do, and the operations on the live
// deploy, are in DeploySessionActions.cpp.
#include "canvas/DeploySession.h"

#include "canvas/PaneRuns.h"
#include "deploy/DeployPrompt.h"
#include "deploy/DeployToolInstaller.h"
#include "foundation/Log.h"
#include "foundation/SerialExecutor.h"
#include "foundation/UuidText.h"
#include "persistence/IntentProcessorConstants.h"

#include <QDir>
#include <QFile>
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
constexpr qsizetype maskedMinimumLength = 8;

// Phases in which the agent has stopped on purpose, waiting for the user.
bool isWaitingForUser(const DeploySession::Phase &phase)
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

QStringList rawValues(const QList<DeployProvider> &providers)
{
    QStringList names;
    for (DeployProvider provider : providers)
        names.append(provider.rawValue());
    return names;
}

} // namespace

void DeploySession::logDeploy(const QString &text)
{
    logLine(logPrefix + text);
}

DeploySession::DeploySession(CanvasSessionHost &host, QString toolsFolder, QString npmProgram)
    : m_host(host), m_toolsFolder(std::move(toolsFolder)), m_npmProgram(std::move(npmProgram)),
      m_state(new DeploySessionState(this)),
      m_runs(host, *this,
             {QStringLiteral("Deploy"), QStringLiteral("nerim.deploy"), QStringLiteral("Putting your app online"),
              QStringLiteral("Deploy agent"), shownBriefing, logPrefix, /*stopsRunAfterCanvasGone=*/false})
{
}

// ---- Names and values -----------------------------------------------------------------------

bool DeploySession::isAllowedVariableName(const QString &name)
{
    static const QRegularExpression shape(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]*\\z"));
    if (!shape.match(name).hasMatch())
        return false;
    const QString upper = name.toUpper();
    static const QStringList reserved{QStringLiteral("PATH"), QStringLiteral("HOME"), QStringLiteral("SHELL"),
                                      QStringLiteral("NODE_OPTIONS")};
    if (reserved.contains(upper))
        return false;
    for (const char *prefix : {"LD_", "NPM_CONFIG_", "ANTHROPIC_", "CLAUDE_"})
        if (upper.startsWith(QLatin1String(prefix)))
            return false;
    return true;
}

QString DeploySession::shownOutput(const QString &output) const
{
    QString text = output;
    for (const QHash<QString, QString> *held : {&m_tokens, &m_runValues, &m_nextRunValues})
        for (const QString &value : *held)
            if (value.size() >= maskedMinimumLength)
                text.replace(value, maskText);
    return text;
}

void DeploySession::forgetHeldValues()
{
    m_tokens.clear();
    m_nextRunValues.clear();
    m_runValues.clear();
}

QString DeploySession::toolsFolder() const
{
    if (!m_toolsFolder.isEmpty())
        return m_toolsFolder;
    return QDir(IntentProcessorConstants::appSupportDirectory()).filePath(QStringLiteral("deploy-tools"));
}

// ---- Context and pane -----------------------------------------------------------------------

DeployContext DeploySession::makeContext(const QList<DeployProvider> &providers, DeployKind kind) const
{
    DeployContext context;
    context.providersInOrder = providers;
    context.kind = kind;
    const std::optional<LaunchPlan> &plan = m_host.lastAttemptedLaunchPlan();
    context.launchCommand = plan ? plan->shellCommand : QString();
    context.shape = DeployProvider::classify(context.launchCommand);
    const QString projectPath = m_host.projectPath();
    const QString envPath = QDir(projectPath).filePath(QStringLiteral(".env"));
    QFile env(envPath);
    if (env.open(QIODevice::ReadOnly)) {
        context.envFilePath = envPath;
        context.envVarNames = DeployContext::envVarNamesIn(QString::fromUtf8(env.read(1 << 20)));
    }
    QFile package(QDir(projectPath).filePath(QStringLiteral("package.json")));
    if (package.open(QIODevice::ReadOnly)) {
        QStringList names = DeployContext::dependencyNamesIn(package.read(4 << 20)).values();
        names.sort();
        context.dependencies = names;
    }
    context.attempt = 1;
    context.retryCap = 2;
    return context;
}

std::optional<DeploySession::Snapshot> DeploySession::liveSnapshot() const
{
    const Phase &phase = m_state->phase();
    if (phase.kind() == Kind::live)
        return Snapshot{phase.url(), phase.backendURL()};
    if (const std::optional<DeployConfig> config = DeployConfig::load(m_host.projectURL());
        config && config->frontendURL)
        return Snapshot{*config->frontendURL, config->backendURL};
    return std::nullopt;
}

// ---- Beginning, cancelling, ending ------------------------------------------------------------

QCoro::Task<> DeploySession::begin(QList<DeployProvider> providers, DeployKind kind)
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
    // Preparing before the first wait: a second begin right after is refused.
    const std::optional<quint64> serial = m_runs.beginSession();
    if (!serial)
        co_return;
    m_state->setPhase(Phase::preparing());
    m_nextRunValues.clear();
    m_pendingDeploymentID.reset();
    m_state->setLastErrorText(std::nullopt);
    m_state->setLastProgressLine(std::nullopt);
    const DeployContext context = makeContext(providers, kind);
    m_state->setContext(context);
    AgentPaneState *pane = m_runs.openPane();
    QPointer<DeploySession> self(this);
    const auto stillPreparing = [&] { return self && m_runs.isPreparing(*serial); };
    const QStringList names = rawValues(providers);
    logDeploy(QStringLiteral("begin %1 deploy to %2").arg(deployKindRawValue(kind), names.join(QStringLiteral(", "))));

    const QString shape = context.shape == DeployProvider::ProjectShape::frontend ? QStringLiteral("frontend")
                          : context.shape == DeployProvider::ProjectShape::backendOrFullStack
                              ? QStringLiteral("backendOrFullStack")
                              : QStringLiteral("unknown");
    QCoro::Task<AgentPaneState *> preparing = m_runs.preparePane(
        *serial,
        ContextEntry::DeployStarted{uuidText(pane->id()), pane->agentName(), names, shape, deployKindRawValue(kind)},
        QStringLiteral("failed to log deploy activity: "));
    pane = co_await std::move(preparing);
    if (!pane)
        co_return;

    QCoro::Task<> installing = installTools(providers, *serial);
    co_await std::move(installing);
    if (!stillPreparing())
        co_return;

    m_runs.setBriefing(buildDeployPrompt(m_host.projectDisplayName(), context));
    QCoro::Task<> starting = startRun(m_runs.briefing(), true);
    co_await std::move(starting);
}

QCoro::Task<> DeploySession::installTools(QList<DeployProvider> providers, quint64 serial)
{
    QPointer<DeploySession> self(this);
    const QString folder = toolsFolder();
    const QString path = QProcessEnvironment::systemEnvironment().value(QStringLiteral("PATH"));
    for (DeployProvider provider : providers) {
        if (DeployToolInstaller::isAvailable(provider, folder, path))
            continue;
        if (AgentPaneState *pane = this->pane())
            pane->appendLine(OutputLine::Kind::system,
                             QStringLiteral("Installing the %1 command-line tool\u2026").arg(provider.toolName()));
        QCoro::Task<std::optional<QString>> installing = DeployToolInstaller::install(m_npmProgram, folder, provider);
        const std::optional<QString> failure = co_await std::move(installing);
        if (!self || serial != m_runs.session())
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
    const std::optional<DeployContext> context = m_state->context();
    const QList<DeployProvider> providers = context ? context->providersInOrder : QList<DeployProvider>{};
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
    QCoro::Task<> beginning = begin(providers, kind);
    co_await std::move(beginning);
}

QCoro::Task<> DeploySession::cancel()
{
    return m_runs.cancel([this] { finalize(Phase::cancelled(), QStringLiteral("You cancelled the deploy.")); });
}

void DeploySession::finalize(const Phase &phase, const std::optional<QString> &reason)
{
    logDeploy(QStringLiteral("finalize \u2192 %1").arg(phase.debugDescription()));
    const Phase before = m_state->phase();
    m_state->setPhase(phase);
    m_runs.dropWaiting();
    m_nextRunValues.clear();
    if (phase.kind() == Kind::stuck)
        m_state->setLastErrorText(phase.reason());

    const std::optional<DeployContext> &context = m_state->context();
    const QStringList providers = context ? rawValues(context->providersInOrder) : QStringList();
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
    else if (before.kind() == Kind::runningOperation && before.task().kind == ProviderTask::Kind::rollback)
        entry.deploymentID = before.task().targetDeploymentID;
    entry.outcome = outcome ? rawValue(*outcome) : QStringLiteral("unknown");
    entry.kind = before.kind() == Kind::runningOperation        ? taskKindName(before.task())
                 : before.kind() == Kind::customDomainVerifying ? QStringLiteral("domain")
                 : context                                      ? deployKindRawValue(context->kind)
                                                                : QStringLiteral("fresh");
    entry.attempts = context ? context->attempt : 1;
    entry.reason = reason;
    entry.durationSec = m_runs.secondsSinceStart(now);
    DeployHistoryEntry::append(entry, m_host.projectURL());
    m_pendingDeploymentID.reset();

    AgentPaneState *pane = this->pane();
    if (phase.kind() == Kind::live) {
        if (pane && before.kind() != Kind::runningOperation)
            pane->appendLine(OutputLine::Kind::taskComplete,
                             QStringLiteral("Deployed. Your app is live at ") + phase.url());
        const QList<DeployProvider> chosen = context ? context->providersInOrder : QList<DeployProvider>{};
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

void DeploySession::saveConfig(std::function<void(DeployConfig &)> change)
{
    const QUrl url = m_host.projectURL();
    // Read, changed and written on the launcher's serial thread, so saves keep their order.
    QFuture<void> saving = m_host.launchWork().run([url, change] {
        DeployConfig config = DeployConfig::load(url).value_or(DeployConfig::empty());
        change(config);
        config.revision += 1;
        try {
            DeployConfig::save(config, url);
        } catch (const std::exception &e) {
            logDeploy(QStringLiteral("failed to save deploy-config.json: %1").arg(QString::fromUtf8(e.what())));
        }
    });
    Q_UNUSED(saving);
}

// ---- Agent runs -----------------------------------------------------------------------------------

void DeploySession::sendFollowUp(const QString &text)
{
    m_runs.startWhenFree([this, text] {
        QCoro::Task<> starting = startRun(text, false);
        Q_UNUSED(starting);
    });
}

QCoro::Task<> DeploySession::startRun(QString task, bool firstRun)
{
    AgentPaneState *pane = this->pane();
    if (!pane || !m_state->phase().isActive())
        co_return;
    SystemAgentRuns::Run run;
    run.task = task;
    run.shownPrompt = firstRun ? shownBriefing : task;
    if (!firstRun)
        run.priorTurns = m_runs.turnsSoFar(pane);
    // The values meant for this run go with it, and only with it.
    m_runValues = m_nextRunValues;
    m_nextRunValues.clear();
    for (auto it = m_tokens.begin(); it != m_tokens.end(); ++it)
        run.extras.environment.insert(it.key(), it.value());
    for (auto it = m_runValues.begin(); it != m_runValues.end(); ++it)
        run.extras.environment.insert(it.key(), it.value());
    run.extras.pathEntries = {DeployToolInstaller::binFolder(toolsFolder())};
    run.extras.arguments = {QStringLiteral("--allowedTools"),
                            QStringLiteral("Bash(vercel:*) Bash(railway:*) Bash(supabase:*) Bash(git:*) Bash(npm:*) "
                                           "Bash(npx:*)")};
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
    const std::optional<SystemAgentRuns::StartFailure> failure = co_await std::move(starting);
    if (!failure)
        co_return;
    logDeploy(QStringLiteral("provider.spawn failed: %1").arg(failure->description));
    if (failure->pane)
        m_runs.showStartFailure(failure->pane, failure->description);
    if (failure->sameSession && m_state->phase().isActive())
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
    // A marker is acted on here, in stream order, and kept out of the transcript.
    if (const std::optional<DeployMarkers::Signal> signal = DeployMarkers::parse(line)) {
        handleSignal(*signal, pane);
        return;
    }
    pane->appendCurrentStdout(line);
    pane->appendLine(OutputLine::Kind::stdout, line);
    pane->appendStdoutToTurn(line);
}

void DeploySession::handleRunEnded(AgentPaneState *, bool inSessionPane)
{
    // The run of an earlier pane: nothing that waited goes on.
    if (!inSessionPane) {
        m_runs.dropWaiting();
        return;
    }
    // Stopped to wait for the user: expected. Anything else ends the session,
    // since no further output can come.
    if (!isWaitingForUser(m_state->phase()))
        finalize(Phase::stuck(exitedSilentText), QStringLiteral("agent-exited-silent"));
}

} // namespace nerim
