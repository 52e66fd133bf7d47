// The deploy flow on the canvas. A session of Nerim's Deploy agent runs in the
// Deploy system pane: it is briefed on the project and the chosen providers,
// and talks back through marker lines, on which the session asks the user for
// a token, a value, a review of the env vars or a domain through the cards of
// the deploy overlay, follows the build, and ends live, stuck or cancelled.
//
// The `claude` program answers one prompt per process. Every answer to the
// agent (a token, a value, the reviewed variables, a domain) and every later
// operation on the live deploy (rollback, git, env vars) is a new run in the
// pane, given the session's earlier turns with the briefing restored. One run
// at a time: an answer arriving mid-run starts when the run exits.
//
// Tokens and values never reach Nerim's own environment, a prompt, a pane, a
// file or a log line: a token is held by the controller and laid over the
// environment of every Deploy run (and no other child); a secret or a custom
// value goes into the next run's environment only and is dropped when that
// run ends. Output of a run has every held value masked.
#include "canvas/ProjectCanvasViewModel.h"

#include "deploy/DeployPrompt.h"
#include "deploy/DeployToolInstaller.h"
#include "foundation/Log.h"
#include "foundation/UuidText.h"
#include "persistence/AtomicFileWriter.h"
#include "persistence/IntentProcessorConstants.h"
#include "persistence/ProjectContextActor.h"

#include <QCoro/QCoroFuture>
#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QtConcurrent/QtConcurrentRun>
#include <cmath>

