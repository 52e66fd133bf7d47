#include "credentials/Credentials.h"

#include "credentials/CredentialTestSeams.h"
#include "foundation/Log.h"
#include "foundation/SerialExecutor.h"
#include "persistence/IntentProcessorConstants.h"

#include <QMutex>
#include <QSet>
#include <QStringDecoder>
#include <algorithm>
#include <atomic>

namespace nerim {

namespace {

struct Seams {
    QMutex mutex;
    std::shared_ptr<platform::SecretStore> store;
    std::optional<QString> cachedKey;
    QString publicBase;
};

Seams &seams()
{
    static Seams instance;
    return instance;
}

std::shared_ptr<platform::SecretStore> store()
{
    QMutexLocker lock(&seams().mutex);
    return seams().store ? seams().store : platform::SecretStore::system();
}

QString cachedAnthropicKey()
{
    {
        QMutexLocker lock(&seams().mutex);
        if (seams().cachedKey)
            return *seams().cachedKey;
    }
    return IntentProcessorConstants::cachedKeys().anthropicKey;
}

QString publicAnthropicBase()
{
    QMutexLocker lock(&seams().mutex);
    return seams().publicBase.isEmpty() ? QStringLiteral("https://api.anthropic.com") : seams().publicBase;
}

QString describe(platform::SecretStore::Status status, const QString &detail)
{
    QString text = platform::SecretStore::statusName(status);
    if (!detail.isEmpty())
        text += QStringLiteral(" (") + detail + QLatin1Char(')');
    return text;
}

const QString sessionTokenLabel = QStringLiteral("Nerim session token");

// A keyring that cannot be reached (no session bus, no keyring running) fails
// every call in the same way, and the token is read at every use: each kind
// of failure is logged once, until the keyring answers again.
class KeyringFailureLog {
public:
    void failed(const QString &line)
    {
        QMutexLocker lock(&m_mutex);
        if (m_said.contains(line))
            return;
        m_said.insert(line);
        logLine(line);
    }
    // The keyring answered (or another one took its place): failures are news again.
    void reset()
    {
        QMutexLocker lock(&m_mutex);
        m_said.clear();
    }

private:
    QMutex m_mutex;
    QSet<QString> m_said;
};

KeyringFailureLog &keyringFailures()
{
    static KeyringFailureLog log;
    return log;
}

} // namespace

namespace credentials_testing {

void setSecretStore(std::shared_ptr<platform::SecretStore> store)
{
    {
        QMutexLocker lock(&seams().mutex);
        seams().store = std::move(store);
    }
    keyringFailures().reset();
}

std::shared_ptr<platform::SecretStore> secretStore() { return store(); }

void setCachedAnthropicKey(std::optional<QString> key)
{
    QMutexLocker lock(&seams().mutex);
    seams().cachedKey = std::move(key);
}

void setPublicAnthropicBase(const QString &base)
{
    QMutexLocker lock(&seams().mutex);
    seams().publicBase = base;
}

} // namespace credentials_testing

bool isAcceptableSessionToken(const QString &token)
{
    return !token.isEmpty()
        && std::all_of(token.begin(), token.end(), [](QChar c) { return c.unicode() >= 0x21 && c.unicode() <= 0x7E; });
}

SessionTokenLookup lookUpSessionToken()
{
    using Status = platform::SecretStore::Status;
    const auto outcome = store()->read(sessionTokenService, sessionTokenAccount);
    if (outcome.status == Status::success || outcome.status == Status::itemNotFound)
        keyringFailures().reset();
    if (outcome.status == Status::itemNotFound)
        return {};
    if (outcome.status != Status::success) {
        keyringFailures().failed(QStringLiteral("[Nerim] system keyring read returned status %1")
                                     .arg(describe(outcome.status, outcome.detail)));
        return SessionTokenLookup{std::nullopt, true,
                                  outcome.detail.isEmpty() ? platform::SecretStore::statusName(outcome.status) : outcome.detail};
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(outcome.secret);
    if (decoder.hasError())
        return {};
    const QString token = text.trimmed();
    if (token.isEmpty())
        return {};
    if (!isAcceptableSessionToken(token)) {
        logLine(QStringLiteral("[Nerim] the stored session token holds characters a token cannot have; it is not used"));
        return {};
    }
    return SessionTokenLookup{token, false, QString()};
}

std::optional<QString> readSessionToken() { return lookUpSessionToken().token; }

bool writeSessionToken(const QString &token)
{
    using Status = platform::SecretStore::Status;
    const QString trimmed = token.trimmed();
    if (trimmed.isEmpty())
        return false;
    if (!isAcceptableSessionToken(trimmed)) {
        logLine(QStringLiteral("[Nerim] session token not stored: it holds characters a token cannot have"));
        return false;
    }
    const QByteArray bytes = trimmed.toUtf8();
    auto keyring = store();
    auto outcome = keyring->add(sessionTokenService, sessionTokenAccount, bytes, sessionTokenLabel);
    if (outcome.status == Status::duplicateItem)
        outcome = keyring->update(sessionTokenService, sessionTokenAccount, bytes);
    if (outcome.status == Status::success) {
        keyringFailures().reset();
        return true;
    }
    keyringFailures().failed(
        QStringLiteral("[Nerim] system keyring write returned status %1").arg(describe(outcome.status, outcome.detail)));
    return false;
}

bool clearSessionToken()
{
    using Status = platform::SecretStore::Status;
    const auto outcome = store()->remove(sessionTokenService, sessionTokenAccount);
    if (outcome.status == Status::success || outcome.status == Status::itemNotFound) {
        keyringFailures().reset();
        return true;
    }
    keyringFailures().failed(
        QStringLiteral("[Nerim] system keyring clear returned status %1").arg(describe(outcome.status, outcome.detail)));
    return false;
}

KeyringChange storeSessionToken(const QString &token)
{
    if (writeSessionToken(token))
        return KeyringChange::done;
    const QString trimmed = token.trimmed();
    if (!isAcceptableSessionToken(trimmed))
        return KeyringChange::notDone; // refused before the keyring was asked
    const SessionTokenLookup now = lookUpSessionToken();
    if (now.failed)
        return KeyringChange::unknown;
    return now.token == trimmed ? KeyringChange::done : KeyringChange::notDone;
}

KeyringChange removeSessionToken()
{
    if (clearSessionToken())
        return KeyringChange::done;
    const SessionTokenLookup now = lookUpSessionToken();
    if (now.failed)
        return KeyringChange::unknown;
    return now.token ? KeyringChange::notDone : KeyringChange::done;
}

CredentialMode credentialMode()
{
    if (auto token = readSessionToken())
        return CredentialMode::managed(*token);
    const QString key = cachedAnthropicKey();
    if (IntentProcessorConstants::isUsableKey(key))
        return CredentialMode::byok(key);
    return CredentialMode::none();
}

bool hasOwnAnthropicKey() { return IntentProcessorConstants::isUsableKey(cachedAnthropicKey()); }

QString builtInManagedKeysProxyBase() { return QStringLiteral("https://keys.nerim.app"); }

QString managedKeysProxyBase()
{
    if (qEnvironmentVariableIsSet("NERIM_PROXY_BASE"))
        return qEnvironmentVariable("NERIM_PROXY_BASE");
    return builtInManagedKeysProxyBase();
}

QUrl anthropicPublicMessagesUrl() { return QUrl(publicAnthropicBase() + QStringLiteral("/v1/messages")); }

bool isUsableHttpUrl(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https"))
        && !url.host().isEmpty();
}

std::optional<HttpRequest> anthropicMessagesRequest(double timeoutSeconds)
{
    QUrl url;
    QByteArray authHeader;
    QByteArray authValue;
    if (auto token = readSessionToken()) {
        url = QUrl(managedKeysProxyBase() + QStringLiteral("/v1/messages"), QUrl::StrictMode);
        if (!isUsableHttpUrl(url)) {
            logLine(QStringLiteral("[Nerim] NERIM_PROXY_BASE does not form an http(s) URL; no Messages request built"));
            return std::nullopt;
        }
        authHeader = "Authorization";
        authValue = "Bearer " + token->toUtf8();
    } else {
        const QString key = cachedAnthropicKey();
        if (!IntentProcessorConstants::isUsableKey(key))
            return std::nullopt;
        url = anthropicPublicMessagesUrl();
        authHeader = "x-api-key";
        authValue = key.toUtf8();
    }
    HttpRequest request;
    request.url = url;
    // HttpClient follows no redirect to another origin, so the credential
    // travels only to the origin it was meant for.
    request.setRawHeader("Content-Type", "application/json");
    request.setRawHeader("anthropic-version", "2023-06-01");
    request.setRawHeader(authHeader, authValue);
    request.method = "POST";
    request.timeoutSeconds = timeoutSeconds;
    return request;
}

QHash<QString, QString> managedKeysEnvironment()
{
    const CredentialMode mode = credentialMode();
    if (!mode.isManaged())
        return {};
    return {
        {QStringLiteral("ANTHROPIC_BASE_URL"), managedKeysProxyBase()},
        {QStringLiteral("ANTHROPIC_API_KEY"), mode.secret()},
        {QStringLiteral("ANTHROPIC_AUTH_TOKEN"), mode.secret()},
    };
}

namespace {

SerialExecutor &keyringExecutor()
{
    static SerialExecutor executor;
    return executor;
}

std::atomic<quint64> signOuts{0};

} // namespace

QFuture<SessionTokenLookup> lookUpSessionTokenAsync()
{
    return keyringExecutor().run([] { return lookUpSessionToken(); });
}

QFuture<KeyringChange> storeSessionTokenAsync(const QString &token)
{
    return keyringExecutor().run([token] { return storeSessionToken(token); });
}

QFuture<KeyringChange> removeSessionTokenAsync() { return keyringExecutor().run([] { return removeSessionToken(); }); }

quint64 managedKeysSignOutCount() { return signOuts.load(); }

QFuture<KeyringChange> signOutOfManagedKeysAsync()
{
    ++signOuts;
    return removeSessionTokenAsync();
}

QFuture<bool> clearSessionTokenAsync() { return keyringExecutor().run([] { return clearSessionToken(); }); }

QFuture<CredentialMode> credentialModeAsync() { return keyringExecutor().run([] { return credentialMode(); }); }

QFuture<std::optional<HttpRequest>> anthropicMessagesRequestAsync(double timeoutSeconds)
{
    return keyringExecutor().run([timeoutSeconds] { return anthropicMessagesRequest(timeoutSeconds); });
}

} // namespace nerim
