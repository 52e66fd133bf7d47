#pragma once

#include "repair/RepairContext.h"

#include <QObject>
#include <QString>
#include <QUuid>
#include <optional>

namespace nerim {

// The observable record of the one repair session a project can have at a time.
// Owned by the canvas controller for the life of the canvas; the repair loop
// writes the phase, the pane id and the context, the preview panel writes the
// error text, and the repair banner reads all of it. GUI thread only. Nothing
// persists it: a restarted application starts at `idle`.
class RepairSessionState : public QObject {
    Q_OBJECT

public:
    // Where the session stands. Active: preparing, repairing, retryingApp,
    // awaitingSecret. Terminal: stuck, fixed, cancelled.
    class Phase {
    public:
        enum class Kind { repairing, retryingApp, awaitingSecret, stuck, idle, preparing, fixed, cancelled };

        Phase() = default; // idle

        static Phase repairing(int attempt) { return Phase(Kind::repairing, attempt); }
        static Phase retryingApp(int attempt) { return Phase(Kind::retryingApp, attempt); }
        static Phase awaitingSecret(QString varName, QString explanation, int attempt);
        static Phase stuck(QString reason);
        static Phase idle() { return Phase(Kind::idle); }
        static Phase preparing() { return Phase(Kind::preparing); }
        static Phase fixed() { return Phase(Kind::fixed); }
        static Phase cancelled() { return Phase(Kind::cancelled); }

        Kind kind() const { return m_kind; }
        // repairing, retryingApp and awaitingSecret; 0 for the others.
        int attempt() const { return m_attempt; }
        // awaitingSecret only; empty for the others.
        const QString &varName() const { return m_varName; }
        const QString &explanation() const { return m_explanation; }
        // stuck only; empty for the others.
        const QString &reason() const { return m_reason; }

        bool isActive() const;
        bool isTerminal() const;

        // The repair banner's sentence for this phase ("" for idle and cancelled).
        QString displayText() const;
        // For log lines: the case name and its labelled payload, e.g. "repairing(attempt: 2)".
        QString debugDescription() const;

        // Same case and equal payloads.
        friend bool operator==(const Phase &, const Phase &) = default;

    private:
        explicit Phase(Kind kind, int attempt = 0) : m_kind(kind), m_attempt(attempt) {}

        Kind m_kind = Kind::idle;
        int m_attempt = 0;
        QString m_varName;
        QString m_explanation;
        QString m_reason;
    };

    explicit RepairSessionState(QObject *parent = nullptr);

    const Phase &phase() const { return m_phase; }
    // Id of the session's Repair system pane; kept after the session ends.
    const std::optional<QUuid> &repairPaneID() const { return m_repairPaneID; }
    // The failure the session works on, with its attempt number and retry cap;
    // kept after the session ends.
    const std::optional<RepairContext> &context() const { return m_context; }
    // Free error text kept for the banner; written by the preview panel.
    const std::optional<QString> &lastErrorText() const { return m_lastErrorText; }

    // Each setter notifies only when the value changes.
    void setPhase(const Phase &phase);
    void setRepairPaneID(const std::optional<QUuid> &id);
    void setContext(const std::optional<RepairContext> &context);
    void setLastErrorText(const std::optional<QString> &text);

signals:
    void phaseChanged();
    void repairPaneIDChanged();
    void contextChanged();
    void lastErrorTextChanged();

private:
    Phase m_phase;
    std::optional<QUuid> m_repairPaneID;
    std::optional<RepairContext> m_context;
    std::optional<QString> m_lastErrorText;
};

} // namespace nerim
