#include "CredentialsFixture.h"
#include "LoopbackHttpServer.h"
#include "TestAsync.h"
#include "routing/IntentProcessorService.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <gtest/gtest.h>

using namespace nerim;
using nerim::test::LoopbackHttpServer;
using Kind = IntentProcessorService::RouteResult::Kind;
using Pane = IntentProcessorService::PaneDescriptor;

namespace {

const QList<Pane> twoPanes{{1, QStringLiteral("Claude 1")}, {2, QStringLiteral("Designer")}};

QByteArray messagesReply(const QString &text)
{
    QJsonObject block{{QStringLiteral("type"), QStringLiteral("text")}, {QStringLiteral("text"), text}};
    QJsonObject reply{{QStringLiteral("id"), QStringLiteral("msg_1")},
                      {QStringLiteral("content"), QJsonArray{block}},
                      {QStringLiteral("stop_reason"), QStringLiteral("end_turn")}};
    return QJsonDocument(reply).toJson(QJsonDocument::Compact);
}

class IntentRouter : public test::CredentialsFixture {
protected:
    void SetUp() override
    {
        CredentialsFixture::SetUp();
        credentials_testing::setCachedAnthropicKey(QStringLiteral("sk-own"));
        credentials_testing::setPublicAnthropicBase(server.baseUrl().toString());
    }

    IntentProcessorService::RouteResult route(const QString &utterance, const QList<Pane> &panes = twoPanes)
    {
        IntentProcessorService service;
        return test::await(service.route(utterance, panes));
    }

    LoopbackHttpServer server;
    const QString twoTargets = QStringLiteral("claude 1 fix the header and claude 2 write the tests");
};

} // namespace

TEST(IntentRouterLocalTest, LooksMultiTarget)
{
    const struct {
        const char *utterance;
        bool expected;
    } rows[] = {
        {"claude 1 fix the header and claude 2 write the tests", true},
        {"agent 1: add a login page", false},
        {"@1 and @2", true},
        {"Claude 1 and AGENT 2", true},
        {"claude 12 does things", false},
        {"one two three four five six and then nine", false},
        {"one two three four five six seven eight and then ten", true},
        {"one two three four five six seven eight nine meanwhile", false},
        {"one two three four five six seven eight nine, then ten", true},
        {"one two three four five six seven eight nine ten eleven", false},
        {"a b c d e f g h i j also k", true},
        {"claude\u00a01 and claude\u20032", true},
    };
    for (const auto &row : rows)
        EXPECT_EQ(IntentProcessorService::looksMultiTarget(QString::fromUtf8(row.utterance)), row.expected) << row.utterance;
}

TEST(IntentRouterLocalTest, SystemPromptAndRequestBody)
{
    const QString &prompt = IntentProcessorService::systemPrompt();
    // The whole text, character for character: the model is steered by every
    // line of it, indentation included, and no newline follows the last rule.
    const char *const expectedPrompt = R"(You are Nerim's intent router. You classify a user utterance into
either a single dispatch (all-panes or focus-pane) or a multi-target
split (specific tasks for specific panes).

Return JSON with one of these two shapes exactly:

Single target (default when uncertain):
  {"kind": "single"}

Multi target (the user is clearly addressing two or more panes with
distinct tasks in one utterance):
  {"kind": "multi", "tasks": [
    {"pane": 1, "task": "first task text"},
    {"pane": 2, "task": "second task text"}
  ]}

Rules:
1. Only use "multi" when the utterance clearly assigns different
   work to different named panes. When in doubt, prefer "single".
2. Pane numbers must be from the list of available panes. Never
   invent numbers.
3. Each "task" field is the user's own words for that pane's work,
   edited only to remove the agent-address prefix. Preserve tone.
4. Do not include tasks for panes that aren't addressed.
5. Respond with the JSON object only. No prose, no code fences.)";
    EXPECT_EQ(prompt, QString::fromUtf8(expectedPrompt));

    const QJsonObject body =
        QJsonDocument::fromJson(IntentProcessorService::makeRequestBody(QStringLiteral("say \"hi\""), twoPanes)).object();
    const QJsonObject expected{
        {QStringLiteral("model"), QStringLiteral("claude-haiku-4-5-20251001")},
        {QStringLiteral("max_tokens"), 400},
        {QStringLiteral("system"), prompt},
        {QStringLiteral("messages"),
         QJsonArray{QJsonObject{
             {QStringLiteral("role"), QStringLiteral("user")},
             {QStringLiteral("content"),
              QStringLiteral("The user is speaking to a canvas with the following agent panes open:\n"
                             "  - Claude 1 (pane number 1)\n  - Designer (pane number 2)\n\n"
                             "Their utterance: \"say \"hi\"\"\n\nRespond with JSON only. No prose, no code fences.")}}}},
    };
    EXPECT_EQ(body, expected);

    // Pane names are the user's own text and are taken literally.
    EXPECT_EQ(IntentProcessorService::userText(QStringLiteral("u"), {{1, QStringLiteral("fix %1")}, {2, QStringLiteral("%2%")}}),
              QStringLiteral("The user is speaking to a canvas with the following agent panes open:\n"
                             "  - fix %1 (pane number 1)\n  - %2% (pane number 2)\n\n"
                             "Their utterance: \"u\"\n\nRespond with JSON only. No prose, no code fences."));
}

