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
    if (token.isEmpty()) {
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
    QPointer<PairingURLHandler> self(this);
    try {
        const std::optional<QString> previous = co_await readSessionTokenAsync();
        if (!self)
            co_return;
        if (previous && *previous == token) {
            logLine(QStringLiteral("[PairingURLHandler] duplicate pair click \u2014 token already stored"));
            PairingNotifier::shared().postPaired(std::nullopt);
            bringAppToFront();
            co_return;
        }

        const bool written = co_await writeSessionTokenAsync(token);
        if (!self)
            co_return;
        if (!written) {
            PairingNotifier::shared().postFailure(QStringLiteral("Nerim couldn't save your session token to the system keyring."));
            co_return;
        }
        bringAppToFront();

        ManagedKeysProbe::Outcome outcome = ManagedKeysProbe::Outcome::failure(noTokenStoredReason);
        const std::optional<QString> readBack = co_await readSessionTokenAsync();
        if (!self)
            co_return;
        if (readBack)
            outcome = co_await ManagedKeysProbe::probe(token);
        if (!self)
            co_return;
        if (outcome.isSuccess()) {
            PairingNotifier::shared().postPaired(outcome.balance());
            co_return;
        }

        // Put back what was stored before this link while the keyring still
        // holds the link's token (or never showed it after the write); a token
        // stored or signed out elsewhere in the meantime stays as it is.
        const std::optional<QString> current = co_await readSessionTokenAsync();
        if (!self)
            co_return;
        if (current == token || (!current && !readBack)) {
            if (previous)
                co_await writeSessionTokenAsync(*previous);
            else if (current)
                co_await clearSessionTokenAsync();
            if (!self)
                co_return;
        }
        PairingNotifier::shared().postFailure(QStringLiteral("Nerim couldn't verify that pairing link: ") + outcome.message());
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
