#include "credentials/PairingURLHandler.h"

#include "credentials/Credentials.h"
#include "credentials/ManagedKeysProbe.h"
#include "credentials/PairingNotifier.h"
#include "foundation/Log.h"

#include <QCoreApplication>
#include <QPointer>
#include <QUrlQuery>
#include <QCoro/QCoroFuture>

namespace nerim {

namespace {

const QString missingTokenSentence = QStringLiteral("This pairing link is missing a token.");
const QString noTokenStoredReason = QStringLiteral("No session token stored \u2014 paste one first.");

} // namespace

PairingURLHandler::PairingURLHandler(QObject *parent)
    : QObject(parent)
{
}

PairingURLHandler &PairingURLHandler::shared()
{
    static PairingURLHandler *handler = new PairingURLHandler(QCoreApplication::instance());
    return *handler;
}

void PairingURLHandler::setBringToFront(std::function<void()> bringToFront) { m_bringToFront = std::move(bringToFront); }

QString PairingURLHandler::redactedForLog(const QUrl &url)
{
    return url.toString(QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo);
}

bool PairingURLHandler::handle(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("nerim")) {
        logLine(QStringLiteral("[PairingURLHandler] ignoring URL with foreign scheme: ") + redactedForLog(url));
        return false;
    }
    if (url.host().toLower() == QLatin1String("pair"))
        return handlePair(url);
    logLine(QStringLiteral("[PairingURLHandler] unknown action in URL: ") + redactedForLog(url));
    PairingNotifier::shared().postFailure(QStringLiteral("Nerim didn't recognize that link."));
    return false;
}

bool PairingURLHandler::handlePair(const QUrl &url)
{
    QString token;
    const QUrlQuery query(url);
    for (const auto &[name, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (name == QLatin1String("token")) {
            token = value.trimmed();
            break;
        }
    }
    // A token with a line break, a space, a control or a non-ASCII character
    // is no usable token: it would be sent inside request headers as it is.
    if (token.isEmpty() || !isAcceptableSessionToken(token)) {
        logLine(QStringLiteral("[PairingURLHandler] pair URL missing ?token="));
        PairingNotifier::shared().postFailure(missingTokenSentence);
        return false;
    }
    m_pending.push_back(token);
    if (!m_draining)
        drain();
    return true;
}

QCoro::Task<> PairingURLHandler::drain()
{
    QPointer<PairingURLHandler> self(this);
    m_draining = true;
    while (!m_pending.empty()) {
        const QString token = m_pending.front();
        m_pending.pop_front();
        co_await processLink(token);
        if (!self)
            co_return;
    }
    m_draining = false;
    emit idle();
}

QCoro::Task<> PairingURLHandler::processLink(QString token)
{
    // Only coming to the front depends on the handler: once the token is
    // written, verifying it and putting the previous one back run to the end.
    QPointer<PairingURLHandler> self(this);
    const auto bringToFront = [&self] {
        if (self)
            self->bringAppToFront();
    };
    const quint64 signOutsBefore = managedKeysSignOutCount();
    const auto signedOutMeanwhile = [signOutsBefore] { return managedKeysSignOutCount() != signOutsBefore; };
    try {
        // A keyring that cannot be read says nothing about the stored token:
        // writing now could replace (and a failed probe then delete) a working one.
        const SessionTokenLookup previous = co_await lookUpSessionTokenAsync();
        if (previous.failed) {
            PairingNotifier::shared().postFailure(
                QStringLiteral("Nerim couldn't read the system keyring, so the pairing link was not used (") + previous.error
                + QStringLiteral(")."));
            co_return;
        }
        if (previous.token == token) {
            logLine(QStringLiteral("[PairingURLHandler] duplicate pair click \u2014 token already stored"));
            PairingNotifier::shared().postPaired(std::nullopt);
            bringToFront();
            co_return;
        }

        if (co_await storeSessionTokenAsync(token) != KeyringChange::done) {
            PairingNotifier::shared().postFailure(QStringLiteral("Nerim couldn't save your session token to the system keyring."));
            co_return;
        }
        bringToFront();

        ManagedKeysProbe::Outcome outcome = ManagedKeysProbe::Outcome::failure(noTokenStoredReason);
        const SessionTokenLookup readBack = co_await lookUpSessionTokenAsync();
        if (readBack.token && !signedOutMeanwhile())
            outcome = co_await ManagedKeysProbe::probe(token);
        // A sign-out while verifying voids the link: nothing is announced or restored.
        if (signedOutMeanwhile()) {
            logLine(QStringLiteral("[PairingURLHandler] signed out during verification \u2014 pairing result discarded"));
            co_return;
        }
        if (outcome.isSuccess()) {
            PairingNotifier::shared().postPaired(outcome.balance());
            co_return;
        }

        // Put back what was stored before this link while the keyring still
        // holds the link's token (or never showed it after the write, or
        // cannot be read now); a token stored or signed out elsewhere in the
        // meantime stays as it is.
        QString message = outcome.message();
        const SessionTokenLookup current = co_await lookUpSessionTokenAsync();
        if (current.failed || current.token == token || (!current.token && !readBack.token)) {
            if (previous.token) {
                const KeyringChange restored = co_await storeSessionTokenAsync(*previous.token);
                if (restored == KeyringChange::notDone)
                    message += QStringLiteral("\nYour previous session token could not be put back into the system keyring.");
                else if (restored == KeyringChange::unknown)
                    message += QStringLiteral(
                        "\nNerim couldn't tell whether your previous session token was put back into the system keyring.");
            } else if (current.token || current.failed) {
                const KeyringChange removed = co_await removeSessionTokenAsync();
                if (removed == KeyringChange::notDone)
                    message += QStringLiteral("\nThe rejected token could not be removed from the system keyring.");
                else if (removed == KeyringChange::unknown)
                    message += QStringLiteral(
                        "\nNerim couldn't tell whether the rejected token was removed from the system keyring.");
            }
        }
        PairingNotifier::shared().postFailure(QStringLiteral("Nerim couldn't verify that pairing link: ") + message);
    } catch (const std::exception &error) {
        logLine(QStringLiteral("[PairingURLHandler] pairing stopped: ") + QString::fromUtf8(error.what()));
    }
}

void PairingURLHandler::bringAppToFront()
{
    if (m_bringToFront)
        m_bringToFront();
}

} // namespace nerim
