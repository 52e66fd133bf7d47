// Sending a prompt to a pane, handing plan steps to panes, and asking for agents.
#include "CanvasFixture.h"
#include "agents/AgentError.h"
#include "foundation/UuidText.h"

using namespace nerim;
using namespace nerim::test;

namespace {

QStringList workspaceNames(const ProjectAwareness &awareness)
{
    QStringList names;
    if (awareness.workspace)
        for (const PlansWorkspaceSnapshot::File &file : awareness.workspace->files)
            names.append(file.filename);
    return names;
}

} // namespace

TEST_F(CanvasTest, EachRoleSeesThePlanFilesMeantForIt)
{
    open();
    EXPECT_TRUE(workspaceNames(await(canvas->makePaneAwareness(AgentRole::code))).isEmpty());

    const QString plans = project + QStringLiteral("/.nerim/plans/");
    writeFile(plans + QStringLiteral("overview.md"), "# Overview");
    writeFile(plans + QStringLiteral("landing-page.md"), "hero");
    writeFile(plans + QStringLiteral("api-notes.md"), "endpoints");
    EXPECT_EQ(workspaceNames(await(canvas->makePaneAwareness(AgentRole::designer))),
              (QStringList{QStringLiteral("overview.md"), QStringLiteral("landing-page.md")}));
    EXPECT_EQ(workspaceNames(await(canvas->makePaneAwareness(AgentRole::code))),
              (QStringList{QStringLiteral("overview.md"), QStringLiteral("api-notes.md"),
                           QStringLiteral("landing-page.md")}));
    EXPECT_EQ(workspaceNames(await(canvas->makePaneAwareness(AgentRole::research))),
              (QStringList{QStringLiteral("overview.md"), QStringLiteral("api-notes.md")}));
    EXPECT_EQ(workspaceNames(await(canvas->makePaneAwareness(AgentRole::dbSchema))),
              QStringList{QStringLiteral("overview.md")});
}

TEST_F(CanvasTest, AFailedSpawnLeavesTheLinesAnErrorAndNoTurnOrLogEntry)
{
    open();
    AgentPaneState *pane = canvas->spawnPane(QString(), AgentRole::unspecified);
    provider->enqueue(FakeAgentProvider::failing(AgentError::binaryNotFound({QStringLiteral("/usr/bin/claude")})));
    feedback.cues.played.clear();
    await(canvas->sendToPane(pane, QStringLiteral("hello"), ContextEntry::PromptSource::text));

    EXPECT_EQ(pane->status(), AgentStatus::error);
    EXPECT_EQ(lineTexts(pane).mid(1), (QStringList{QStringLiteral("hello"), QStringLiteral("[spawning Claude 1\u2026]"),
                                                   QStringLiteral("Failed to spawn agent: ") +
                                                       AgentError::binaryNotFound({QStringLiteral("/usr/bin/claude")})
                                                           .description()}));
    EXPECT_EQ(pane->outputLines().last().kind, OutputLine::Kind::stderr);
    EXPECT_TRUE(pane->conversation().isEmpty());
    EXPECT_FALSE(pane->currentSession());
    EXPECT_TRUE(feedback.cues.played.isEmpty());
    spinEventLoop();
    EXPECT_EQ(entryKinds(entries()), QStringList{QStringLiteral("projectOpened")});

    // The pane takes the next prompt.
    provider->enqueue(FakeAgentProvider::events({}, 0));
    submit(QStringLiteral("again"));
    EXPECT_EQ(provider->spawnCalls().size(), 2);
}

TEST_F(CanvasTest, TheAgentIsGivenRoleRecentActivityModelAndAwareness)
{
    open();
    AgentPaneState *pane = canvas->spawnPane(QString(), AgentRole::backend);
    canvas->modelPreference().setChoice(ModelChoice::opus47);
    canvas->preview().setVisible(true);
    provider->enqueue(FakeAgentProvider::events({}, 0));
    await(canvas->sendToPane(pane, QStringLiteral("add a login endpoint"), ContextEntry::PromptSource::text));
    ASSERT_EQ(provider->spawnCalls().size(), 1);
    const FakeAgentProvider::SpawnCall call = provider->spawnCalls().first();
    EXPECT_EQ(call.role, AgentRole::backend);
    EXPECT_EQ(call.model, ModelChoice::opus47);
    EXPECT_EQ(entryKinds(call.recentEntries), QStringList{QStringLiteral("projectOpened")});
    EXPECT_TRUE(call.awareness.preview.has_value());
    EXPECT_TRUE(call.priorTurns.isEmpty());
}

