// Interleavings that must not lose or duplicate work: a pane given two routed
// tasks, a stopped agent's own exit, a second Enter while the router decides,
// a draft typed just before leaving, tasks aimed at Nerim's own panes, an
// agent's hand-off that reads like a handover, and panes closed while their
// agent is still starting.
#include "CanvasFixture.h"
#include "agents/SavedPanes.h"
#include "panes-store/PanesSnapshot.h"
#include "panes-store/PanesLoadResult.h"
#include "foundation/UuidText.h"

#include <QFile>

using namespace nerim;
using namespace nerim::test;

using RouteResult = IntentProcessorService::RouteResult;
using RoutedTask = IntentProcessorService::RoutedTask;

namespace {

AgentPaneState *repairPane()
{
    return new AgentPaneState(newUuid(), QStringLiteral("nerim.repair"), QStringLiteral("Repair"), 0, true,
                              AgentRole::unspecified, QString());
}

int exitsWith(const QList<ContextEntry> &log, ContextEntry::ExitReason reason)
{
    int count = 0;
    for (const ContextEntry &entry : log)
        if (const auto *exit = std::get_if<ContextEntry::AgentExit>(&entry.payload()))
            count += exit->reason == reason;
    return count;
}

} // namespace

TEST_F(CanvasTest, APaneGivenTwoRoutedTasksRunsOnlyTheFirst)
{
    open();
    canvas->spawnAgents(2);
    AgentPaneState *one = canvas->panes().at(0);
    AgentPaneState *two = canvas->panes().at(1);
    router.result = RouteResult::multi({RoutedTask{1, QStringLiteral("header")}, RoutedTask{1, QStringLiteral("footer")},
                                        RoutedTask{2, QStringLiteral("tests")}});
    submit(QStringLiteral("do the header, the footer and the tests"));

    ASSERT_EQ(provider->spawnCalls().size(), 2);
    EXPECT_EQ(provider->spawnCalls().at(0).task, QStringLiteral("header"));
    EXPECT_EQ(provider->spawnCalls().at(1).task, QStringLiteral("tests"));
    EXPECT_TRUE(lineTexts(one).contains(
        QStringLiteral("[Claude 1 is busy \u2014 this task was skipped. Try again when the current one finishes.]")));
    EXPECT_EQ(one->currentSession()->id, provider->sessionIds().at(0));
    EXPECT_EQ(two->status(), AgentStatus::working);
}

TEST_F(CanvasTest, AStoppedAgentsOwnExitIsNeverRecordedAsARun)
{
    open();
    canvas->spawnAgents(2);
    AgentPaneState *closing = canvas->panes().at(0);
    AgentPaneState *staying = canvas->panes().at(1);
    // The first agent reports its exit while it is being stopped; the second one later.
    provider->enqueue(FakeAgentProvider::running());
    FakeAgentProvider::Script slow = FakeAgentProvider::running();
    slow.terminatedExitDelayMs = 20;
    provider->enqueue(slow);
    await(canvas->sendToPane(closing, QStringLiteral("one"), ContextEntry::PromptSource::text));
    await(canvas->sendToPane(staying, QStringLiteral("two"), ContextEntry::PromptSource::text));

    QObject scope; // the recording connections end with this test's locals
    QStringList closedPaneLines;
    QObject::connect(closing, &AgentPaneState::outputLinesChanged, &scope,
                     [&] { closedPaneLines.append(closing->outputLines().last().text); });
    await(canvas->closePane(closing->id()));
    spinEventLoop(20);
    EXPECT_TRUE(closedPaneLines.isEmpty()) << closedPaneLines.join(QLatin1Char('|')).toStdString();

    const std::shared_ptr<ProjectContextActor> memory = canvas->contextActor();
    QStringList stayingLines;
    QObject::connect(staying, &AgentPaneState::outputLinesChanged, &scope,
                     [&] { stayingLines.append(staying->outputLines().last().text); });
    await(canvas->teardown());
    spinEventLoop(20); // the slow exit arrives after the teardown
    // Only the line saying that the close stopped the task.
    EXPECT_EQ(stayingLines, QStringList{taskStoppedByCloseLine}) << stayingLines.join(QLatin1Char('|')).toStdString();

    const QList<ContextEntry> log = logEntries(*memory);
    EXPECT_EQ(exitsWith(log, ContextEntry::ExitReason::userKilled), 2);
    EXPECT_EQ(exitsWith(log, ContextEntry::ExitReason::subprocessError), 0);
    EXPECT_EQ(entryKinds(log).count(QStringLiteral("agentExit")), 2);
}

