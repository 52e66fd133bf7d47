#include "LoopbackHttpServer.h"
#include "TestAsync.h"
#include "credentials/HttpClient.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

using namespace nerim;
using nerim::test::LoopbackHttpServer;
using Kind = HttpClient::TransportError::Kind;

namespace {

HttpRequest get(const QUrl &url, double timeout = 5.0)
{
    HttpRequest request;
    request.url = url;
    request.method = "GET";
    request.timeoutSeconds = timeout;
    return request;
}

HttpClient::Response expectResponse(const HttpClient::Result &result)
{
    if (auto *error = std::get_if<HttpClient::TransportError>(&result)) {
        ADD_FAILURE() << "transport error: " << error->text().toStdString();
        return {};
    }
    return std::get<HttpClient::Response>(result);
}

HttpClient::TransportError expectTransportError(const HttpClient::Result &result)
{
    if (auto *response = std::get_if<HttpClient::Response>(&result)) {
        ADD_FAILURE() << "unexpected HTTP response " << response->status;
        return {};
    }
    return std::get<HttpClient::TransportError>(result);
}

} // namespace

TEST(HttpClient, ErrorStatusesKeepTheirStatusAndBody)
{
    LoopbackHttpServer server;
    for (int status : {200, 204, 400, 401, 402, 404, 429, 500, 503}) {
        const QByteArray body = status == 204 ? QByteArray() : "body of " + QByteArray::number(status);
        server.enqueue(LoopbackHttpServer::Reply::text(status, body));
        const auto response = expectResponse(test::await(HttpClient::send(get(server.url("/x")))));
        EXPECT_EQ(response.status, status);
        EXPECT_EQ(response.body, body) << status;
    }
}

TEST(HttpClient, SendsMethodHeadersAndBody)
{
    LoopbackHttpServer server;
    server.enqueue(LoopbackHttpServer::Reply::json(200, R"({"ok":true})"));
    HttpRequest request = get(server.url("/v1/messages?x=1"));
    request.method = "POST";
    request.body = R"({"model":"m"})";
    request.setRawHeader("Content-Type", "application/json");
    request.setRawHeader("x-api-key", "sk-test");
    const auto response = expectResponse(test::await(HttpClient::send(request)));
    EXPECT_EQ(response.header("content-type"), "application/json");
    ASSERT_EQ(server.requestCount(), 1);
    const auto recorded = server.requests().at(0);
    EXPECT_EQ(recorded.method, "POST");
    EXPECT_EQ(recorded.path(), "/v1/messages");
    EXPECT_EQ(recorded.target, "/v1/messages?x=1");
    EXPECT_EQ(recorded.header("X-API-KEY"), "sk-test");
    EXPECT_EQ(recorded.body, R"({"model":"m"})");
}

TEST(HttpClient, RefusedConnectionIsCannotConnect)
{
    const auto error = expectTransportError(test::await(HttpClient::send(get(LoopbackHttpServer::refusedUrl("/x")))));
    EXPECT_EQ(error.kind, Kind::cannotConnect);
    EXPECT_TRUE(error.isRetriable());
}

TEST(HttpClient, ClosedConnectionIsConnectionLost)
{
    LoopbackHttpServer server;
    // Qt resends once on a fresh connection when one closes before replying.
    server.setDefaultReply(LoopbackHttpServer::Reply::close());
    const auto error = expectTransportError(test::await(HttpClient::send(get(server.url("/x")))));
    EXPECT_EQ(error.kind, Kind::connectionLost);
    EXPECT_TRUE(error.isRetriable());
}

TEST(HttpClient, SilentServerTimesOutAfterTheIdleTimeout)
{
    LoopbackHttpServer server;
    server.enqueue(LoopbackHttpServer::Reply::hang());
    QElapsedTimer elapsed;
    elapsed.start();
    const auto error = expectTransportError(test::await(HttpClient::send(get(server.url("/x"), 0.3))));
    EXPECT_EQ(error.kind, Kind::timedOut);
    EXPECT_TRUE(error.isRetriable());
    EXPECT_TRUE(error.text().contains(QStringLiteral("timed out"))) << error.text().toStdString();
    EXPECT_GE(elapsed.elapsed(), 250);
    EXPECT_LT(elapsed.elapsed(), 3000);
}

