#include "CredentialsFixture.h"
#include "LoopbackHttpServer.h"
#include "TestAsync.h"
#include "credentials/HttpClient.h"
#include "TestEnvironment.h"
#include "credentials/Credentials.h"

#include <gtest/gtest.h>

using namespace nerim;
using nerim::test::CredentialsFixture;
using Status = platform::SecretStore::Status;

namespace {
class SessionToken : public CredentialsFixture {};
class MessagesRequest : public CredentialsFixture {};
} // namespace

TEST_F(SessionToken, WriteStoresTheTrimmedTokenAndReadReturnsIt)
{
    EXPECT_TRUE(writeSessionToken(QStringLiteral("  tok-1 \n")));
    EXPECT_EQ(keyring->token(), QByteArray("tok-1"));
    EXPECT_EQ(readSessionToken(), QStringLiteral("tok-1"));
}

TEST_F(SessionToken, BlankTokenStoresNothingAndKeepsTheStoredOne)
{
    keyring->setToken("kept");
    EXPECT_FALSE(writeSessionToken(QStringLiteral(" \t\n ")));
    EXPECT_EQ(keyring->token(), QByteArray("kept"));
    EXPECT_EQ(keyring->adds, 0);
}

TEST_F(SessionToken, SecondTokenReplacesTheFirstThroughAnUpdate)
{
    ASSERT_TRUE(writeSessionToken(QStringLiteral("first")));
    ASSERT_TRUE(writeSessionToken(QStringLiteral("second")));
    EXPECT_EQ(keyring->updates, 1);
    EXPECT_EQ(readSessionToken(), QStringLiteral("second"));
}

TEST_F(SessionToken, UnreadableItemsReadAsNoToken)
{
    for (const QByteArray &raw : {QByteArray("\xff\xfe\x80", 3), QByteArray(" \n\t"), QByteArray()}) {
        keyring->setToken(raw);
        EXPECT_EQ(readSessionToken(), std::nullopt) << raw.toHex().constData();
    }
    keyring->setToken(" padded\n");
    EXPECT_EQ(readSessionToken(), QStringLiteral("padded"));
}

TEST_F(SessionToken, OnlyPrintableAsciiWithoutSpacesIsAToken)
{
    keyring->setToken("kept");
    for (const QString &bad : {QStringLiteral("abc\r\nX-Injected: yes"), QStringLiteral("tok en"), QStringLiteral("t\u00f6k"),
                               QStringLiteral("tok\x01"), QStringLiteral("tok\x7f"), QStringLiteral("tok\u00a0en")}) {
        EXPECT_FALSE(isAcceptableSessionToken(bad)) << bad.toStdString();
        EXPECT_FALSE(writeSessionToken(bad)) << bad.toStdString();
    }
    EXPECT_EQ(keyring->adds + keyring->updates, 0);
    EXPECT_EQ(keyring->token(), QByteArray("kept"));
    EXPECT_TRUE(isAcceptableSessionToken(QStringLiteral("!azAZ09~._-+/=")));

    // A token of that kind already in the keyring is not used either: it
    // would add a header to every request and reach the agents' environment.
    keyring->setToken("abc\r\nX-Injected: yes");
    credentials_testing::setCachedAnthropicKey(QStringLiteral("sk-own"));
    EXPECT_EQ(readSessionToken(), std::nullopt);
    EXPECT_EQ(credentialMode().kind(), CredentialMode::Kind::byok);
    EXPECT_TRUE(managedKeysEnvironment().isEmpty());
    EXPECT_FALSE(anthropicMessagesRequest(3.0)->hasRawHeader("X-Injected"));
}

TEST_F(SessionToken, FailedReadIsToldApartFromNoToken)
{
    EXPECT_FALSE(lookUpSessionToken().failed);
    keyring->failRead = Status::serviceUnavailable;
    const SessionTokenLookup lookup = lookUpSessionToken();
    EXPECT_TRUE(lookup.failed);
    EXPECT_EQ(lookup.token, std::nullopt);
    EXPECT_EQ(lookup.error, QStringLiteral("scripted failure"));
}

TEST_F(SessionToken, FailedChangesAreJudgedByReadingTheItemBack)
{
    keyring->setToken("old");
    keyring->failWrite = Status::serviceUnavailable;
    EXPECT_EQ(storeSessionToken(QStringLiteral("new")), KeyringChange::notDone);
    keyring->failedWritesLand = true;
    EXPECT_EQ(storeSessionToken(QStringLiteral("new")), KeyringChange::done);
    keyring->failRead = Status::serviceUnavailable;
    EXPECT_EQ(storeSessionToken(QStringLiteral("newer")), KeyringChange::unknown);
    keyring->failRead.reset();

    keyring->failRemove = Status::serviceUnavailable;
    EXPECT_EQ(removeSessionToken(), KeyringChange::notDone);
    keyring->failedRemovesLand = true;
    EXPECT_EQ(removeSessionToken(), KeyringChange::done);
    EXPECT_EQ(keyring->token(), std::nullopt);
}

