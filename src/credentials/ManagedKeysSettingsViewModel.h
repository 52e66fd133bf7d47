#pragma once

#include "credentials/CredentialMode.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <optional>
#include <QCoro/QCoroTask>

namespace nerim {

// The state and actions of the settings window's "Nerim Account" tab: which
// credential mode is in force, pasting a managed-keys session token and
// verifying it in one step ("Save & Verify"), the verified balance or the
// reason for failure, and signing out of managed keys. The widget only shows
// what this model says. GUI thread only; keyring calls run off it.
class ManagedKeysSettingsViewModel : public QObject {
    Q_OBJECT
public:
    class VerifyResult {
    public:
        enum class Kind { success, failure, idle };

        static VerifyResult success(qint64 balance) { return VerifyResult(Kind::success, balance, QString()); }
        static VerifyResult failure(QString message) { return VerifyResult(Kind::failure, 0, std::move(message)); }
        static VerifyResult idle() { return VerifyResult(Kind::idle, 0, QString()); }

        Kind kind() const { return m_kind; }
        qint64 balance() const { return m_balance; }
        const QString &message() const { return m_message; }

        friend bool operator==(const VerifyResult &, const VerifyResult &) = default;

    private:
        VerifyResult(Kind kind, qint64 balance, QString message)
            : m_kind(kind)
            , m_balance(balance)
            , m_message(std::move(message))
        {
        }

        Kind m_kind;
        qint64 m_balance;
        QString m_message;
    };

    explicit ManagedKeysSettingsViewModel(QObject *parent = nullptr);

    // --- state --------------------------------------------------------------
    const QString &pastedToken() const { return m_pastedToken; }
    void setPastedToken(const QString &token);
    bool isVerifying() const { return m_isVerifying; }
    const VerifyResult &lastResult() const { return m_lastResult; }
    // Raised after every change of the keyring item made here.
    int refreshTick() const { return m_refreshTick; }
    // The credential mode as last read from the keyring and the key cache;
    // nothing until the first read has returned (it may wait on the keyring).
    std::optional<CredentialMode::Kind> mode() const { return m_mode; }

    // --- what the tab shows -------------------------------------------------
    static QString title();     // "Nerim Account"
    // "Managed by Nerim", "Bring your own key", "Not configured", or
    // "Checking…" while the mode is not known yet.
    QString modeName() const;
    QString modeLine() const;   // "Current mode: " + modeName()
    QString modeDescription() const; // empty while the mode is not known
    QString sectionHeading() const; // empty when the mode has none
    QString tokenPlaceholder() const;
    bool showsSignOut() const { return m_mode == CredentialMode::Kind::managed; }
    static QString signOutText();
    bool canEditToken() const { return !m_isVerifying; }
    bool canSave() const;
    bool canCancel() const { return !m_isVerifying; }
    QString saveButtonText() const; // "Save & Verify", "Verifying…" while verifying
    static QString cancelText();
    bool showsResult() const { return m_lastResult.kind() != VerifyResult::Kind::idle; }
    QString resultTitle() const;     // the success line or the failure message
    QString resultDetail() const;    // "Current balance: 12,345 credits" on success, else empty
    static QString helpHeading();
    static QString helpText();

    // --- actions ------------------------------------------------------------
    // Stores the trimmed pasted token, verifies it with the usage probe and on
    // failure puts the previous credential back. A token that is not printable
    // ASCII is refused before the keyring is asked; a keyring that cannot be
    // read stops the save before anything is written. Once the token is
    // written the save runs to its end (restore included) even when the model
    // goes away meanwhile; a sign-out meanwhile voids it.
    QCoro::Task<> saveAndVerify();
    void cancelEditing();
    // Removes the token and voids a save that is still verifying.
    QCoro::Task<> signOut();
    // Reads the credential mode afresh (when the window is shown, after changes).
    QCoro::Task<> refreshMode();

signals:
    void changed();

private:
    void setVerifying(bool verifying);
    void setLastResult(VerifyResult result);
    void bumpRefreshTick();
    void setMode(CredentialMode::Kind mode);
    // Reads the credential mode off the GUI thread and shows it unless a later
    // read has already been shown; nothing when the model went away meanwhile.
    QCoro::Task<std::optional<CredentialMode>> readAndApplyMode();
    // Mode reads are numbered when issued; an answer is shown only when no
    // later one has been shown already.
    quint64 issueModeRead() { return ++m_modeReadsIssued; }
    void applyModeRead(quint64 ticket, CredentialMode::Kind mode);
    // The save itself; `view` only receives what is shown.
    static QCoro::Task<> runSave(QPointer<ManagedKeysSettingsViewModel> view, QString token);

    QString m_pastedToken;
    bool m_isVerifying = false;
    VerifyResult m_lastResult = VerifyResult::idle();
    int m_refreshTick = 0;
    std::optional<CredentialMode::Kind> m_mode;
    quint64 m_modeReadsIssued = 0;
    quint64 m_modeReadApplied = 0;
};

} // namespace nerim
