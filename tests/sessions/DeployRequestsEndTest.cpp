// Every request of the Deploy agent ends, with a scripted agent: a request
// Nerim refuses again and again stops the step with a line saying what was
// refused, a step that keeps asking for runs stops at its limit, and the run
// that carries the user's answer takes over from the run that asked.
#include "DeployFixture.h"

using namespace nerim;
using namespace nerim::test;
using Phase = DeploySessionState::Phase;

namespace {

class DeployRequestsEndTest : public DeployCanvasTest {
protected:
    QStringList historyReasons() const
    {
        SerialFileWriter::shared().flush();
        QStringList reasons;
        for (const QByteArray &line : readFile(DeployHistoryEntry::historyPath(project)).split('\n'))
            if (!line.isEmpty())
                reasons.append(DeployHistoryEntry::decode(line).reason.value_or(QString()));
        return reasons;
    }
};

} // namespace

// An agent that asks over and over for another provider's token, or for a
// value under a name that changes how programs run, gets two answers; the
// third request ends the deploy stuck, naming what it asked for and what the
// user can do, and no further run starts.
TEST_F(DeployRequestsEndTest, ARefusedRequestRepeatedEndsTheDeployWithinItsBound)
{
    provideTools();
    openDeploy();
    struct Case {
        QString marker;
        QString named;
        QString advice; // empty: none, as there is nothing for the user to choose
    };
    const QList<Case> cases{
        {QStringLiteral("[NERIM_DEPLOY_NEED_TOKEN] RAILWAY_TOKEN | to deploy the api"), QStringLiteral("RAILWAY_TOKEN"),
         QStringLiteral("choose that provider")},
        {QStringLiteral("[NERIM_DEPLOY_NEED_TOKEN] GITHUB_TOKEN | to push"), QStringLiteral("GITHUB_TOKEN"), QString()},
        {QStringLiteral("[NERIM_DEPLOY_ASK_SECRET] LD_PRELOAD | the build needs it"), QStringLiteral("LD_PRELOAD"),
         QStringLiteral("Set LD_PRELOAD in your provider's dashboard yourself")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.named.toStdString());
        const qsizetype before = provider->spawnCalls().size();
        // Three scripted requests: a fourth run, were one started, would find
        // none and exit without a word, which ends differently.
        for (int i = 0; i < 3; ++i)
            provider->enqueue(FakeAgentProvider::events({out(c.marker)}));
        await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::fresh));
        ASSERT_TRUE(waitUntil([&] { return phase().kind() == Phase::Kind::stuck && settle(canvas->deploySession().pane()); }));
        spinEventLoop(50);
        EXPECT_EQ(provider->spawnCalls().size() - before, 3);
        EXPECT_TRUE(phase().reason().contains(c.named)) << phase().reason().toStdString();
        if (c.advice.isEmpty())
            EXPECT_TRUE(phase().reason().endsWith(QStringLiteral("so Nerim stopped it."))) << phase().reason().toStdString();
        else
            EXPECT_TRUE(phase().reason().contains(c.advice)) << phase().reason().toStdString();
        EXPECT_EQ(lineTexts(canvas->deploySession().pane()).filter(QStringLiteral("[The deploy didn't finish: ") + phase().reason()).size(), 1);
        EXPECT_EQ(historyReasons().last(), QStringLiteral("refusal-cap-hit"));
        EXPECT_TRUE(canvas->deploySession().tokenNames().isEmpty());
    }
}

// Requests Nerim grants still cost a run each: an agent that asks for its
// token again after every answer stops at the limit of runs one step may
// start, and says so.
TEST_F(DeployRequestsEndTest, AStepThatKeepsAskingStopsAtItsRunLimit)
{
    provideTools();
    openDeploy();
    const AgentOutput ask = out(QStringLiteral("[NERIM_DEPLOY_NEED_TOKEN] VERCEL_TOKEN | refused again"));
    for (int i = 0; i < 40; ++i)
        provider->enqueue(FakeAgentProvider::events({ask}));
    await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::fresh));
    int answered = 0;
    while (answered < 40) {
        ASSERT_TRUE(waitUntil([&] {
            return (phase().kind() == Phase::Kind::awaitingToken || !phase().isActive()) && settle(canvas->deploySession().pane());
        }));
        if (!phase().isActive())
            break;
        await(canvas->deploySession().submitToken(QStringLiteral("VERCEL_TOKEN"), QStringLiteral("tok-%1").arg(answered)));
        ++answered;
    }
    ASSERT_EQ(phase().kind(), Phase::Kind::stuck);
    EXPECT_LT(answered, 40);
    const qsizetype runs = provider->spawnCalls().size();
    EXPECT_EQ(runs, answered);
    EXPECT_LE(runs, 20);
    EXPECT_EQ(phase().reason(),
              QStringLiteral("Nerim stopped the deploy after %1 runs of the Deploy agent. Try again to start afresh.")
                  .arg(runs));
    EXPECT_EQ(historyReasons().last(), QStringLiteral("run-cap-hit"));
}

// The run that asked for the token is still finishing when the user answers:
// its late STUCK is shown, but the deploy goes on with the run that carries
// the token, and only that run's markers count.
TEST_F(DeployRequestsEndTest, ALateStuckOfTheAskingRunLeavesTheAnsweredTokensRunGoing)
{
    provideTools();
    openDeploy();
    provider->enqueue(FakeAgentProvider::running({out(QStringLiteral("[NERIM_DEPLOY_NEED_TOKEN] VERCEL_TOKEN | publish"))}));
    provider->enqueue(FakeAgentProvider::running());
    await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::fresh));
    ASSERT_TRUE(waitUntil([&] { return phase().kind() == Phase::Kind::awaitingToken; }));
    AgentPaneState *pane = canvas->deploySession().pane();
    const QUuid asking = provider->sessionIds().first();
    ASSERT_TRUE(provider->isRunning(asking));

    await(canvas->deploySession().submitToken(QStringLiteral("VERCEL_TOKEN"), QStringLiteral("tok-late")));
    EXPECT_EQ(phase(), Phase::authenticating(DeployProvider::vercel));
    provider->yieldEvent(asking, out(QStringLiteral("[NERIM_DEPLOY_STUCK] no token | gave up")));
    provider->yieldEvent(asking, out(QStringLiteral("[NERIM_DEPLOY_LIVE] https://shop.vercel.app")));
    spinEventLoop();
    EXPECT_EQ(phase(), Phase::authenticating(DeployProvider::vercel));
    EXPECT_FALSE(lineTexts(pane).join(QLatin1Char('\n')).contains(QStringLiteral("NERIM_DEPLOY_STUCK")));

    provider->finish(asking, 0);
    ASSERT_TRUE(waitUntil([&] { return provider->sessionIds().size() == 2 && pane->currentSession(); }));
    EXPECT_EQ(phase(), Phase::authenticating(DeployProvider::vercel));
    EXPECT_EQ(provider->spawnCalls().last().extras.environment.value(QStringLiteral("VERCEL_TOKEN")),
              QStringLiteral("tok-late"));
    const QUuid answering = provider->sessionIds().last();
    provider->yieldEvent(answering, out(QStringLiteral("[NERIM_DEPLOY_LIVE] https://shop.vercel.app")));
    ASSERT_TRUE(waitUntil([&] { return phase() == Phase::live(QStringLiteral("https://shop.vercel.app"), std::nullopt); }));
    provider->finish(answering, 0);
    ASSERT_TRUE(settle(pane));
}
