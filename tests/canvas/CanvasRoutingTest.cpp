// Where a submitted prompt goes, and what stays in the prompt bar.
#include "CanvasFixture.h"

#include <QFile>

using namespace nerim;
using namespace nerim::test;

using RouteResult = IntentProcessorService::RouteResult;
using RoutedTask = IntentProcessorService::RoutedTask;

TEST_F(CanvasTest, ABlankPromptDoesNothingAtAll)
{
    open();
    submit(QStringLiteral("  \n "));
    EXPECT_FALSE(canvas->justSubmitted());
    EXPECT_TRUE(canvas->panes().isEmpty());
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("  \n "));
    EXPECT_TRUE(feedback.haptics.performed.isEmpty());
}

TEST_F(CanvasTest, SubmittingFlashesAndTapsWhileTheAppIsActive)
{
    open();
    canvas->spawnPane(QString(), AgentRole::unspecified);
    provider->enqueue(FakeAgentProvider::events({}, 0));
    QObject scope; // the recording connection ends with this test's locals
    QList<bool> flashes;
    QObject::connect(canvas.get(), &ProjectCanvasViewModel::justSubmittedChanged, &scope,
                     [&] { flashes.append(canvas->justSubmitted()); });
    submit(QStringLiteral("hello"));
    EXPECT_EQ(feedback.haptics.performed, QList<HapticPerformer::Pattern>{HapticPerformer::Pattern::alignment});
    EXPECT_TRUE(waitUntil([&] { return !canvas->justSubmitted(); }));
    EXPECT_EQ(flashes, (QList<bool>{true, false}));

    feedback.activity.setActive(false);
    ASSERT_TRUE(settle(canvas->panes().first()));
    submit(QStringLiteral("again"));
    EXPECT_EQ(feedback.haptics.performed.size(), 1);
}

TEST_F(CanvasTest, AnUnrecognisedPromptOnAnEmptyCanvasOpensAPaneAndRunsThere)
{
    open();
    submit(QStringLiteral("make me a bakery site"), ContextEntry::PromptSource::voice);
    ASSERT_EQ(canvas->panes().size(), 1);
    AgentPaneState *pane = canvas->panes().first();
    EXPECT_EQ(pane->paneNumber(), 1);
    ASSERT_EQ(provider->spawnCalls().size(), 1);
    EXPECT_EQ(provider->spawnCalls().first().task, QStringLiteral("make me a bakery site"));
    EXPECT_EQ(canvas->inputPrompt(), QString());
    ASSERT_TRUE(waitUntil([&] { return entries().size() == 3; }));
    EXPECT_EQ(std::get<ContextEntry::AgentPromptReceived>(entries().at(1).payload()).source,
              ContextEntry::PromptSource::voice);
}

TEST_F(CanvasTest, APaneTargetTakesEvenACommandPhraseAsATask)
{
    open();
    AgentPaneState *pane = canvas->spawnPane(QString(), AgentRole::unspecified);
    canvas->selectPromptTarget(PromptTarget::pane(pane->id()));
    submit(QStringLiteral("run the app"));
    ASSERT_EQ(provider->spawnCalls().size(), 1);
    EXPECT_EQ(provider->spawnCalls().first().task, QStringLiteral("run the app"));
    EXPECT_FALSE(canvas->preview().isVisible());
}

TEST_F(CanvasTest, ABusyPaneRefusesAndThePromptStays)
{
    open();
    AgentPaneState *pane = canvas->spawnPane(QString(), AgentRole::unspecified);
    provider->enqueue(FakeAgentProvider::running());
    submit(QStringLiteral("first"));
    ASSERT_EQ(pane->status(), AgentStatus::working);

    canvas->selectPromptTarget(PromptTarget::pane(pane->id()));
    submit(QStringLiteral("second"));
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("second"));
    EXPECT_EQ(lineTexts(pane).last(),
              QStringLiteral("[Claude 1 is busy \u2014 waiting for the current task to finish. Say \"spawn agent\" "
                             "to start another pane in parallel.]"));
    EXPECT_EQ(provider->spawnCalls().size(), 1);

    // The automatic route refuses the same way.
    canvas->selectPromptTarget(PromptTarget::automatic());
    submit(QStringLiteral("third"));
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("third"));
    EXPECT_EQ(provider->spawnCalls().size(), 1);
}