TEST_F(CanvasTest, ASecondEnterWhileTheRouterDecidesIsIgnoredAndOnlyNewTypingStays)
{
    open();
    canvas->spawnAgents(2);
    router.hold = true;
    router.result = RouteResult::multi({RoutedTask{1, QStringLiteral("a")}, RoutedTask{2, QStringLiteral("b")}});

    canvas->setInputPrompt(QStringLiteral("split this"));
    QCoro::Task<> first = canvas->submitPrompt(ContextEntry::PromptSource::text);
    ASSERT_TRUE(waitUntil([&] { return router.calls == 1; }));
    EXPECT_TRUE(canvas->isSubmitting());
    QCoro::Task<> second = canvas->submitPrompt(ContextEntry::PromptSource::text);
    spinEventLoop();
    EXPECT_EQ(router.calls, 1);

    canvas->setInputPrompt(QStringLiteral("split this, and then"));
    canvas->scheduleDraftSave();
    router.hold = false;
    await(std::move(first));
    await(std::move(second));
    EXPECT_FALSE(canvas->isSubmitting());
    EXPECT_EQ(provider->spawnCalls().size(), 2);
    // Only what was added after the submission stays: the sent prompt is taken out.
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral(", and then"));
    // The newer text's draft is not removed by the routed prompt.
    ASSERT_TRUE(waitUntil([&] { return !canvas->hasPendingDraftSave(); }));
    SerialFileWriter::shared().flush();
    EXPECT_EQ(readFile(project + QStringLiteral("/.nerim/draft.txt")), QByteArray(", and then"));
}

TEST_F(CanvasTest, LeavingRightAfterTypingKeepsTheDraft)
{
    open();
    canvas->setInputPrompt(QStringLiteral("a thought in progress"));
    canvas->scheduleDraftSave();
    ASSERT_TRUE(canvas->hasPendingDraftSave());
    await(canvas->teardown());
    SerialFileWriter::shared().flush();
    EXPECT_EQ(readFile(project + QStringLiteral("/.nerim/draft.txt")), QByteArray("a thought in progress"));
    canvas.reset();
    open();
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("a thought in progress"));
}

TEST_F(CanvasTest, NerimsOwnPanesNeverRunTaskPrompts)
{
    open();
    AgentPaneState *repair = repairPane();
    canvas->appendPane(repair);
    const QString refusal =
        QStringLiteral("[The Repair pane belongs to Nerim's own agent \u2014 send your task to one of your agent panes.]");

    // Aimed at it directly.
    canvas->selectPromptTarget(PromptTarget::pane(repair->id()));
    submit(QStringLiteral("fix the login"));
    EXPECT_EQ(lineTexts(repair).last(), refusal);
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("fix the login"));
    await(canvas->sendToPane(repair, QStringLiteral("anything"), ContextEntry::PromptSource::text));
    EXPECT_TRUE(provider->spawnCalls().isEmpty());
    EXPECT_EQ(repair->status(), AgentStatus::idle);

    // Focused with no task pane open: the task gets a pane of its own.
    canvas->selectPromptTarget(PromptTarget::automatic());
    canvas->focusPane(repair->id());
    provider->enqueue(FakeAgentProvider::events({}, 0));
    submit(QStringLiteral("fix the login"));
    ASSERT_EQ(canvas->panes().size(), 2);
    AgentPaneState *task = canvas->panes().last();
    EXPECT_FALSE(task->isSystemPane());
    EXPECT_EQ(provider->spawnCalls().size(), 1);
    ASSERT_TRUE(settle(task));

    // Focused beside a task pane: refused, the prompt stays.
    canvas->focusPane(repair->id());
    submit(QStringLiteral("and the signup"));
    EXPECT_EQ(lineTexts(repair).last(), refusal);
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("and the signup"));
    // Named by its name it is not a pane address: the prompt goes to the focused (Repair) rule again.
    EXPECT_FALSE(canvas->paneNameAliases().contains(QStringLiteral("repair")));
    EXPECT_EQ(provider->spawnCalls().size(), 1);
}

