// What the deploy session does on its agent's marker lines, in stream order:
// a token or a value asked for (only under a name Nerim's rules allow, else
// refused), signing in, the backend, the env vars, the build, the live
// address (only on the deployed providers' hosts or the verified domain), the
// deployment id, the domain's records and verdict, an operation done, stuck.
#include "sessions/DeploySession.h"

#include "deploy/DeployVariableRules.h"

namespace nerim {

using Kind = DeploySessionState::Phase::Kind;

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
        if (m_config)
            customDomain = m_config->acceptedCustomDomain();
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

} // namespace nerim