TEST_F(CanvasTest, APaneTargetWhosePaneClosedFallsBackToAutomatic)
{
    open();
    AgentPaneState *gone = canvas->spawnPane(QString(), AgentRole::unspecified);
    canvas->selectPromptTarget(PromptTarget::pane(gone->id()));
    const QUuid goneId = gone->id();
    // Closed behind the target's back (a close normally resets it).
    canvas->setPromptTarget(PromptTarget::pane(goneId));
    await(canvas->closePane(goneId));
    canvas->setPromptTarget(PromptTarget::pane(goneId));
    submit(QStringLiteral("spawn 2 agents"));
    EXPECT_EQ(canvas->promptTarget(), PromptTarget::automatic());
    EXPECT_EQ(canvas->panes().size(), 2);
    EXPECT_EQ(canvas->inputPrompt(), QString());
}

TEST_F(CanvasTest, ThePlansTargetShowsThePanelAndRecordsTheMessage)
{
    open();
    canvas->selectPromptTarget(PromptTarget::plans());
    submit(QStringLiteral("a booking page for my bakery"));
    EXPECT_TRUE(canvas->plan().isVisible());
    ASSERT_EQ(canvas->plan().conversation().size(), 1);
    EXPECT_EQ(canvas->plan().conversation().first().content, QStringLiteral("a booking page for my bakery"));
    EXPECT_TRUE(provider->spawnCalls().isEmpty());
}

TEST_F(CanvasTest, LocalPhrasesActOnTheCanvas)
{
    open();
    submit(QStringLiteral("open the preview"));
    EXPECT_TRUE(canvas->preview().isVisible());
    EXPECT_EQ(canvas->inputPrompt(), QString());
    submit(QStringLiteral("close the preview"));
    EXPECT_FALSE(canvas->preview().isVisible());
    submit(QStringLiteral("run the app"));
    EXPECT_TRUE(canvas->preview().isVisible());

    submit(QStringLiteral("plan"));
    EXPECT_TRUE(canvas->plan().isVisible());
    submit(QStringLiteral("close plans"));
    EXPECT_FALSE(canvas->plan().isVisible());

    submit(QStringLiteral("spawn 3 agents"));
    EXPECT_EQ(canvas->panes().size(), 3);
    EXPECT_TRUE(provider->spawnCalls().isEmpty());
}

TEST_F(CanvasTest, AddressingAPaneSendsItOnlyTheTask)
{
    open();
    canvas->spawnAgents(2);
    AgentPaneState *one = canvas->panes().at(0);
    submit(QStringLiteral("claude 1 fix the header"));
    EXPECT_EQ(canvas->focusedPaneId(), one->id());
    ASSERT_EQ(provider->spawnCalls().size(), 1);
    EXPECT_EQ(provider->spawnCalls().first().task, QStringLiteral("fix the header"));
    EXPECT_EQ(router.calls, 0);
}

TEST_F(CanvasTest, AddressingABusyPaneFocusesItAndKeepsThePrompt)
{
    open();
    canvas->spawnAgents(2);
    AgentPaneState *one = canvas->panes().at(0);
    AgentPaneState *two = canvas->panes().at(1);
    canvas->renamePane(one->id(), QStringLiteral("Designer"));
    provider->enqueue(FakeAgentProvider::running());
    await(canvas->sendToPane(one, QStringLiteral("work"), ContextEntry::PromptSource::text));
    ASSERT_EQ(canvas->focusedPaneId(), two->id());

    submit(QStringLiteral("designer: make the logo bigger"));
    EXPECT_EQ(canvas->focusedPaneId(), one->id());
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("designer: make the logo bigger"));
    EXPECT_TRUE(lineTexts(one).last().startsWith(QStringLiteral("[Designer is busy")));
}