TEST(IntentRouterLocalTest, ParseRouterOutput)
{
    const auto multi = [](QList<IntentProcessorService::RoutedTask> tasks) { return IntentProcessorService::RouteResult::multi(tasks); };
    const struct {
        const char *reply;
        IntentProcessorService::RouteResult expected;
    } rows[] = {
        {R"({"kind": "single"})", IntentProcessorService::RouteResult::single()},
        {"```json\n{\"kind\":\"multi\",\"tasks\":[{\"pane\":1,\"task\":\"a\"},{\"pane\":2,\"task\":\" b \"}]}\n```",
         multi({{1, QStringLiteral("a")}, {2, QStringLiteral(" b ")}})},
        {"```\n{\"kind\":\"single\"}```", IntentProcessorService::RouteResult::single()},
        {R"({"kind":"multi","tasks":[{"pane":1,"task":"a"},{"pane":7,"task":"b"}]})", IntentProcessorService::RouteResult::single()},
        {R"({"kind":"multi","tasks":[{"pane":1,"task":"a"},{"pane":1,"task":"b"}]})",
         multi({{1, QStringLiteral("a")}, {1, QStringLiteral("b")}})},
        {R"({"kind":"multi"})", IntentProcessorService::RouteResult::single()},
        {R"({"kind":"multi","tasks":[{"pane":1,"task":"a"},{"pane":2,"task":"  \t"}]})", IntentProcessorService::RouteResult::single()},
        {R"({"kind":"Single"})", IntentProcessorService::RouteResult::failed(QStringLiteral("unknown kind: Single"))},
        {"   \n", IntentProcessorService::RouteResult::failed(QStringLiteral("empty model response"))},
        {"```json```", IntentProcessorService::RouteResult::failed(QStringLiteral("empty model response"))},
    };
    for (const auto &row : rows)
        EXPECT_EQ(IntentProcessorService::parseRouterOutput(QString::fromUtf8(row.reply), twoPanes), row.expected) << row.reply;

    for (const char *reply : {"  ```json\n{\"kind\":\"single\"}\n```", R"({"kind":"multi","tasks":[{"pane":"1","task":"a"}]})",
                              "not json", R"({"tasks":[]})"}) {
        const auto result = IntentProcessorService::parseRouterOutput(QString::fromUtf8(reply), twoPanes);
        EXPECT_EQ(result.kind(), Kind::failed) << reply;
        EXPECT_TRUE(result.message().startsWith(QStringLiteral("json decode: "))) << result.message().toStdString();
    }
}

TEST_F(IntentRouter, NoOwnKeyMeansNoCredentialsEvenWithASessionToken)
{
    credentials_testing::setCachedAnthropicKey(QStringLiteral("REPLACE_WITH_ANTHROPIC_API_KEY"));
    keyring->setToken("tok");
    EXPECT_EQ(route(twoTargets).kind(), Kind::noCredentials);
    EXPECT_EQ(server.requestCount(), 0);
}

