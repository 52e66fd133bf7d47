// Repair and Deploy runs started, cancelled, closed and started again while an
// earlier agent is still starting: the spawn that returns late (failed or
// started) changes nothing in the session or the pane, the session ends once,
// the newer run keeps its agent and its turn, and no late agent is left running.
#include "RunAppFixture.h"

#include "deploy/DeployHistoryEntry.h"
#include "deploy/DeployToolInstaller.h"

#include <QDir>
#include <QFile>

using namespace nerim;
using namespace nerim::test;
using DeployPhase = DeploySessionState::Phase;
using Script = FakeAgentProvider::Script;

namespace {

const QString needToken = QStringLiteral("[NERIM_DEPLOY_NEED_TOKEN] VERCEL_TOKEN | Nerim needs it to publish your app");

Script heldFailing()
{
    return FakeAgentProvider::held(FakeAgentProvider::failing(AgentError::spawnFailed(QStringLiteral("no claude"))));
}

Script heldRunning() { return FakeAgentProvider::held(FakeAgentProvider::running()); }

class SystemAgentRacesTest : public RepairTest {
protected:
    // A canvas that can begin a repair (its last start failed at detection)
    // and a deploy (the providers' tools are in place).
    void openCanvas()
    {
        const QString tools = makeTempDir(QStringLiteral("deploy-tools"));
        const QString bin = DeployToolInstaller::binFolder(tools);
        QDir().mkpath(bin);
        for (const char *tool : {"vercel", "railway", "supabase"}) {
            const QString path = bin + QLatin1Char('/') + QLatin1String(tool);
            writeFile(path, "#!/bin/sh\nexit 0\n");
            QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        }
        CanvasServices s = services();
        s.repairFixedToIdleDelay = fixedToIdleDelay;
        s.repairRetryWatchdog = retryWatchdog;
        s.deployToolsFolder = tools;
        canvas = std::make_unique<ProjectCanvasViewModel>(QStringLiteral("project-id"), project,
                                                          QStringLiteral("Shop"), provider, nullptr, s);
        await(canvas->bootstrap());
        await(canvas->runApp()); // an empty folder: nothing to start, so something to repair
        ASSERT_TRUE(canvas->repairSession().canBegin());
    }

    const Phase &repairPhase() const { return canvas->repairSession().state().phase(); }
    const DeployPhase &deployPhase() const { return canvas->deploySession().state().phase(); }

