#include "credentials/ManagedKeysSettingsViewModel.h"

#include "credentials/Credentials.h"
#include "credentials/ManagedKeysProbe.h"

#include <QLocale>
#include <QPointer>
#include <QUrl>
#include <QCoro/QCoroFuture>

namespace nerim {

namespace {

QString hostOf(const QString &url) { return QUrl(url).host(); }

} // namespace

ManagedKeysSettingsViewModel::ManagedKeysSettingsViewModel(QObject *parent)
    : QObject(parent)
{
}

void ManagedKeysSettingsViewModel::setPastedToken(const QString &token)
{
    if (token == m_pastedToken)
        return;
    m_pastedToken = token;
    emit changed();
}

void ManagedKeysSettingsViewModel::setVerifying(bool verifying)
{
    if (verifying == m_isVerifying)
        return;
    m_isVerifying = verifying;
    emit changed();
}

void ManagedKeysSettingsViewModel::setLastResult(VerifyResult result)
{
    if (result == m_lastResult)
        return;
    m_lastResult = std::move(result);
    emit changed();
}

void ManagedKeysSettingsViewModel::bumpRefreshTick()
{
    ++m_refreshTick;
    emit changed();
}

QCoro::Task<std::optional<CredentialMode>> ManagedKeysSettingsViewModel::readAndApplyMode()
{
    // Reads are served in order by the keyring executor, but a read that was
    // already finished resumes its caller at once while an earlier one may
    // still be waiting for the event loop: apply a result only when no later
    // read has been applied, so an old answer never overwrites a newer one.
    QPointer<ManagedKeysSettingsViewModel> self(this);
    const quint64 ticket = ++m_modeReadsIssued;
    QFuture<CredentialMode> reading = credentialModeAsync();
    const CredentialMode mode = co_await reading;
    if (!self)
        co_return std::nullopt;
    if (ticket > m_modeReadApplied) {
        m_modeReadApplied = ticket;
        setMode(mode.kind());
    }
    co_return mode;
}

void ManagedKeysSettingsViewModel::setMode(CredentialMode::Kind mode)
{
    if (mode == m_mode)
        return;
    m_mode = mode;
    emit changed();
}

QString ManagedKeysSettingsViewModel::title() { return QStringLiteral("Nerim Account"); }

QString ManagedKeysSettingsViewModel::modeName() const
{
    switch (m_mode) {
    case CredentialMode::Kind::managed: return QStringLiteral("Managed by Nerim");
    case CredentialMode::Kind::byok: return QStringLiteral("Bring your own key");
    case CredentialMode::Kind::none: return QStringLiteral("Not configured");
    }
    return QString();
}

QString ManagedKeysSettingsViewModel::modeLine() const { return QStringLiteral("Current mode: ") + modeName(); }

QString ManagedKeysSettingsViewModel::modeDescription() const
{
    switch (m_mode) {
    case CredentialMode::Kind::managed:
        return QStringLiteral("Managed by Nerim is active. Every Anthropic call routes through ")
            + hostOf(builtInManagedKeysProxyBase()) + QStringLiteral(" using your session token.");
    case CredentialMode::Kind::byok:
        return QStringLiteral("Bring your own key is active. Every Anthropic call goes directly to ")
            + QStringLiteral("api.anthropic.com") + QStringLiteral(" using the key in your api-keys.json file.");
    case CredentialMode::Kind::none:
        return QStringLiteral("Nerim has no credentials configured. Paste a session token below to enable managed keys, "
                              "or configure a BYOK key in api-keys.json.");
    }
    return QString();
}

QString ManagedKeysSettingsViewModel::sectionHeading() const
{
    switch (m_mode) {
    case CredentialMode::Kind::managed: return QStringLiteral("Replace session token");
    case CredentialMode::Kind::byok: return QStringLiteral("Switch to managed keys");
    case CredentialMode::Kind::none: return QString();
    }
    return QString();
}

QString ManagedKeysSettingsViewModel::tokenPlaceholder() const
{
    return m_mode == CredentialMode::Kind::managed ? QStringLiteral("Paste a fresh Nerim session token")
                                                   : QStringLiteral("Paste your Nerim session token");
}

QString ManagedKeysSettingsViewModel::signOutText() { return QStringLiteral("Sign out of managed keys"); }

bool ManagedKeysSettingsViewModel::canSave() const { return !m_isVerifying && !m_pastedToken.trimmed().isEmpty(); }

QString ManagedKeysSettingsViewModel::saveButtonText() const
{
    return m_isVerifying ? QStringLiteral("Verifying\u2026") : QStringLiteral("Save & Verify");
}

QString ManagedKeysSettingsViewModel::cancelText() { return QStringLiteral("Cancel"); }

QString ManagedKeysSettingsViewModel::resultTitle() const
{
    switch (m_lastResult.kind()) {
    case VerifyResult::Kind::success: return QStringLiteral("Session verified. Managed keys are active.");
    case VerifyResult::Kind::failure: return m_lastResult.message();
    case VerifyResult::Kind::idle: return QString();
    }
    return QString();
}

QString ManagedKeysSettingsViewModel::resultDetail() const
{
    if (m_lastResult.kind() != VerifyResult::Kind::success)
        return QString();
    return QStringLiteral("Current balance: ") + QLocale().toString(qlonglong(m_lastResult.balance()))
        + QStringLiteral(" credits");
}

QString ManagedKeysSettingsViewModel::helpHeading() { return QStringLiteral("Not seeing what you expect?"); }

QString ManagedKeysSettingsViewModel::helpText()
{
    return QStringLiteral("Session tokens are provisioned by Kest. If you need one \u2014 or yours has stopped working \u2014 "
                          "reply to your billing email and he'll issue a fresh token within a business day.");
}

QCoro::Task<> ManagedKeysSettingsViewModel::refreshMode()
{
    QCoro::Task<std::optional<CredentialMode>> reading = readAndApplyMode();
    co_await std::move(reading);
}

QCoro::Task<> ManagedKeysSettingsViewModel::saveAndVerify()
{
    QPointer<ManagedKeysSettingsViewModel> self(this);
    const QString token = m_pastedToken.trimmed();
    if (token.isEmpty() || m_isVerifying)
        co_return;
    setVerifying(true);

    const CredentialMode previous = co_await credentialModeAsync();
    if (!self)
        co_return;
    const bool written = co_await writeSessionTokenAsync(token);
    if (!self)
        co_return;
    if (!written) {
        setLastResult(VerifyResult::failure(
            QStringLiteral("The system keyring refused the write. Check the system journal for the keyring's status.")));
        setVerifying(false);
        co_return;
    }
    bumpRefreshTick();

    QCoro::Task<std::optional<CredentialMode>> reading = readAndApplyMode();
    const std::optional<CredentialMode> current = co_await std::move(reading);
    if (!current)
        co_return;
    const CredentialMode &now = *current;
    ManagedKeysProbe::Outcome outcome =
        ManagedKeysProbe::Outcome::failure(QStringLiteral("No session token stored \u2014 paste one first."));
    if (now.isManaged())
        outcome = co_await ManagedKeysProbe::probe(now.secret());
    if (!self)
        co_return;

    if (outcome.isSuccess()) {
        setLastResult(VerifyResult::success(outcome.balance()));
        setPastedToken(QString());
    } else {
        // Put the previous credential back: the previous token by one
        // replace, or no item when there was none.
        QString message = outcome.message();
        if (previous.isManaged()) {
            if (!co_await writeSessionTokenAsync(previous.secret()))
                message += QStringLiteral("\nYour previous session token could not be put back into the system keyring.");
        } else if (!co_await clearSessionTokenAsync()) {
            message += QStringLiteral("\nThe rejected token could not be removed from the system keyring.");
        }
        if (!self)
            co_return;
        setLastResult(VerifyResult::failure(message));
        bumpRefreshTick();
        QCoro::Task<std::optional<CredentialMode>> reading = readAndApplyMode();
        if (!co_await std::move(reading))
            co_return;
    }
    setVerifying(false);
}

void ManagedKeysSettingsViewModel::cancelEditing()
{
    setPastedToken(QString());
    setLastResult(VerifyResult::idle());
}

QCoro::Task<> ManagedKeysSettingsViewModel::signOut()
{
    QPointer<ManagedKeysSettingsViewModel> self(this);
    co_await clearSessionTokenAsync();
    if (!self)
        co_return;
    setLastResult(VerifyResult::idle());
    setPastedToken(QString());
    bumpRefreshTick();
    QCoro::Task<std::optional<CredentialMode>> reading = readAndApplyMode();
    co_await std::move(reading);
}

} // namespace nerim
