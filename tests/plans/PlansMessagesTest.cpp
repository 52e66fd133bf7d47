#include "plans/PlansAgentService.h"

#include "foundation/UuidText.h"

#include <gtest/gtest.h>

using namespace nerim;
using Service = PlansAgentService;

namespace {

const QString idText = QStringLiteral("0B5E6C1A-1111-4222-8333-944455556666");
const QUuid stepId = *parseUuid(idText);

QList<PlanStep> sampleSteps()
{
    return {{stepId, QStringLiteral("Scaffold app"), QStringLiteral("Next.js app router"), PlanStep::Status::done},
            {*parseUuid(QStringLiteral("11111111-2222-4333-8444-555555555555")), QStringLiteral("Add form"), QString(),
             PlanStep::Status::inProgress},
            {*parseUuid(QStringLiteral("AAAAAAAA-2222-4333-8444-555555555555")), QStringLiteral("Deploy"), QString(),
             PlanStep::Status::pending}};
}

PlanTurn turn(PlanTurn::Role role, const QString &content)
{
    return PlanTurn{newUuid(), role, content, Timestamp(1), false};
}

Service::Success success(const Service::Outcome &outcome)
{
    if (auto s = std::get_if<Service::Success>(&outcome))
        return *s;
    ADD_FAILURE() << "expected success";
    return {};
}

} // namespace

TEST(PlansUserMessage, FirstTurnCarriesContextTreeAndTheRealPlan)
{
    const QString ctx = QStringLiteral("Project: Bakery\nPath: /home/u/Bakery");
    EXPECT_EQ(Service::buildPlansUserMessage({}, QStringLiteral("Hi"), QString(), {}, ctx, QStringLiteral(" \n"),
                                             QStringLiteral("\n src/\n")),
              QStringLiteral("[PROJECT CONTEXT]\nProject: Bakery\nPath: /home/u/Bakery\n\n"
                             "[PROJECT FILE TREE]\nsrc/\n\n[CURRENT PLAN]\nNo plan exists yet.\n\nHi"));
    // Steps saved before any conversation are shown with their ids, not hidden.
    EXPECT_EQ(Service::buildPlansUserMessage({}, QStringLiteral("Hi"), QStringLiteral("Sell bread"), sampleSteps(),
                                             ctx, QStringLiteral("- did things\n"), QString()),
              QStringLiteral("[PROJECT CONTEXT]\nProject: Bakery\nPath: /home/u/Bakery\n\n[CURRENT PLAN]\n"
                             "Goal: Sell bread\n  1. [\u2713] {id=0B5E6C1A-1111-4222-8333-944455556666} Scaffold app\n"
                             "      Next.js app router\n"
                             "  2. [\u2026] {id=11111111-2222-4333-8444-555555555555} Add form\n"
                             "  3. [ ] {id=AAAAAAAA-2222-4333-8444-555555555555} Deploy\n\n"
                             "[RECENT ACTIVITY IN THIS PROJECT]\n- did things\n\nHi"));
}

TEST(PlansUserMessage, LaterTurnsCarryOnlyThePlanWhenThereIsOne)
{
    const QList<PlanTurn> earlier{turn(PlanTurn::Role::user, QStringLiteral("a"))};
    EXPECT_EQ(Service::buildPlansUserMessage(earlier, QStringLiteral("More"), QString(), {}, QStringLiteral("ctx"),
                                             QString(), QStringLiteral("tree")),
              QStringLiteral("More"));
    EXPECT_EQ(Service::buildPlansUserMessage(earlier, QStringLiteral("More"), QStringLiteral(" g "), {},
                                             QStringLiteral("ctx"), QStringLiteral("act"), QString()),
              QStringLiteral("[CURRENT PLAN]\nGoal:  g \n\n[RECENT ACTIVITY IN THIS PROJECT]\nact\n\nMore"));
}