TEST_F(CanvasTest, HandoverRefusalsSayWhyAndLeaveTheStepAlone)
{
    open();
    AgentPaneState *one = canvas->spawnPane(QString(), AgentRole::designer);
    canvas->spawnPane(QString(), AgentRole::unspecified);
    AgentPaneState *two = canvas->panes().at(1);
    const auto hand = [&](int step, AgentReference reference) {
        await(canvas->handPlanStep(step, reference, canvas->paneNumberIndex(), canvas->paneNameAliases(),
                                   ContextEntry::PromptSource::text));
    };

    hand(1, AgentReference::byName(QStringLiteral("Ada")));
    EXPECT_EQ(lineTexts(two).last(), QStringLiteral("[handover skipped \u2014 no agent named Ada. Say \"spawn agent\" to "
                                                    "create one first.]"));
    hand(1, AgentReference::byNumber(9));
    EXPECT_TRUE(lineTexts(two).last().contains(QStringLiteral("no agent named Claude 9.")));

    hand(1, AgentReference::byNumber(1));
    EXPECT_EQ(lineTexts(one).last(),
              QStringLiteral("[handover skipped \u2014 no plan exists yet. Say \"plan this out\" to create one.]"));

    const QUuid stepId = newUuid();
    canvas->plan().setSteps({PlanStep{stepId, QStringLiteral("Hero"), QString(), PlanStep::Status::pending}});
    hand(2, AgentReference::byNumber(1));
    EXPECT_EQ(lineTexts(one).last(), QStringLiteral("[handover skipped \u2014 step 2 is out of range (plan has 1 step).]"));
    canvas->plan().setSteps({PlanStep{stepId, QStringLiteral("Hero"), QString(), PlanStep::Status::pending},
                             PlanStep{newUuid(), QStringLiteral("Footer"), QString(), PlanStep::Status::pending}});
    hand(0, AgentReference::byNumber(1));
    EXPECT_EQ(lineTexts(one).last(), QStringLiteral("[handover skipped \u2014 step 0 is out of range (plan has 2 steps).]"));

    provider->enqueue(FakeAgentProvider::running());
    await(canvas->sendToPane(one, QStringLiteral("busy"), ContextEntry::PromptSource::text));
    hand(1, AgentReference::byName(QStringLiteral("designer")));
    EXPECT_EQ(lineTexts(one).last(), QStringLiteral("[Claude 1 is busy \u2014 waiting for the current task to finish "
                                                    "before starting step 1.]"));
    EXPECT_EQ(canvas->plan().steps().first().status, PlanStep::Status::pending);
    EXPECT_EQ(provider->spawnCalls().size(), 1);
}

TEST_F(CanvasTest, AHandedStepGoesInProgressAndTheAgentGetsTheHandoverPrompt)
{
    open();
    canvas->spawnPane(QString(), AgentRole::designer);
    canvas->spawnPane(QString(), AgentRole::unspecified);
    AgentPaneState *designer = canvas->panes().first();
    const PlanStep step{QUuid(QStringLiteral("{0f8fad5b-d9cb-469f-a165-70867728950e}")), QStringLiteral("Build the hero"),
                        QString(), PlanStep::Status::pending};
    canvas->plan().setSteps({step});
    provider->enqueue(FakeAgentProvider::events({}, 0));
    submit(QStringLiteral("hand step 1 to the designer"));

    EXPECT_EQ(canvas->plan().steps().first().status, PlanStep::Status::inProgress);
    EXPECT_EQ(canvas->focusedPaneId(), designer->id());
    ASSERT_EQ(provider->spawnCalls().size(), 1);
    EXPECT_EQ(provider->spawnCalls().first().task,
              QStringLiteral("You've been handed step 1 of the project plan.\n\nStep: Build the hero\n\nDetail: (none)\n\n"
                             "Work through this step. When it's complete, produce a TASK_COMPLETE summary that begins "
                             "with the step title so the user can trace your work back to the plan.\n\nALSO, on the "
                             "LAST line of your output before finishing, emit exactly this marker so Nerim can tick the "
                             "step done in the Plans panel:\n\n    PLAN_STEP_COMPLETE: "
                             "0F8FAD5B-D9CB-469F-A165-70867728950E\n\nDo not print the marker if the step isn't fully "
                             "done \u2014 mark only when you'd say \"yes, this step is finished\" to the user."));
    EXPECT_EQ(canvas->inputPrompt(), QString());
    // A detail of spaces is kept as it is.
    EXPECT_TRUE(ProjectCanvasViewModel::handoverPrompt(3, PlanStep{step.id, QStringLiteral("X"), QStringLiteral("  "), {}})
                    .contains(QStringLiteral("\n\nDetail:   \n\n")));
}

TEST_F(CanvasTest, AskingForAgentsCreatesWhatFitsAndSaysWhenItCannot)
{
    open();
    canvas->spawnAgents(2);
    EXPECT_EQ(canvas->panes().size(), 2);
    for (AgentPaneState *pane : canvas->panes())
        EXPECT_FALSE(lineTexts(pane).last().startsWith(QStringLiteral("[note:")));
    EXPECT_EQ(canvas->focusedPaneId(), canvas->panes().last()->id());

    canvas->spawnAgents(3);
    ASSERT_EQ(canvas->panes().size(), 3);
    EXPECT_EQ(lineTexts(canvas->panes().last()).last(),
              QStringLiteral("[note: requested 3 agent(s); 1 created (soft cap = 3)]"));
    canvas->spawnAgents(1);
    EXPECT_EQ(lineTexts(canvas->panes().last()).last(),
              QStringLiteral("[note: requested 1 agent(s); 0 created (soft cap = 3)]"));

    // A system pane takes room too, and a canvas over the cap creates nothing.
    await(canvas->closePane(canvas->panes().last()->id()));
    await(canvas->closePane(canvas->panes().last()->id()));
    canvas->appendPane(new AgentPaneState(newUuid(), QStringLiteral("nerim.repair"), QStringLiteral("Repair"), 0, true,
                                          AgentRole::unspecified, QString()));
    canvas->appendPane(new AgentPaneState(newUuid(), QStringLiteral("nerim.deploy"), QStringLiteral("Deploy"), 0, true,
                                          AgentRole::unspecified, QString()));
    canvas->appendPane(new AgentPaneState(newUuid(), QStringLiteral("nerim.x"), QStringLiteral("Extra"), 0, true,
                                          AgentRole::unspecified, QString()));
    canvas->spawnAgents(2);
    EXPECT_EQ(canvas->panes().size(), 4);
    EXPECT_EQ(lineTexts(canvas->panes().last()).last(),
              QStringLiteral("[note: requested 2 agent(s); 0 created (soft cap = 3)]"));
}
