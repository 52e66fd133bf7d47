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

// True when `token` can be a session token: one or more characters, all
// printable ASCII without spaces (0x21 to 0x7E). Anything else (a line break,
// a space, a control or non-ASCII character) would reach request headers and
// the agents' environment as it is, so it is never stored or sent.
bool isAcceptableSessionToken(const QString &token);

// A keyring read that tells "no token" apart from "the keyring could not be
// read" (a locked collection whose unlock prompt outlasts the time limit, no
// keyring at all). Callers that change the item act only on a read that
// worked: a failed read says nothing about what is stored.
struct SessionTokenLookup {
    std::optional<QString> token; // as readSessionToken gives it; nothing when failed
    bool failed = false;
    QString error; // why the read failed, fit to show (never the secret)
};
SessionTokenLookup lookUpSessionToken();

// The stored token, trimmed; nothing when there is none, it is empty, not
// UTF-8 or not an acceptable token, or the keyring cannot be read (logged,
// without the token).
std::optional<QString> readSessionToken();
// Stores the token trimmed of whitespace and newlines, replacing a stored
// one. False for a blank or unacceptable token (nothing stored) or a keyring
// failure (logged).
bool writeSessionToken(const QString &token);
// Removes the stored token; true also when there was none.
bool clearSessionToken();

// What a write or a clear did to the item, as far as can be told. A keyring
// call abandoned at its time limit may still be carried out by the keyring,
// so after a failed call the item is read back before the answer is given:
// `done` when it now holds what was asked for, `notDone` when it does not,
// `unknown` when it cannot be read either.
enum class KeyringChange { done, notDone, unknown };
KeyringChange storeSessionToken(const QString &token);
KeyringChange removeSessionToken();

// Signing out of managed keys: removes the token like removeSessionToken and
// voids every verification pending at the moment of the call (settings tab
// and pairing links compare managedKeysSignOutCount() before and after their
// probe and then neither report nor restore anything).
quint64 managedKeysSignOutCount();

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
QFuture<SessionTokenLookup> lookUpSessionTokenAsync();
QFuture<bool> clearSessionTokenAsync();
QFuture<KeyringChange> storeSessionTokenAsync(const QString &token);
QFuture<KeyringChange> removeSessionTokenAsync();
// Counts the sign-out at once (on the calling thread), then removes the token.
QFuture<KeyringChange> signOutOfManagedKeysAsync();
QFuture<CredentialMode> credentialModeAsync();
QFuture<std::optional<HttpRequest>> anthropicMessagesRequestAsync(double timeoutSeconds);

// True when `url` is an absolute http(s) URL with a host.
bool isUsableHttpUrl(const QUrl &url);

} // namespace nerim
