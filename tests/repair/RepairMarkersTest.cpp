#include "repair/RepairMarkers.h"

#include <gtest/gtest.h>

using namespace nerim;
using namespace nerim::RepairMarkers;

namespace {

struct ParseCase {
    const char *line;
    std::optional<Signal> expected;
};

} // namespace

TEST(RepairMarkers, ParsesEachLineByTheFirstRuleThatApplies)
{
    const QString noReason = defaultStuckReason;
    const QString noExplanation = defaultSecretExplanation;
    const ParseCase cases[] = {
        {"", std::nullopt},
        {"   \t  ", std::nullopt},
        {"Everything is fixed now. [NERIM_READY_TO_RETRY] Over to you.", ReadyToRetrySignal{}},
        {"Everything is fixed now. [NERIM_REPAIR_STUCK] Over to you.", std::nullopt},
        {"[nerim_ready_to_retry]", ReadyToRetrySignal{}},
        {"[nerim_repair_stuck]: the database is gone", StuckSignal{QStringLiteral("the database is gone")}},
        {"[NERIM_REPAIR_STUCK]: no idea [NERIM_READY_TO_RETRY]", ReadyToRetrySignal{}},
        {"> `[NERIM_REPAIR_STUCK]: The app needs a database.`", StuckSignal{QStringLiteral("The app needs a database.")}},
        {"[NERIM_REPAIR_STUCK]", StuckSignal{noReason}},
        {"[NERIM_REPAIR_STUCK]:    ", StuckSignal{noReason}},
        {"  [NERIM_REPAIR_STUCK]: padded  \n", StuckSignal{QStringLiteral("padded")}},
        {"[NERIM_REPAIR_ASK_SECRET]: OPENAI_API_KEY", AskSecretSignal{QStringLiteral("OPENAI_API_KEY"), noExplanation}},
        {"[NERIM_REPAIR_ASK_SECRET]: OPENAI_API_KEY |   ", AskSecretSignal{QStringLiteral("OPENAI_API_KEY"), noExplanation}},
        {"[NERIM_REPAIR_ASK_SECRET]: db_url | Where your data lives.",
         AskSecretSignal{QStringLiteral("db_url"), QStringLiteral("Where your data lives.")}},
        {"[NERIM_REPAIR_ASK_SECRET]: KEY | first part | second part",
         AskSecretSignal{QStringLiteral("KEY"), QStringLiteral("first part | second part")}},
        {"[NERIM_REPAIR_ASK_SECRET]: | explanation only", std::nullopt},
        {"[NERIM_REPAIR_ASK_SECRET]:", std::nullopt},
        {"[NERIM_REPAIR_LAUNCH_OVERRIDE]: npm run dev:web", LaunchOverrideSignal{QStringLiteral("npm run dev:web")}},
        {"[NERIM_REPAIR_LAUNCH_OVERRIDE]:", LaunchOverrideSignal{QString()}},
        {"Note: [NERIM_REPAIR_LAUNCH_OVERRIDE]: npm start", std::nullopt},
        {"Note: [NERIM_REPAIR_STUCK]: gave up", std::nullopt},
        // A quoted command keeps its own closing quote; only wrappers go.
        {"[NERIM_REPAIR_LAUNCH_OVERRIDE]: echo \"This project has nothing to start automatically.\"",
         LaunchOverrideSignal{QStringLiteral("echo \"This project has nothing to start automatically.\"")}},
        {"`[NERIM_REPAIR_LAUNCH_OVERRIDE]: echo \"This project has nothing to start automatically.\"`",
         LaunchOverrideSignal{QStringLiteral("echo \"This project has nothing to start automatically.\"")}},
        {"`[NERIM_REPAIR_LAUNCH_OVERRIDE]: npm run dev`", LaunchOverrideSignal{QStringLiteral("npm run dev")}},
        {"[NERIM_REPAIR_LAUNCH_OVERRIDE]: bash -c 'cd web && npm start'",
         LaunchOverrideSignal{QStringLiteral("bash -c 'cd web && npm start'")}},
        // Other markers keep the general rule: every trailing quote goes.
        {"[NERIM_REPAIR_STUCK]: It said \"no\"", StuckSignal{QStringLiteral("It said \"no")}},
        {"Just some ordinary output", std::nullopt},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(parse(QString::fromUtf8(c.line)), c.expected);
    }
}

TEST(RepairMarkers, ABlankLaunchOverrideParsesButSaysItIsBlank)
{
    for (const char *line : {"[NERIM_REPAIR_LAUNCH_OVERRIDE]: \t ", "`[NERIM_REPAIR_LAUNCH_OVERRIDE]:`"}) {
        SCOPED_TRACE(line);
        const auto blank = parse(QString::fromUtf8(line));
        ASSERT_TRUE(blank);
        ASSERT_TRUE(std::holds_alternative<LaunchOverrideSignal>(*blank));
        EXPECT_TRUE(std::get<LaunchOverrideSignal>(*blank).isBlank());
    }

    const auto command = parse(QStringLiteral("[NERIM_REPAIR_LAUNCH_OVERRIDE]: npm start"));
    ASSERT_TRUE(command);
    EXPECT_FALSE(std::get<LaunchOverrideSignal>(*command).isBlank());
}