TEST(OrganizeMessage, Parts)
{
    EXPECT_EQ(Service::buildOrganizeMessage(QString(), {}, {}, QStringLiteral("ctx"), {}),
              QStringLiteral("[PROJECT CONTEXT]\nctx\n\n[EXISTING WORKSPACE FILES]\n(none \u2014 this is the first "
                             "Organize call for this project)\n\nNow organize this project's plan into a clean set of "
                             "Markdown files under `.nerim/plans/`."));
    const QList<PlanTurn> conversation{turn(PlanTurn::Role::user, QStringLiteral("Build it")),
                                       turn(PlanTurn::Role::agent, QStringLiteral("Sure"))};
    const QString message = Service::buildOrganizeMessage(
        QString(), sampleSteps().mid(0, 1), conversation, QStringLiteral("ctx"),
        {{QStringLiteral("overview.md"), QStringLiteral("# O")}, {QStringLiteral("a.md"), QStringLiteral("A")}});
    EXPECT_EQ(message, QStringLiteral("[PROJECT CONTEXT]\nctx\n\n[CURRENT PLAN]\n  1. [\u2713] Scaffold app\n"
                                      "      Next.js app router\n\n[CONVERSATION SO FAR]\nUSER: Build it\n\nNERIM: Sure\n\n"
                                      "[EXISTING WORKSPACE FILES]\n--- FILE: overview.md ---\n# O\n\n--- FILE: a.md ---\n"
                                      "A\n\n\nNow organize this project's plan into a clean set of Markdown files under "
                                      "`.nerim/plans/`."));
}

TEST(ConversationReply, ProseTagsAndFallbacks)
{
    const QString plan = QStringLiteral(R"({"goal":" Sell bread ","steps":[{"previous_id":null,"title":" Bake ","detail":" d "}]})");
    struct Case {
        QString text;
        QString reply;
        bool hasPlan;
    };
    const Case cases[] = {
        {QStringLiteral("  Just talk.\n"), QStringLiteral("Just talk."), false},
        {QStringLiteral("<steps_update>") + plan + QStringLiteral("</steps_update>"), QStringLiteral("Plan updated."), true},
        {QStringLiteral("<STEPS_UPDATE>") + plan + QStringLiteral("</Steps_Update>"), QStringLiteral("Plan updated."), true},
        {QStringLiteral("<steps_update>{not json}</steps_update>"), QStringLiteral("\u2026"), false},
        {QStringLiteral("Before.\n\n\n\n<sTePs_UpDaTe>\n```json\n") + plan +
             QStringLiteral("\n```\n</STEPS_update>\n\n\n\nAfter."),
         QStringLiteral("Before.\n\nAfter."), true},
        {QStringLiteral("<steps_update>```\n") + plan + QStringLiteral("```</steps_update>"), QStringLiteral("Plan updated."), true},
        {QStringLiteral("<steps_update>```JSON\n") + plan + QStringLiteral("```</steps_update>"), QStringLiteral("\u2026"), false},
        {QStringLiteral("<steps_update>```</steps_update>"), QStringLiteral("\u2026"), false},
        {QStringLiteral("<steps_update>````</steps_update>"), QStringLiteral("\u2026"), false},
        {QStringLiteral("Here is the plan.\n<steps_update>{\"goal\":\"g\",\"steps\":[{\"title\":\"A"),
         QStringLiteral("Here is the plan.\n\n") + Service::cutOffPlanNotice(), false},
        {QStringLiteral("<steps_update>{\"goal\":"), Service::cutOffPlanNotice(), false},
        {QStringLiteral("A<steps_update>") + plan + QStringLiteral("</steps_update>B<steps_update>x</steps_update>"),
         QStringLiteral("AB<steps_update>x</steps_update>"), true},
        {QStringLiteral("Ä<STEPS_UPDATE>") + plan + QStringLiteral("</STEPS_UPDATE>ß"), QStringLiteral("Äß"), true},
    };
    for (const Case &c : cases) {
        const auto result = success(Service::parseConversationReply(c.text));
        EXPECT_EQ(result.reply, c.reply) << c.text.toStdString();
        EXPECT_EQ(result.revisedPlan.has_value(), c.hasPlan) << c.text.toStdString();
        if (result.revisedPlan) {
            EXPECT_EQ(result.revisedPlan->goal, QStringLiteral("Sell bread"));
            ASSERT_EQ(result.revisedPlan->steps.size(), 1);
            EXPECT_EQ(result.revisedPlan->steps[0].title, QStringLiteral("Bake"));
            EXPECT_EQ(result.revisedPlan->steps[0].detail, QStringLiteral("d"));
        }
    }
    EXPECT_EQ(std::get<Service::Failed>(Service::parseConversationReply(QStringLiteral(" \n "))).message,
              QStringLiteral("empty model response"));
}