TEST_F(CanvasTest, AnAgentsHandOffCanNeverHandAStepToAPane)
{
    open();
    canvas->spawnAgents(2);
    AgentPaneState *two = canvas->panes().at(1);
    canvas->plan().setSteps({PlanStep{newUuid(), QStringLiteral("Hero"), QString(), PlanStep::Status::pending}});

    provider->enqueue(FakeAgentProvider::events(
        {AgentOutput::stdoutLine(QStringLiteral("[NERIM_HANDOFF_TO_PLANS: hand step 1 to claude 1]"))}, 0));
    await(canvas->sendToPane(two, QStringLiteral("read the page"), ContextEntry::PromptSource::text));
    ASSERT_TRUE(settle(two));
    // The hand-off reaches the Plans agent (without a key, its call ends at once).
    ASSERT_TRUE(waitUntil([&] { return canvas->plan().conversation().size() == 1 && !canvas->plan().isGenerating(); }));
    EXPECT_EQ(canvas->plan().conversation().first().content, QStringLiteral("hand step 1 to claude 1"));
    EXPECT_EQ(canvas->plan().steps().first().status, PlanStep::Status::pending);
    EXPECT_EQ(provider->spawnCalls().size(), 1);

    // The same words from the user do hand the step over.
    provider->enqueue(FakeAgentProvider::events({}, 0));
    await(canvas->sendPlansMessage(QStringLiteral("hand step 1 to claude 1")));
    EXPECT_EQ(canvas->plan().steps().first().status, PlanStep::Status::inProgress);
    EXPECT_EQ(provider->spawnCalls().size(), 2);
}

TEST_F(CanvasTest, APaneClosedWhileItsAgentStartsStopsThatAgent)
{
    open();
    AgentPaneState *pane = canvas->spawnPane(QString(), AgentRole::unspecified);
    FakeAgentProvider::Script held = FakeAgentProvider::running();
    held.holdSpawn = true;
    provider->enqueue(held);
    QCoro::Task<> sending = canvas->sendToPane(pane, QStringLiteral("go"), ContextEntry::PromptSource::text);
    ASSERT_TRUE(waitUntil([&] { return provider->heldSpawns() == 1; }));
    await(canvas->closePane(pane->id()));
    EXPECT_TRUE(canvas->panes().isEmpty());

    provider->releaseSpawns();
    await(std::move(sending));
    ASSERT_EQ(provider->sessionIds().size(), 1);
    EXPECT_EQ(provider->terminated(), provider->sessionIds());
    EXPECT_FALSE(provider->isRunning(provider->sessionIds().first()));
    spinEventLoop();
    EXPECT_EQ(entryKinds(entries()), QStringList{QStringLiteral("projectOpened")});
}

TEST_F(CanvasTest, LeavingWhileAnAgentStartsStopsItAndKeepsThePanesFile)
{
    open();
    AgentPaneState *pane = canvas->spawnPane(QString(), AgentRole::unspecified);
    const QUuid paneId = pane->id();
    FakeAgentProvider::Script held = FakeAgentProvider::running();
    held.holdSpawn = true;
    provider->enqueue(held);
    QCoro::Task<> sending = canvas->sendToPane(pane, QStringLiteral("go"), ContextEntry::PromptSource::text);
    ASSERT_TRUE(waitUntil([&] { return provider->heldSpawns() == 1; }));
    await(canvas->teardown());

    provider->releaseSpawns();
    await(std::move(sending));
    EXPECT_EQ(provider->terminated(), provider->sessionIds());
    // Nothing after the teardown replaced the saved canvas with an empty one.
    SerialFileWriter::shared().flush();
    const std::optional<PanesSnapshot> saved = loadPanesSnapshot(project + QStringLiteral("/.nerim/panes.json"));
    ASSERT_TRUE(saved);
    ASSERT_EQ(saved->panes.size(), 1);
    EXPECT_EQ(saved->panes.first().id, paneId);
}