namespace nerim {

namespace {

using Phase = DeploySessionState::Phase;
using Kind = DeploySessionState::Phase::Kind;
using Snapshot = DeploySessionState::TerminalSnapshot;

const QString deployPaneName = QStringLiteral("Deploy");
const QString deployAgentId = QStringLiteral("nerim.deploy");
const QString deployResponsibility = QStringLiteral("Putting your app online");
// What the pane's first turn shows in place of the long briefing.
const QString shownDeployPrompt = QStringLiteral("(Nerim's deploy briefing)");

const QString couldNotStartText = QStringLiteral("The Deploy agent couldn't start.");
const QString exitedSilentText = QStringLiteral("The Deploy agent finished without saying what happened.");
const QString maskText = QStringLiteral("\u2022\u2022\u2022\u2022");
constexpr qsizetype maskedMinimumLength = 8;
constexpr int domainAttempts = 30;

void logDeploy(const QString &text) { logLine(QStringLiteral("[Nerim deploy] ") + text); }

// Phases in which the agent has stopped on purpose, waiting for the user.
bool isWaitingForUser(const Phase &phase)
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

std::optional<ContextEntry::DeploySessionOutcome> outcomeOf(const Phase &phase)
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

std::optional<DeployProvider> firstHosting(const QList<DeployProvider> &providers)
{
    for (DeployProvider provider : providers)
        if (provider.isHosting())
            return provider;
    return std::nullopt;
}

// The checklist's decisions as the agent reads them; a custom value is named, never written.
QString decisionLines(const QMap<QString, QString> &decisions)
{
    QStringList lines;
    for (auto it = decisions.begin(); it != decisions.end(); ++it) {
        if (it.value().startsWith(QLatin1String("custom:")))
            lines.append(QStringLiteral("%1: send the value that is in your environment as %1").arg(it.key()));
        else if (it.value() == QLatin1String("send"))
            lines.append(QStringLiteral("%1: send the value from the project's .env").arg(it.key()));
        else
            lines.append(QStringLiteral("%1: skip").arg(it.key()));
    }
    return lines.join(QLatin1Char('\n'));
}

} // namespace

// ---- Names and values -----------------------------------------------------------------------

bool ProjectCanvasViewModel::isAllowedDeployVariableName(const QString &name)
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

QString ProjectCanvasViewModel::maskDeployValues(QString text) const
{
    for (const QHash<QString, QString> *held : {&m_deployTokens, &m_deployRunValues, &m_deployNextRunValues})
        for (const QString &value : *held)
            if (value.size() >= maskedMinimumLength)
                text.replace(value, maskText);
    return text;
}

QString ProjectCanvasViewModel::deployToolsFolder() const
{
    if (!m_services.deployToolsFolder.isEmpty())
        return m_services.deployToolsFolder;
    return QDir(IntentProcessorConstants::appSupportDirectory()).filePath(QStringLiteral("deploy-tools"));
}

// ---- Context and pane -----------------------------------------------------------------------

DeployContext ProjectCanvasViewModel::makeDeployContext(const QList<DeployProvider> &providers, DeployKind kind) const
{
    DeployContext context;
    context.providersInOrder = providers;
    context.kind = kind;
    context.launchCommand = m_lastAttemptedLaunchPlan ? m_lastAttemptedLaunchPlan->shellCommand : QString();
    context.shape = DeployProvider::classify(context.launchCommand);
    const QString envPath = QDir(m_projectPath).filePath(QStringLiteral(".env"));
    QFile env(envPath);
    if (env.open(QIODevice::ReadOnly)) {
        context.envFilePath = envPath;
        context.envVarNames = DeployContext::envVarNamesIn(QString::fromUtf8(env.read(1 << 20)));
    }
    QFile package(QDir(m_projectPath).filePath(QStringLiteral("package.json")));
    if (package.open(QIODevice::ReadOnly)) {
        QStringList names = DeployContext::dependencyNamesIn(package.read(4 << 20)).values();
        names.sort();
        context.dependencies = names;
    }
    context.attempt = 1;
    context.retryCap = 2;
    return context;
}

AgentPaneState *ProjectCanvasViewModel::ensureDeployPane()
{
    for (AgentPaneState *pane : std::as_const(m_panes))
        if (pane->isSystemPane() && pane->agentName() == deployPaneName)
            return pane;
    auto *pane = new AgentPaneState(newUuid(), deployAgentId, deployPaneName, 0, true, AgentRole::unspecified,
                                    deployResponsibility, this);
    appendPane(pane);
    return pane;
}

AgentPaneState *ProjectCanvasViewModel::deployPane() const
{
    const std::optional<QUuid> &id = m_deployState->deployPaneID();
    return id ? paneWithId(*id) : nullptr;
}

std::optional<Snapshot> ProjectCanvasViewModel::liveSnapshot() const
{
    const Phase &phase = m_deployState->phase();
    if (phase.kind() == Kind::live)
        return Snapshot{phase.url(), phase.backendURL()};
    if (const std::optional<DeployConfig> config = DeployConfig::load(projectURL()); config && config->frontendURL)
        return Snapshot{*config->frontendURL, config->backendURL};
    return std::nullopt;
}

// ---- Beginning, cancelling, ending ------------------------------------------------------------

QCoro::Task<> ProjectCanvasViewModel::beginDeploy(QList<DeployProvider> providers, DeployKind kind)
{
    if (m_deployState->phase().isActive()) {
        logDeploy(QStringLiteral("beginDeploy called while phase %1 is active \u2014 ignoring")
                      .arg(m_deployState->phase().debugDescription()));
        co_return;
    }
    if (providers.isEmpty()) {
        logDeploy(QStringLiteral("beginDeploy called with no providers \u2014 ignoring"));
        co_return;
    }
    if (m_tornDown)
        co_return;
    QPointer<ProjectCanvasViewModel> self(this);

    // Preparing before the first wait: a second begin right after is refused.
    const quint64 serial = ++m_deploySessionSerial;
    m_deployState->setPhase(Phase::preparing());
    m_pendingDeployFollowUps.clear();
    m_deployNextRunValues.clear();
    m_pendingDeploymentID.reset();
    m_deploySessionStartedAt = Timestamp::now();
    m_deployState->setLastErrorText(std::nullopt);
    m_deployState->setLastProgressLine(std::nullopt);
    const DeployContext context = makeDeployContext(providers, kind);
    m_deployState->setContext(context);
    AgentPaneState *pane = ensureDeployPane();
    m_deployState->setDeployPaneID(pane->id());
    const auto stillPreparing = [&] {
        return self && m_deploySessionSerial == serial && m_deployState->phase().kind() == Kind::preparing;
    };
    logDeploy(QStringLiteral("begin %1 deploy to %2")
                  .arg(deployKindRawValue(kind), [&] {
                      QStringList names;
                      for (DeployProvider p : providers)
                          names.append(p.rawValue());
                      return names.join(QStringLiteral(", "));
                  }()));

    {
        QStringList names;
        for (DeployProvider p : providers)
            names.append(p.rawValue());
        QCoro::Task<> logging = logDeployActivity(ContextEntry::DeployStarted{
            uuidText(pane->id()), pane->agentName(), names,
            context.shape == DeployProvider::ProjectShape::frontend             ? QStringLiteral("frontend")
            : context.shape == DeployProvider::ProjectShape::backendOrFullStack ? QStringLiteral("backendOrFullStack")
                                                                                : QStringLiteral("unknown"),
            deployKindRawValue(kind)});
        co_await std::move(logging);
        if (!stillPreparing())
            co_return;
    }

    pane = deployPane();
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
        pane = deployPane();
        if (!pane)
            co_return;
    }
    pane->setOutputLines({});
    pane->setCurrentStdout({});
    pane->setConversation({});

    QCoro::Task<> installing = installDeployTools(providers, serial);
    co_await std::move(installing);
    if (!stillPreparing())
        co_return;

    m_deployPrompt = buildDeployPrompt(m_projectDisplayName, context);
    QCoro::Task<> starting = startDeployRun(m_deployPrompt, true);
    co_await std::move(starting);
}

QCoro::Task<> ProjectCanvasViewModel::installDeployTools(QList<DeployProvider> providers, quint64 serial)
{
    QPointer<ProjectCanvasViewModel> self(this);
    const QString folder = deployToolsFolder();
    const QString path = QProcessEnvironment::systemEnvironment().value(QStringLiteral("PATH"));
    for (DeployProvider provider : providers) {
        if (DeployToolInstaller::isAvailable(provider, folder, path))
            continue;
        if (AgentPaneState *pane = deployPane())
            pane->appendLine(OutputLine::Kind::system,
                             QStringLiteral("Installing the %1 command-line tool\u2026").arg(provider.toolName()));
        QCoro::Task<std::optional<QString>> installing =
            DeployToolInstaller::install(m_services.npmProgram, folder, provider);
        const std::optional<QString> failure = co_await std::move(installing);
        if (!self || serial != m_deploySessionSerial)
            co_return;
        if (failure) {
            logDeploy(QStringLiteral("installing %1 failed: %2").arg(provider.npmPackage(), *failure));
            if (AgentPaneState *pane = deployPane())
                pane->appendLine(OutputLine::Kind::stderr,
                                 QStringLiteral("Couldn't install the %1 command-line tool: ").arg(provider.toolName()) +
                                     *failure);
        }
    }
}

