#include "agents/AgentError.h"
#include "panes-store/AgentRole.h"
#include "agents/AgentSession.h"
#include "agents/AgentStatus.h"
#include "panes-store/ConversationTurn.h"
#include "panes-store/OutputLine.h"
#include "foundation/UuidText.h"

#include <QJsonDocument>
#include <gtest/gtest.h>

using namespace nerim;

TEST(AgentRole, RawValuesAreTheCaseNamesAndDecodingIsExact)
{
    ASSERT_EQ(allAgentRoles().size(), 7);
    EXPECT_EQ(allAgentRoles().first(), AgentRole::unspecified);
    EXPECT_EQ(allAgentRoles().last(), AgentRole::code);
    for (AgentRole role : allAgentRoles())
        EXPECT_EQ(agentRoleFromRaw(rawValue(role)), role);
    EXPECT_EQ(agentRoleFromRaw(QStringLiteral("ui")), AgentRole::ui);
    EXPECT_EQ(agentRoleFromRaw(QStringLiteral("dbSchema")), AgentRole::dbSchema);
    EXPECT_FALSE(agentRoleFromRaw(QStringLiteral("UI")));
    EXPECT_FALSE(agentRoleFromRaw(QStringLiteral("general")));
}

TEST(AgentError, TextFormFollowsTheCaseAndPayload)
{
    const struct {
        AgentError error;
        const char *text;
    } cases[] = {
        {AgentError::binaryNotFound({QStringLiteral("/opt/homebrew/bin/claude"), QStringLiteral("/usr/local/bin/claude")}),
         R"(binaryNotFound(searchedPaths: ["/opt/homebrew/bin/claude", "/usr/local/bin/claude"]))"},
        {AgentError::sessionNotAlive(), "sessionNotAlive"},
        {AgentError::spawnFailed(QStringLiteral("No such file")), R"(spawnFailed(underlying: "No such file"))"},
        {AgentError::workingDirectoryUnavailable(QStringLiteral("a \"quoted\" 'path'\\x")),
         R"(workingDirectoryUnavailable(underlying: "a \"quoted\" \'path\'\\x"))"},
        {AgentError::stdinWriteFailed(QStringLiteral("line\none\ttab\r")),
         R"(stdinWriteFailed(underlying: "line\none\ttab\r"))"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.error.description(), QString::fromUtf8(c.text));
        EXPECT_STREQ(c.error.what(), c.text);
    }
}

TEST(AgentSession, EqualityCoversEveryField)
{
    AgentSession a;
    a.id = newUuid();
    a.role = AgentRole::designer;
    a.spawnedAt = Timestamp(100.5);
    a.processID = 42;
    a.openingPromptDigest = QStringLiteral("sha256:00");
    AgentSession b = a;
    EXPECT_EQ(a, b);
    EXPECT_EQ(qHash(a), qHash(b));
    b.id = newUuid();
    EXPECT_NE(a, b);
}

TEST(AgentStatus, ColoursAndBusyStates)
{
    EXPECT_EQ(color(AgentStatus::idle).hexName(), QStringLiteral("#8B8479"));
    EXPECT_EQ(color(AgentStatus::spawning).hexName(), QStringLiteral("#B8895C"));
    EXPECT_EQ(color(AgentStatus::working).hexName(), QStringLiteral("#5A7B4E"));
    EXPECT_EQ(color(AgentStatus::hung).hexName(), QStringLiteral("#B8895C"));
    EXPECT_EQ(color(AgentStatus::done).hexName(), QStringLiteral("#5A7B4E"));
    EXPECT_EQ(color(AgentStatus::error).hexName(), QStringLiteral("#A34A3E"));
    EXPECT_EQ(color(AgentStatus::stopped).hexName(), QStringLiteral("#A69E8E"));
    EXPECT_DOUBLE_EQ(NmColor::danger.redF(), 0xA3 / 255.0);
    EXPECT_TRUE(isBusy(AgentStatus::spawning));
    EXPECT_TRUE(isBusy(AgentStatus::working));
    EXPECT_TRUE(isBusy(AgentStatus::hung));
    for (AgentStatus s : {AgentStatus::idle, AgentStatus::done, AgentStatus::error, AgentStatus::stopped})
        EXPECT_FALSE(isBusy(s));
}

