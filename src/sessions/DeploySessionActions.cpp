// What the deploy session does on its agent's markers and on what the cards
// of the deploy overlay hand in, and the operations on the live deploy
// (rollback, git, env vars), each a run of the agent in the Deploy pane.
#include "sessions/DeploySession.h"

#include "deploy/DeployPrompt.h"
#include "deploy/DeployRuns.h"
#include "foundation/Log.h"
#include "foundation/SerialExecutor.h"

#include <QCoro/QCoroFuture>

namespace nerim {

using Kind = DeploySessionState::Phase::Kind;

namespace {

constexpr int domainAttempts = 30;

} // namespace

// ---- The agent's markers ----------------------------------------------------------------------

void DeploySession::handleSignal(const DeployMarkers::Signal &signal, AgentPaneState *pane)
{
    using S = DeployMarkers::Signal::Kind;
    const Phase phase = m_state->phase();
    if (!phase.isActive()) {
        // The deployment that went live, named after its address by the same run.
        if (signal.kind == S::deploymentID && m_liveEntryAwaitingID) {
            const std::optional<DeployProvider> provider = DeployProvider::fromRaw(signal.first.toLower());
            const QStringList &deployed = m_liveEntryAwaitingID->entry.providers;
            if (provider && (deployed.isEmpty() || deployed.contains(provider->rawValue())) &&
                isPlainDeploymentID(signal.second)) {
                m_liveEntryAwaitingID->entry.deploymentID = signal.second;
                writeLiveEntryAwaitingID();
            } else {
                logDeploy(QStringLiteral("deployment id refused: not a plain id of this deploy's providers"));
            }
            return;
        }
        logDeploy(QStringLiteral("marker ignored in phase %1").arg(phase.debugDescription()));
        return;
    }
    // An operation or the domain step under way: the markers of a deploy's
    // steps bring the session back to that flow's own phase.
    const std::optional<Phase> flow = flowPhase();
    const std::optional<DeployContext> context = m_state->context();
    const QList<DeployProvider> providers = sessionProviders();
    switch (signal.kind) {
    case S::needToken: {
        // Only the token of one of this deploy's providers, under that
        // provider's own variable; any other name is refused by name.
        const std::optional<DeployProvider> provider = DeployRuns::providerForTokenRequest(signal.first, providers);
        if (!provider) {
            logDeploy(DeployRuns::refusedTokenLogLine(signal.first));
            answerRefusal(Refused::token, signal.first, DeployRuns::refusedTokenReply(signal.first, providers));
            break;
        }
        m_state->setPhase(Phase::awaitingToken(provider->tokenVariable(), signal.second, provider));
        break;
    }
    case S::askSecret:
        // The value goes into a run's environment: only a name the project
        // declares, and never a provider's token or a name that changes how
        // programs run; any other is refused like a token request, before the
        // card opens.
        if (const QStringList declared = context ? context->declaredNames : QStringList();
            !DeployRuns::isAskableSecret(signal.first, declared)) {
            logDeploy(DeployRuns::refusedTokenLogLine(signal.first));
            answerRefusal(Refused::secret, signal.first, DeployRuns::refusedSecretReply(signal.first, declared));
            break;
        }
        m_state->setPhase(Phase::awaitingSecret(signal.first, signal.second));
        break;
    case S::signedIn: {
        if (flow) {
            m_state->setPhase(*flow);
            break;
        }
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
        if (flow) {
            logDeploy(QStringLiteral("backend marker ignored during %1").arg(flow->debugDescription()));
            break;
        }
        const QString url = normalizedLiveAddress(signal.first);
        const std::optional<QString> key =
            signal.second.isEmpty() ? std::nullopt : std::optional<QString>(signal.second);
        if (!isAcceptedLiveAddress(url, {DeployProvider::supabase}, std::nullopt)) {
            logDeploy(QStringLiteral("backend address refused: not on Supabase"));
            break;
        }
        m_state->setCapturedBackendURL(url);
        m_state->setCapturedBackendAnonKey(key);
        m_state->setPhase(Phase::backendReady(DeployProvider::supabase, url, key));
        break;
    }
    case S::envOK:
        if (m_operation && m_operation->task().kind == ProviderTask::Kind::envVarUpdate) {
            finalize(Phase::live(m_operation->snapshot().frontendURL, m_operation->snapshot().backendURL), std::nullopt);
            break;
        }
        if (flow) {
            m_state->setPhase(*flow);
            break;
        }
        m_state->setPhase(Phase::envUploaded(
            phase.provider().value_or(context ? firstHosting(context->providersInOrder).value_or(DeployProvider::vercel)
                                              : DeployProvider(DeployProvider::vercel))));
        break;
    case S::building: {
        if (flow) {
            m_state->setPhase(*flow);
            break;
        }
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
            provider && !signal.second.isEmpty()) {
            // It goes into a later rollback prompt: only a plain id is kept.
            if (isPlainDeploymentID(signal.second))
                m_pendingDeploymentID = std::make_pair(*provider, signal.second);
            else
                logDeploy(QStringLiteral("deployment id refused: not a plain id"));
        }
        break;
    case S::live: {
        // The domain step ends with its own verdict, not a deploy's address.
        if (m_domainFlow) {
            logDeploy(QStringLiteral("live marker ignored while adding a domain"));
            break;
        }
        // The Live menu opens this address: only one of the deployed
        // providers' hosts, or the user's verified custom domain.
        const QString address = normalizedLiveAddress(signal.first);
        std::optional<QString> customDomain;
        if (const std::optional<DeployConfig> config = DeployConfig::load(m_host.projectURL()))
            customDomain = config->acceptedCustomDomain();
        if (!isAcceptedLiveAddress(address, providers, customDomain)) {
            logDeploy(QStringLiteral("live address refused: %1").arg(displayHost(address)));
            QStringList names;
            for (DeployProvider provider : providers)
                names.append(provider.displayName());
            finalize(Phase::stuck(QStringLiteral("The Deploy agent reported a live address that isn't on %1, so "
                                                 "Nerim didn't keep it.")
                                      .arg(names.join(QStringLiteral(" or ")))),
                     QStringLiteral("live-address-refused"));
            break;
        }
        std::optional<QString> backend = !signal.second.isEmpty()
                                             ? std::optional<QString>(normalizedLiveAddress(signal.second))
                                             : m_state->capturedBackendURL();
        if (backend && !isAcceptedLiveAddress(*backend, providers, std::nullopt)) {
            logDeploy(QStringLiteral("backend address refused: %1").arg(displayHost(*backend)));
            backend.reset();
        }
        finalize(Phase::live(address, backend), std::nullopt);
        break;
    }
    case S::stuck: {
        // The reason is one line of the agent's own, "|" and all.
        const QString reason = signal.second.isEmpty() ? signal.first : signal.first + QStringLiteral(" | ") + signal.second;
        finalize(Phase::stuck(reason), reason);
        break;
    }
    case S::domainRecords: {
        // Only the verify card waits for records (a late one after the card
        // closed changes nothing), and only those of the domain the user typed.
        if (!m_domainFlow)
            break;
        if (!isSameDomain(signal.first, m_domainFlow->domain())) {
            logDeploy(QStringLiteral("domain records for another domain than the one typed \u2014 ignoring"));
            break;
        }
        const std::optional<QList<DomainRecord>> records = DomainRecord::listFromJson(signal.second);
        if (!records) {
            logDeploy(QStringLiteral("domain records didn't parse \u2014 ignoring"));
            break;
        }
        m_domainFlow = Phase::customDomainVerifying(m_domainFlow->snapshot(), m_domainFlow->domain(), *records,
                                                    m_domainFlow->attemptsRemaining());
        // While the agent waits for a token the card asks for it; the records show after.
        if (phase.kind() == Kind::customDomainVerifying)
            m_state->setPhase(*m_domainFlow);
        break;
    }
    case S::domainVerified:
        if (!m_domainFlow)
            break;
        if (!signal.first.isEmpty() && !isSameDomain(signal.first, m_domainFlow->domain())) {
            logDeploy(QStringLiteral("domain verdict for another domain than the one typed \u2014 ignoring"));
            break;
        }
        finalize(Phase::customDomainVerified(m_domainFlow->domain()), std::nullopt);
        break;
    case S::operationDone:
        if (m_operation) {
            if (!signal.first.isEmpty())
                pane->appendLine(OutputLine::Kind::taskComplete, signal.first);
            finalize(Phase::live(m_operation->snapshot().frontendURL, m_operation->snapshot().backendURL), std::nullopt);
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
    // The phase names only the token of one of this deploy's providers.
    const std::optional<DeployProvider> provider = m_state->phase().provider();
    if (!provider) {
        logDeploy(QStringLiteral("submitDeployToken for no provider \u2014 ignoring"));
        co_return;
    }
    m_tokens.hold(*provider, value);
    pane->appendLine(OutputLine::Kind::system,
                     QStringLiteral("[Nerim saved your ") + name + QStringLiteral(". Continuing.]"));
    // An operation or the domain step goes on in its own phase; a deploy signs in.
    if (const std::optional<Phase> flow = flowPhase())
        m_state->setPhase(*flow);
    else
        m_state->setPhase(Phase::authenticating(*provider));
    // The run that answers takes over from the run that asked.
    sendFollowUp(QStringLiteral("OK, ") + name + QStringLiteral(" is set in your environment. Continue."),
                 RunFor::answer);
}

QCoro::Task<> DeploySession::submitSecret(QString name, QString value)
{
    AgentPaneState *pane =
        paneForValue(Kind::awaitingSecret, name, QStringLiteral("submitDeploySecret"), QStringLiteral("secret"));
    if (!pane)
        co_return;
    if (refusesVariable(name)) {
        answerRefusal(Refused::secret, name,
                      QStringLiteral("Nerim can't set a variable named %1. Print %2 with the reason.")
                          .arg(name, DeployMarkers::stuck));
        co_return;
    }
    m_nextRunValues.insert(name, value);
    pane->appendLine(OutputLine::Kind::system, QStringLiteral("[Nerim got your value for ") + name +
                                                   QStringLiteral(". Uploading to the provider.]"));
    if (const std::optional<Phase> flow = flowPhase())
        m_state->setPhase(*flow);
    else if (const std::optional<DeployContext> context = m_state->context())
        if (const std::optional<DeployProvider> hosting = firstHosting(context->providersInOrder))
            m_state->setPhase(Phase::envVarChecklist(*hosting));
    sendFollowUp(QStringLiteral("The user provided ") + name + QStringLiteral(". It is in your environment as ") +
                     name + QStringLiteral(" for this run only. Continue uploading env vars using this value."),
                 RunFor::answer);
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
    const QString lines = envDecisionLines(decisions);
    const QMap<QString, QString> stored = kept;
    saveConfig([stored](DeployConfig &config) { config.envDecisions = stored; });

    AgentPaneState *pane = this->pane();
    // From the Live menu (or without a session pane): an update of the live
    // deploy, which goes back to live once the agent has uploaded.
    if (!pane || m_checklistFromLive) {
        std::optional<Snapshot> snapshot = m_checklistFromLive;
        if (!snapshot)
            snapshot = liveSnapshot();
        if (snapshot) {
            const DeployProvider hosting = phase.provider().value_or(DeployProvider::vercel);
            // The custom values go with the operation's run.
            m_nextRunValues = values;
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
                     QStringLiteral(" and continue with the deploy."),
                 RunFor::answer);
}

bool DeploySession::openEnvVarChecklist()
{
    const Phase phase = m_state->phase();
    if (phase.isActive())
        return false;
    // The hosting provider of the deploy; a Supabase-only deploy has none to take variables.
    const std::optional<DeployProvider> hosting = firstHosting(redeployProviders());
    const std::optional<Phase> live = livePhaseNow();
    if (!hosting || !live)
        return false;
    // A step of its own: a run still going from before acts on nothing here,
    // and a cancel is timed from now.
    writeLiveEntryAwaitingID();
    if (!m_runs.beginSession())
        return false;
    if (!this->pane())
        m_runs.openPane();
    m_returnTo = live;
    m_checklistFromLive = liveSnapshot();
    // The rows start from the choices the user saved (a value kept local stays local).
    const std::optional<DeployConfig> config = DeployConfig::load(m_host.projectURL());
    m_state->setEnvDecisions(config ? config->envDecisions : QMap<QString, QString>{});
    m_state->setPhase(Phase::envVarChecklist(*hosting));
    if (!m_state->context()) {
        // The card lists the .env names once they have been read.
        const quint64 read = ++m_contextReads;
        QPointer<DeploySession> self(this);
        auto reading = [](QPointer<DeploySession> self, quint64 read, DeployProvider hosting) -> QCoro::Task<> {
            QCoro::Task<DeployContext> gathering = self->makeContext({hosting}, DeployKind::redeploy);
            const DeployContext context = co_await std::move(gathering);
            if (self && read == self->m_contextReads && !self->m_state->context() &&
                self->m_state->phase().kind() == Kind::envVarChecklist)
                self->m_state->setContext(context);
        };
        QCoro::Task<> filling = reading(self, read, *hosting);
        Q_UNUSED(filling);
    }
    return true;
}

bool DeploySession::openCustomDomainInput()
{
    if (m_state->phase().isActive())
        return false;
    const std::optional<Snapshot> snapshot = liveSnapshot();
    const std::optional<Phase> live = livePhaseNow();
    if (!snapshot || !live)
        return false;
    writeLiveEntryAwaitingID();
    if (!m_runs.beginSession())
        return false;
    if (!this->pane())
        m_runs.openPane();
    m_returnTo = live;
    m_state->setPhase(Phase::customDomainInput(*snapshot));
    return true;
}

void DeploySession::unpin()
{
    if (!DeployConfig::load(m_host.projectURL()))
        return;
    QPointer<DeploySession> self(this);
    const QUrl url = m_host.projectURL();
    // The session is reset once the file no longer names the address, so the
    // Deploy button that then shows reads the saved settings as they are.
    QFuture<void> saving = m_host.launchWork().run([url] {
        std::optional<DeployConfig> config = DeployConfig::load(url);
        if (!config)
            return;
        config->frontendURL.reset();
        config->customDomain.reset();
        config->revision += 1;
        try {
            DeployConfig::save(*config, url);
        } catch (const std::exception &e) {
            logDeploy(QStringLiteral("failed to save deploy-config.json: %1").arg(QString::fromUtf8(e.what())));
        }
    });
    auto resetting = [](QPointer<DeploySession> self, QFuture<void> saving) -> QCoro::Task<> {
        co_await saving;
        if (!self || self->m_state->phase().isActive())
            co_return;
        self->m_liveProviders.clear();
        self->m_failedStep.reset();
        DeploySessionState &state = *self->m_state;
        state.setPhase(Phase::idle());
        state.setDeployPaneID(std::nullopt);
        state.setContext(std::nullopt);
        state.setLastProgressLine(std::nullopt);
        state.setLastErrorText(std::nullopt);
        state.setCapturedBackendURL(std::nullopt);
        state.setCapturedBackendAnonKey(std::nullopt);
    };
    QCoro::Task<> reset = resetting(self, saving);
    Q_UNUSED(reset);
}

bool DeploySession::isFollowUpTarget(const AgentPaneState *pane) const
{
    return pane && pane->isSystemPane() && m_state->phase().isActive() && m_state->deployPaneID() == pane->id();
}

QCoro::Task<> DeploySession::sendUserFollowUp(QString text)
{
    if (!pane() || !m_state->phase().isActive() || text.trimmed().isEmpty())
        co_return;
    sendFollowUp(text, RunFor::user);
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
    SystemAgentStepRecord step;
    step.step = QStringLiteral("domain");
    step.providers = providerNames(liveProviders());
    step.domain = cleaned;
    recordStep(step);
    m_domainFlow = Phase::customDomainVerifying(phase.snapshot(), cleaned, {}, domainAttempts);
    m_state->setPhase(*m_domainFlow);
    pane->appendLine(OutputLine::Kind::system, QStringLiteral("[Adding ") + cleaned + QStringLiteral(" to your ") +
                                                   hostName + QStringLiteral("\u2026]"));
    sendFollowUp(customDomainRequest(cleaned, hostName));
}

QCoro::Task<> DeploySession::closeDomainCard()
{
    const Phase phase = m_state->phase();
    if (phase.kind() != Kind::customDomainInput && phase.kind() != Kind::customDomainVerifying)
        co_return;
    // The step the card stands for ends as any closed card's does: the polling
    // run stopped, the step recorded as cancelled, and back to the live deploy
    // the card was opened on.
    m_returnTo = Phase::live(phase.snapshot().frontendURL, phase.snapshot().backendURL);
    QCoro::Task<> cancelling = cancel();
    co_await std::move(cancelling);
}

// ---- Operations on the live deploy ---------------------------------------------------------------

QCoro::Task<> DeploySession::beginRollback(DeployHistoryEntry entry)
{
    if (m_state->phase().isActive()) {
        logDeploy(QStringLiteral("beginRollback while phase active \u2014 ignoring"));
        co_return;
    }
    // The id goes into the agent's prompt: a planted history line's crafted id is as good as none.
    if (entry.deploymentID && !isPlainDeploymentID(*entry.deploymentID)) {
        logDeploy(QStringLiteral("beginRollback: the deployment id is not a plain id"));
        entry.deploymentID.reset();
    }
    if (!entry.deploymentID || entry.deploymentID->isEmpty()) {
        // Refused as a rollback (so named in the pane and the history); a live deploy stays live.
        m_returnTo = livePhaseNow();
        m_operation = Phase::runningOperation(ProviderTask::rollback(QString(), entry.timestamp),
                                              DeployProvider::vercel,
                                              liveSnapshot().value_or(Snapshot{QString(), std::nullopt}));
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
    writeLiveEntryAwaitingID();
    // The live deploy a cancel returns to: the one on screen, else the one
    // the Live menu's card was opened from, else the saved one.
    const Phase before = m_state->phase();
    const std::optional<Phase> back = before.kind() == Kind::live || before.kind() == Kind::customDomainVerified
                                          ? std::optional<Phase>(before)
                                      : m_returnTo ? m_returnTo
                                                   : std::optional<Phase>(Phase::live(snapshot.frontendURL,
                                                                                      snapshot.backendURL));
    const std::optional<quint64> serial = m_runs.beginSession();
    if (!serial)
        co_return;
    m_returnTo = back;
    m_pendingDeploymentID.reset();
    m_checklistFromLive.reset();
    m_domainFlow.reset();
    m_operation = Phase::runningOperation(task, provider, snapshot);
    SystemAgentStepRecord step;
    switch (task.kind) {
    case ProviderTask::Kind::rollback:
        step.step = QStringLiteral("rollback");
        step.deploymentID = task.targetDeploymentID;
        step.targetTimestamp = task.targetTimestamp;
        step.frontendURL = snapshot.frontendURL;
        break;
    case ProviderTask::Kind::gitConnect:
        step.step = QStringLiteral("gitConnect");
        step.enable = task.enable;
        break;
    case ProviderTask::Kind::envVarUpdate: step.step = QStringLiteral("envVarUpdate"); break;
    }
    step.providers = providerNames(task.kind == ProviderTask::Kind::rollback ? QList<DeployProvider>{provider}
                                                                              : liveProviders());
    recordStep(step);
    m_state->setPhase(*m_operation);
    AgentPaneState *pane = m_runs.openPane();
    // The operation's own briefing: the change to make and the marker that ends it.
    const QString briefing = buildOperationPrompt(m_host.projectDisplayName(), sessionProviders(), task, provider);
    const bool freshPane =
        pane->completedTurns().isEmpty() && !pane->currentSession() && !isBusy(pane->status());
    if (freshPane) {
        // It opens the pane's conversation, and later runs are given it whole.
        m_runs.setBriefing(briefing);
        if (!countRun())
            co_return;
        QCoro::Task<> starting = startRun(briefing, true);
        co_await std::move(starting);
    } else {
        // After a deploy in this pane it follows that conversation; a run
        // still going there finishes first (what it prints acts on nothing).
        if (pane->currentSession() || isBusy(pane->status()))
            pane->appendLine(OutputLine::Kind::system,
                             QStringLiteral("[The Deploy agent's last run is still finishing; %1 starts once it "
                                            "has.]")
                                 .arg(activityName()));
        sendFollowUp(briefing);
    }
}

} // namespace nerim
