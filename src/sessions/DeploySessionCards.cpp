// What the cards of the deploy overlay and the Live menu hand to the deploy
// session: a token, a secret, the reviewed env vars, a custom domain, a
// prompt typed to the Deploy pane; opening the env-var and domain cards on the
// live deploy, closing the domain card, and Unpin. Each answer to the agent is
// a new run in the Deploy pane.
#include "sessions/DeploySession.h"
#include "persistence/ProjectDataFolder.h"

#include "deploy/DeployPrompt.h"
#include "foundation/SerialExecutor.h"

#include <QCoro/QCoroFuture>

namespace nerim {

using Kind = DeploySessionState::Phase::Kind;

namespace {

constexpr int domainAttempts = 30;

} // namespace

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
    // The phase names only a variable the agent's request passed the secret
    // rules for (see the askSecret marker), and the name is that phase's.
    if (!pane)
        co_return;
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
    // A typed value under a name the deploy's programs read to decide how they
    // run is not sent: the agent is told to skip it and the pane says so.
    QMap<QString, QString> kept;
    QHash<QString, QString> values;
    QStringList notSent;
    for (auto it = decisions.begin(); it != decisions.end(); ++it) {
        if (it.value().startsWith(QLatin1String("custom:"))) {
            if (refusesVariable(it.key())) {
                kept.insert(it.key(), QStringLiteral("skip"));
                notSent.append(it.key());
                continue;
            }
            values.insert(it.key(), it.value().mid(7));
            kept.insert(it.key(), QStringLiteral("custom"));
        } else {
            kept.insert(it.key(),
                        it.value() == QLatin1String("send") ? QStringLiteral("send") : QStringLiteral("skip"));
        }
    }
    const QString lines = envDecisionLines(kept);
    const QMap<QString, QString> stored = kept;
    saveConfig([stored](DeployConfig &config) { config.envDecisions = stored; });

    AgentPaneState *pane = this->pane();
    if (pane && !notSent.isEmpty())
        pane->appendLine(OutputLine::Kind::system,
                         QStringLiteral("[Nerim didn't send the value you typed for %1: the deploy's own programs read "
                                        "that name to decide how they run. It is skipped.]")
                             .arg(notSent.join(QStringLiteral(", "))));
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

// A card opened from the Live menu is a step of its own: a run still going
// from before acts on nothing here, a cancel is timed from now, and the
// session returns to the live deploy when the card ends.
bool DeploySession::openLiveCard(const Phase &live)
{
    writeLiveEntryAwaitingID();
    if (!m_runs.beginSession())
        return false;
    if (!this->pane())
        m_runs.openPane();
    m_returnTo = live;
    return true;
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
    if (!openLiveCard(*live))
        return false;
    m_checklistFromLive = liveSnapshot();
    // The rows start from the choices the user saved (a value kept local
    // stays local): as the session knows them now, then as the file holds
    // them once read off the window's thread.
    m_state->setEnvDecisions(m_config ? m_config->envDecisions : QMap<QString, QString>{});
    m_state->setPhase(Phase::envVarChecklist(*hosting));
    const quint64 read = ++m_contextReads;
    QPointer<DeploySession> self(this);
    const bool needsContext = !m_state->context();
    auto reading = [](QPointer<DeploySession> self, quint64 read, DeployProvider hosting,
                      bool needsContext) -> QCoro::Task<> {
        QCoro::Task<std::optional<DeployConfig>> loading = self->readConfig();
        const std::optional<DeployConfig> config = co_await std::move(loading);
        if (!self || read != self->m_contextReads || self->m_state->phase().kind() != Kind::envVarChecklist)
            co_return;
        self->m_state->setEnvDecisions(config ? config->envDecisions : QMap<QString, QString>{});
        if (!needsContext)
            co_return;
        // The card lists the .env names once they have been read.
        QCoro::Task<DeployContext> gathering = self->makeContext({hosting}, DeployKind::redeploy);
        const DeployContext context = co_await std::move(gathering);
        if (self && read == self->m_contextReads && !self->m_state->context() &&
            self->m_state->phase().kind() == Kind::envVarChecklist)
            self->m_state->setContext(context);
    };
    QCoro::Task<> filling = reading(self, read, *hosting, needsContext);
    Q_UNUSED(filling);
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
    if (!openLiveCard(*live))
        return false;
    m_state->setPhase(Phase::customDomainInput(*snapshot));
    return true;
}

void DeploySession::unpin()
{
    if (!m_config)
        return;
    QPointer<DeploySession> self(this);
    const QUrl url = m_host.projectURL();
    // The session is reset once the file no longer names the address, so the
    // Deploy button that then shows reads the saved settings as they are.
    // Without a file (gone meanwhile) nothing at all changes.
    QFuture<bool> saving = m_host.launchWork().run([url, door = m_host.dataFolder()] {
        std::optional<DeployConfig> config = DeployConfig::load(url);
        if (!config || !door)
            return false;
        config->frontendURL.reset();
        config->customDomain.reset();
        config->revision += 1;
        try {
            DeployConfig::save(*config, *door);
        } catch (const std::exception &e) {
            logDeploy(QStringLiteral("failed to save deploy-config.json: %1").arg(QString::fromUtf8(e.what())));
        }
        return true;
    });
    auto resetting = [](QPointer<DeploySession> self, QFuture<bool> saving) -> QCoro::Task<> {
        const bool unpinned = co_await saving;
        if (!self)
            co_return;
        if (!unpinned) {
            self->m_config.reset();
            ++self->m_configChanges;
            co_return;
        }
        if (self->m_config) {
            self->m_config->frontendURL.reset();
            self->m_config->customDomain.reset();
            ++self->m_configChanges;
        }
        if (self->m_state->phase().isActive())
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
    if (m_config)
        hosting = firstHosting(m_config->providers);
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

} // namespace nerim
