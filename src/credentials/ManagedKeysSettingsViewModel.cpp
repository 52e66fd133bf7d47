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
    const quint64 ticket = issueModeRead();
    QFuture<CredentialMode> reading = credentialModeAsync();
    const CredentialMode mode = co_await reading;
    if (!self)
        co_return std::nullopt;
    applyModeRead(ticket, mode.kind());
    co_return mode;
}

void ManagedKeysSettingsViewModel::applyModeRead(quint64 ticket, CredentialMode::Kind mode)
{
    if (ticket <= m_modeReadApplied)
        return;
    m_modeReadApplied = ticket;
    setMode(mode);
}

void ManagedKeysSettingsViewModel::setMode(CredentialMode::Kind mode)
{
    if (m_mode == mode)
        return;
    m_mode = mode;
    emit changed();
}

QString ManagedKeysSettingsViewModel::title() { return QStringLiteral("Nerim Account"); }

QString ManagedKeysSettingsViewModel::modeName() const
{
    if (!m_mode)
        return QStringLiteral("Checking\u2026");
    switch (*m_mode) {
    case CredentialMode::Kind::managed: return QStringLiteral("Managed by Nerim");
    case CredentialMode::Kind::byok: return QStringLiteral("Bring your own key");
    case CredentialMode::Kind::none: return QStringLiteral("Not configured");
    }
    return QString();
}

QString ManagedKeysSettingsViewModel::modeLine() const { return QStringLiteral("Current mode: ") + modeName(); }

QString ManagedKeysSettingsViewModel::modeDescription() const
{
    if (!m_mode)
        return QString();
    switch (*m_mode) {
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
    if (!m_mode)
        return QString();
    switch (*m_mode) {
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
    const QString token = m_pastedToken.trimmed();
    if (token.isEmpty() || m_isVerifying)
        co_return;
    if (!isAcceptableSessionToken(token)) {
        // Never stored: it would travel in request headers as it is.
        setLastResult(VerifyResult::failure(ManagedKeysProbe::rejectedMessage()));
        co_return;
    }
    setVerifying(true);
    co_await runSave(QPointer<ManagedKeysSettingsViewModel>(this), token);
}

QCoro::Task<> ManagedKeysSettingsViewModel::runSave(QPointer<ManagedKeysSettingsViewModel> view, QString token)
{
    // Nothing here may depend on the model but what is shown: once the token
    // is written, verifying it and putting the previous one back must finish
    // even when the settings window is closed meanwhile.
    const quint64 signOutsBefore = managedKeysSignOutCount();
    const auto signedOutMeanwhile = [signOutsBefore] { return managedKeysSignOutCount() != signOutsBefore; };
    const auto finish = [&view] {
        if (view)
            view->setVerifying(false);
    };
    const auto finishWith = [&view](const VerifyResult &result) {
        if (!view)
            return;
        view->setLastResult(result);
        view->setVerifying(false);
    };

    const SessionTokenLookup previous = co_await lookUpSessionTokenAsync();
    if (previous.failed) {
        finishWith(VerifyResult::failure(QStringLiteral("Nerim couldn't read the system keyring, so nothing was changed. "
                                                        "Unlock the keyring and try again. (")
                                         + previous.error + QLatin1Char(')')));
        co_return;
    }
    if (signedOutMeanwhile()) {
        finish();
        co_return;
    }
    const KeyringChange written = co_await storeSessionTokenAsync(token);
    if (written == KeyringChange::notDone) {
        finishWith(VerifyResult::failure(
            QStringLiteral("The system keyring refused the write. Check the system journal for the keyring's status.")));
        co_return;
    }
    if (written == KeyringChange::unknown) {
        finishWith(VerifyResult::failure(QStringLiteral("The system keyring did not answer in time, so Nerim can't tell "
                                                        "whether your session token was saved. Unlock the keyring and "
                                                        "try again.")));
        if (view)
            view->bumpRefreshTick();
        co_return;
    }
    if (view)
        view->bumpRefreshTick();

    quint64 ticket = view ? view->issueModeRead() : 0;
    const CredentialMode now = co_await credentialModeAsync();
    if (view)
        view->applyModeRead(ticket, now.kind());
    ManagedKeysProbe::Outcome outcome =
        ManagedKeysProbe::Outcome::failure(QStringLiteral("No session token stored \u2014 paste one first."));
    if (now.isManaged() && !signedOutMeanwhile())
        outcome = co_await ManagedKeysProbe::probe(now.secret());
    // A sign-out while verifying voids the save: no result, nothing restored.
    if (signedOutMeanwhile()) {
        finish();
        co_return;
    }

    if (outcome.isSuccess()) {
        if (view)
            view->setPastedToken(QString());
        finishWith(VerifyResult::success(outcome.balance()));
        co_return;
    }

    // Put the previous credential back: the previous token by one replace, or
    // no item when there was none.
    QString message = outcome.message();
    if (previous.token) {
        const KeyringChange restored = co_await storeSessionTokenAsync(*previous.token);
        if (restored == KeyringChange::notDone)
            message += QStringLiteral("\nYour previous session token could not be put back into the system keyring.");
        else if (restored == KeyringChange::unknown)
            message += QStringLiteral("\nNerim couldn't tell whether your previous session token was put back into the system keyring.");
    } else {
        const KeyringChange removed = co_await removeSessionTokenAsync();
        if (removed == KeyringChange::notDone)
            message += QStringLiteral("\nThe rejected token could not be removed from the system keyring.");
        else if (removed == KeyringChange::unknown)
            message += QStringLiteral("\nNerim couldn't tell whether the rejected token was removed from the system keyring.");
    }
    if (!view)
        co_return;
    if (signedOutMeanwhile()) {
        finish();
        co_return;
    }
    view->setLastResult(VerifyResult::failure(message));
    view->bumpRefreshTick();
    ticket = view->issueModeRead();
    const CredentialMode after = co_await credentialModeAsync();
    if (view)
        view->applyModeRead(ticket, after.kind());
    finish();
}

void ManagedKeysSettingsViewModel::cancelEditing()
{
    setPastedToken(QString());
    setLastResult(VerifyResult::idle());
}

QCoro::Task<> ManagedKeysSettingsViewModel::signOut()
{
    QPointer<ManagedKeysSettingsViewModel> self(this);
    const KeyringChange removed = co_await signOutOfManagedKeysAsync();
    if (!self)
        co_return;
    if (removed == KeyringChange::done)
        setLastResult(VerifyResult::idle());
    else if (removed == KeyringChange::notDone)
        setLastResult(VerifyResult::failure(QStringLiteral(
            "The system keyring did not remove your session token. Check the system journal for the keyring's status.")));
    else
        setLastResult(VerifyResult::failure(QStringLiteral(
            "The system keyring did not answer in time, so Nerim can't tell whether your session token was removed.")));
    setPastedToken(QString());
    bumpRefreshTick();
    QCoro::Task<std::optional<CredentialMode>> reading = readAndApplyMode();
    co_await std::move(reading);
}

} // namespace nerim
