#pragma once

#include "deploy/DeployContext.h"
#include "deploy/DeployTypes.h"

#include <QMap>
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
    // The live deploy kept while a custom-domain step or a provider operation
    // runs, so that the session can return to `live`.
    struct TerminalSnapshot {
        QString frontendURL;
        std::optional<QString> backendURL;
        friend bool operator==(const TerminalSnapshot &, const TerminalSnapshot &) = default;
    };

    // Where the session stands. Active in every case except live, stuck,
    // customDomainVerified, idle and cancelled.
    class Phase {
    public:
        enum class Kind {
            authenticating,
            awaitingToken,
            buildingBackend,
            backendReady,
            envVarChecklist,
            awaitingSecret,
            envUploaded,
            buildingFrontend,
            live,
            stuck,
            customDomainInput,
            customDomainVerifying,
            customDomainVerified,
            runningOperation,
            idle,
            preparing,
            cancelled,
        };

        Phase() = default; // idle

        static Phase authenticating(DeployProvider provider);
        static Phase awaitingToken(QString varName, QString explanation, std::optional<DeployProvider> provider);
        static Phase buildingBackend(DeployProvider provider);
        static Phase backendReady(DeployProvider provider, QString url, std::optional<QString> anonKey);
        static Phase envVarChecklist(DeployProvider hostingProvider);
        static Phase awaitingSecret(QString varName, QString explanation);
        static Phase envUploaded(DeployProvider hostingProvider);
        static Phase buildingFrontend(DeployProvider provider);
        static Phase live(QString url, std::optional<QString> backendURL);
        static Phase stuck(QString reason);
        static Phase customDomainInput(TerminalSnapshot mainPhase);
        static Phase customDomainVerifying(TerminalSnapshot mainPhase, QString domain, QList<DomainRecord> records,
                                           int attemptsRemaining);
        static Phase customDomainVerified(QString domain);
        static Phase runningOperation(ProviderTask task, DeployProvider provider, TerminalSnapshot snapshot);
        static Phase idle() { return Phase(); }
        static Phase preparing() { return Phase(Kind::preparing); }
        static Phase cancelled() { return Phase(Kind::cancelled); }

        Kind kind() const { return m_kind; }
        // The provider of authenticating, awaitingToken (may be absent),
        // buildingBackend, backendReady, envVarChecklist, envUploaded,
        // buildingFrontend and runningOperation.
        const std::optional<DeployProvider> &provider() const { return m_provider; }
        const QString &varName() const { return m_varName; }         // awaitingToken, awaitingSecret
        const QString &explanation() const { return m_explanation; } // awaitingToken, awaitingSecret
        // backendReady's backend url; live's url.
        const QString &url() const { return m_url; }
        const std::optional<QString> &anonKey() const { return m_anonKey; }       // backendReady
        const std::optional<QString> &backendURL() const { return m_backendURL; } // live
        const QString &reason() const { return m_reason; }                        // stuck
        // customDomainInput, customDomainVerifying (mainPhase); runningOperation (snapshot).
        const TerminalSnapshot &snapshot() const { return m_snapshot; }
        const QString &domain() const { return m_domain; } // customDomainVerifying, customDomainVerified
        const QList<DomainRecord> &records() const { return m_records; }
        int attemptsRemaining() const { return m_attemptsRemaining; }
        const ProviderTask &task() const { return m_task; } // runningOperation

        bool isActive() const;
        // The in-progress pill's text for this phase.
        QString pillLabel() const;
        // For log lines: the case name and its labelled payload. Never holds an
        // anon key or a task's decision values.
        QString debugDescription() const;

        friend bool operator==(const Phase &, const Phase &) = default;

    private:
        explicit Phase(Kind kind) : m_kind(kind) {}

        Kind m_kind = Kind::idle;
        std::optional<DeployProvider> m_provider;
        QString m_varName;
        QString m_explanation;
        QString m_url;
        std::optional<QString> m_anonKey;
        std::optional<QString> m_backendURL;
        QString m_reason;
        TerminalSnapshot m_snapshot;
        QString m_domain;
        QList<DomainRecord> m_records;
        int m_attemptsRemaining = 0;
        ProviderTask m_task;
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
    // Whether a run of the Deploy agent is going in the Deploy pane or waits
    // to start there. A card that has handed in its answer waits while this
    // holds; once it no longer does, the answer can be given again.
    bool agentRunGoing() const { return m_agentRunGoing; }
    // The env-var decisions saved by the last review ("send", "skip" or
    // "custom" by name, from deploy-config.json), set when the checklist
    // opens: its rows start from them, a name without one on "send".
    const QMap<QString, QString> &envDecisions() const { return m_envDecisions; }

    void setPhase(const Phase &phase);
    void setDeployPaneID(const std::optional<QUuid> &id);
    void setContext(const std::optional<DeployContext> &context);
    void setLastProgressLine(const std::optional<QString> &line);
    void setLastErrorText(const std::optional<QString> &text);
    void setCapturedBackendURL(const std::optional<QString> &url);
    void setCapturedBackendAnonKey(const std::optional<QString> &key);
    void setAgentRunGoing(bool going);
    void setEnvDecisions(const QMap<QString, QString> &decisions);

signals:
    void phaseChanged();
    void deployPaneIDChanged();
    void contextChanged();
    void lastProgressLineChanged();
    void lastErrorTextChanged();
    void capturedBackendURLChanged();
    void capturedBackendAnonKeyChanged();
    void agentRunGoingChanged();
    void envDecisionsChanged();

private:
    Phase m_phase;
    std::optional<QUuid> m_deployPaneID;
    std::optional<DeployContext> m_context;
    std::optional<QString> m_lastProgressLine;
    std::optional<QString> m_lastErrorText;
    std::optional<QString> m_capturedBackendURL;
    std::optional<QString> m_capturedBackendAnonKey;
    bool m_agentRunGoing = false;
    QMap<QString, QString> m_envDecisions;
};

} // namespace nerim
