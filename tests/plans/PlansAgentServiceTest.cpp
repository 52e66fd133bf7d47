#include "plans/PlansAgentService.h"

#include "LoopbackHttpServer.h"
#include "TestAsync.h"
#include "TestEnvironment.h"
#include "credentials/CredentialTestSeams.h"
#include "credentials/Credentials.h"
#include "foundation/UuidText.h"
#include "persistence/IntentProcessorConstants.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QMutex>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>

using namespace nerim;
using Service = PlansAgentService;
using Reply = test::LoopbackHttpServer::Reply;

namespace {

QByteArray answer(const QString &text)
{
    return QJsonDocument(QJsonObject{{"id", "msg_1"},
                                     {"content", QJsonArray{QJsonObject{{"type", "text"}, {"text", text}}}}})
        .toJson(QJsonDocument::Compact);
}

// A keyring in memory holding at most the session token.
class MemorySecretStore final : public platform::SecretStore {
public:
    explicit MemorySecretStore(QByteArray token) : m_token(std::move(token)) {}
    ReadOutcome read(const QString &, const QString &) override
    {
        return m_token.isEmpty() ? ReadOutcome{Status::itemNotFound, {}, {}} : ReadOutcome{Status::success, {}, m_token};
    }
    Outcome add(const QString &, const QString &, const QByteArray &, const QString &) override { return {}; }
    Outcome update(const QString &, const QString &, const QByteArray &) override { return {}; }
    Outcome remove(const QString &, const QString &) override { return {}; }

private:
    QByteArray m_token;
};

class PlansAgentServiceCalls : public ::testing::Test {
protected:
    // An own key and requests to the loopback server, with short timeouts.
    Service::Environment environment(double timeoutSeconds = 2.0)
    {
        Service::Environment env;
        env.hasAnthropicKey = [] { return true; };
        env.messagesRequest = [this, url = server.url(QStringLiteral("/v1/messages"))](double timeout) {
            ++builds;
            EXPECT_EQ(timeout, requestedTimeout);
            HttpRequest request;
            request.url = url;
            request.setRawHeader("Content-Type", "application/json");
            request.setRawHeader("x-api-key", "sk-test");
            request.method = "POST";
            request.timeoutSeconds = timeout;
            return std::optional<HttpRequest>(request);
        };
        env.requestTimeoutSeconds = requestedTimeout = timeoutSeconds;
        return env;
    }

    Service::Outcome converse(const Service &service, QList<PlanTurn> conversation = {})
    {
        return test::await(service.converse(std::move(conversation), QStringLiteral("Plan a bakery site"),
                                            QString(), {}, QStringLiteral("Project: Bakery\nPath: /p"),
                                            QStringLiteral("(No prior activity in this project yet.)"),
                                            QStringLiteral("src/"), ModelChoice::opus46));
    }

    Service::OrganizeOutcome organize(const Service &service)
    {
        return test::await(service.organize(QStringLiteral("g"), {}, {}, QStringLiteral("ctx"),
                                            {{QStringLiteral("overview.md"), QStringLiteral("# Old")}},
                                            ModelChoice::sonnet45));
    }

    static QString failure(const Service::Outcome &outcome)
    {
        if (auto failed = std::get_if<Service::Failed>(&outcome))
            return failed->message;
        ADD_FAILURE() << "expected a failure, got case " << outcome.index();
        return {};
    }

    test::LoopbackHttpServer server;
    std::atomic<int> builds{0};
    double requestedTimeout = 60;
};

} // namespace