TEST_F(IntentRouter, LocalTestDecidesWithoutAModelCall)
{
    EXPECT_EQ(route(twoTargets, {{1, QStringLiteral("Claude 1")}}).kind(), Kind::single);
    EXPECT_EQ(route(QStringLiteral("agent 1: add a login page")).kind(), Kind::single);
    EXPECT_EQ(route(QStringLiteral("one two three four five six and then nine")).kind(), Kind::single);
    EXPECT_EQ(server.requestCount(), 0);
}

TEST_F(IntentRouter, SplitsAcrossPanesWithTheOwnKey)
{
    server.enqueue(LoopbackHttpServer::Reply::json(
        200, messagesReply(QStringLiteral("```json\n{\"kind\":\"multi\",\"tasks\":[{\"pane\":1,\"task\":\"fix the header\"},"
                                          "{\"pane\":2,\"task\":\"write the tests\"}]}\n```"))));
    const auto result = route(twoTargets);
    ASSERT_EQ(result.kind(), Kind::multi) << result.message().toStdString();
    EXPECT_EQ(result.tasks(), (QList<IntentProcessorService::RoutedTask>{{1, QStringLiteral("fix the header")},
                                                                         {2, QStringLiteral("write the tests")}}));
    ASSERT_EQ(server.requestCount(), 1);
    const auto request = server.requests().at(0);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path(), "/v1/messages");
    EXPECT_EQ(request.header("x-api-key"), "sk-own");
    EXPECT_FALSE(request.hasHeader("authorization"));
    EXPECT_EQ(request.header("anthropic-version"), "2023-06-01");
    EXPECT_EQ(request.json().object(), QJsonDocument::fromJson(IntentProcessorService::makeRequestBody(twoTargets, twoPanes)).object());
}

TEST_F(IntentRouter, SessionTokenSendsTheCallThroughTheProxy)
{
    LoopbackHttpServer proxy;
    qputenv("NERIM_PROXY_BASE", proxy.baseUrl().toString().toUtf8());
    keyring->setToken("tok-7");
    proxy.enqueue(LoopbackHttpServer::Reply::json(200, messagesReply(QStringLiteral("{\"kind\":\"single\"}"))));
    EXPECT_EQ(route(twoTargets).kind(), Kind::single);
    ASSERT_EQ(proxy.requestCount(), 1);
    EXPECT_EQ(proxy.requests().at(0).header("authorization"), "Bearer tok-7");
    EXPECT_FALSE(proxy.requests().at(0).hasHeader("x-api-key"));
    EXPECT_EQ(server.requestCount(), 0);
    // The keyring is read off the GUI thread.
    ASSERT_FALSE(keyring->readThreads.isEmpty());
    EXPECT_FALSE(keyring->readThreads.contains(QThread::currentThread()));
}

TEST_F(IntentRouter, FailuresAreResultsNotExceptions)
{
    const struct {
        LoopbackHttpServer::Reply reply;
        const char *messageFragment;
    } rows[] = {
        {LoopbackHttpServer::Reply::json(429, R"({"error":"slow down"})"), "status: 429"},
        {LoopbackHttpServer::Reply::json(500, "oops"), "status: 500"},
        {LoopbackHttpServer::Reply::json(200, R"({"content":"nope"})"), "decode"},
        {LoopbackHttpServer::Reply::json(200, R"({"content":[{"type":"text"}]})"), "decode"},
        {LoopbackHttpServer::Reply::json(200, messagesReply(QStringLiteral("I think single"))), "json decode: "},
        {LoopbackHttpServer::Reply::json(200, R"({"content":[]})"), "empty model response"},
    };
    for (const auto &row : rows) {
        server.enqueue(row.reply);
        const auto result = route(twoTargets);
        EXPECT_EQ(result.kind(), Kind::failed);
        EXPECT_TRUE(result.message().contains(QString::fromUtf8(row.messageFragment))) << result.message().toStdString();
    }
}

TEST_F(IntentRouter, SilentModelFailsAfterThreeSeconds)
{
    server.enqueue(LoopbackHttpServer::Reply::hang());
    QElapsedTimer elapsed;
    elapsed.start();
    const auto result = route(twoTargets);
    EXPECT_EQ(result.kind(), Kind::failed);
    EXPECT_TRUE(result.message().contains(QStringLiteral("timed out"))) << result.message().toStdString();
    EXPECT_GE(elapsed.elapsed(), 2900);
    EXPECT_LT(elapsed.elapsed(), 6000);
}