QCoro::Task<> ProjectCanvasViewModel::retryDeploy()
{
    const std::optional<DeployContext> context = m_deployState->context();
    const QList<DeployProvider> providers = context ? context->providersInOrder : QList<DeployProvider>{};
    const DeployKind kind = context ? context->kind : DeployKind::fresh;
    if (!m_deployState->phase().isActive()) {
        m_deployState->setPhase(Phase::idle());
        m_deployState->setDeployPaneID(std::nullopt);
        m_deployState->setContext(std::nullopt);
        m_deployState->setLastProgressLine(std::nullopt);
        m_deployState->setLastErrorText(std::nullopt);
        m_deployState->setCapturedBackendURL(std::nullopt);
        m_deployState->setCapturedBackendAnonKey(std::nullopt);
    }
    QCoro::Task<> beginning = beginDeploy(providers, kind);
    co_await std::move(beginning);
}

QCoro::Task<> ProjectCanvasViewModel::cancelDeploy()
{
    const Phase phase = m_deployState->phase();
    if (!phase.isActive())
        co_return;
    logDeploy(QStringLiteral("user cancelled session in phase %1").arg(phase.debugDescription()));
    AgentPaneState *pane = deployPane();
    std::optional<AgentSession> session;
    if (pane) {
        // The consumer goes first, so the stopped agent's exit is not taken for its answer.
        session = detachAgentRun(pane);
        if (session || isBusy(pane->status())) {
            pane->setStatus(AgentStatus::stopped);
            pane->closeTurn(std::nullopt);
        }
    }
    m_deployRunValues.clear();
    finalizeDeploy(Phase::cancelled(), QStringLiteral("You cancelled the deploy."));
    if (session) {
        const std::shared_ptr<AgentProvider> provider = m_provider;
        QCoro::Task<> stopping = provider->terminate(session->id);
        co_await std::move(stopping);
    }
}