TEST_F(PlansAgentServiceCalls, ConversationRequestCarriesTheTurnsAndTheBuiltMessage)
{
    server.enqueue(Reply::json(200, answer(QStringLiteral("Sounds like a plan."))));
    Service service(environment());
    const QList<PlanTurn> turns{{newUuid(), PlanTurn::Role::user, QStringLiteral("hello"), Timestamp(1), false},
                                {newUuid(), PlanTurn::Role::agent, QStringLiteral("hi there"), Timestamp(2), true}};
    const auto outcome = converse(service, turns);
    ASSERT_TRUE(std::holds_alternative<Service::Success>(outcome));
    EXPECT_EQ(std::get<Service::Success>(outcome).reply, QStringLiteral("Sounds like a plan."));

    ASSERT_EQ(server.requestCount(), 1);
    const auto request = server.requests().at(0);
    EXPECT_EQ(request.method, QByteArray("POST"));
    EXPECT_EQ(request.path(), QByteArray("/v1/messages"));
    const QJsonObject body = request.json().object();
    EXPECT_EQ(body["model"].toString(), QStringLiteral("claude-opus-4-6"));
    EXPECT_EQ(body["max_tokens"].toInt(), 8000);
    EXPECT_EQ(body["system"].toString(), Service::conversationSystemPrompt());
    const QJsonArray messages = body["messages"].toArray();
    ASSERT_EQ(messages.size(), 3);
    EXPECT_EQ(messages[0].toObject()["role"].toString(), QStringLiteral("user"));
    EXPECT_EQ(messages[1].toObject()["role"].toString(), QStringLiteral("assistant"));
    EXPECT_EQ(messages[1].toObject()["content"].toString(), QStringLiteral("hi there"));
    // Not the first turn: no project context and no file tree.
    EXPECT_EQ(messages[2].toObject()["content"].toString(),
              QStringLiteral("[RECENT ACTIVITY IN THIS PROJECT]\n(No prior activity in this project yet.)\n\n"
                             "Plan a bakery site"));
}

TEST_F(PlansAgentServiceCalls, HttpFailuresAreReportedAtOnceWithStatusAndBody)
{
    const int statuses[] = {400, 401, 403, 404, 429, 500, 529};
    Service service(environment());
    for (int status : statuses) {
        const int before = server.requestCount();
        server.enqueue(Reply::json(status, R"({"type":"error","error":{"type":"rate_limit_error"}})"));
        const QString text = failure(converse(service));
        EXPECT_TRUE(text.contains(QStringLiteral("status: %1").arg(status))) << text.toStdString();
        EXPECT_TRUE(text.contains(QStringLiteral("rate_limit_error"))) << text.toStdString();
        EXPECT_EQ(server.requestCount(), before + 1) << status; // never retried
    }
    server.enqueue(Reply::withStatus(502, QByteArray("\xff\xfe\x00", 3)));
    EXPECT_TRUE(failure(converse(service)).contains(QStringLiteral("status: 502, body: \"<binary>\"")));
}

TEST_F(PlansAgentServiceCalls, UnexpectedBodiesAndEmptyAnswers)
{
    struct Case {
        QByteArray body;
        QString expected; // prefix of the failure text
    };
    const Case cases[] = {
        {"not json", QStringLiteral("json decode: ")},
        {R"({"content":"text"})", QStringLiteral("json decode: ")},
        {R"({"content":[{"type":"tool_use","id":"x"}]})", QStringLiteral("json decode: ")}, // a block without "text"
        {R"({"stop_reason":"end_turn"})", QStringLiteral("json decode: ")},
        {R"({"content":[]})", QStringLiteral("empty model response")},
        {R"({"content":[{"type":"thinking","text":"hmm"}]})", QStringLiteral("empty model response")},
        {R"({"content":[{"type":"text","text":"  \n "}]})", QStringLiteral("empty model response")},
    };
    Service service(environment());
    for (const Case &c : cases) {
        server.enqueue(Reply::json(200, c.body));
        const QString text = failure(converse(service));
        EXPECT_TRUE(text.startsWith(c.expected)) << c.body.constData() << " -> " << text.toStdString();
    }
    EXPECT_EQ(server.requestCount(), int(std::size(cases)));

    server.enqueue(Reply::json(200, R"({"content":[{"type":"thinking","text":"a"},{"type":"text","text":"First"},)"
                                    R"({"type":"text","text":"Second"}]})"));
    const auto outcome = converse(service);
    ASSERT_TRUE(std::holds_alternative<Service::Success>(outcome));
    EXPECT_EQ(std::get<Service::Success>(outcome).reply, QStringLiteral("First"));
}

