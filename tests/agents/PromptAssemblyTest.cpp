#include "TestEnvironment.h"
#include "agents/PromptAssembly.h"
#include "foundation/UuidText.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

using namespace nerim;

namespace {

ConversationTurn turn(const QString &prompt, const QString &response, std::optional<QString> summary, bool ended)
{
    ConversationTurn t;
    t.id = newUuid();
    t.userPrompt = prompt;
    t.agentResponse = response;
    t.taskCompleteSummary = std::move(summary);
    t.startedAt = Timestamp(800000000);
    if (ended)
        t.endedAt = Timestamp(800000060);
    return t;
}

QList<ContextEntry> twoEntries()
{
    // 2026-03-14T09:26:53Z and a second later.
    const Timestamp first = *Timestamp::fromIso8601(QStringLiteral("2026-03-14T09:26:53Z"));
    return {
        ContextEntry(QStringLiteral("E1"), first, ContextEntry::ProjectOpened{QStringLiteral("0.1.0")}),
        ContextEntry(QStringLiteral("E2"), first.addingSeconds(1),
                     ContextEntry::AgentPromptReceived{QStringLiteral("A"), QStringLiteral("Claude 1"),
                                                       QStringLiteral("add a login page"),
                                                       ContextEntry::PromptSource::text}),
    };
}

PlanAwarenessSnapshot plan(const QString &goal)
{
    return PlanAwarenessSnapshot{goal,
                                 {{QStringLiteral("Sketch the pages"), QString(), QStringLiteral("done")},
                                  {QStringLiteral("Build the API"), QStringLiteral("Express with two routes"),
                                   QStringLiteral("inProgress")},
                                  {QStringLiteral("Style it"), QString(), QStringLiteral("pending")},
                                  {QStringLiteral("Ship"), QString(), QStringLiteral("blocked")}}};
}

// Compares with tests/agents/golden/<name>.txt, the project folder written as
// {{PROJECT}}. With NERIM_UPDATE_GOLDEN=1 the file is rewritten instead.
void expectGolden(const QString &name, const QString &projectPath, QString prompt)
{
    prompt.replace(projectPath, QStringLiteral("{{PROJECT}}"));
    const QString path = QStringLiteral(NERIM_AGENTS_GOLDEN_DIR) + QLatin1Char('/') + name + QStringLiteral(".txt");
    if (qEnvironmentVariable("NERIM_UPDATE_GOLDEN") == QLatin1String("1")) {
        ASSERT_TRUE(test::writeFile(path, prompt.toUtf8()));
        return;
    }
    const QString expected = QString::fromUtf8(test::readFile(path));
    ASSERT_FALSE(expected.isEmpty()) << "missing golden file " << path.toStdString();
    EXPECT_EQ(prompt, expected) << "differs from " << path.toStdString();
}

} // namespace

TEST(PromptAssembly, GoldenEmptyProject)
{
    const QString project = test::makeTempDir(QStringLiteral("blank"));
    QDir().mkpath(project + QStringLiteral("/.nerim"));
    test::writeFile(project + QStringLiteral("/.hidden"), "x");
    expectGolden(QStringLiteral("empty-project"), project,
                 assemblePrompt(AgentRole::unspecified, project, {}, {}, ProjectAwareness{},
                                QStringLiteral("make me a website")));
}

TEST(PromptAssembly, GoldenFirstTask)
{
    const QString project = test::makeTempDir(QStringLiteral("my-site"));
    test::writeFile(project + QStringLiteral("/index.html"), "<html></html>");
    expectGolden(QStringLiteral("first-task"), project,
                 assemblePrompt(AgentRole::designer, project, {}, {}, ProjectAwareness{},
                                QStringLiteral("make the header \"pop\"")));
}