    QStringList deployHistory() const
    {
        SerialFileWriter::shared().flush();
        return QString::fromUtf8(readFile(DeployHistoryEntry::historyPath(project)))
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    bool waitForHeldSpawn() { return waitUntil([&] { return provider->heldSpawns() == 1; }); }

    // Every agent the provider started has stopped, or is the one given.
    ::testing::AssertionResult onlyRunning(std::optional<QUuid> running) const
    {
        for (const QUuid &id : provider->sessionIds())
            if (provider->isRunning(id) && id != running)
                return ::testing::AssertionFailure() << "a late agent still runs";
        if (running && !provider->isRunning(*running))
            return ::testing::AssertionFailure() << "the newer agent was stopped";
        return ::testing::AssertionSuccess();
    }

    static bool showsStartFailure(const AgentPaneState *pane)
    {
        return lineTexts(pane).join(QLatin1Char('\n')).contains(QLatin1String("Couldn't start the"));
    }
};

} // namespace

TEST_F(SystemAgentRacesTest, ARepairCancelledWhileItsAgentStartsEndsOnceWhateverTheStartDoesLater)
{
    openCanvas();
    LogCapture logs;

    // The start fails after the cancel: no second ending, no failure shown.
    provider->enqueue(heldFailing());
    QCoro::Task<> beginning = canvas->repairSession().begin();
    ASSERT_TRUE(waitForHeldSpawn());
    await(canvas->repairSession().cancel());
    EXPECT_EQ(repairPhase(), Phase::cancelled());
    provider->releaseSpawns();
    await(std::move(beginning));
    spinEventLoop();
    AgentPaneState *pane = canvas->repairSession().pane();
    EXPECT_EQ(repairPhase(), Phase::cancelled());
    EXPECT_EQ(repairPhase().displayText(), QString());
    EXPECT_EQ(pane->status(), AgentStatus::stopped);
    EXPECT_FALSE(showsStartFailure(pane));
    QStringList history = historyLines(project);
    ASSERT_EQ(history.size(), 1);
    EXPECT_EQ(historyEntry(history.first()).value(QStringLiteral("outcome")).toString(), QStringLiteral("cancelled"));
    EXPECT_EQ(logs.lines().filter(QStringLiteral("[Nerim repair] finalize")).size(), 1);

    // The start succeeds after the cancel: the late agent is stopped at once.
    provider->enqueue(heldRunning());
    QCoro::Task<> again = canvas->repairSession().begin();
    ASSERT_TRUE(waitForHeldSpawn());
    await(canvas->repairSession().cancel());
    provider->releaseSpawns();
    await(std::move(again));
    spinEventLoop();
    ASSERT_EQ(provider->sessionIds().size(), 1);
    EXPECT_EQ(provider->terminated(), provider->sessionIds());
    EXPECT_TRUE(onlyRunning(std::nullopt));
    EXPECT_FALSE(pane->currentSession().has_value());
    EXPECT_EQ(pane->status(), AgentStatus::stopped);
    EXPECT_EQ(repairPhase(), Phase::cancelled());
    EXPECT_EQ(historyLines(project).size(), 2);
}

TEST_F(SystemAgentRacesTest, AskCancelAskLeavesTheNewerRepairRunAloneWhenTheFirstStartReturnsLate)
{
    openCanvas();
    int cancels = 0;
    // First the late start fails, then it succeeds.
    for (const Script &late : {heldFailing(), heldRunning()}) {
        SCOPED_TRACE(late.failure ? "the late start fails" : "the late start succeeds");
        provider->enqueue(late);
        QCoro::Task<> first = canvas->repairSession().begin();
        ASSERT_TRUE(waitForHeldSpawn());
        await(canvas->repairSession().cancel());
        ++cancels;

        provider->enqueue(FakeAgentProvider::running({out(QStringLiteral("Reading the output."))}));
        await(canvas->repairSession().begin());
        ASSERT_EQ(repairPhase(), Phase::repairing(1));
        AgentPaneState *pane = canvas->repairSession().pane();
        ASSERT_TRUE(pane->currentSession().has_value());
        const QUuid newer = pane->currentSession()->id;

        provider->releaseSpawns();
        await(std::move(first));
        spinEventLoop();
        // The newer run keeps its agent, its status and its turn.
        EXPECT_EQ(repairPhase(), Phase::repairing(1));
        ASSERT_TRUE(pane->currentSession().has_value());
        EXPECT_EQ(pane->currentSession()->id, newer);
        EXPECT_EQ(pane->status(), AgentStatus::working);
        ASSERT_EQ(pane->conversation().size(), 1);
        EXPECT_TRUE(pane->conversation().first().isInFlight());
        EXPECT_FALSE(showsStartFailure(pane));
        EXPECT_TRUE(onlyRunning(newer));
        EXPECT_EQ(historyLines(project).size(), cancels);

        // Cancel still reaches the running agent.
        await(canvas->repairSession().cancel());
        ++cancels;
        EXPECT_TRUE(provider->terminated().contains(newer));
        EXPECT_TRUE(onlyRunning(std::nullopt));
        EXPECT_EQ(repairPhase(), Phase::cancelled());
        EXPECT_EQ(historyLines(project).size(), cancels);
    }
}

TEST_F(SystemAgentRacesTest, ADeployCancelledWhileItsAgentStartsShowsNoFailureAndTheNewerRunKeepsItsBriefing)
{
    openCanvas();
    // The start fails after the cancel: no failure line, no error, one ending.
    provider->enqueue(heldFailing());
    QCoro::Task<> first = canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::fresh);
    ASSERT_TRUE(waitForHeldSpawn());
    await(canvas->deploySession().cancel());
    ASSERT_EQ(deployPhase(), DeployPhase::cancelled());
    provider->releaseSpawns();
    await(std::move(first));
    spinEventLoop();
    AgentPaneState *pane = canvas->deploySession().pane();
    EXPECT_EQ(deployPhase(), DeployPhase::cancelled());
    EXPECT_EQ(pane->status(), AgentStatus::stopped);
    EXPECT_FALSE(showsStartFailure(pane));
    EXPECT_FALSE(canvas->deploySession().state().lastErrorText().has_value());
    QStringList history = deployHistory();
    ASSERT_EQ(history.size(), 1);
    EXPECT_TRUE(history.first().contains(QLatin1String("\"outcome\":\"cancelled\"")));

