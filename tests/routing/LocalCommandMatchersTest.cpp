#include "routing/LocalCommandMatchers.h"

#include <gtest/gtest.h>

using namespace nerim;

namespace {

const OpenPaneNumbers openPanes{1, 2};
const PaneNameTable names{{QStringLiteral("designer"), 1}};

} // namespace

TEST(RunAppCommand, Table)
{
    const struct {
        const char *prompt;
        bool matches;
    } rows[] = {
        {"run the app", true},         {"start the server", true},    {"open it", true},
        {"boot it up", true},          {"start the app up", true},    {"fire up the server", true},
        {"let's see it", true},        {"show me the app", true},     {"Run The App!", true},
        {"run", true},                 {"start", true},               {"open", true},
        {"preview", true},             {"run the app.?!", true},      {"get the app running", false},
        {"run the tests", false},      {"launch the site please", false}, {"show me the preview", false},
        {"open the browser", false},   {"start the app running now", false}, {"open a new agent", false},
        {"show me the plan", false},   {"", false},                   {"  ", false},
        {"spin up my web", true},      {"let us see your website", true}, {"start it running", false},
    };
    for (const auto &row : rows)
        EXPECT_EQ(parseRunAppCommand(QString::fromUtf8(row.prompt)).has_value(), row.matches) << row.prompt;
}

TEST(PreviewCommand, Table)
{
    const struct {
        const char *prompt;
        std::optional<PreviewCommand> expected;
    } rows[] = {
        {"show me the preview", PreviewCommand::open},
        {"open the browser", PreviewCommand::open},
        {"browser", PreviewCommand::open},
        {"preview", PreviewCommand::open},
        {"bring up the preview", PreviewCommand::open},
        {"Close the preview.", PreviewCommand::close},
        {"hide the browser", PreviewCommand::close},
        {"kill preview", PreviewCommand::close},
        {"bring up", std::nullopt},
        {"open", std::nullopt},
        {"hide the browser please", std::nullopt},
        {"open the browser tab", std::nullopt},
        {"close the", std::nullopt},
        {"hide", std::nullopt},
        {"open a new agent", std::nullopt},
    };
    for (const auto &row : rows)
        EXPECT_EQ(parsePreviewCommand(QString::fromUtf8(row.prompt)), row.expected) << row.prompt;
}

TEST(PlanCommand, Table)
{
    const auto open = [](const char *topic = nullptr) {
        return std::optional<PlanCommand>(PlanCommand::open(topic ? std::optional<QString>(QString::fromUtf8(topic)) : std::nullopt));
    };
    const struct {
        const char *prompt;
        std::optional<PlanCommand> expected;
    } rows[] = {
        {"plan this out", open()},
        {"plan it", open()},
        {"plan first", open()},
        {"plan the app", open()},
        {"plan", open()},
        {"Show me the plan", open()},
        {"open the plans panel!", open()},
        {"plan a booking page for my bakery", open("booking page for my bakery")},
        {"Plan a booking page for my bakery, please", open("booking page for my bakery,")},
        {"plan the whole thing", open()},
        {"plan a landing page for me", open()},
        {"plan out a big new checkout flow for us", open("big new checkout flow")},
        {"make a plan", open()},
        {"make a plan for a bakery website", open("bakery website")},
        {"draft the plans for the new signup flow", open("new signup flow")},
        {"make a plan for me please", open()},
        {"make me a plan", std::nullopt},
        {"let's plan the app", std::nullopt},
        {"let's plan", open()},
        {"Lets plan.", open()},
        {"Close plans.", PlanCommand::close()},
        {"hide the plans panel", PlanCommand::close()},
        {"make an agent", std::nullopt},
        {"make", std::nullopt},
        {"planet earth", std::nullopt},
    };
    for (const auto &row : rows) {
        const auto actual = parsePlanCommand(QString::fromUtf8(row.prompt));
        EXPECT_EQ(actual, row.expected) << row.prompt << " gave topic "
                                        << (actual && actual->topic ? actual->topic->toStdString() : "-");
    }
}