void ProjectCanvasViewModel::finalizeDeploy(const Phase &phase, const std::optional<QString> &reason)
{
    logDeploy(QStringLiteral("finalize \u2192 %1").arg(phase.debugDescription()));
    const Phase before = m_deployState->phase();
    m_deployState->setPhase(phase);
    m_pendingDeployFollowUps.clear();
    m_deployNextRunValues.clear();
    if (phase.kind() == Kind::stuck)
        m_deployState->setLastErrorText(phase.reason());

    const std::optional<DeployContext> &context = m_deployState->context();
    QStringList providers;
    if (context)
        for (DeployProvider p : context->providersInOrder)
            providers.append(p.rawValue());
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
    entry.kind = before.kind() == Kind::runningOperation ? taskKindName(before.task())
                 : before.kind() == Kind::customDomainVerifying ? QStringLiteral("domain")
                 : context ? deployKindRawValue(context->kind)
                           : QStringLiteral("fresh");
    entry.attempts = context ? context->attempt : 1;
    entry.reason = reason;
    entry.durationSec = m_deploySessionStartedAt ? std::llround(now.secondsSince(*m_deploySessionStartedAt)) : 0;
    DeployHistoryEntry::append(entry, projectURL());
    m_pendingDeploymentID.reset();

    AgentPaneState *pane = deployPane();
    if (phase.kind() == Kind::live) {
        if (pane && before.kind() != Kind::runningOperation)
            pane->appendLine(OutputLine::Kind::taskComplete,
                             QStringLiteral("Deployed. Your app is live at ") + phase.url());
        const QList<DeployProvider> chosen = context ? context->providersInOrder : QList<DeployProvider>{};
        const QString url = phase.url();
        const std::optional<QString> backend = phase.backendURL();
        const std::optional<QString> anonKey = m_deployState->capturedBackendAnonKey();
        const QString deployedAt = now.toIso8601();
        saveDeployConfig([=](DeployConfig &config) {
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
        saveDeployConfig([domain](DeployConfig &config) { config.customDomain = domain; });
    }

    if (outcome && pane && m_contextActor) {
        QCoro::Task<> logging = logDeployActivity(ContextEntry::DeployEnded{
            uuidText(pane->id()), pane->agentName(), providers, *outcome, frontendURL, backendURL,
            context ? context->attempt : 1, reason});
        Q_UNUSED(logging);
    }
}

void ProjectCanvasViewModel::saveDeployConfig(std::function<void(DeployConfig &)> change)
{
    const QUrl url = projectURL();
    // Read, changed and written on the launcher's serial thread, so saves keep their order.
    QFuture<void> saving = launchWork().run([url, change] {
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

QCoro::Task<> ProjectCanvasViewModel::logDeployActivity(ContextEntry::Payload payload)
{
    const std::shared_ptr<ProjectContextActor> actor = m_contextActor;
    if (!actor)
        co_return;
    try {
        QFuture<ContextEntry> appending = actor->append(payload, Timestamp::now());
        co_await appending;
    } catch (...) {
        logDeploy(QStringLiteral("failed to log deploy activity: ") +
                  AtomicFileWriter::describeFailure(std::current_exception()));
    }
}

// ---- Agent runs -----------------------------------------------------------------------------------

void ProjectCanvasViewModel::sendDeployFollowUp(const QString &text)
{
    AgentPaneState *pane = deployPane();
    if (!pane)
        return;
    // One run at a time: the follow-up goes in when the running one ends.
    if (pane->currentSession() || isBusy(pane->status())) {
        m_pendingDeployFollowUps.append(text);
        return;
    }
    QCoro::Task<> starting = startDeployRun(text, false);
    Q_UNUSED(starting);
}

QCoro::Task<> ProjectCanvasViewModel::startDeployRun(QString task, bool firstRun)
{
    AgentPaneState *pane = deployPane();
    if (!pane || !m_deployState->phase().isActive())
        co_return;
    QPointer<ProjectCanvasViewModel> self(this);
    QPointer<AgentPaneState> guard(pane);
    const quint64 serial = m_deploySessionSerial;
    const std::shared_ptr<AgentProvider> provider = m_provider;

    // The session so far, with the briefing the first turn only named.
    QList<ConversationTurn> prior;
    if (!firstRun) {
        prior = pane->completedTurns();
        if (!prior.isEmpty() && prior.first().userPrompt == shownDeployPrompt)
            prior.first().userPrompt = m_deployPrompt;
    }
    // The values meant for this run go with it, and only with it.
    m_deployRunValues = m_deployNextRunValues;
    m_deployNextRunValues.clear();
    SpawnExtras extras;
    for (auto it = m_deployTokens.begin(); it != m_deployTokens.end(); ++it)
        extras.environment.insert(it.key(), it.value());
    for (auto it = m_deployRunValues.begin(); it != m_deployRunValues.end(); ++it)
        extras.environment.insert(it.key(), it.value());
    extras.pathEntries = {DeployToolInstaller::binFolder(deployToolsFolder())};
    extras.arguments = {QStringLiteral("--allowedTools"),
                        QStringLiteral("Bash(vercel:*) Bash(railway:*) Bash(supabase:*) Bash(git:*) Bash(npm:*) "
                                       "Bash(npx:*)")};

    const auto abandoned = [&] {
        return !self || !guard || m_tornDown || serial != m_deploySessionSerial ||
               !m_deployState->phase().isActive();
    };
    pane->setCurrentStdout({});
    pane->setStatus(AgentStatus::spawning);
    pane->beginTurn(firstRun ? shownDeployPrompt : task);

    AgentSession session;
    std::exception_ptr failure;
    try {
        QCoro::Task<AgentSession> spawning = provider->spawn(AgentRole::code, {}, prior, task, makeProjectAwareness(),
                                                             m_modelPreference->choice(), extras);
        session = co_await std::move(spawning);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self)
        co_return;
    if (failure) {
        m_deployRunValues.clear();
        const QString description = AtomicFileWriter::describeFailure(failure);
        logDeploy(QStringLiteral("provider.spawn failed: %1").arg(description));
        if (guard) {
            if (!pane->conversation().isEmpty() && pane->conversation().last().isInFlight())
                removeLastTurn(pane);
            pane->appendLine(OutputLine::Kind::stderr, QStringLiteral("Couldn't start the Deploy agent: ") + description);
            pane->setStatus(AgentStatus::error);
        }
        if (serial == m_deploySessionSerial && m_deployState->phase().isActive())
            finalizeDeploy(Phase::stuck(couldNotStartText), QStringLiteral("spawn-failed"));
        co_return;
    }
    if (abandoned()) {
        m_deployRunValues.clear();
        if (guard && pane->status() == AgentStatus::spawning)
            pane->setStatus(AgentStatus::stopped);
        if (guard && !pane->conversation().isEmpty() && pane->conversation().last().isInFlight())
            removeLastTurn(pane);
        QCoro::Task<> stopping = provider->terminate(session.id);
        co_await std::move(stopping);
        co_return;
    }
    QCoro::Task<std::shared_ptr<AgentOutputStream>> fetching = provider->outputStream(session.id);
    const std::shared_ptr<AgentOutputStream> stream = co_await std::move(fetching);
    if (abandoned()) {
        m_deployRunValues.clear();
        QCoro::Task<> stopping = provider->terminate(session.id);
        co_await std::move(stopping);
        co_return;
    }
    pane->setCurrentSession(session);
    pane->setStatus(AgentStatus::working);
    if (firstRun && m_deployState->phase().kind() == Kind::preparing) {
        const QList<DeployProvider> providers =
            m_deployState->context() ? m_deployState->context()->providersInOrder : QList<DeployProvider>{};
        if (!providers.isEmpty())
            m_deployState->setPhase(Phase::authenticating(providers.first()));
    }
    startStreamConsumer(stream, pane, &ProjectCanvasViewModel::handleDeployOutput);
}

// ---- The agent's output -----------------------------------------------------------------------

void ProjectCanvasViewModel::handleDeployOutput(const AgentOutput &event, AgentPaneState *pane)
{
    switch (event.kind()) {
    case AgentOutput::Kind::stdoutLine:
        handleDeployStdoutLine(maskDeployValues(event.text()), pane);
        break;
    case AgentOutput::Kind::stderrLine:
        pane->appendLine(OutputLine::Kind::stderr, maskDeployValues(event.text()));
        break;
    case AgentOutput::Kind::completion:
        if (!event.text().isEmpty())
            pane->appendLine(OutputLine::Kind::taskComplete, maskDeployValues(event.text()));
        break;
    case AgentOutput::Kind::hangSignal:
        pane->appendLine(OutputLine::Kind::system,
                         QStringLiteral("[Deploy agent has been quiet for a while \u2014 %1]")
                             .arg(hangThresholdName(event.threshold())));
        break;
    case AgentOutput::Kind::processExited:
        handleDeployExit(event.exitCode(), pane);
        break;
    }
}

void ProjectCanvasViewModel::handleDeployStdoutLine(const QString &line, AgentPaneState *pane)
{
    // A marker is acted on here, in stream order, and kept out of the transcript.
    if (const std::optional<DeployMarkers::Signal> signal = DeployMarkers::parse(line)) {
        handleDeploySignal(*signal, pane);
        return;
    }
    pane->appendCurrentStdout(line);
    pane->appendLine(OutputLine::Kind::stdout, line);
    pane->appendStdoutToTurn(line);
}

void ProjectCanvasViewModel::handleDeployExit(qint32 exitCode, AgentPaneState *pane)
{
    pane->appendLine(exitCode == 0 ? OutputLine::Kind::system : OutputLine::Kind::stderr,
                     QStringLiteral("[Deploy agent exited \u00b7 code %1]").arg(exitCode));
    pane->setStatus(exitCode == 0 ? AgentStatus::done : AgentStatus::error);
    pane->setCurrentSession(std::nullopt);
    pane->closeTurn(std::nullopt);
    // A secret or a custom value was for that run only.
    m_deployRunValues.clear();

    const Phase phase = m_deployState->phase();
    if (!phase.isActive() || pane != deployPane()) {
        m_pendingDeployFollowUps.clear();
        return;
    }
    // An answer that waited for this run starts now.
    if (!m_pendingDeployFollowUps.isEmpty()) {
        QCoro::Task<> starting = startDeployRun(m_pendingDeployFollowUps.takeFirst(), false);
        Q_UNUSED(starting);
        return;
    }
    // Stopped to wait for the user: expected. Anything else ends the session,
    // since no further output can come.
    if (!isWaitingForUser(phase))
        finalizeDeploy(Phase::stuck(exitedSilentText), QStringLiteral("agent-exited-silent"));
}

void ProjectCanvasViewModel::handleDeploySignal(const DeployMarkers::Signal &signal, AgentPaneState *pane)
{
    using S = DeployMarkers::Signal::Kind;
    const Phase phase = m_deployState->phase();
    if (!phase.isActive()) {
        logDeploy(QStringLiteral("marker ignored in phase %1").arg(phase.debugDescription()));
        return;
    }
    const bool verifying = phase.kind() == Kind::customDomainVerifying;
    const std::optional<DeployContext> context = m_deployState->context();
    switch (signal.kind) {
    case S::needToken: {
        std::optional<DeployProvider> provider;
        for (DeployProvider p : DeployProvider::allCases())
            if (p.tokenVariable().compare(signal.first, Qt::CaseInsensitive) == 0)
                provider = p;
        m_deployState->setPhase(Phase::awaitingToken(signal.first, signal.second, provider));
        break;
    }
    case S::askSecret:
        m_deployState->setPhase(Phase::awaitingSecret(signal.first, signal.second));
        break;
    case S::signedIn: {
        const std::optional<DeployProvider> provider = DeployProvider::fromRaw(signal.first.toLower());
        if (!provider)
            break;
        if (*provider == DeployProvider::supabase)
            m_deployState->setPhase(Phase::buildingBackend(*provider));
        else if (context && context->kind == DeployKind::redeploy)
            m_deployState->setPhase(Phase::buildingFrontend(*provider));
        else
            m_deployState->setPhase(Phase::envVarChecklist(*provider));
        break;
    }
    case S::backendReady: {
        const std::optional<QString> key =
            signal.second.isEmpty() ? std::nullopt : std::optional<QString>(signal.second);
        m_deployState->setCapturedBackendURL(signal.first);
        m_deployState->setCapturedBackendAnonKey(key);
        m_deployState->setPhase(Phase::backendReady(DeployProvider::supabase, signal.first, key));
        break;
    }
    case S::envOK:
        if (phase.kind() == Kind::runningOperation && phase.task().kind == ProviderTask::Kind::envVarUpdate) {
            finalizeDeploy(Phase::live(phase.snapshot().frontendURL, phase.snapshot().backendURL), std::nullopt);
            break;
        }
        m_deployState->setPhase(Phase::envUploaded(
            phase.provider().value_or(context ? firstHosting(context->providersInOrder).value_or(DeployProvider::vercel)
                                              : DeployProvider(DeployProvider::vercel))));
        break;
    case S::building: {
        const DeployProvider provider = DeployProvider::fromRaw(signal.first.toLower())
                                            .value_or(phase.provider().value_or(DeployProvider::vercel));
        m_deployState->setPhase(Phase::buildingFrontend(provider));
        break;
    }
    case S::progress:
        m_deployState->setLastProgressLine(signal.first);
        break;
    case S::deploymentID:
        if (const std::optional<DeployProvider> provider = DeployProvider::fromRaw(signal.first.toLower());
            provider && !signal.second.isEmpty())
            m_pendingDeploymentID = std::make_pair(*provider, signal.second);
        break;
    case S::live: {
        const std::optional<QString> backend =
            !signal.second.isEmpty() ? std::optional<QString>(signal.second) : m_deployState->capturedBackendURL();
        finalizeDeploy(Phase::live(signal.first, backend), std::nullopt);
        break;
    }
    case S::stuck:
        finalizeDeploy(Phase::stuck(signal.first), signal.first);
        break;
    case S::domainRecords: {
        // Only the verify card waits for records: a late one after the card closed changes nothing.
        if (!verifying)
            break;
        const std::optional<QList<DomainRecord>> records = DomainRecord::listFromJson(signal.second);
        if (!records) {
            logDeploy(QStringLiteral("domain records didn't parse \u2014 ignoring"));
            break;
        }
        m_deployState->setPhase(Phase::customDomainVerifying(phase.snapshot(), cleanedDomain(signal.first), *records,
                                                             phase.attemptsRemaining()));
        break;
    }
    case S::domainVerified:
        if (!verifying)
            break;
        finalizeDeploy(Phase::customDomainVerified(signal.first.isEmpty() ? phase.domain() : cleanedDomain(signal.first)),
                       std::nullopt);
        break;
    case S::operationDone:
        if (phase.kind() == Kind::runningOperation) {
            if (!signal.first.isEmpty())
                pane->appendLine(OutputLine::Kind::taskComplete, signal.first);
            finalizeDeploy(Phase::live(phase.snapshot().frontendURL, phase.snapshot().backendURL), std::nullopt);
        }
        break;
    }
}

// ---- What the cards hand in ---------------------------------------------------------------------

QCoro::Task<> ProjectCanvasViewModel::submitDeployToken(QString name, QString value)
{
    const Phase phase = m_deployState->phase();
    if (phase.kind() != Kind::awaitingToken) {
        logDeploy(QStringLiteral("submitDeployToken called in phase %1 \u2014 ignoring").arg(phase.debugDescription()));
        co_return;
    }
    if (name != phase.varName()) {
        logDeploy(QStringLiteral("token name mismatch (%1 vs %2)").arg(name, phase.varName()));
        co_return;
    }
    AgentPaneState *pane = deployPane();
    if (!pane)
        co_return;
    if (!isAllowedDeployVariableName(name)) {
        logDeploy(QStringLiteral("refused to set the variable %1 for the Deploy agent").arg(name));
        pane->appendLine(OutputLine::Kind::stderr, QStringLiteral("[Nerim can't set %1. Asking the agent for another way.]").arg(name));
        sendDeployFollowUp(QStringLiteral("Nerim can't set a variable named %1. Ask for the token under a name of "
                                          "your own (letters, digits and _), or print %2 with the reason.")
                               .arg(name, DeployMarkers::stuck));
        co_return;
    }
    m_deployTokens.insert(name, value);
    pane->appendLine(OutputLine::Kind::system, QStringLiteral("[Nerim saved your ") + name + QStringLiteral(". Continuing.]"));
    for (DeployProvider provider : DeployProvider::allCases())
        if (provider.tokenVariable().compare(name, Qt::CaseInsensitive) == 0)
            m_deployState->setPhase(Phase::authenticating(provider));
    sendDeployFollowUp(QStringLiteral("OK, ") + name + QStringLiteral(" is set in your environment. Continue."));
}

QCoro::Task<> ProjectCanvasViewModel::submitDeploySecret(QString name, QString value)
{
    const Phase phase = m_deployState->phase();
    if (phase.kind() != Kind::awaitingSecret) {
        logDeploy(QStringLiteral("submitDeploySecret called in phase %1 \u2014 ignoring").arg(phase.debugDescription()));
        co_return;
    }
    if (name != phase.varName()) {
        logDeploy(QStringLiteral("secret name mismatch (%1 vs %2)").arg(name, phase.varName()));
        co_return;
    }
    AgentPaneState *pane = deployPane();
    if (!pane)
        co_return;
    if (!isAllowedDeployVariableName(name)) {
        logDeploy(QStringLiteral("refused to set the variable %1 for the Deploy agent").arg(name));
        sendDeployFollowUp(QStringLiteral("Nerim can't set a variable named %1. Print %2 with the reason.")
                               .arg(name, DeployMarkers::stuck));
        co_return;
    }
    m_deployNextRunValues.insert(name, value);
    pane->appendLine(OutputLine::Kind::system, QStringLiteral("[Nerim got your value for ") + name +
                                                   QStringLiteral(". Uploading to the provider.]"));
    if (const std::optional<DeployContext> context = m_deployState->context())
        if (const std::optional<DeployProvider> hosting = firstHosting(context->providersInOrder))
            m_deployState->setPhase(Phase::envVarChecklist(*hosting));
    sendDeployFollowUp(QStringLiteral("The user provided ") + name +
                       QStringLiteral(". It is in your environment as ") + name +
                       QStringLiteral(" for this run only. Continue uploading env vars using this value."));
}

QCoro::Task<> ProjectCanvasViewModel::applyEnvVarChecklist(QMap<QString, QString> decisions)
{
    const Phase phase = m_deployState->phase();
    if (phase.kind() != Kind::envVarChecklist) {
        logDeploy(QStringLiteral("applyEnvVarChecklist called in phase %1 \u2014 ignoring").arg(phase.debugDescription()));
        co_return;
    }
    // Custom values go into the next run's environment; everything else keeps only the decision.
    QMap<QString, QString> kept;
    QHash<QString, QString> values;
    for (auto it = decisions.begin(); it != decisions.end(); ++it) {
        if (it.value().startsWith(QLatin1String("custom:"))) {
            if (!isAllowedDeployVariableName(it.key())) {
                logDeploy(QStringLiteral("refused to set the variable %1 for the Deploy agent").arg(it.key()));
                kept.insert(it.key(), QStringLiteral("skip"));
                continue;
            }
            values.insert(it.key(), it.value().mid(7));
            kept.insert(it.key(), QStringLiteral("custom"));
        } else {
            kept.insert(it.key(), it.value() == QLatin1String("send") ? QStringLiteral("send") : QStringLiteral("skip"));
        }
    }
    const QString lines = decisionLines(decisions);
    const QMap<QString, QString> stored = kept;
    saveDeployConfig([stored](DeployConfig &config) { config.envDecisions = stored; });

    AgentPaneState *pane = deployPane();
    if (!pane) {
        // From the Live menu without a session pane: an operation on the live deploy.
        if (const std::optional<Snapshot> snapshot = liveSnapshot()) {
            m_deployNextRunValues = values;
            const DeployProvider hosting = phase.provider().value_or(DeployProvider::vercel);
            QCoro::Task<> operating = beginDeployOperation(ProviderTask::envVarUpdate(stored), hosting, *snapshot);
            co_await std::move(operating);
        }
        co_return;
    }
    for (auto it = values.begin(); it != values.end(); ++it)
        m_deployNextRunValues.insert(it.key(), it.value());
    pane->appendLine(OutputLine::Kind::system, QStringLiteral("[Env vars reviewed. Uploading.]"));
    sendDeployFollowUp(QStringLiteral("The user reviewed the environment variables:\n") + lines +
                       QStringLiteral("\nUpload them to the provider, then print ") + DeployMarkers::envOK +
                       QStringLiteral(" and continue with the deploy."));
}

bool ProjectCanvasViewModel::openEnvVarChecklist()
{
    const Phase phase = m_deployState->phase();
    if (phase.isActive() || !deployPane())
        return false;
    std::optional<DeployProvider> hosting;
    if (const std::optional<DeployConfig> config = DeployConfig::load(projectURL()))
        hosting = firstHosting(config->providers);
    if (!hosting && m_deployState->context())
        hosting = firstHosting(m_deployState->context()->providersInOrder);
    m_deployState->setPhase(Phase::envVarChecklist(hosting.value_or(DeployProvider::vercel)));
    return true;
}

bool ProjectCanvasViewModel::openCustomDomainInput()
{
    if (m_deployState->phase().isActive() || !deployPane())
        return false;
    const std::optional<Snapshot> snapshot = liveSnapshot();
    if (!snapshot)
        return false;
    m_deployState->setPhase(Phase::customDomainInput(*snapshot));
    return true;
}

QCoro::Task<> ProjectCanvasViewModel::beginCustomDomain(QString domain)
{
    const QString cleaned = cleanedDomain(domain);
    if (cleaned.isEmpty())
        co_return;
    const Phase phase = m_deployState->phase();
    if (phase.kind() != Kind::customDomainInput) {
        logDeploy(QStringLiteral("beginCustomDomain called in phase %1 \u2014 ignoring").arg(phase.debugDescription()));
        co_return;
    }
    if (!isPlausibleDomain(cleaned)) {
        logDeploy(QStringLiteral("beginCustomDomain: not a domain name \u2014 ignoring"));
        co_return;
    }
    AgentPaneState *pane = deployPane();
    if (!pane) {
        finalizeDeploy(Phase::stuck(QStringLiteral("Nerim needs a live deploy before adding a domain.")),
                       QStringLiteral("no-deploy-pane"));
        co_return;
    }
    std::optional<DeployProvider> hosting;
    if (const std::optional<DeployConfig> config = DeployConfig::load(projectURL()))
        hosting = firstHosting(config->providers);
    if (!hosting && m_deployState->context())
        hosting = firstHosting(m_deployState->context()->providersInOrder);
    const QString hostName = hosting ? hosting->displayName() : QStringLiteral("provider");
    m_deploySessionStartedAt = Timestamp::now();
    m_deployState->setPhase(Phase::customDomainVerifying(phase.snapshot(), cleaned, {}, domainAttempts));
    pane->appendLine(OutputLine::Kind::system,
                     QStringLiteral("[Adding ") + cleaned + QStringLiteral(" to your ") + hostName + QStringLiteral("\u2026]"));
    sendDeployFollowUp(
        QStringLiteral("Add the custom domain %1 to the live deploy on %2. Print %3 %1 | followed by a JSON array of the "
                       "DNS records to add (objects with \"type\", \"name\", \"value\" and optional \"ttl\"). Then check "
                       "DNS every 10 seconds, up to 30 attempts; when the domain works print %4 %1, else print %5 "
                       "with the reason.")
            .arg(cleaned, hostName, DeployMarkers::domainRecords, DeployMarkers::domainVerified, DeployMarkers::stuck));
}

QCoro::Task<> ProjectCanvasViewModel::closeDomainCard()
{
    const Phase phase = m_deployState->phase();
    if (phase.kind() != Kind::customDomainInput && phase.kind() != Kind::customDomainVerifying)
        co_return;
    // The run that polls DNS is stopped with the card, so no late marker lands on the live deploy.
    std::optional<AgentSession> session;
    if (AgentPaneState *pane = deployPane()) {
        session = detachAgentRun(pane);
        if (session || isBusy(pane->status())) {
            pane->setStatus(AgentStatus::stopped);
            pane->closeTurn(std::nullopt);
        }
    }
    m_pendingDeployFollowUps.clear();
    m_deployRunValues.clear();
    m_deployState->setPhase(Phase::live(phase.snapshot().frontendURL, phase.snapshot().backendURL));
    if (session) {
        const std::shared_ptr<AgentProvider> provider = m_provider;
        QCoro::Task<> stopping = provider->terminate(session->id);
        co_await std::move(stopping);
    }
}

// ---- Operations on the live deploy ---------------------------------------------------------------

QCoro::Task<> ProjectCanvasViewModel::beginRollback(DeployHistoryEntry entry)
{
    if (m_deployState->phase().isActive()) {
        logDeploy(QStringLiteral("beginRollback while phase active \u2014 ignoring"));
        co_return;
    }
    if (!entry.deploymentID || entry.deploymentID->isEmpty()) {
        finalizeDeploy(Phase::stuck(QStringLiteral("Nerim didn't record a deployment ID for that deploy. Try Redeploy "
                                                   "instead.")),
                       QStringLiteral("no-deployment-id"));
        co_return;
    }
    QList<DeployProvider> providers;
    for (const QString &raw : entry.providers)
        if (const std::optional<DeployProvider> p = DeployProvider::fromRaw(raw))
            providers.append(*p);
    const DeployProvider provider = firstHosting(providers).value_or(providers.isEmpty() ? DeployProvider(DeployProvider::vercel) : providers.first());
    const Snapshot snapshot = liveSnapshot().value_or(Snapshot{entry.frontendURL.value_or(QString()), std::nullopt});
    QCoro::Task<> operating =
        beginDeployOperation(ProviderTask::rollback(*entry.deploymentID, entry.timestamp), provider, snapshot);
    co_await std::move(operating);
}

QCoro::Task<> ProjectCanvasViewModel::beginGitConnect(bool enable)
{
    if (m_deployState->phase().isActive()) {
        logDeploy(QStringLiteral("beginGitConnect while phase active \u2014 ignoring"));
        co_return;
    }
    // The live deploy on screen wins over deploy-config.json, whose save after
    // going live may still be on its way.
    const std::optional<Snapshot> snapshot = liveSnapshot();
    std::optional<DeployProvider> hosting;
    if (const std::optional<DeployContext> context = m_deployState->context())
        hosting = firstHosting(context->providersInOrder);
    if (!hosting) {
        if (const std::optional<DeployConfig> config = DeployConfig::load(projectURL()))
            hosting = firstHosting(config->providers);
    }
    if (!snapshot || !hosting) {
        finalizeDeploy(Phase::stuck(QStringLiteral("Nerim doesn't have a live deploy to wire to git yet.")),
                       QStringLiteral("no-live-deploy"));
        co_return;
    }
    QCoro::Task<> operating = beginDeployOperation(ProviderTask::gitConnect(enable), *hosting, *snapshot);
    co_await std::move(operating);
}

QCoro::Task<> ProjectCanvasViewModel::beginDeployOperation(ProviderTask task, DeployProvider provider, Snapshot snapshot)
{
    if (m_tornDown)
        co_return;
    ++m_deploySessionSerial;
    m_pendingDeployFollowUps.clear();
    m_pendingDeploymentID.reset();
    m_deploySessionStartedAt = Timestamp::now();
    m_deployState->setPhase(Phase::runningOperation(task, provider, snapshot));
    AgentPaneState *pane = ensureDeployPane();
    m_deployState->setDeployPaneID(pane->id());
    if (m_deployPrompt.isEmpty())
        m_deployPrompt = buildDeployPrompt(m_projectDisplayName,
                                           m_deployState->context().value_or(makeDeployContext({provider}, DeployKind::redeploy)));

    QString text;
    switch (task.kind) {
    case ProviderTask::Kind::rollback:
        text = QStringLiteral("Roll the live deploy on %1 back to deployment %2 (deployed %3).")
                   .arg(provider.displayName(), task.targetDeploymentID, task.targetTimestamp);
        break;
    case ProviderTask::Kind::gitConnect:
        text = task.enable ? QStringLiteral("Connect the %1 project to this project's git repository so that a push "
                                            "to main deploys it.")
                                 .arg(provider.displayName())
                           : QStringLiteral("Disconnect the %1 project from git so that a push no longer deploys it.")
                                 .arg(provider.displayName());
        break;
    case ProviderTask::Kind::envVarUpdate:
        text = QStringLiteral("Update the live deploy's environment variables on %1:\n").arg(provider.displayName()) +
               decisionLines(task.decisions) + QStringLiteral("\nThen print ") + DeployMarkers::envOK +
               QStringLiteral(".");
        break;
    }
    if (task.kind != ProviderTask::Kind::envVarUpdate)
        text += QStringLiteral(" When it is done print %1 with one short line.").arg(DeployMarkers::operationDone);
    // A fresh briefing when the pane has no session yet, else a follow-up to it.
    const bool firstRun = pane->completedTurns().isEmpty();
    if (firstRun) {
        QCoro::Task<> starting = startDeployRun(m_deployPrompt + QStringLiteral("\n\n") + text, true);
        co_await std::move(starting);
    } else {
        sendDeployFollowUp(text);
    }
}

} // namespace nerim
