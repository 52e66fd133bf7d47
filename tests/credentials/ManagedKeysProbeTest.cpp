#include "LoopbackHttpServer.h"
#include "TestAsync.h"
#include "credentials/ManagedKeysProbe.h"

#include <gtest/gtest.h>

using namespace nerim;
using nerim::test::LoopbackHttpServer;
using Outcome = ManagedKeysProbe::Outcome;

namespace {

class Probe : public ::testing::Test {
protected:
    void SetUp() override { qputenv("NERIM_PROXY_BASE", server.baseUrl().toString().toUtf8()); }
    void TearDown() override { qunsetenv("NERIM_PROXY_BASE"); }

    Outcome probe(const QString &token = QStringLiteral("tok")) { return test::await(ManagedKeysProbe::probe(token)); }

    LoopbackHttpServer server;
};

} // namespace

TEST_F(Probe, StatusTable)
{
    const struct {
        LoopbackHttpServer::Reply reply;
        Outcome expected;
    } rows[] = {
        {LoopbackHttpServer::Reply::json(200, R"({"balance": 12})"), Outcome::success(12)},
        {LoopbackHttpServer::Reply::json(200, R"({"balance": 5, "plan": "pro", "x": null})"), Outcome::success(5)},
        {LoopbackHttpServer::Reply::json(200, R"({"balance": -3})"), Outcome::success(-3)},
        {LoopbackHttpServer::Reply::json(402, R"({"balance": 99})"), Outcome::success(0)},
        {LoopbackHttpServer::Reply::json(401, "{}"), Outcome::failure(QStringLiteral("Session token was rejected. Ask Kest for a fresh token."))},
        {LoopbackHttpServer::Reply::json(503, "{}"), Outcome::failure(QStringLiteral("Nerim proxy is temporarily unavailable. Try again in a minute."))},
        {LoopbackHttpServer::Reply::json(500, "{}"), Outcome::failure(QStringLiteral("Proxy returned HTTP 500."))},
        {LoopbackHttpServer::Reply::json(502, "{}"), Outcome::failure(QStringLiteral("Proxy returned HTTP 502."))},
        {LoopbackHttpServer::Reply::withStatus(204), Outcome::failure(QStringLiteral("Proxy returned HTTP 204."))},
    };
    for (const auto &row : rows) {
        server.enqueue(row.reply);
        const Outcome actual = probe();
        EXPECT_EQ(actual, row.expected) << row.reply.status << " " << actual.message().toStdString();
    }
}

TEST_F(Probe, UndecodableSuccessBodies)
{
    for (const char *body : {"", R"({"balance": "12"})", R"({"balance": 1.5})", R"({"credits": 3})", "[1]"}) {
        server.enqueue(LoopbackHttpServer::Reply::json(200, body));
        const Outcome actual = probe();
        EXPECT_FALSE(actual.isSuccess()) << body;
        EXPECT_TRUE(actual.message().startsWith(QStringLiteral("Could not parse proxy response: "))) << body;
    }
}

TEST_F(Probe, SendsOnlyTheTrimmedBearerToken)
{
    server.enqueue(LoopbackHttpServer::Reply::json(200, R"({"balance": 1})"));
    probe(QStringLiteral(" tok-1\n"));
    ASSERT_EQ(server.requestCount(), 1);
    const auto request = server.requests().at(0);
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.target, "/usage/current");
    EXPECT_EQ(request.header("authorization"), "Bearer tok-1");
    EXPECT_FALSE(request.hasHeader("x-api-key"));
    EXPECT_TRUE(request.body.isEmpty());
}

TEST_F(Probe, BlankTokenAndBadBaseSendNothing)
{
    EXPECT_EQ(probe(QStringLiteral(" \n\t")), Outcome::failure(QStringLiteral("Session token is empty.")));
    // A line break inside the token would become a header of its own.
    EXPECT_EQ(probe(QStringLiteral("abc\r\nX-Injected: yes")),
              Outcome::failure(QStringLiteral("Session token was rejected. Ask Kest for a fresh token.")));
    for (const char *base : {"not a url", "", "file:///tmp"}) {
        qputenv("NERIM_PROXY_BASE", base);
        EXPECT_EQ(probe(), Outcome::failure(QStringLiteral("Could not build probe URL."))) << base;
    }
    EXPECT_EQ(server.requestCount(), 0);
}

TEST_F(Probe, TransportFailuresNameTheProxy)
{
    qputenv("NERIM_PROXY_BASE", LoopbackHttpServer::refusedUrl().toString().toUtf8());
    const Outcome refused = probe();
    EXPECT_TRUE(refused.message().startsWith(QStringLiteral("Could not reach the Nerim proxy: "))) << refused.message().toStdString();
}