TEST(StepHandover, Table)
{
    const auto number = [](int step, int pane) { return std::optional<StepHandover>(StepHandover{step, AgentReference::byNumber(pane)}); };
    const struct {
        const char *prompt;
        std::optional<StepHandover> expected;
    } rows[] = {
        {"hand step 2 to claude 1", number(2, 1)},
        {"give step number 3 to agent 2", number(3, 2)},
        {"pass step 4 over to agent 2", number(4, 2)},
        {"hand off step two to the designer", StepHandover{2, AgentReference::byName(QStringLiteral("designer"))}},
        {"claude 2, pick up step three", number(3, 2)},
        {"Agent 1: take step 5.", number(5, 1)},
        {"@2 grab step twenty", number(20, 2)},
        {"please just send step 7 to claude2", number(7, 2)},
        {"claude 2 handle number 3", std::nullopt},
        {"hand step 21 to claude 1", std::nullopt},
        {"hand step 2 to claude 5", std::nullopt},
        {"hand number 3 to claude 1", std::nullopt},
        {"hand step to claude 1", std::nullopt},
        {"claude 2, pick up", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto &row : rows)
        EXPECT_EQ(parseStepHandover(QString::fromUtf8(row.prompt), openPanes, names), row.expected) << row.prompt;
}

TEST(SpawnCount, Table)
{
    const struct {
        const char *prompt;
        std::optional<int> expected;
    } rows[] = {
        {"spawn agent", 1},          {"spawn agents", 1},           {"spawn an agent", 1},
        {"open another agent", 1},   {"make me a new agent", 1},    {"open a new agent", 1},
        {"make an agent", 1},        {"spawn another agent", 1},    {"spawn 2 agents", 2},
        {"spawn two more agents", 2}, {"spawn another 2 agents", 2}, {"spawn another two agents", 2},
        {"add three agents", 3},     {"Spawn 3 more agents!", 3},   {"spawn one agent", 1},
        {"spawn 5 agents", std::nullopt}, {"spawn more agents", std::nullopt}, {"spawn", std::nullopt},
        {"create two agents please", std::nullopt}, {"spawn another", std::nullopt}, {"spawn a", std::nullopt},
        {"hire two agents", std::nullopt},
    };
    for (const auto &row : rows)
        EXPECT_EQ(parseSpawnCount(QString::fromUtf8(row.prompt)), row.expected) << row.prompt;
}

// Runs the six matchers as the canvas does on an "auto" prompt and names the
// one that answers first.
TEST(MatcherPipeline, FirstMatcherInCanvasOrderWins)
{
    const auto winner = [](const QString &prompt, const OpenPaneNumbers &panes, const PaneNameTable &table) -> QString {
        if (parseRunAppCommand(prompt))
            return QStringLiteral("runApp");
        if (auto preview = parsePreviewCommand(prompt))
            return *preview == PreviewCommand::open ? QStringLiteral("previewOpen") : QStringLiteral("previewClose");
        if (auto plan = parsePlanCommand(prompt)) {
            if (plan->kind == PlanCommand::Kind::close)
                return QStringLiteral("planClose");
            return plan->topic ? QStringLiteral("planTopic:") + *plan->topic : QStringLiteral("planOpen");
        }
        if (auto handover = parseStepHandover(prompt, panes, table))
            return QStringLiteral("handover:%1").arg(handover->stepNumber);
        if (auto count = parseSpawnCount(prompt))
            return QStringLiteral("spawn:%1").arg(*count);
        if (auto address = parsePaneAddress(prompt, panes, table))
            return QStringLiteral("pane%1:%2").arg(address->paneNumber).arg(address->task);
        return QStringLiteral("none");
    };
    const PaneNameTable table{{QStringLiteral("designer"), 1}, {QStringLiteral("alice"), 2}};
    const struct {
        const char *prompt;
        const char *expected;
    } rows[] = {
        {"preview", "runApp"},
        {"open", "runApp"},
        {"show me the preview", "previewOpen"},
        {"open the browser", "previewOpen"},
        {"show me the plan", "planOpen"},
        {"open a new agent", "spawn:1"},
        {"make an agent", "spawn:1"},
        {"make a plan for a bakery website", "planTopic:bakery website"},
        {"hand step 2 to claude 1", "handover:2"},
        {"claude 2, pick up step three", "handover:3"},
        {"claude 2 handle number 3", "pane2:handle number 3"},
        {"hand step 2 to claude 3", "none"},
        {"alice please fix the nav", "pane2:fix the nav"},
        {"Designer: start the app", "pane1:start the app"},
        {"start the app", "runApp"},
        {"spawn two more agents", "spawn:2"},
        {"claude 1 fix the header and claude 2 write the tests", "pane1:fix the header and claude 2 write the tests"},
        {"fix the header", "none"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(winner(QString::fromUtf8(row.prompt), OpenPaneNumbers{1, 2}, table), QString::fromUtf8(row.expected))
            << row.prompt;
}