TEST(ConversationTurn, DisplayResponsePrefersTheTrimmedSummary)
{
    const struct {
        std::optional<QString> summary;
        QString response;
        QString expected;
    } cases[] = {
        {QStringLiteral("  Added the header.\n"), QStringLiteral("lots of output\nmore"), QStringLiteral("Added the header.")},
        {QStringLiteral("   "), QStringLiteral("\n  the answer \n"), QStringLiteral("the answer")},
        {std::nullopt, QStringLiteral("\n\n"), QStringLiteral("(no response captured)")},
        {std::nullopt, QString(), QStringLiteral("(no response captured)")},
    };
    for (const auto &c : cases) {
        ConversationTurn turn;
        turn.taskCompleteSummary = c.summary;
        turn.agentResponse = c.response;
        EXPECT_EQ(turn.displayResponse(), c.expected);
    }
}

TEST(ConversationTurn, JsonLeavesOutAbsentOptionalsAndUsesNumberDates)
{
    ConversationTurn open;
    open.id = newUuid();
    open.userPrompt = QStringLiteral("make it blue");
    open.startedAt = Timestamp(800000000.25);
    QJsonObject json = open.toJson();
    EXPECT_FALSE(json.contains(QStringLiteral("endedAt")));
    EXPECT_FALSE(json.contains(QStringLiteral("taskCompleteSummary")));
    EXPECT_EQ(json.value(QStringLiteral("startedAt")).toDouble(), 800000000.25);
    EXPECT_EQ(json.value(QStringLiteral("id")).toString(), uuidText(open.id));

    ConversationTurn closed = open;
    closed.endedAt = Timestamp(800000010.5);
    json = closed.toJson();
    EXPECT_TRUE(json.contains(QStringLiteral("endedAt")));
    EXPECT_FALSE(json.contains(QStringLiteral("taskCompleteSummary")));
    EXPECT_EQ(ConversationTurn::fromJson(JsonObjectReader(json)), closed);

    closed.taskCompleteSummary = QStringLiteral("Done.");
    EXPECT_EQ(ConversationTurn::fromJson(JsonObjectReader(closed.toJson())), closed);

    json.remove(QStringLiteral("userPrompt"));
    EXPECT_THROW(ConversationTurn::fromJson(JsonObjectReader(json)), JsonDecodingError);
    json = closed.toJson();
    json.insert(QStringLiteral("startedAt"), QStringLiteral("2026-01-01T00:00:00Z"));
    EXPECT_THROW(ConversationTurn::fromJson(JsonObjectReader(json)), JsonDecodingError);
}

TEST(OutputLine, JsonKeepsTextAndRejectsUnknownKinds)
{
    const OutputLine line = OutputLine::make(OutputLine::Kind::taskComplete, QStringLiteral("  padded  "));
    const QJsonObject json = line.toJson();
    EXPECT_EQ(json.value(QStringLiteral("kind")).toString(), QStringLiteral("taskComplete"));
    EXPECT_EQ(json.value(QStringLiteral("text")).toString(), QStringLiteral("  padded  "));
    EXPECT_EQ(OutputLine::fromJson(JsonObjectReader(json)), line);

    for (const char *kind : {"stdout", "stderr", "system", "userPrompt", "taskComplete"})
        EXPECT_EQ(rawValue(*outputLineKindFromRaw(QString::fromLatin1(kind))), QString::fromLatin1(kind));
    QJsonObject bad = json;
    bad.insert(QStringLiteral("kind"), QStringLiteral("info"));
    EXPECT_THROW(OutputLine::fromJson(JsonObjectReader(bad)), JsonDecodingError);
    bad = json;
    bad.remove(QStringLiteral("id"));
    EXPECT_THROW(OutputLine::fromJson(JsonObjectReader(bad)), JsonDecodingError);
    EXPECT_NE(OutputLine::make(OutputLine::Kind::stdout, QString()).id, OutputLine::make(OutputLine::Kind::stdout, QString()).id);
}