TEST(PromptAssembly, GoldenJoiningWithTurnsPlanWorkspaceAndPreview)
{
    const QString project = test::makeTempDir(QStringLiteral("shop"));
    ProjectAwareness awareness;
    awareness.plan = plan(QStringLiteral("A small shop"));
    awareness.workspace = PlansWorkspaceSnapshot{{{QStringLiteral("overview.md"), QStringLiteral("# Shop\nSell mugs.")},
                                                  {QStringLiteral("api.md"), QStringLiteral("GET /mugs")}}};
    awareness.preview = PreviewSnapshot{QUrl(QStringLiteral("http://localhost:5173/cart?x=1")), QStringLiteral("Cart"),
                                        true, QStringLiteral("Failed to fetch")};
    const QList<ConversationTurn> turns{
        turn(QStringLiteral("add a cart"), QStringLiteral("Working…\nDone"), QStringLiteral(" Added a cart page.\n"), true),
        turn(QStringLiteral("still running"), QStringLiteral("partial"), std::nullopt, false),
        turn(QStringLiteral("fix the total"), QStringLiteral("\n  Fixed rounding.  \n"), std::nullopt, true),
        turn(QStringLiteral("say nothing"), QString(), QStringLiteral("   "), true),
    };
    expectGolden(QStringLiteral("joining-full"), project,
                 assemblePrompt(AgentRole::backend, project, twoEntries(), turns, awareness,
                                QStringLiteral("add a checkout endpoint")));
}

TEST(PromptAssembly, GoldenJoiningPlanWithoutGoalAndLoadingPreview)
{
    const QString project = test::makeTempDir(QStringLiteral("notes"));
    ProjectAwareness awareness;
    awareness.plan = plan(QString());
    awareness.preview = PreviewSnapshot{std::nullopt, QString(), true, std::nullopt};
    awareness.workspace = PlansWorkspaceSnapshot{};
    expectGolden(QStringLiteral("joining-plan-no-goal"), project,
                 assemblePrompt(AgentRole::research, project, twoEntries(), {}, awareness,
                                QStringLiteral("compare two editors")));
}

TEST(PromptAssembly, FixedTextsHaveTheirLengths)
{
    EXPECT_EQ(capabilitiesText().toUtf8().size(), 5014);
    const QString project = test::makeTempDir(QStringLiteral("sized"));
    EXPECT_EQ(orientationBlock(0, project, QStringList{}).toUtf8().size(), 923);
    const QString firstTask = orientationBlock(0, project, QStringList{QStringLiteral("a")});
    EXPECT_EQ(firstTask.toUtf8().size() - firstTask.indexOf(QStringLiteral("\"). Before")), 637);
    const QString preview = livePreviewBlock(PreviewSnapshot{std::nullopt, QString(), true, std::nullopt});
    EXPECT_TRUE(preview.endsWith(QStringLiteral("preview automatically.\n")));
    EXPECT_EQ(preview.toUtf8().size() - preview.indexOf(QStringLiteral("\n\nReferential")), 280);
}

TEST(PromptAssembly, CapabilitiesKeepTheirQuotedPhrasesOnOneLine)
{
    // Phrases the agent may repeat to the user, or must recognise, are never cut by a line break.
    const QStringList phrases{
        QStringLiteral("\"run the app\" / \"show me the app\" / \"start it up\" / \"let me see it\""),
        QStringLiteral("\"spawn agent\" / \"open another Claude\" / \"add a pane\""),
        QStringLiteral("\u2705 \"The app is ready. Say 'run the app' to see it in the preview.\""),
        QStringLiteral("That's the handoff."),
        QStringLiteral("The user should NEVER see the"),
        QStringLiteral("trust the launcher."),
        QStringLiteral("\"hand step 2 to Claude 1\""),
        QStringLiteral("\n        [NERIM_HANDOFF_TO_PLANS: <one-sentence vision>]\n"),
    };
    for (const QString &phrase : phrases)
        EXPECT_TRUE(capabilitiesText().contains(phrase)) << phrase.toStdString();
}