    // Deploy → Cancel → Deploy, the first agent starting after the second.
    provider->enqueue(heldRunning());
    QCoro::Task<> second = canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::fresh);
    ASSERT_TRUE(waitForHeldSpawn());
    await(canvas->deploySession().cancel());
    provider->enqueue(FakeAgentProvider::running({out(needToken)}));
    await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::fresh));
    ASSERT_TRUE(waitUntil([&] { return deployPhase().kind() == DeployPhase::Kind::awaitingToken; }));
    const int briefingCall = provider->spawnCalls().size() - 1;
    const QUuid newer = provider->sessionIds().last();
    provider->releaseSpawns();
    await(std::move(second));
    spinEventLoop();
    ASSERT_EQ(provider->sessionIds().size(), 2);
    const QUuid late = provider->sessionIds().last();
    EXPECT_TRUE(provider->terminated().contains(late));
    EXPECT_TRUE(onlyRunning(newer));
    ASSERT_TRUE(pane->currentSession().has_value());
    EXPECT_EQ(pane->currentSession()->id, newer);
    EXPECT_EQ(pane->status(), AgentStatus::working);
    EXPECT_EQ(deployPhase().kind(), DeployPhase::Kind::awaitingToken);
    EXPECT_EQ(deployHistory().size(), 2);

    // The newer run's turn survived: the follow-up is given the briefing and what the agent said.
    provider->finish(newer, 0);
    ASSERT_TRUE(settle(pane));
    provider->enqueue(FakeAgentProvider::running());
    await(canvas->deploySession().submitToken(QStringLiteral("VERCEL_TOKEN"), QStringLiteral("vercel-token-0123456789")));
    ASSERT_TRUE(waitUntil([&] { return provider->spawnCalls().size() == briefingCall + 2; }));
    const QList<ConversationTurn> prior = provider->spawnCalls().last().priorTurns;
    ASSERT_EQ(prior.size(), 1);
    EXPECT_EQ(prior.first().userPrompt, provider->spawnCalls().at(briefingCall).task);
    EXPECT_TRUE(prior.first().agentResponse.contains(needToken));

    await(canvas->deploySession().cancel());
    EXPECT_TRUE(onlyRunning(std::nullopt));
}

TEST_F(SystemAgentRacesTest, ADomainCardClosedWhileItsRunStartsLeavesOneAgentWhenTheDomainIsSentAgain)
{
    openCanvas();
    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_DEPLOY_LIVE] https://shop.vercel.app"))}));
    await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::redeploy));
    AgentPaneState *pane = canvas->deploySession().pane();
    ASSERT_TRUE(waitUntil([&] { return deployPhase().kind() == DeployPhase::Kind::live && settle(pane); }));
    const QStringList livedOnce = deployHistory();

    ASSERT_TRUE(canvas->deploySession().openCustomDomainInput());
    provider->enqueue(heldRunning());
    await(canvas->deploySession().beginCustomDomain(QStringLiteral("shop.example.com")));
    ASSERT_TRUE(waitForHeldSpawn());
    await(canvas->deploySession().closeDomainCard());
    EXPECT_EQ(deployPhase(), DeployPhase::live(QStringLiteral("https://shop.vercel.app"), std::nullopt));
    // Closing the card ended the step as cancelled, once.
    const QStringList closedOnce = deployHistory();
    ASSERT_EQ(closedOnce.size(), livedOnce.size() + 1);
    EXPECT_TRUE(closedOnce.last().contains(QLatin1String("\"kind\":\"domain\"")));
    EXPECT_TRUE(closedOnce.last().contains(QLatin1String("\"outcome\":\"cancelled\"")));

    ASSERT_TRUE(canvas->deploySession().openCustomDomainInput());
    provider->enqueue(FakeAgentProvider::running());
    await(canvas->deploySession().beginCustomDomain(QStringLiteral("shop.example.com")));
    ASSERT_TRUE(waitUntil([&] { return pane->currentSession().has_value(); }));
    const QUuid newer = pane->currentSession()->id;

    provider->releaseSpawns();
    ASSERT_TRUE(waitUntil([&] { return provider->sessionIds().size() == 3 && provider->terminated().size() == 1; }));
    spinEventLoop();
    EXPECT_EQ(provider->terminated().first(), provider->sessionIds().last());
    EXPECT_TRUE(onlyRunning(newer));
    ASSERT_TRUE(pane->currentSession().has_value());
    EXPECT_EQ(pane->currentSession()->id, newer);
    EXPECT_EQ(deployPhase().kind(), DeployPhase::Kind::customDomainVerifying);
    // The late start of the closed step's run recorded nothing more.
    EXPECT_EQ(deployHistory(), closedOnce);

    // Cancel leaves nothing polling.
    await(canvas->deploySession().cancel());
    EXPECT_TRUE(onlyRunning(std::nullopt));
}