TEST_F(SessionToken, ClearSucceedsAlsoWithoutAnItemAndSilently)
{
    test::LogCapture log;
    EXPECT_TRUE(clearSessionToken());
    keyring->setToken("x");
    EXPECT_TRUE(clearSessionToken());
    EXPECT_EQ(keyring->token(), std::nullopt);
    EXPECT_TRUE(log.lines().isEmpty());
}

TEST_F(SessionToken, KeyringFailuresAreLoggedWithoutTheToken)
{
    test::LogCapture log;
    keyring->failWrite = Status::serviceUnavailable;
    EXPECT_FALSE(writeSessionToken(QStringLiteral("very-secret-token")));
    keyring->failRead = Status::failure;
    EXPECT_EQ(readSessionToken(), std::nullopt);
    keyring->failRemove = Status::serviceUnavailable;
    EXPECT_FALSE(clearSessionToken());

    const QStringList lines = log.lines();
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("[Nerim] system keyring write returned status serviceUnavailable")));
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("[Nerim] system keyring read returned status failure")));
    EXPECT_TRUE(lines[2].startsWith(QStringLiteral("[Nerim] system keyring clear returned status serviceUnavailable")));
    for (const auto &line : lines)
        EXPECT_FALSE(line.contains(QStringLiteral("very-secret-token")));
}

// Without a keyring to talk to, every use of the token fails the same way:
// the log says so once, and again only once the keyring has answered since.
TEST_F(SessionToken, AnUnreachableKeyringIsLoggedOnce)
{
    test::LogCapture log;
    keyring->failRead = Status::serviceUnavailable;
    for (int i = 0; i < 8; ++i)
        EXPECT_TRUE(lookUpSessionToken().failed);
    keyring->failWrite = Status::serviceUnavailable;
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(writeSessionToken(QStringLiteral("tok")));
    EXPECT_TRUE(lookUpSessionToken().failed);
    ASSERT_EQ(log.lines().size(), 2);
    EXPECT_TRUE(log.lines()[0].startsWith(QStringLiteral("[Nerim] system keyring read returned status serviceUnavailable")));
    EXPECT_TRUE(log.lines()[1].startsWith(QStringLiteral("[Nerim] system keyring write returned status serviceUnavailable")));

    // Another kind of failure is news.
    keyring->failRead = Status::failure;
    EXPECT_TRUE(lookUpSessionToken().failed);
    EXPECT_TRUE(lookUpSessionToken().failed);
    EXPECT_EQ(log.lines().size(), 3);

    // The keyring came back, then went away again: said once more.
    keyring->failRead.reset();
    EXPECT_FALSE(lookUpSessionToken().failed);
    keyring->failRead = Status::serviceUnavailable;
    EXPECT_TRUE(lookUpSessionToken().failed);
    EXPECT_TRUE(lookUpSessionToken().failed);
    EXPECT_EQ(log.lines().size(), 4);
}

TEST_F(SessionToken, MissingItemIsReadSilently)
{
    test::LogCapture log;
    EXPECT_EQ(readSessionToken(), std::nullopt);
    EXPECT_TRUE(log.lines().isEmpty());
}

TEST_F(MessagesRequest, ModeTable)
{
    struct Row {
        const char *name;
        std::optional<QByteArray> token;
        QString ownKey;
        CredentialMode::Kind kind;
    };
    const Row rows[] = {
        {"token and key: token wins", QByteArray("tok"), QStringLiteral("sk-own"), CredentialMode::Kind::managed},
        {"token only", QByteArray("tok"), QString(), CredentialMode::Kind::managed},
        {"key only", std::nullopt, QStringLiteral("sk-own"), CredentialMode::Kind::byok},
        {"placeholder key", std::nullopt, QStringLiteral("REPLACE_WITH_ANTHROPIC_API_KEY"), CredentialMode::Kind::none},
        {"other placeholder", std::nullopt, QStringLiteral("REPLACE_WITH_X"), CredentialMode::Kind::none},
        {"nothing", std::nullopt, QString(), CredentialMode::Kind::none},
        {"blank token item, key", QByteArray("  "), QStringLiteral("sk-own"), CredentialMode::Kind::byok},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        keyring->items.clear();
        if (row.token)
            keyring->setToken(*row.token);
        credentials_testing::setCachedAnthropicKey(row.ownKey);
        EXPECT_EQ(credentialMode().kind(), row.kind);
        EXPECT_EQ(anthropicMessagesRequest(3.0).has_value(), row.kind != CredentialMode::Kind::none);
        EXPECT_EQ(managedKeysEnvironment().isEmpty(), row.kind != CredentialMode::Kind::managed);
    }
}