TEST_F(CanvasTest, WithSeveralPanesTheRouterDecidesAndAFailedRouterMeansTheFocusedPane)
{
    open();
    canvas->spawnAgents(2);
    AgentPaneState *two = canvas->panes().at(1);
    provider->enqueue(FakeAgentProvider::events({}, 0));
    submit(QStringLiteral("make it nicer"));
    EXPECT_EQ(router.calls, 1);
    ASSERT_EQ(provider->spawnCalls().size(), 1);
    EXPECT_EQ(two->outputLines().at(1).text, QStringLiteral("make it nicer"));

    router.result = RouteResult::failed(QStringLiteral("httpError(status: 500)"));
    ASSERT_TRUE(settle(two));
    submit(QStringLiteral("and again"));
    EXPECT_EQ(provider->spawnCalls().size(), 2);
    EXPECT_EQ(canvas->inputPrompt(), QString());
}

TEST_F(CanvasTest, RoutedTasksStartTogetherAndABusyPaneIsSkipped)
{
    open();
    canvas->spawnAgents(3);
    AgentPaneState *one = canvas->panes().at(0);
    AgentPaneState *two = canvas->panes().at(1);
    AgentPaneState *three = canvas->panes().at(2);
    const QUuid focusBefore = *canvas->focusedPaneId();
    provider->enqueue(FakeAgentProvider::running());
    await(canvas->sendToPane(three, QStringLiteral("busy work"), ContextEntry::PromptSource::text));

    router.result = RouteResult::multi({RoutedTask{1, QStringLiteral("fix the header")},
                                        RoutedTask{2, QStringLiteral("write the tests")},
                                        RoutedTask{3, QStringLiteral("more")}, RoutedTask{7, QStringLiteral("nobody")}});
    submit(QStringLiteral("fix the header, write the tests and then do more"));
    // Both sends have spawned by the time the submission returns.
    EXPECT_EQ(one->status(), AgentStatus::working);
    EXPECT_EQ(two->status(), AgentStatus::working);
    EXPECT_EQ(provider->spawnCalls().size(), 3);
    EXPECT_EQ(lineTexts(three).last(),
              QStringLiteral("[Claude 3 is busy \u2014 this task was skipped. Try again when the current one finishes.]"));
    EXPECT_EQ(canvas->focusedPaneId(), focusBefore);
    EXPECT_EQ(canvas->inputPrompt(), QString());
}

TEST_F(CanvasTest, WithOnePaneAndNoFocusNothingHappens)
{
    open();
    canvas->appendPane(new AgentPaneState(QUuid::createUuid(), QStringLiteral("x"), QStringLiteral("Claude 5"), 5,
                                          false, AgentRole::unspecified, QString()));
    ASSERT_FALSE(canvas->focusedPaneId());
    submit(QStringLiteral("do something"));
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("do something"));
    EXPECT_TRUE(provider->spawnCalls().isEmpty());
}

TEST_F(CanvasTest, ASubmittedPromptNeverComesBackAsADraft)
{
    open();
    canvas->spawnPane(QString(), AgentRole::unspecified);
    canvas->setInputPrompt(QStringLiteral("draft text"));
    canvas->scheduleDraftSave();
    await(canvas->submitPrompt(ContextEntry::PromptSource::text));
    canvas->scheduleDraftSave(); // the prompt bar reacts to the emptied text
    ASSERT_TRUE(waitUntil([&] { return !canvas->hasPendingDraftSave(); }));
    SerialFileWriter::shared().flush();
    EXPECT_FALSE(QFile::exists(project + QStringLiteral("/.nerim/draft.txt")));
}