TEST_F(SystemAgentRacesTest, AnAgentThatStartsAfterTheCanvasIsGoneIsStopped)
{
    for (const bool deploy : {false, true}) {
        SCOPED_TRACE(deploy ? "Deploy" : "Repair");
        const qsizetype before = provider->sessionIds().size();
        openCanvas();
        provider->enqueue(heldRunning());
        QCoro::Task<> beginning = deploy ? canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::fresh)
                                         : canvas->repairSession().begin();
        ASSERT_TRUE(waitForHeldSpawn());
        await(canvas->teardown());
        canvas.reset();

        provider->releaseSpawns();
        await(std::move(beginning));
        ASSERT_EQ(provider->sessionIds().size(), before + 1);
        EXPECT_TRUE(provider->terminated().contains(provider->sessionIds().last()));
        EXPECT_TRUE(onlyRunning(std::nullopt));
    }
}

TEST_F(SystemAgentRacesTest, AnOperationWaitsForTheAgentThatWentLiveAndNeitherIsLeftRunning)
{
    openCanvas();
    DeployHistoryEntry point;
    point.providers = {QStringLiteral("vercel")};
    point.deploymentID = QStringLiteral("dpl_1");
    point.timestamp = QStringLiteral("2024-01-01T00:00:00Z");
    // Twice: the earlier agent ends by itself, then the user cancels while the rollback waits.
    for (const bool cancelWhileWaiting : {false, true}) {
        SCOPED_TRACE(cancelWhileWaiting ? "cancelled while waiting" : "the earlier agent ends");
        provider->enqueue(
            FakeAgentProvider::running({out(QStringLiteral("[NERIM_DEPLOY_LIVE] https://shop.vercel.app"))}));
        await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::redeploy));
        ASSERT_TRUE(waitUntil([&] { return deployPhase().kind() == DeployPhase::Kind::live; }));
        AgentPaneState *pane = canvas->deploySession().pane();
        const QUuid wentLive = provider->sessionIds().last();
        ASSERT_TRUE(provider->isRunning(wentLive));

        // One agent at a time: the rollback's run waits for the one still working.
        provider->enqueue(FakeAgentProvider::running());
        await(canvas->deploySession().beginRollback(point));
        spinEventLoop();
        const qsizetype started = provider->sessionIds().size();
        EXPECT_EQ(provider->sessionIds().last(), wentLive);
        EXPECT_EQ(deployPhase().kind(), DeployPhase::Kind::runningOperation);

        if (cancelWhileWaiting) {
            await(canvas->deploySession().cancel());
            spinEventLoop();
            EXPECT_TRUE(provider->terminated().contains(wentLive));
            EXPECT_EQ(provider->sessionIds().size(), started);
            EXPECT_TRUE(onlyRunning(std::nullopt));
            continue;
        }
        // Its exit is no ending of the rollback: the rollback's run goes in.
        provider->finish(wentLive, 0);
        ASSERT_TRUE(waitUntil([&] { return provider->sessionIds().size() == started + 1 && pane->currentSession(); }));
        const QUuid rollingBack = provider->sessionIds().last();
        EXPECT_EQ(pane->currentSession()->id, rollingBack);
        EXPECT_EQ(deployPhase().kind(), DeployPhase::Kind::runningOperation);
        EXPECT_TRUE(onlyRunning(rollingBack));
        await(canvas->deploySession().cancel());
        EXPECT_TRUE(onlyRunning(std::nullopt));
    }
}
