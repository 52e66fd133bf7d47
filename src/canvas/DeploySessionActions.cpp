// What the deploy session does on its agent's markers and on what the cards
// of the deploy overlay hand in, and the operations on the live deploy
// (rollback, git, env vars), each a run of the agent in the Deploy pane.
#include "canvas/DeploySession.h"

#include "deploy/DeployPrompt.h"
#include "foundation/Log.h"

namespace nerim {

using Kind = DeploySessionState::Phase::Kind;

namespace {

constexpr int domainAttempts = 30;

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

// ---- The agent's markers ----------------------------------------------------------------------

void DeploySession::handleSignal(const DeployMarkers::Signal &signal, AgentPaneState *pane)
{
    using S = DeployMarkers::Signal::Kind;
    const Phase phase = m_state->phase();
    if (!phase.isActive()) {
        logDeploy(QStringLiteral("marker ignored in phase %1").arg(phase.debugDescription()));
        return;
    }
    const bool verifying = phase.kind() == Kind::customDomainVerifying;
    const std::optional<DeployContext> context = m_state->context();
    switch (signal.kind) {
    case S::needToken: {
        std::optional<DeployProvider> provider;
        for (DeployProvider p : DeployProvider::allCases())
            if (p.tokenVariable().compare(signal.first, Qt::CaseInsensitive) == 0)
                provider = p;
        m_state->setPhase(Phase::awaitingToken(signal.first, signal.second, provider));
        break;
    }
    case S::askSecret:
        m_state->setPhase(Phase::awaitingSecret(signal.first, signal.second));
        break;
    case S::signedIn: {
        const std::optional<DeployProvider> provider = DeployProvider::fromRaw(signal.first.toLower());
        if (!provider)
            break;
        if (*provider == DeployProvider::supabase)
            m_state->setPhase(Phase::buildingBackend(*provider));
        else if (context && context->kind == DeployKind::redeploy)
            m_state->setPhase(Phase::buildingFrontend(*provider));
        else
            m_state->setPhase(Phase::envVarChecklist(*provider));
        break;
    }
    case S::backendReady: {
        const std::optional<QString> key =
            signal.second.isEmpty() ? std::nullopt : std::optional<QString>(signal.second);
        m_state->setCapturedBackendURL(signal.first);
        m_state->setCapturedBackendAnonKey(key);
        m_state->setPhase(Phase::backendReady(DeployProvider::supabase, signal.first, key));
        break;
    }
    case S::envOK:
        if (phase.kind() == Kind::runningOperation && phase.task().kind == ProviderTask::Kind::envVarUpdate) {
            finalize(Phase::live(phase.snapshot().frontendURL, phase.snapshot().backendURL), std::nullopt);
            break;
        }
        m_state->setPhase(Phase::envUploaded(
            phase.provider().value_or(context ? firstHosting(context->providersInOrder).value_or(DeployProvider::vercel)
                                              : DeployProvider(DeployProvider::vercel))));
        break;
    case S::building: {
        const DeployProvider provider =
            DeployProvider::fromRaw(signal.first.toLower()).value_or(phase.provider().value_or(DeployProvider::vercel));
        m_state->setPhase(Phase::buildingFrontend(provider));
        break;
    }
    case S::progress:
        m_state->setLastProgressLine(signal.first);
        break;
    case S::deploymentID:
        if (const std::optional<DeployProvider> provider = DeployProvider::fromRaw(signal.first.toLower());
            provider && !signal.second.isEmpty())
            m_pendingDeploymentID = std::make_pair(*provider, signal.second);
        break;
    case S::live: {
        const std::optional<QString> backend =
            !signal.second.isEmpty() ? std::optional<QString>(signal.second) : m_state->capturedBackendURL();
        finalize(Phase::live(signal.first, backend), std::nullopt);
        break;
    }
    case S::stuck:
        finalize(Phase::stuck(signal.first), signal.first);
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
        m_state->setPhase(Phase::customDomainVerifying(phase.snapshot(), cleanedDomain(signal.first), *records,
                                                       phase.attemptsRemaining()));
        break;
    }
    case S::domainVerified:
        if (!verifying)
            break;
        finalize(Phase::customDomainVerified(signal.first.isEmpty() ? phase.domain() : cleanedDomain(signal.first)),
                 std::nullopt);
        break;
    case S::operationDone:
        if (phase.kind() == Kind::runningOperation) {
            if (!signal.first.isEmpty())
                pane->appendLine(OutputLine::Kind::taskComplete, signal.first);
            finalize(Phase::live(phase.snapshot().frontendURL, phase.snapshot().backendURL), std::nullopt);
        }
        break;
    }
}

// ---- What the cards hand in ---------------------------------------------------------------------

AgentPaneState *DeploySession::paneForValue(Kind expected, const QString &name, const QString &operation,
                                            const QString &valueKind) const
{
    const Phase &phase = m_state->phase();
    if (phase.kind() != expected) {
        logDeploy(QStringLiteral("%1 called in phase %2 \u2014 ignoring").arg(operation, phase.debugDescription()));
        return nullptr;
    }
    if (name != phase.varName()) {
        logDeploy(QStringLiteral("%1 name mismatch (%2 vs %3)").arg(valueKind, name, phase.varName()));
        return nullptr;
    }
    return pane();
}

bool DeploySession::refusesVariable(const QString &name)
{
    if (isAllowedVariableName(name))
        return false;
    logDeploy(QStringLiteral("refused to set the variable %1 for the Deploy agent").arg(name));
    return true;
}

QCoro::Task<> DeploySession::submitToken(QString name, QString value)
{
    AgentPaneState *pane =
        paneForValue(Kind::awaitingToken, name, QStringLiteral("submitDeployToken"), QStringLiteral("token"));
    if (!pane)
        co_return;
    if (refusesVariable(name)) {
        pane->appendLine(OutputLine::Kind::stderr,
                         QStringLiteral("[Nerim can't set %1. Asking the agent for another way.]").arg(name));
        sendFollowUp(QStringLiteral("Nerim can't set a variable named %1. Ask for the token under a name of "
                                    "your own (letters, digits and _), or print %2 with the reason.")
                         .arg(name, DeployMarkers::stuck));
        co_return;
    }
    m_tokens.insert(name, value);
    pane->appendLine(OutputLine::Kind::system,
                     QStringLiteral("[Nerim saved your ") + name + QStringLiteral(". Continuing.]"));
    for (DeployProvider provider : DeployProvider::allCases())
        if (provider.tokenVariable().compare(name, Qt::CaseInsensitive) == 0)
            m_state->setPhase(Phase::authenticating(provider));
    sendFollowUp(QStringLiteral("OK, ") + name + QStringLiteral(" is set in your environment. Continue."));
}

QCoro::Task<> DeploySession::submitSecret(QString name, QString value)
{
    AgentPaneState *pane =
        paneForValue(Kind::awaitingSecret, name, QStringLiteral("submitDeploySecret"), QStringLiteral("secret"));
    if (!pane)
        co_return;
    if (refusesVariable(name)) {
        sendFollowUp(QStringLiteral("Nerim can't set a variable named %1. Print %2 with the reason.")
                         .arg(name, DeployMarkers::stuck));
        co_return;
    }
    m_nextRunValues.insert(name, value);
    pane->appendLine(OutputLine::Kind::system, QStringLiteral("[Nerim got your value for ") + name +
                                                   QStringLiteral(". Uploading to the provider.]"));
    if (const std::optional<DeployContext> context = m_state->context())
        if (const std::optional<DeployProvider> hosting = firstHosting(context->providersInOrder))
            m_state->setPhase(Phase::envVarChecklist(*hosting));
    sendFollowUp(QStringLiteral("The user provided ") + name + QStringLiteral(". It is in your environment as ") +
                 name + QStringLiteral(" for this run only. Continue uploading env vars using this value."));
}

QCoro::Task<> DeploySession::applyEnvVarChecklist(QMap<QString, QString> decisions)
{
    const Phase phase = m_state->phase();
    if (phase.kind() != Kind::envVarChecklist) {
        logDeploy(
            QStringLiteral("applyEnvVarChecklist called in phase %1 \u2014 ignoring").arg(phase.debugDescription()));
        co_return;
    }
    // Custom values go into the next run's environment; everything else keeps only the decision.
    QMap<QString, QString> kept;
    QHash<QString, QString> values;
    for (auto it = decisions.begin(); it != decisions.end(); ++it) {
        if (it.value().startsWith(QLatin1String("custom:"))) {
            if (refusesVariable(it.key())) {
                kept.insert(it.key(), QStringLiteral("skip"));
                continue;
            }
            values.insert(it.key(), it.value().mid(7));
            kept.insert(it.key(), QStringLiteral("custom"));
        } else {
            kept.insert(it.key(),
                        it.value() == QLatin1String("send") ? QStringLiteral("send") : QStringLiteral("skip"));
        }
    }
    const QString lines = decisionLines(decisions);
    const QMap<QString, QString> stored = kept;
    saveConfig([stored](DeployConfig &config) { config.envDecisions = stored; });

    AgentPaneState *pane = this->pane();
    if (!pane) {
        // From the Live menu without a session pane: an operation on the live deploy.
        if (const std::optional<Snapshot> snapshot = liveSnapshot()) {
            m_nextRunValues = values;
            const DeployProvider hosting = phase.provider().value_or(DeployProvider::vercel);
            QCoro::Task<> operating = beginOperation(ProviderTask::envVarUpdate(stored), hosting, *snapshot);
            co_await std::move(operating);
        }
        co_return;
    }
    for (auto it = values.begin(); it != values.end(); ++it)
        m_nextRunValues.insert(it.key(), it.value());
    pane->appendLine(OutputLine::Kind::system, QStringLiteral("[Env vars reviewed. Uploading.]"));
    sendFollowUp(QStringLiteral("The user reviewed the environment variables:\n") + lines +
                 QStringLiteral("\nUpload them to the provider, then print ") + DeployMarkers::envOK +
                 QStringLiteral(" and continue with the deploy."));
}

bool DeploySession::openEnvVarChecklist()
{
    const Phase phase = m_state->phase();
    if (phase.isActive() || !this->pane())
        return false;
    std::optional<DeployProvider> hosting;
    if (const std::optional<DeployConfig> config = DeployConfig::load(m_host.projectURL()))
        hosting = firstHosting(config->providers);
    if (!hosting && m_state->context())
        hosting = firstHosting(m_state->context()->providersInOrder);
    m_state->setPhase(Phase::envVarChecklist(hosting.value_or(DeployProvider::vercel)));
    return true;
}

bool DeploySession::openCustomDomainInput()
{
    if (m_state->phase().isActive() || !this->pane())
        return false;
    const std::optional<Snapshot> snapshot = liveSnapshot();
    if (!snapshot)
        return false;
    m_state->setPhase(Phase::customDomainInput(*snapshot));
    return true;
}

QCoro::Task<> DeploySession::beginCustomDomain(QString domain)
{
    const QString cleaned = cleanedDomain(domain);
    if (cleaned.isEmpty())
        co_return;
    const Phase phase = m_state->phase();
    if (phase.kind() != Kind::customDomainInput) {
        logDeploy(QStringLiteral("beginCustomDomain called in phase %1 \u2014 ignoring").arg(phase.debugDescription()));
        co_return;
    }
    if (!isPlausibleDomain(cleaned)) {
        logDeploy(QStringLiteral("beginCustomDomain: not a domain name \u2014 ignoring"));
        co_return;
    }
    AgentPaneState *pane = this->pane();
    if (!pane) {
        finalize(Phase::stuck(QStringLiteral("Nerim needs a live deploy before adding a domain.")),
                 QStringLiteral("no-deploy-pane"));
        co_return;
    }
    std::optional<DeployProvider> hosting;
    if (const std::optional<DeployConfig> config = DeployConfig::load(m_host.projectURL()))
        hosting = firstHosting(config->providers);
    if (!hosting && m_state->context())
        hosting = firstHosting(m_state->context()->providersInOrder);
    const QString hostName = hosting ? hosting->displayName() : QStringLiteral("provider");
    m_runs.restartClock();
    m_state->setPhase(Phase::customDomainVerifying(phase.snapshot(), cleaned, {}, domainAttempts));
    pane->appendLine(OutputLine::Kind::system, QStringLiteral("[Adding ") + cleaned + QStringLiteral(" to your ") +
                                                   hostName + QStringLiteral("\u2026]"));
    sendFollowUp(
        QStringLiteral(
            "Add the custom domain %1 to the live deploy on %2. Print %3 %1 | followed by a JSON array of the "
            "DNS records to add (objects with \"type\", \"name\", \"value\" and optional \"ttl\"). Then check "
            "DNS every 10 seconds, up to 30 attempts; when the domain works print %4 %1, else print %5 "
            "with the reason.")
            .arg(cleaned, hostName, DeployMarkers::domainRecords, DeployMarkers::domainVerified, DeployMarkers::stuck));
}

QCoro::Task<> DeploySession::closeDomainCard()
{
    const Phase phase = m_state->phase();
    if (phase.kind() != Kind::customDomainInput && phase.kind() != Kind::customDomainVerifying)
        co_return;
    // The run that polls DNS is stopped with the card, so no late marker lands on the live deploy.
    const std::optional<AgentSession> session = m_runs.stop();
    m_runs.dropWaiting();
    m_runValues.clear();
    m_state->setPhase(Phase::live(phase.snapshot().frontendURL, phase.snapshot().backendURL));
    QCoro::Task<> stopping = m_runs.terminate(session);
    co_await std::move(stopping);
}

// ---- Operations on the live deploy ---------------------------------------------------------------

QCoro::Task<> DeploySession::beginRollback(DeployHistoryEntry entry)
{
    if (m_state->phase().isActive()) {
        logDeploy(QStringLiteral("beginRollback while phase active \u2014 ignoring"));
        co_return;
    }
    if (!entry.deploymentID || entry.deploymentID->isEmpty()) {
        finalize(Phase::stuck(QStringLiteral("Nerim didn't record a deployment ID for that deploy. Try Redeploy "
                                             "instead.")),
                 QStringLiteral("no-deployment-id"));
        co_return;
    }
    QList<DeployProvider> providers;
    for (const QString &raw : entry.providers)
        if (const std::optional<DeployProvider> p = DeployProvider::fromRaw(raw))
            providers.append(*p);
    const DeployProvider provider = firstHosting(providers).value_or(
        providers.isEmpty() ? DeployProvider(DeployProvider::vercel) : providers.first());
    const Snapshot snapshot = liveSnapshot().value_or(Snapshot{entry.frontendURL.value_or(QString()), std::nullopt});
    QCoro::Task<> operating =
        beginOperation(ProviderTask::rollback(*entry.deploymentID, entry.timestamp), provider, snapshot);
    co_await std::move(operating);
}

QCoro::Task<> DeploySession::beginGitConnect(bool enable)
{
    if (m_state->phase().isActive()) {
        logDeploy(QStringLiteral("beginGitConnect while phase active \u2014 ignoring"));
        co_return;
    }
    // The live deploy on screen wins over deploy-config.json, whose save after
    // going live may still be on its way.
    const std::optional<Snapshot> snapshot = liveSnapshot();
    std::optional<DeployProvider> hosting;
    if (const std::optional<DeployContext> context = m_state->context())
        hosting = firstHosting(context->providersInOrder);
    if (!hosting) {
        if (const std::optional<DeployConfig> config = DeployConfig::load(m_host.projectURL()))
            hosting = firstHosting(config->providers);
    }
    if (!snapshot || !hosting) {
        finalize(Phase::stuck(QStringLiteral("Nerim doesn't have a live deploy to wire to git yet.")),
                 QStringLiteral("no-live-deploy"));
        co_return;
    }
    QCoro::Task<> operating = beginOperation(ProviderTask::gitConnect(enable), *hosting, *snapshot);
    co_await std::move(operating);
}

QCoro::Task<> DeploySession::beginOperation(ProviderTask task, DeployProvider provider, Snapshot snapshot)
{
    if (!m_runs.beginSession())
        co_return;
    m_pendingDeploymentID.reset();
    m_state->setPhase(Phase::runningOperation(task, provider, snapshot));
    AgentPaneState *pane = m_runs.openPane();
    if (m_runs.briefing().isEmpty())
        m_runs.setBriefing(buildDeployPrompt(
            m_host.projectDisplayName(), m_state->context().value_or(makeContext({provider}, DeployKind::redeploy))));

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
        QCoro::Task<> starting = startRun(m_runs.briefing() + QStringLiteral("\n\n") + text, true);
        co_await std::move(starting);
    } else {
        sendFollowUp(text);
    }
}

} // namespace nerim
