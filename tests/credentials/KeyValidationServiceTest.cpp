#include "CredentialsFixture.h"
#include "LoopbackHttpServer.h"
#include "TestAsync.h"
#include "TestEnvironment.h"
#include "credentials/KeyValidationService.h"

#include <QJsonArray>
#include <QJsonObject>
#include <gtest/gtest.h>

using namespace nerim;
using nerim::test::LoopbackHttpServer;
using Outcome = KeyValidationService::Outcome;

namespace {

class KeyValidation : public test::CredentialsFixture {
protected:
    void SetUp() override
    {
        CredentialsFixture::SetUp();
        credentials_testing::setPublicAnthropicBase(server.baseUrl().toString());
    }

    Outcome validate(const QString &key = QStringLiteral("sk-pasted"))
    {
        KeyValidationService service;
        return test::await(service.validate(key));
    }

    LoopbackHttpServer server;
};

} // namespace

TEST_F(KeyValidation, StatusTable)
{
    const QByteArray longBody = QByteArray(250, 'x');
    const struct {
        LoopbackHttpServer::Reply reply;
        Outcome expected;
    } rows[] = {
        {LoopbackHttpServer::Reply::json(200, "not even json"), Outcome::valid()},
        {LoopbackHttpServer::Reply::json(201, ""), Outcome::valid()},
        {LoopbackHttpServer::Reply::json(400, R"({"error":{"message":"Your Credit Balance is too low"}})"), Outcome::noCredit()},
        {LoopbackHttpServer::Reply::json(400, R"({"error":{"type":"insufficient CREDIT"}})"), Outcome::noCredit()},
        {LoopbackHttpServer::Reply::json(400, R"({"code":"credit_balance"})"), Outcome::noCredit()},
        {LoopbackHttpServer::Reply::json(400, longBody),
         Outcome::failed(QStringLiteral("Anthropic rejected the request: ") + QString(200, QLatin1Char('x')))},
        {LoopbackHttpServer::Reply::json(400, QByteArray("\xff\xfe", 2)),
         Outcome::failed(QStringLiteral("Anthropic rejected the request: <empty response>"))},
        {LoopbackHttpServer::Reply::json(401, "{}"), Outcome::rejected()},
        {LoopbackHttpServer::Reply::json(403, "forbidden"), Outcome::failed(QStringLiteral("Anthropic returned HTTP 403. forbidden"))},
        {LoopbackHttpServer::Reply::json(429, ""), Outcome::failed(QStringLiteral("Anthropic returned HTTP 429. "))},
        {LoopbackHttpServer::Reply::json(529, "overloaded"), Outcome::failed(QStringLiteral("Anthropic returned HTTP 529. overloaded"))},
    };
    for (const auto &row : rows) {
        server.enqueue(row.reply);
        const Outcome actual = validate();
        EXPECT_EQ(actual, row.expected) << row.reply.status << " " << actual.message().toStdString();
    }
}

TEST_F(KeyValidation, SendsTheMinimalProbeWithTheKeyOnly)
{
    keyring->setToken("managed-token");
    server.enqueue(LoopbackHttpServer::Reply::json(200, "{}"));
    EXPECT_EQ(validate(QStringLiteral(" sk-pasted \n")), Outcome::valid());
    ASSERT_EQ(server.requestCount(), 1);
    const auto request = server.requests().at(0);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path(), "/v1/messages");
    EXPECT_EQ(request.header("x-api-key"), "sk-pasted");
    EXPECT_FALSE(request.hasHeader("authorization"));
    EXPECT_EQ(request.header("anthropic-version"), "2023-06-01");
    EXPECT_EQ(request.header("content-type"), "application/json");
    const QJsonObject expected{{QStringLiteral("model"), QStringLiteral("claude-haiku-4-5-20251001")},
                               {QStringLiteral("max_tokens"), 1},
                               {QStringLiteral("messages"), QJsonArray{QJsonObject{{QStringLiteral("role"), QStringLiteral("user")},
                                                                                   {QStringLiteral("content"), QStringLiteral("hi")}}}}};
    EXPECT_EQ(request.json().object(), expected);
}

TEST_F(KeyValidation, BlankKeyIsRejectedWithoutARequest)
{
    EXPECT_EQ(validate(QStringLiteral("  \n")), Outcome::rejected());
    EXPECT_EQ(server.requestCount(), 0);
}

TEST_F(KeyValidation, NoNetworkIsUnreachableWithOneLogLine)
{
    credentials_testing::setPublicAnthropicBase(LoopbackHttpServer::refusedUrl().toString());
    test::LogCapture log;
    EXPECT_EQ(validate(QStringLiteral("sk-secret-value")), Outcome::unreachable());
    ASSERT_EQ(log.lines().size(), 1);
    EXPECT_TRUE(log.lines().at(0).startsWith(QStringLiteral("[Nerim onboarding] key validate \u2014 URLError ")));
    EXPECT_FALSE(log.lines().at(0).contains(QStringLiteral("sk-secret-value")));
}