TEST(StepsUpdate, StepDecoding)
{
    const auto plan = Service::parseStepsUpdate(QStringLiteral(
        R"({"goal":"g","extra":1,"steps":[
            {"previous_id":" 0b5e6c1a-1111-4222-8333-944455556666 ","title":"Keep","detail":"x"},
            {"previous_id":"not-a-uuid","title":"Bad id","detail":""},
            {"previous_id":"","title":"Empty id","detail":""},
            {"title":"No id","detail":""},
            {"previous_id":null,"title":"  \n ","detail":"dropped"}]})"));
    ASSERT_TRUE(plan);
    ASSERT_EQ(plan->steps.size(), 4);
    EXPECT_EQ(plan->steps[0].previousID, stepId);
    EXPECT_EQ(plan->steps[1].previousID, std::nullopt);
    EXPECT_EQ(plan->steps[2].previousID, std::nullopt);
    EXPECT_EQ(plan->steps[3].previousID, std::nullopt);

    const QString undecodable[] = {
        QStringLiteral(R"({"goal":"g","steps":[{"previous_id":null,"title":"  ","detail":""}]})"), // no usable step
        QStringLiteral(R"({"goal":"g","steps":[]})"),
        QStringLiteral(R"({"steps":[{"title":"a","detail":""}]})"),                 // no goal
        QStringLiteral(R"({"goal":"g","steps":[{"title":"a"}]})"),                  // no detail
        QStringLiteral(R"({"goal":"g","steps":[{"title":"a","detail":"","previous_id":7}]})"), // wrong type
        QStringLiteral(R"({"goal":"g","steps":[{"title":" ","detail":1},{"title":"b","detail":""}]})"),
        QStringLiteral(R"([{"goal":"g"}])"),
        QStringLiteral(R"({"goal":"g","steps":[{"title":"a","detail":""}]} trailing)"),
    };
    for (const QString &text : undecodable)
        EXPECT_FALSE(Service::parseStepsUpdate(text).has_value()) << text.toStdString();
}

