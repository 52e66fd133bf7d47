#include "deploy/DeploySessionState.h"

namespace nerim {

namespace {

template <typename T, typename Signal>
void assign(DeploySessionState *state, T &field, const T &value, Signal changed)
{
    if (field == value)
        return;
    field = value;
    emit(state->*changed)();
}

} // namespace

DeploySessionState::DeploySessionState(QObject *parent) : QObject(parent) {}

void DeploySessionState::setPhase(const Phase &phase) { assign(this, m_phase, phase, &DeploySessionState::phaseChanged); }

void DeploySessionState::setDeployPaneID(const std::optional<QUuid> &id)
{
    assign(this, m_deployPaneID, id, &DeploySessionState::deployPaneIDChanged);
}

void DeploySessionState::setContext(const std::optional<DeployContext> &context)
{
    assign(this, m_context, context, &DeploySessionState::contextChanged);
}

void DeploySessionState::setLastProgressLine(const std::optional<QString> &line)
{
    assign(this, m_lastProgressLine, line, &DeploySessionState::lastProgressLineChanged);
}

void DeploySessionState::setLastErrorText(const std::optional<QString> &text)
{
    assign(this, m_lastErrorText, text, &DeploySessionState::lastErrorTextChanged);
}

void DeploySessionState::setAgentRunGoing(bool going)
{
    assign(this, m_agentRunGoing, going, &DeploySessionState::agentRunGoingChanged);
}

void DeploySessionState::setEnvDecisions(const QMap<QString, QString> &decisions)
{
    assign(this, m_envDecisions, decisions, &DeploySessionState::envDecisionsChanged);
}

void DeploySessionState::setCapturedBackendURL(const std::optional<QString> &url)
{
    assign(this, m_capturedBackendURL, url, &DeploySessionState::capturedBackendURLChanged);
}

void DeploySessionState::setCapturedBackendAnonKey(const std::optional<QString> &key)
{
    assign(this, m_capturedBackendAnonKey, key, &DeploySessionState::capturedBackendAnonKeyChanged);
}

} // namespace nerim

