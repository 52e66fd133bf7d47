#pragma once

#include "credentials/CredentialMode.h"
#include "credentials/HttpRequest.h"

#include <QFuture>
#include <QHash>
#include <QString>
#include <QUrl>
#include <optional>

// The credential helpers: the managed-keys session token in the system
// keyring, the rule that picks the credential of every Anthropic Messages
// call, the one builder of those requests, and the variables that hand the
// managed credential to the agent program.
//
// Nothing is cached here: the token is read from the keyring at every call, so
// a token stored, replaced or cleared takes effect at the next request. The
// own key comes from the process-wide key cache (read once per process).
// All functions are synchronous, stateless and callable from any thread; a
// keyring call returns within a few seconds at most.
namespace nerim {

// The keyring item holding the session token.
inline const QString sessionTokenService = QStringLiteral("app.nerim.managed-keys");
inline const QString sessionTokenAccount = QStringLiteral("session-token");

// The stored token, trimmed; nothing when there is none, it is empty or not
// UTF-8, or the keyring cannot be read (logged, without the token).
std::optional<QString> readSessionToken();
// Stores the token trimmed of whitespace and newlines, replacing a stored
// one. False for a blank token (nothing stored) or a keyring failure (logged).
bool writeSessionToken(const QString &token);
// Removes the stored token; true also when there was none.
bool clearSessionToken();

CredentialMode credentialMode();

// True when the cached own Anthropic key is usable (not empty, not a
// "REPLACE_WITH_" placeholder); the session token plays no part.
bool hasOwnAnthropicKey();

// The managed-keys proxy base: $NERIM_PROXY_BASE verbatim when the variable is
// set (even empty), else the built-in proxy origin. Resolved at every call.
QString managedKeysProxyBase();
// The built-in proxy origin and the public Messages endpoint (fixed texts,
// for the settings window's descriptions).
QString builtInManagedKeysProxyBase();
QUrl anthropicPublicMessagesUrl();

// A POST request for the Anthropic Messages API with the current credential
// ("Authorization: Bearer <token>" to the proxy, or "x-api-key" to the public
// endpoint), "Content-Type" and "anthropic-version" set and the given idle
// timeout; the caller sets the JSON body and sends it with HttpClient.
// Nothing when no credential is configured, or when the proxy base does not
// form an http(s) URL.
std::optional<HttpRequest> anthropicMessagesRequest(double timeoutSeconds);

// Laid over the environment of every agent child process: in managed mode
// ANTHROPIC_BASE_URL (the proxy base), ANTHROPIC_API_KEY and
// ANTHROPIC_AUTH_TOKEN (the token); empty otherwise (the own key is never
// handed to the agent program).
QHash<QString, QString> managedKeysEnvironment();

// The keyring calls above, run one at a time on a background thread so that
// the GUI thread never waits on the keyring; await the futures with co_await.
QFuture<std::optional<QString>> readSessionTokenAsync();
QFuture<bool> writeSessionTokenAsync(const QString &token);
QFuture<bool> clearSessionTokenAsync();
QFuture<CredentialMode> credentialModeAsync();
QFuture<std::optional<HttpRequest>> anthropicMessagesRequestAsync(double timeoutSeconds);

// True when `url` is an absolute http(s) URL with a host.
bool isUsableHttpUrl(const QUrl &url);

} // namespace nerim