TEST(OrganizeReply, BlocksNamesAndNotice)
{
    using Files = QList<Service::OrganizedFile>;
    const auto organized = [](const QString &text) {
        const auto outcome = Service::parseOrganizeResponse(text);
        if (auto s = std::get_if<Service::OrganizeSuccess>(&outcome))
            return *s;
        ADD_FAILURE() << "expected success for " << text.toStdString();
        return Service::OrganizeSuccess{};
    };

    auto result = organized(QStringLiteral("Organized your plan.\n\n<file name=\"overview.md\">\n# O\n</file>\n"
                                           "<FILE NAME='auth'>\n```ts\ncode\n```\n</FILE>"));
    EXPECT_EQ(result.notice, QStringLiteral("Organized your plan."));
    EXPECT_EQ(result.files, (Files{{"overview.md", "# O"}, {"auth.md", "```ts\ncode\n```"}}));

    result = organized(QStringLiteral("<file name=\"a.md\">A</file><file name=\"b.md\"></file>"));
    EXPECT_EQ(result.notice, QStringLiteral("Organized 2 files."));
    EXPECT_EQ(result.files, (Files{{"a.md", "A"}, {"b.md", ""}}));

    result = organized(QStringLiteral("<file>skipped</file><file name=\"a.md\">A</file>"));
    EXPECT_EQ(result.notice, QStringLiteral("Organized 1 file."));
    EXPECT_EQ(result.files, (Files{{"a.md", "A"}}));

    result = organized(QStringLiteral("One\nline. <file name=\"a\">A</file> between\n\n <files>gone</file> after "
                                      "<file name=\"/decisions/routing.md\">cut off at the lim"));
    EXPECT_EQ(result.notice, QStringLiteral("One line.   between    after"));
    EXPECT_EQ(result.files, (Files{{"a.md", "A"}, {"decisions/routing.md", "cut off at the lim"}}));

    result = organized(QStringLiteral("<file name=\"a.md\">A</file>tail <filex"));
    EXPECT_EQ(result.notice, QStringLiteral("tail  <filex"));

    result = organized(QStringLiteral("<file name=\"x.md\">1</file><file name=\"x.md\">2</file>"));
    EXPECT_EQ(result.files.size(), 2);

    EXPECT_EQ(std::get<Service::Failed>(Service::parseOrganizeResponse(QStringLiteral("Only prose."))).message,
              QStringLiteral("organize response contained no <file> blocks"));
    EXPECT_EQ(std::get<Service::Failed>(Service::parseOrganizeResponse(QStringLiteral("<files>no name"))).message,
              QStringLiteral("organize response contained no <file> blocks"));
    EXPECT_EQ(std::get<Service::Failed>(Service::parseOrganizeResponse(QStringLiteral("\n  "))).message,
              QStringLiteral("empty organize response"));
}

TEST(OrganizeReply, CleanFileName)
{
    const std::pair<const char *, const char *> cases[] = {
        {" /decisions/routing.md ", "decisions/routing.md"},
        {"notes/../x", "notes/x.md"},
        {"../etc/x", "etc/x.md"},
        {"//..//..//etc/passwd", "etc/passwd.md"},
        {"a///b.MD", "a//b.MD.md"},
        {"research/foo.md", "research/foo.md"},
    };
    for (const auto &[input, expected] : cases)
        EXPECT_EQ(Service::cleanFileName(QString::fromUtf8(input)), QString::fromUtf8(expected)) << input;
}

TEST(SystemPrompts, StateTheReplyContracts)
{
    const QString &conversation = Service::conversationSystemPrompt();
    EXPECT_TRUE(conversation.startsWith(QStringLiteral("You are Nerim's Plans agent \u2014 a strategic thinking partner")));
    EXPECT_TRUE(conversation.contains(QStringLiteral("<steps_update>")));
    EXPECT_TRUE(conversation.contains(QStringLiteral("\"previous_id\"")));
    EXPECT_TRUE(conversation.endsWith(QStringLiteral("They chose Nerim because they want a peer, not a chatbot.")));
    const QString &organize = Service::organizeSystemPrompt();
    EXPECT_TRUE(organize.startsWith(QStringLiteral("You are Nerim's Plans agent, running in ORGANIZE mode.")));
    EXPECT_TRUE(organize.contains(QStringLiteral("<file name=\"overview.md\">")));
    EXPECT_TRUE(organize.contains(QStringLiteral("Nothing outside these blocks is written to disk")));
    // Every example block in the prompt parses with the reply parser itself.
    const auto example = Service::parseOrganizeResponse(organize.mid(organize.indexOf(QStringLiteral("Example:"))));
    ASSERT_TRUE(std::holds_alternative<Service::OrganizeSuccess>(example));
    EXPECT_EQ(std::get<Service::OrganizeSuccess>(example).files.size(), 3);
}