TEST_F(PlansAgentServiceCalls, OneTimeoutIsRetriedAfterAPause)
{
    server.enqueue(Reply::hang());
    server.enqueue(Reply::json(200, answer(QStringLiteral("Back again."))));
    Service service(environment(0.3));
    QElapsedTimer clock;
    clock.start();
    const auto outcome = converse(service);
    ASSERT_TRUE(std::holds_alternative<Service::Success>(outcome)) << failure(outcome).toStdString();
    EXPECT_EQ(std::get<Service::Success>(outcome).reply, QStringLiteral("Back again."));
    EXPECT_EQ(server.requestCount(), 2);
    EXPECT_EQ(builds, 2); // a fresh request for the second attempt
    EXPECT_GE(clock.elapsed(), 620); // 0.3 s timeout + 0.4 s pause, less the slack of coarse timers
    EXPECT_EQ(server.requests().at(0).body, server.requests().at(1).body);
}

TEST_F(PlansAgentServiceCalls, TwoTimeoutsFail)
{
    server.enqueue(Reply::hang());
    server.enqueue(Reply::hang());
    server.enqueue(Reply::json(200, answer(QStringLiteral("never asked"))));
    Service service(environment(0.3));
    const QString text = failure(converse(service));
    EXPECT_TRUE(text.contains(QStringLiteral("timed out"))) << text.toStdString();
    EXPECT_EQ(server.requestCount(), 2);
}

TEST_F(PlansAgentServiceCalls, RefusedConnectionIsRetriedOnceAndMissingCredentialIsNot)
{
    Service::Environment env = environment();
    env.messagesRequest = [this](double timeout) {
        ++builds;
        HttpRequest request;
        request.url = test::LoopbackHttpServer::refusedUrl(QStringLiteral("/v1/messages"));
        request.method = "POST";
        request.timeoutSeconds = timeout;
        return std::optional<HttpRequest>(request);
    };
    const QString text = failure(converse(Service(env)));
    EXPECT_TRUE(text.contains(QStringLiteral("network error"))) << text.toStdString();
    EXPECT_EQ(builds, 2);

    builds = 0;
    env.messagesRequest = [this](double) {
        ++builds;
        return std::optional<HttpRequest>();
    };
    EXPECT_EQ(failure(converse(Service(env))), QStringLiteral("notConfigured"));
    EXPECT_EQ(builds, 1);
}

TEST_F(PlansAgentServiceCalls, ServiceMayGoAwayWhileACallIsInFlight)
{
    server.enqueue(Reply::json(200, answer(QStringLiteral("Still here."))).delayed(200));
    auto service = std::make_unique<Service>(environment());
    auto task = service->converse({}, QStringLiteral("x"), QString(), {}, QStringLiteral("ctx"), QString(), QString(),
                                  ModelChoice::sonnet45);
    service.reset();
    const auto outcome = test::await(std::move(task));
    ASSERT_TRUE(std::holds_alternative<Service::Success>(outcome));
}

