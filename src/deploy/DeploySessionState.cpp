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

void DeploySessionState::setCapturedBackendURL(const std::optional<QString> &url)
{
    assign(this, m_capturedBackendURL, url, &DeploySessionState::capturedBackendURLChanged);
}

void DeploySessionState::setCapturedBackendAnonKey(const std::optional<QString> &key)
{
    assign(this, m_capturedBackendAnonKey, key, &DeploySessionState::capturedBackendAnonKeyChanged);
}

} // namespace nerim