TEST(HttpClient, ReplyWithinTheTimeoutArrives)
{
    LoopbackHttpServer server;
    server.enqueue(LoopbackHttpServer::Reply::text(200, "late but in time").delayed(150));
    const auto response = expectResponse(test::await(HttpClient::send(get(server.url("/x"), 2.0))));
    EXPECT_EQ(response.body, "late but in time");
}

TEST(HttpClient, DelayedReplyPastTheTimeoutTimesOut)
{
    LoopbackHttpServer server;
    server.enqueue(LoopbackHttpServer::Reply::text(200, "too late").delayed(1500));
    const auto error = expectTransportError(test::await(HttpClient::send(get(server.url("/x"), 0.2))));
    EXPECT_EQ(error.kind, Kind::timedOut);
}

TEST(HttpClient, SameOriginRedirectIsFollowed)
{
    LoopbackHttpServer server;
    server.enqueue(LoopbackHttpServer::Reply::redirect(302, server.url("/moved")));
    server.enqueue(LoopbackHttpServer::Reply::text(200, "arrived"));
    const auto response = expectResponse(test::await(HttpClient::send(get(server.url("/start")))));
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "arrived");
    ASSERT_EQ(server.requestCount(), 2);
    EXPECT_EQ(server.requests().at(1).path(), "/moved");
}

TEST(HttpClient, CredentialNeverFollowsARedirectToAnotherOrigin)
{
    LoopbackHttpServer origin;
    LoopbackHttpServer elsewhere;
    elsewhere.setDefaultReply(LoopbackHttpServer::Reply::text(200, "captured"));
    for (int status : {301, 302, 307, 308}) {
        origin.enqueue(LoopbackHttpServer::Reply::redirect(status, elsewhere.url("/steal")));
        HttpRequest request = get(origin.url("/v1/messages"));
        request.method = "POST";
        request.body = "{}";
        request.setRawHeader("Authorization", "Bearer secret-token");
        const auto result = test::await(HttpClient::send(request));
        const auto error = expectTransportError(result);
        EXPECT_EQ(error.kind, Kind::redirectRefused) << status;
        EXPECT_FALSE(error.isRetriable());
    }
    EXPECT_EQ(elsewhere.requestCount(), 0);
}

TEST(HttpClient, LoopbackBypassesTheSystemProxy)
{
    const QUrl deadProxy = LoopbackHttpServer::refusedUrl();
    qputenv("http_proxy", deadProxy.toString().toUtf8());
    qputenv("HTTP_PROXY", deadProxy.toString().toUtf8());
    qunsetenv("no_proxy");
    qunsetenv("NO_PROXY");
    LoopbackHttpServer server;
    server.enqueue(LoopbackHttpServer::Reply::text(200, "direct"));
    const auto response = expectResponse(test::await(HttpClient::send(get(server.url("/x")))));
    EXPECT_EQ(response.body, "direct");
    qunsetenv("http_proxy");
    qunsetenv("HTTP_PROXY");
}

TEST(LoopbackHttpServer, RecordsEveryRequestAndPlaysTheQueueInOrder)
{
    LoopbackHttpServer server;
    server.enqueue(LoopbackHttpServer::Reply::text(201, "first"));
    server.setHandler([](const LoopbackHttpServer::Request &request) {
        return LoopbackHttpServer::Reply::text(200, "echo " + request.path());
    });
    EXPECT_EQ(expectResponse(test::await(HttpClient::send(get(server.url("/a"))))).body, "first");
    EXPECT_EQ(expectResponse(test::await(HttpClient::send(get(server.url("/b"))))).body, "echo /b");
    EXPECT_EQ(server.requestCount(), 2);
}