TEST(PromptAssembly, OrientationVariantDependsOnActivityAndVisibleFiles)
{
    const QString project = test::makeTempDir(QStringLiteral("folder"));
    EXPECT_TRUE(orientationBlock(0, project, std::nullopt).startsWith(QStringLiteral("\n[EMPTY PROJECT")));
    EXPECT_TRUE(orientationBlock(0, project, QStringList{}).startsWith(QStringLiteral("\n[EMPTY PROJECT")));
    EXPECT_TRUE(orientationBlock(0, project, QStringList{QStringLiteral("README.md")})
                    .contains(QStringLiteral("This is the first task in this project (\"folder\").")));
    EXPECT_TRUE(orientationBlock(3, project, std::nullopt)
                    .contains(QStringLiteral("You are joining an in-progress project (\"folder\").")));

    test::writeFile(project + QStringLiteral("/.env"), "x");
    EXPECT_EQ(visibleTopLevelNames(project), QStringList{});
    test::writeFile(project + QStringLiteral("/app.py"), "x");
    EXPECT_EQ(visibleTopLevelNames(project), QStringList{QStringLiteral("app.py")});
    EXPECT_FALSE(visibleTopLevelNames(project + QStringLiteral("/missing")));
}

TEST(PromptAssembly, BlocksAreAbsentWithoutContent)
{
    EXPECT_EQ(priorConversationBlock({}), QString());
    EXPECT_EQ(priorConversationBlock({turn(QStringLiteral("open"), QString(), std::nullopt, false)}), QString());
    EXPECT_EQ(projectPlanBlock(std::nullopt), QString());
    EXPECT_EQ(projectPlanBlock(PlanAwarenessSnapshot{}), QString());
    EXPECT_EQ(planWorkspaceBlock(PlansWorkspaceSnapshot{}), QString());
    EXPECT_EQ(livePreviewBlock(PreviewSnapshot{std::nullopt, QString(), false, QString()}), QString());
    EXPECT_EQ(livePreviewBlock(std::nullopt), QString());
}

TEST(PromptAssembly, PlanStepsAndPreviewLines)
{
    const PlanAwarenessSnapshot::Step detailed{QStringLiteral("Build"), QStringLiteral("two routes"),
                                               QStringLiteral("inProgress")};
    EXPECT_EQ(planStepLine(0, detailed), QStringLiteral("        [~] 1. Build\n            two routes"));
    EXPECT_EQ(planStepLine(4, {QStringLiteral("X"), QString(), QStringLiteral("Done")}),
              QStringLiteral("        [ ] 5. X"));

    const QString noGoal = projectPlanBlock(PlanAwarenessSnapshot{QString(), {detailed}});
    EXPECT_TRUE(noGoal.contains(QStringLiteral("in the plan:\n\nSteps ([x] done, [~] in-progress, [ ] pending):\n[~] 1. Build")));
    const QString withGoal = projectPlanBlock(PlanAwarenessSnapshot{QStringLiteral("Mugs"), {detailed}});
    EXPECT_TRUE(withGoal.contains(QStringLiteral("in the plan:\n\nGoal: Mugs\n\n        Steps (")));
    EXPECT_TRUE(projectPlanBlock(PlanAwarenessSnapshot{QStringLiteral("Only a goal"), {}})
                    .contains(QStringLiteral("pending):\n\n\nRead the plan")));

    const QString loading = livePreviewBlock(PreviewSnapshot{std::nullopt, QString(), true, QString()});
    EXPECT_TRUE(loading.contains(QStringLiteral("looking at:\nStatus: loading\n\nReferential")));
}

TEST(PromptAssembly, EndsWithTheOutputInstruction)
{
    const QString project = test::makeTempDir(QStringLiteral("p"));
    const QString prompt = assemblePrompt(AgentRole::code, project, {}, {}, ProjectAwareness{}, QStringLiteral("t"));
    EXPECT_TRUE(prompt.endsWith(QStringLiteral(
        "TASK_COMPLETE: [one sentence describing what you did and what changed]")));
    EXPECT_TRUE(prompt.contains(QStringLiteral("Recent agent activity (last 10 entries):\n"
                                               "(No prior activity in this project yet.)\n")));
}