TEST_F(MessagesRequest, ManagedGoesToTheProxyWithABearerTokenOnly)
{
    keyring->setToken("tok-9");
    credentials_testing::setCachedAnthropicKey(QStringLiteral("sk-own"));
    qputenv("NERIM_PROXY_BASE", "http://127.0.0.1:4567");
    const auto request = anthropicMessagesRequest(3.0);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->method, "POST");
    EXPECT_EQ(request->url.toString(), QStringLiteral("http://127.0.0.1:4567/v1/messages"));
    EXPECT_EQ(request->rawHeader("Authorization"), "Bearer tok-9");
    EXPECT_FALSE(request->hasRawHeader("x-api-key"));
    EXPECT_EQ(request->rawHeader("Content-Type"), "application/json");
    EXPECT_EQ(request->rawHeader("anthropic-version"), "2023-06-01");
    EXPECT_DOUBLE_EQ(request->timeoutSeconds, 3.0);
}

TEST_F(MessagesRequest, OwnKeyGoesToThePublicEndpointWithTheKeyHeaderOnly)
{
    credentials_testing::setCachedAnthropicKey(QStringLiteral("sk-own"));
    const auto request = anthropicMessagesRequest(60.0);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->url.toString(), QStringLiteral("https://api.anthropic.com/v1/messages"));
    EXPECT_EQ(request->rawHeader("x-api-key"), "sk-own");
    EXPECT_FALSE(request->hasRawHeader("Authorization"));
    EXPECT_DOUBLE_EQ(request->timeoutSeconds, 60.0);
}

TEST_F(MessagesRequest, ProxyBaseIsTakenVerbatim)
{
    keyring->setToken("tok");
    qputenv("NERIM_PROXY_BASE", "http://127.0.0.1:9/");
    EXPECT_EQ(anthropicMessagesRequest(3.0)->url.toString(), QStringLiteral("http://127.0.0.1:9//v1/messages"));
    EXPECT_EQ(managedKeysEnvironment().value(QStringLiteral("ANTHROPIC_BASE_URL")), QStringLiteral("http://127.0.0.1:9/"));

    qunsetenv("NERIM_PROXY_BASE");
    EXPECT_EQ(anthropicMessagesRequest(3.0)->url.toString(),
              builtInManagedKeysProxyBase() + QStringLiteral("/v1/messages"));
}

TEST_F(MessagesRequest, ProxyBaseThatFormsNoUrlBuildsNothing)
{
    keyring->setToken("tok");
    credentials_testing::setCachedAnthropicKey(QStringLiteral("sk-own"));
    for (const char *base : {"", "not a url", "ftp://example"}) {
        qputenv("NERIM_PROXY_BASE", base);
        EXPECT_FALSE(anthropicMessagesRequest(3.0)) << base;
    }
}

TEST_F(MessagesRequest, ManagedEnvironmentCarriesBaseAndToken)
{
    keyring->setToken("tok-env");
    qputenv("NERIM_PROXY_BASE", "http://proxy.test");
    const auto env = managedKeysEnvironment();
    EXPECT_EQ(env.size(), 3);
    EXPECT_EQ(env.value(QStringLiteral("ANTHROPIC_BASE_URL")), QStringLiteral("http://proxy.test"));
    EXPECT_EQ(env.value(QStringLiteral("ANTHROPIC_API_KEY")), QStringLiteral("tok-env"));
    EXPECT_EQ(env.value(QStringLiteral("ANTHROPIC_AUTH_TOKEN")), QStringLiteral("tok-env"));
}

TEST_F(MessagesRequest, TokenStoredAfterAnEarlierRequestTakesEffectAtTheNext)
{
    credentials_testing::setCachedAnthropicKey(QStringLiteral("sk-own"));
    EXPECT_TRUE(anthropicMessagesRequest(3.0)->hasRawHeader("x-api-key"));
    ASSERT_TRUE(writeSessionToken(QStringLiteral("fresh")));
    EXPECT_EQ(anthropicMessagesRequest(3.0)->rawHeader("Authorization"), "Bearer fresh");
    ASSERT_TRUE(clearSessionToken());
    EXPECT_TRUE(anthropicMessagesRequest(3.0)->hasRawHeader("x-api-key"));
}

TEST_F(MessagesRequest, CredentialStaysWithItsOriginAcrossRedirects)
{
    test::LoopbackHttpServer proxy;
    test::LoopbackHttpServer elsewhere;
    elsewhere.setDefaultReply(test::LoopbackHttpServer::Reply::json(200, "{}"));
    qputenv("NERIM_PROXY_BASE", proxy.baseUrl().toString().toUtf8());
    keyring->setToken("tok-secret");
    proxy.enqueue(test::LoopbackHttpServer::Reply::redirect(307, elsewhere.url("/v1/messages")));

    auto request = anthropicMessagesRequest(3.0);
    ASSERT_TRUE(request);
    request->body = "{}";
    const auto result = test::await(HttpClient::send(*request));
    ASSERT_TRUE(std::holds_alternative<HttpClient::TransportError>(result));
    EXPECT_EQ(std::get<HttpClient::TransportError>(result).kind, HttpClient::TransportError::Kind::redirectRefused);
    EXPECT_EQ(proxy.requestCount(), 1);
    EXPECT_EQ(elsewhere.requestCount(), 0);
}
