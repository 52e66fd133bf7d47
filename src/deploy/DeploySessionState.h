#pragma once

#include "deploy/DeployContext.h"

#include <QObject>
#include <QString>
#include <QUuid>
#include <optional>

namespace nerim {

// The observable record of a project's deploy session, one per canvas. The
// canvas creates it fresh (phase `idle`, no deploy pane, no context, no
// texts); the deploy flow moves it through its phases and the deploy views
// read it. GUI thread only; every setter notifies only when the value
// changes. Nothing persists it.
class DeploySessionState : public QObject {
    Q_OBJECT

public:
    // Where the session stands.
    class Phase {
    public:
        enum class Kind { idle };

        Phase() = default; // idle
        static Phase idle() { return Phase(); }

        Kind kind() const { return m_kind; }
        // True while a deploy is under way (never for idle).
        bool isActive() const { return false; }

        friend bool operator==(const Phase &, const Phase &) = default;

    private:
        Kind m_kind = Kind::idle;
    };

    explicit DeploySessionState(QObject *parent = nullptr);

    const Phase &phase() const { return m_phase; }
    // Id of the pane running the Deploy agent; absent while there is none.
    const std::optional<QUuid> &deployPaneID() const { return m_deployPaneID; }
    // Absent while no session has been prepared.
    const std::optional<DeployContext> &context() const { return m_context; }
    const std::optional<QString> &lastProgressLine() const { return m_lastProgressLine; }
    const std::optional<QString> &lastErrorText() const { return m_lastErrorText; }
    const std::optional<QString> &capturedBackendURL() const { return m_capturedBackendURL; }
    const std::optional<QString> &capturedBackendAnonKey() const { return m_capturedBackendAnonKey; }

    void setPhase(const Phase &phase);
    void setDeployPaneID(const std::optional<QUuid> &id);
    void setContext(const std::optional<DeployContext> &context);
    void setLastProgressLine(const std::optional<QString> &line);
    void setLastErrorText(const std::optional<QString> &text);
    void setCapturedBackendURL(const std::optional<QString> &url);
    void setCapturedBackendAnonKey(const std::optional<QString> &key);

signals:
    void phaseChanged();
    void deployPaneIDChanged();
    void contextChanged();
    void lastProgressLineChanged();
    void lastErrorTextChanged();
    void capturedBackendURLChanged();
    void capturedBackendAnonKeyChanged();

private:
    Phase m_phase;
    std::optional<QUuid> m_deployPaneID;
    std::optional<DeployContext> m_context;
    std::optional<QString> m_lastProgressLine;
    std::optional<QString> m_lastErrorText;
    std::optional<QString> m_capturedBackendURL;
    std::optional<QString> m_capturedBackendAnonKey;
};

} // namespace nerim