TEST_F(PlansAgentServiceCalls, OrganizeSendsOneMessageAndNeverRetries)
{
    server.enqueue(Reply::json(200, answer(QStringLiteral("Done.\n<file name=\"overview.md\"># New</file>"))));
    Service service(environment(0.3));
    const auto outcome = organize(service);
    ASSERT_TRUE(std::holds_alternative<Service::OrganizeSuccess>(outcome));
    const auto success = std::get<Service::OrganizeSuccess>(outcome);
    EXPECT_EQ(success.notice, QStringLiteral("Done."));
    EXPECT_EQ(success.files, (QList<Service::OrganizedFile>{{QStringLiteral("overview.md"), QStringLiteral("# New")}}));
    const QJsonObject body = server.requests().at(0).json().object();
    EXPECT_EQ(body["system"].toString(), Service::organizeSystemPrompt());
    EXPECT_EQ(body["model"].toString(), QStringLiteral("claude-sonnet-4-5-20250929"));
    const QJsonArray messages = body["messages"].toArray();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].toObject()["content"].toString().contains(
        QStringLiteral("[EXISTING WORKSPACE FILES]\n--- FILE: overview.md ---\n# Old\n")));

    server.enqueue(Reply::hang());
    server.enqueue(Reply::json(200, answer(QStringLiteral("<file name=\"a.md\">A</file>"))));
    const auto timedOut = organize(service);
    ASSERT_TRUE(std::holds_alternative<Service::Failed>(timedOut));
    EXPECT_TRUE(std::get<Service::Failed>(timedOut).message.contains(QStringLiteral("timed out")));
    EXPECT_EQ(server.requestCount(), 2);

    server.closeAllConnections();
    EXPECT_TRUE(std::holds_alternative<Service::OrganizeSuccess>(organize(service))); // the reply left queued
    server.enqueue(Reply::json(200, answer(QStringLiteral("Only prose."))));
    const auto prose = organize(service);
    ASSERT_TRUE(std::holds_alternative<Service::Failed>(prose));
    EXPECT_EQ(std::get<Service::Failed>(prose).message, QStringLiteral("organize response contained no <file> blocks"));
}

// The application's own environment: the key file, the keyring and the shared
// request builder.
TEST_F(PlansAgentServiceCalls, StandardEnvironmentUsesTheKeyFileAndTheManagedProxy)
{
    const QString keyFile = IntentProcessorConstants::apiKeysFilePath();
    ASSERT_TRUE(test::writeFile(keyFile, R"({"anthropic":"sk-own-key"})"));
    credentials_testing::setSecretStore(std::make_shared<MemorySecretStore>(QByteArray()));
    credentials_testing::setPublicAnthropicBase(server.baseUrl().toString());
    server.enqueue(Reply::json(200, answer(QStringLiteral("Own key."))));
    server.enqueue(Reply::json(200, answer(QStringLiteral("Through the proxy."))));

    Service service;
    auto outcome = converse(service);
    ASSERT_TRUE(std::holds_alternative<Service::Success>(outcome)) << failure(outcome).toStdString();
    auto request = server.requests().at(0);
    EXPECT_EQ(request.header("x-api-key"), QByteArray("sk-own-key"));
    EXPECT_EQ(request.header("anthropic-version"), QByteArray("2023-06-01"));
    EXPECT_EQ(request.header("content-type"), QByteArray("application/json"));
    EXPECT_FALSE(request.hasHeader("authorization"));

    // With a session token as well, the call goes through the proxy.
    credentials_testing::setSecretStore(std::make_shared<MemorySecretStore>("session-tok"));
    qputenv("NERIM_PROXY_BASE", server.baseUrl().toString().toUtf8());
    outcome = converse(service);
    ASSERT_TRUE(std::holds_alternative<Service::Success>(outcome)) << failure(outcome).toStdString();
    request = server.requests().at(1);
    EXPECT_EQ(request.path(), QByteArray("/v1/messages"));
    EXPECT_EQ(request.header("authorization"), QByteArray("Bearer session-tok"));
    EXPECT_FALSE(request.hasHeader("x-api-key"));
    credentials_testing::setSecretStore(nullptr);
    credentials_testing::setPublicAnthropicBase(QString());
}

TEST_F(PlansAgentServiceCalls, SessionTokenWithoutOwnKeyIsDisabledAndSendsNothing)
{
    // No api-keys.json in this test's private home.
    credentials_testing::setSecretStore(std::make_shared<MemorySecretStore>("session-tok"));
    qputenv("NERIM_PROXY_BASE", server.baseUrl().toString().toUtf8());
    Service service;
    EXPECT_TRUE(std::holds_alternative<Service::Disabled>(converse(service)));
    EXPECT_TRUE(std::holds_alternative<Service::Disabled>(organize(service)));
    EXPECT_EQ(server.requestCount(), 0);
    credentials_testing::setSecretStore(nullptr);
}