namespace nerim {

using Phase = DeploySessionState::Phase;
using Kind = DeploySessionState::Phase::Kind;

Phase Phase::authenticating(DeployProvider provider)
{
    Phase p(Kind::authenticating);
    p.m_provider = provider;
    return p;
}

Phase Phase::awaitingToken(QString varName, QString explanation, std::optional<DeployProvider> provider)
{
    Phase p(Kind::awaitingToken);
    p.m_varName = std::move(varName);
    p.m_explanation = std::move(explanation);
    p.m_provider = provider;
    return p;
}

Phase Phase::buildingBackend(DeployProvider provider)
{
    Phase p(Kind::buildingBackend);
    p.m_provider = provider;
    return p;
}

Phase Phase::backendReady(DeployProvider provider, QString url, std::optional<QString> anonKey)
{
    Phase p(Kind::backendReady);
    p.m_provider = provider;
    p.m_url = std::move(url);
    p.m_anonKey = std::move(anonKey);
    return p;
}

Phase Phase::envVarChecklist(DeployProvider hostingProvider)
{
    Phase p(Kind::envVarChecklist);
    p.m_provider = hostingProvider;
    return p;
}

Phase Phase::awaitingSecret(QString varName, QString explanation)
{
    Phase p(Kind::awaitingSecret);
    p.m_varName = std::move(varName);
    p.m_explanation = std::move(explanation);
    return p;
}

Phase Phase::envUploaded(DeployProvider hostingProvider)
{
    Phase p(Kind::envUploaded);
    p.m_provider = hostingProvider;
    return p;
}

Phase Phase::buildingFrontend(DeployProvider provider)
{
    Phase p(Kind::buildingFrontend);
    p.m_provider = provider;
    return p;
}

Phase Phase::live(QString url, std::optional<QString> backendURL)
{
    Phase p(Kind::live);
    p.m_url = std::move(url);
    p.m_backendURL = std::move(backendURL);
    return p;
}

Phase Phase::stuck(QString reason)
{
    Phase p(Kind::stuck);
    p.m_reason = std::move(reason);
    return p;
}

Phase Phase::customDomainInput(TerminalSnapshot mainPhase)
{
    Phase p(Kind::customDomainInput);
    p.m_snapshot = std::move(mainPhase);
    return p;
}

Phase Phase::customDomainVerifying(TerminalSnapshot mainPhase, QString domain, QList<DomainRecord> records,
                                   int attemptsRemaining)
{
    Phase p(Kind::customDomainVerifying);
    p.m_snapshot = std::move(mainPhase);
    p.m_domain = std::move(domain);
    p.m_records = std::move(records);
    p.m_attemptsRemaining = attemptsRemaining;
    return p;
}

Phase Phase::customDomainVerified(QString domain)
{
    Phase p(Kind::customDomainVerified);
    p.m_domain = std::move(domain);
    return p;
}

Phase Phase::runningOperation(ProviderTask task, DeployProvider provider, TerminalSnapshot snapshot)
{
    Phase p(Kind::runningOperation);
    p.m_task = std::move(task);
    p.m_provider = provider;
    p.m_snapshot = std::move(snapshot);
    return p;
}

bool Phase::isActive() const
{
    switch (m_kind) {
    case Kind::live:
    case Kind::stuck:
    case Kind::customDomainVerified:
    case Kind::idle:
    case Kind::cancelled:
        return false;
    default:
        return true;
    }
}

QString Phase::pillLabel() const
{
    const QChar ellipsis(0x2026);
    const QString name = m_provider ? m_provider->displayName() : QString();
    switch (m_kind) {
    case Kind::authenticating:
        return QStringLiteral("Signing in to ") + name + ellipsis;
    case Kind::awaitingToken:
        return QStringLiteral("Waiting on ") + (m_provider ? name : QStringLiteral("provider")) +
               QStringLiteral(" token");
    case Kind::buildingBackend:
        return QStringLiteral("Provisioning ") + name + ellipsis;
    case Kind::backendReady:
        return QStringLiteral("Backend ready") + ellipsis;
    case Kind::envVarChecklist:
        return QStringLiteral("Reviewing env vars") + ellipsis;
    case Kind::awaitingSecret:
        return QStringLiteral("Waiting on ") + m_varName;
    case Kind::envUploaded:
        return QStringLiteral("Env uploaded") + ellipsis;
    case Kind::buildingFrontend:
        return QStringLiteral("Building") + ellipsis;
    case Kind::live:
        return QStringLiteral("Live \u00B7 ") + displayHost(m_url);
    case Kind::stuck:
        return QStringLiteral("Deploy stuck \u2014 Try again");
    case Kind::customDomainInput:
        return QStringLiteral("Add domain") + ellipsis;
    case Kind::customDomainVerifying:
        return QStringLiteral("Verifying ") + m_domain + ellipsis;
    case Kind::customDomainVerified:
        return QStringLiteral("Live \u00B7 ") + m_domain;
    case Kind::runningOperation:
        switch (m_task.kind) {
        case ProviderTask::Kind::rollback:
            return QStringLiteral("Rolling back") + ellipsis;
        case ProviderTask::Kind::gitConnect:
            return QStringLiteral("Connecting git") + ellipsis;
        case ProviderTask::Kind::envVarUpdate:
            return QStringLiteral("Updating env vars") + ellipsis;
        }
        break;
    case Kind::idle:
    case Kind::cancelled:
        return QStringLiteral("Deploy");
    case Kind::preparing:
        return QStringLiteral("Deploying") + ellipsis;
    }
    return QStringLiteral("Deploy");
}

QString Phase::debugDescription() const
{
    const QString provider = m_provider ? m_provider->rawValue() : QStringLiteral("nil");
    switch (m_kind) {
    case Kind::authenticating:
        return QStringLiteral("authenticating(provider: %1)").arg(provider);
    case Kind::awaitingToken:
        return QStringLiteral("awaitingToken(varName: %1, provider: %2)").arg(m_varName, provider);
    case Kind::buildingBackend:
        return QStringLiteral("buildingBackend(provider: %1)").arg(provider);
    case Kind::backendReady:
        return QStringLiteral("backendReady(provider: %1, url: %2)").arg(provider, m_url);
    case Kind::envVarChecklist:
        return QStringLiteral("envVarChecklist(hostingProvider: %1)").arg(provider);
    case Kind::awaitingSecret:
        return QStringLiteral("awaitingSecret(varName: %1)").arg(m_varName);
    case Kind::envUploaded:
        return QStringLiteral("envUploaded(hostingProvider: %1)").arg(provider);
    case Kind::buildingFrontend:
        return QStringLiteral("buildingFrontend(provider: %1)").arg(provider);
    case Kind::live:
        return QStringLiteral("live(url: %1)").arg(m_url);
    case Kind::stuck:
        return QStringLiteral("stuck(reason: %1)").arg(m_reason);
    case Kind::customDomainInput:
        return QStringLiteral("customDomainInput");
    case Kind::customDomainVerifying:
        return QStringLiteral("customDomainVerifying(domain: %1, attemptsRemaining: %2)")
            .arg(m_domain, QString::number(m_attemptsRemaining));
    case Kind::customDomainVerified:
        return QStringLiteral("customDomainVerified(domain: %1)").arg(m_domain);
    case Kind::runningOperation:
        return QStringLiteral("runningOperation(provider: %1)").arg(provider);
    case Kind::idle:
        return QStringLiteral("idle");
    case Kind::preparing:
        return QStringLiteral("preparing");
    case Kind::cancelled:
        return QStringLiteral("cancelled");
    }
    return QString();
}

} // namespace nerim
