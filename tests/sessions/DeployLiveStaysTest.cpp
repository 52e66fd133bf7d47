// A live deploy stays live, with a scripted Deploy agent: a run the session
// has moved on from acts on nothing, cancelling any step on a live deploy
// returns to it (and says so in the pane and the history), a quit leaves its
// record, the project opens live again only for this user's own deploy, the
// rollback list offers each earlier deployment once, and the env-var rows and
// the git setting keep what the user chose.
#include "DeployFixture.h"

#include "deploy/DeployOwnRecord.h"

using namespace nerim;
using namespace nerim::test;
using Phase = DeploySessionState::Phase;

namespace {

const QString liveURL = QStringLiteral("https://shop.vercel.app");

class DeployLiveStaysTest : public DeployCanvasTest {
protected:
    // A redeploy to Vercel that goes live as `id`; with `keepRunning` its agent
    // is still working afterwards.
    void goLive(const QString &id, bool keepRunning)
    {
        const QList<AgentOutput> events{out(QStringLiteral("[NERIM_DEPLOY_DEPLOYMENT_ID] vercel | ") + id),
                                        out(QStringLiteral("[NERIM_DEPLOY_LIVE] ") + liveURL)};
        provider->enqueue(keepRunning ? FakeAgentProvider::running(events) : FakeAgentProvider::events(events));
        await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::redeploy));
        ASSERT_TRUE(waitUntil([&] { return phase() == Phase::live(liveURL, std::nullopt); }));
        if (!keepRunning) {
            ASSERT_TRUE(settle(canvas->deploySession().pane()));
        }
        ASSERT_TRUE(waitUntil([&] {
            const std::optional<DeployConfig> config = DeployConfig::load(canvas->projectURL());
            return config && config->liveURL() == liveURL;
        }));
    }

    QList<DeployHistoryEntry> history() const
    {
        SerialFileWriter::shared().flush();
        QList<DeployHistoryEntry> entries;
        for (const QByteArray &line : readFile(DeployHistoryEntry::historyPath(project)).split('\n'))
            if (!line.isEmpty())
                entries.append(DeployHistoryEntry::decode(line));
        return entries;
    }

    void yieldFrom(const QUuid &session, const QString &line) { provider->yieldEvent(session, out(line)); }

    // Whatever the restore at open does has happened: it reads on the
    // launcher's thread, before a save asked for after it.
    void letTheOpeningSettle()
    {
        const int before = DeployConfig::loadFile(canvas->projectURL()).value_or(DeployConfig::empty()).revision;
        canvas->deploySession().saveConfig([](DeployConfig &) {});
        ASSERT_TRUE(waitUntil([&] {
            return DeployConfig::loadFile(canvas->projectURL()).value_or(DeployConfig::empty()).revision > before;
        }));
        spinEventLoop();
    }

    void reopen()
    {
        await(canvas->teardown());
        canvas.reset();
        openDeploy();
    }
};

} // namespace

// The run that went live keeps running while the user starts each operation
// from the Live menu: whatever it prints then (live, stuck, a deployment id, a
// token request) is shown but changes nothing; the operation's own run starts
// when it exits, and only that run's markers end the operation.
TEST_F(DeployLiveStaysTest, AnEarlierRunsMarkersActOnNothingDuringEachOperation)
{
    provideTools();
    openDeploy();
    ASSERT_NO_FATAL_FAILURE(goLive(QStringLiteral("dpl_0"), true));
    AgentPaneState *pane = canvas->deploySession().pane();
    DeployHistoryEntry point;
    point.providers = {QStringLiteral("vercel")};
    point.deploymentID = QStringLiteral("dpl_0");
    point.timestamp = QStringLiteral("2026-12-07T10:00:00Z");

    enum class Op { rollback, git, envVars };
    for (const Op op : {Op::rollback, Op::git, Op::envVars}) {
        SCOPED_TRACE(static_cast<int>(op));
        const QUuid earlier = provider->sessionIds().last();
        ASSERT_TRUE(provider->isRunning(earlier));
        provider->enqueue(FakeAgentProvider::running());
        if (op == Op::rollback) {
            await(canvas->deploySession().beginRollback(point));
        } else if (op == Op::git) {
            await(canvas->deploySession().beginGitConnect(true));
        } else {
            ASSERT_TRUE(canvas->deploySession().openEnvVarChecklist());
            // Even before the card is answered the earlier run cannot end it.
            yieldFrom(earlier, QStringLiteral("[NERIM_DEPLOY_LIVE] ") + liveURL);
            spinEventLoop();
            ASSERT_EQ(phase().kind(), Phase::Kind::envVarChecklist);
            await(canvas->deploySession().applyEnvVarChecklist({{QStringLiteral("API_URL"), QStringLiteral("send")}}));
        }
        ASSERT_EQ(phase().kind(), Phase::Kind::runningOperation);
        const Phase operating = phase();
        const qsizetype spawned = provider->sessionIds().size();
        for (const QString &line : {QStringLiteral("[NERIM_DEPLOY_LIVE] ") + liveURL,
                                    QStringLiteral("[NERIM_DEPLOY_DEPLOYMENT_ID] vercel | dpl_stale"),
                                    QStringLiteral("[NERIM_DEPLOY_NEED_TOKEN] VERCEL_TOKEN | again"),
                                    QStringLiteral("[NERIM_DEPLOY_OPERATION_DONE] Stale"),
                                    QStringLiteral("[NERIM_DEPLOY_STUCK] stale | reason")})
            yieldFrom(earlier, line);
        spinEventLoop();
        EXPECT_EQ(phase(), operating);
        EXPECT_EQ(provider->sessionIds().size(), spawned);
        // Shown for what they are: not as markers, only as a run Nerim had moved on from.
        EXPECT_FALSE(lineTexts(pane).join(QLatin1Char('\n')).contains(QStringLiteral("NERIM_DEPLOY")));
        EXPECT_TRUE(lineTexts(pane).contains(
            QStringLiteral("[The Deploy agent's earlier run reported after Nerim had moved on; that changes nothing.]")));

        // The earlier run ends: the operation's own run goes in, and its end marker ends it.
        provider->finish(earlier, 0);
        ASSERT_TRUE(waitUntil([&] { return provider->sessionIds().size() == spawned + 1 && pane->currentSession(); }));
        EXPECT_EQ(phase(), operating);
        yieldFrom(provider->sessionIds().last(), op == Op::envVars ? QStringLiteral("[NERIM_DEPLOY_ENV_OK]")
                                                                   : QStringLiteral("[NERIM_DEPLOY_OPERATION_DONE] Done"));
        ASSERT_TRUE(waitUntil([&] { return phase() == Phase::live(liveURL, std::nullopt); }));
    }
    EXPECT_TRUE(lineTexts(pane).contains(QStringLiteral("Env vars updated. Your app is live at ") + liveURL));
    provider->finish(provider->sessionIds().last(), 0);
    ASSERT_TRUE(settle(pane));

    const QList<DeployHistoryEntry> entries = history();
    QStringList kinds;
    for (const DeployHistoryEntry &entry : entries) {
        kinds.append(entry.kind + QLatin1Char(':') + entry.outcome);
        EXPECT_NE(entry.deploymentID, QStringLiteral("dpl_stale"));
    }
    EXPECT_EQ(kinds, (QStringList{QStringLiteral("redeploy:live"), QStringLiteral("rollback:live"),
                                  QStringLiteral("gitConnect:updated"), QStringLiteral("envVarUpdate:updated")}));
}

// Cancelling a redeploy, a rollback, a git change, the env-var card (before
// and after Apply) or the domain step on a live deploy returns to that live
// deploy with its token still held; the pane and the history name what was
// cancelled. A cancelled git change leaves the saved setting as the provider
// has it.
TEST_F(DeployLiveStaysTest, CancellingEachStepOnALiveDeployReturnsToIt)
{
    provideTools();
    openDeploy();
    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_DEPLOY_NEED_TOKEN] VERCEL_TOKEN | publish"))}));
    await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::fresh));
    ASSERT_TRUE(waitUntil([&] { return phase().kind() == Phase::Kind::awaitingToken && settle(canvas->deploySession().pane()); }));
    // Waiting for the token is not the agent's work being done.
    EXPECT_EQ(canvas->deploySession().pane()->status(), AgentStatus::idle);
    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_DEPLOY_DEPLOYMENT_ID] vercel | dpl_0")),
                                                 out(QStringLiteral("[NERIM_DEPLOY_LIVE] ") + liveURL)}));
    await(canvas->deploySession().submitToken(QStringLiteral("VERCEL_TOKEN"), QStringLiteral("tok-1")));
    ASSERT_TRUE(waitUntil([&] { return phase() == Phase::live(liveURL, std::nullopt) && settle(canvas->deploySession().pane()); }));
    canvas->deploySession().saveConfig([](DeployConfig &config) { config.autoDeployOnPush = true; });

    struct Step {
        QString kind;
        QString named;
        std::function<void()> start;
        bool startsRun = true;
        // Closed by the domain card's own close mark rather than by cancelling.
        bool byDomainCard = false;
    };
    DeployHistoryEntry point;
    point.providers = {QStringLiteral("vercel")};
    point.deploymentID = QStringLiteral("dpl_0");
    const QList<Step> steps{
        {QStringLiteral("redeploy"), QStringLiteral("the redeploy"),
         [&] { await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::redeploy)); }},
        {QStringLiteral("rollback"), QStringLiteral("the rollback"), [&] { await(canvas->deploySession().beginRollback(point)); }},
        {QStringLiteral("gitConnect"), QStringLiteral("disconnecting from git"),
         [&] { await(canvas->deploySession().beginGitConnect(false)); }},
        {QStringLiteral("envVarUpdate"), QStringLiteral("the env-var update"), [&] { canvas->deploySession().openEnvVarChecklist(); },
         false},
        {QStringLiteral("envVarUpdate"), QStringLiteral("the env-var update"),
         [&] {
             canvas->deploySession().openEnvVarChecklist();
             await(canvas->deploySession().applyEnvVarChecklist({{QStringLiteral("API_URL"), QStringLiteral("send")}}));
         }},
        {QStringLiteral("domain"), QStringLiteral("adding the domain"), [&] { canvas->deploySession().openCustomDomainInput(); }, false},
        {QStringLiteral("domain"), QStringLiteral("adding the domain"), [&] { canvas->deploySession().openCustomDomainInput(); }, false,
         true},
        {QStringLiteral("domain"), QStringLiteral("adding the domain"),
         [&] {
             canvas->deploySession().openCustomDomainInput();
             await(canvas->deploySession().beginCustomDomain(QStringLiteral("shop.example.com")));
         },
         true, true},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.named.toStdString());
        if (step.startsRun)
            provider->enqueue(FakeAgentProvider::running());
        const qsizetype spawned = provider->sessionIds().size();
        step.start();
        ASSERT_TRUE(phase().isActive());
        if (step.startsRun) {
            ASSERT_TRUE(waitUntil([&] { return provider->sessionIds().size() == spawned + 1; }));
        }
        const qsizetype lines = history().size();
        await(step.byDomainCard ? canvas->deploySession().closeDomainCard() : canvas->deploySession().cancel());
        EXPECT_EQ(phase(), Phase::live(liveURL, std::nullopt));
        EXPECT_EQ(canvas->deploySession().tokenNames(), QStringList{QStringLiteral("VERCEL_TOKEN")});
        EXPECT_EQ(history().size(), lines + 1);
        if (step.startsRun) {
            EXPECT_TRUE(provider->terminated().contains(provider->sessionIds().last()));
        }
        const QString said = QStringLiteral("[You cancelled %1. Your app is still live at %2.]").arg(step.named, liveURL);
        EXPECT_TRUE(lineTexts(canvas->deploySession().pane()).contains(said));
        const DeployHistoryEntry last = history().last();
        EXPECT_EQ(last.kind, step.kind);
        EXPECT_EQ(last.outcome, QStringLiteral("cancelled"));
        EXPECT_EQ(last.reason, QStringLiteral("You cancelled %1.").arg(step.named));
        ASSERT_TRUE(settle(canvas->deploySession().pane()));
    }
    // The provider was never changed: the saved git setting is what it was.
    ASSERT_TRUE(waitUntil([&] {
        const std::optional<DeployConfig> config = DeployConfig::load(canvas->projectURL());
        return config && config->autoDeployOnPush == true;
    }));

    // A first deploy cancelled at its token card ends cancelled, and says so.
    canvas->deploySession().unpin();
    ASSERT_TRUE(waitUntil([&] { return phase() == Phase::idle(); }));
    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_DEPLOY_NEED_TOKEN] VERCEL_TOKEN | publish"))}));
    await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::fresh));
    ASSERT_TRUE(waitUntil([&] { return phase().kind() == Phase::Kind::awaitingToken && settle(canvas->deploySession().pane()); }));
    await(canvas->deploySession().cancel());
    EXPECT_EQ(phase(), Phase::cancelled());
    EXPECT_TRUE(lineTexts(canvas->deploySession().pane()).contains(QStringLiteral("[You cancelled the deploy.]")))
        << lineTexts(canvas->deploySession().pane()).join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(history().last().outcome, QStringLiteral("cancelled"));
}

// Leaving the project during a rollback records it as interrupted; the
// project, reopened, is live again (and so after a restart: nothing but the
// files and the user's own record carry it). The env-var rows start from the
// saved choices.
TEST_F(DeployLiveStaysTest, AQuitDuringAnOperationIsRecordedAndTheProjectReopensLive)
{
    provideTools();
    openDeploy();
    ASSERT_NO_FATAL_FAILURE(goLive(QStringLiteral("dpl_0"), false));
    canvas->deploySession().saveConfig([](DeployConfig &config) {
        config.envDecisions = {{QStringLiteral("SECRET_KEY"), QStringLiteral("skip")},
                               {QStringLiteral("API_URL"), QStringLiteral("send")}};
    });
    DeployHistoryEntry point;
    point.providers = {QStringLiteral("vercel")};
    point.deploymentID = QStringLiteral("dpl_0");
    provider->enqueue(FakeAgentProvider::running());
    await(canvas->deploySession().beginRollback(point));
    ASSERT_TRUE(waitUntil([&] { return canvas->deploySession().pane()->currentSession().has_value(); }));
    const QUuid deployPaneId = canvas->deploySession().pane()->id();

    reopen();
    const DeployHistoryEntry last = history().last();
    EXPECT_EQ(last.kind, QStringLiteral("rollback"));
    EXPECT_EQ(last.outcome, QStringLiteral("interrupted"));
    EXPECT_EQ(last.reason, QStringLiteral("Nerim was closed during the rollback."));
    ASSERT_TRUE(waitUntil([&] { return phase() == Phase::live(liveURL, std::nullopt); }));
    // The restored Deploy pane is the session's, and shows what happened.
    EXPECT_EQ(canvas->deploySession().state().deployPaneID(), deployPaneId);
    EXPECT_TRUE(lineTexts(canvas->deploySession().pane())
                    .contains(QStringLiteral("[Nerim was closed during the rollback. Your app is still live at ") +
                              liveURL +
                              QStringLiteral(". To try again, choose \u201cTry the rollback again\u201d in the Live "
                                             "menu.]")));

    // The Live menu's items work on the restored deploy.
    ASSERT_TRUE(canvas->deploySession().openEnvVarChecklist());
    const QMap<QString, QString> rows = canvas->deploySession().state().envDecisions();
    EXPECT_EQ(rows.value(QStringLiteral("SECRET_KEY")), QStringLiteral("skip"));
    EXPECT_EQ(rows.value(QStringLiteral("API_URL")), QStringLiteral("send"));
    await(canvas->deploySession().cancel());
    EXPECT_EQ(phase(), Phase::live(liveURL, std::nullopt));
}

// A deploy-config.json that came with the folder (no deploy of this user's
// wrote it) opens no Live menu, and its custom domain never becomes the live
// address, not even when this user's own deploy of the project is live and a
// git change ends live.
TEST_F(DeployLiveStaysTest, APlantedSavedAddressOrDomainNeverBecomesTheLiveAddress)
{
    provideTools();
    DeployConfig planted;
    planted.providers = {DeployProvider::vercel};
    planted.frontendURL = QStringLiteral("https://attacker.vercel.app");
    planted.customDomain = QStringLiteral("attacker.example.net");
    DeployConfig::save(planted, QUrl::fromLocalFile(project));
    DeployHistoryEntry line;
    line.timestamp = QStringLiteral("2026-01-01T00:00:00Z");
    line.providers = {QStringLiteral("vercel")};
    line.frontendURL = planted.frontendURL;
    line.deploymentID = QStringLiteral("dpl_planted");
    line.outcome = QStringLiteral("live");
    line.kind = QStringLiteral("fresh");
    writeFile(DeployHistoryEntry::historyPath(project), line.jsonLine() + '\n');

    openDeploy();
    ASSERT_NO_FATAL_FAILURE(letTheOpeningSettle());
    EXPECT_EQ(phase(), Phase::idle());
    EXPECT_EQ(DeployConfig::load(canvas->projectURL())->liveURL(), std::nullopt);
    EXPECT_FALSE(canvas->deploySession().openEnvVarChecklist());
    EXPECT_TRUE(DeployHistoryEntry::recentLive(canvas->projectURL(), 6).isEmpty());

    // This user's deploy goes live; the planted domain is written in again.
    ASSERT_NO_FATAL_FAILURE(goLive(QStringLiteral("dpl_0"), false));
    ASSERT_TRUE(waitUntil([&] { return DeployOwnRecord::load(canvas->projectURL()).frontendURL == liveURL; }));
    std::optional<DeployConfig> config = DeployConfig::loadFile(canvas->projectURL());
    config->customDomain = QStringLiteral("attacker.example.net");
    DeployConfig::save(*config, canvas->projectURL());
    EXPECT_EQ(DeployConfig::load(canvas->projectURL())->liveURL(), liveURL);

    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_DEPLOY_OPERATION_DONE] Connected"))}));
    await(canvas->deploySession().beginGitConnect(true));
    ASSERT_TRUE(waitUntil([&] { return !phase().isActive() && settle(canvas->deploySession().pane()); }));
    EXPECT_EQ(phase(), Phase::live(liveURL, std::nullopt));
    // A LIVE marker naming the planted domain is refused too.
    provider->enqueue(
        FakeAgentProvider::events({out(QStringLiteral("[NERIM_DEPLOY_LIVE] https://attacker.example.net"))}));
    await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::redeploy));
    ASSERT_TRUE(waitUntil([&] { return !phase().isActive() && settle(canvas->deploySession().pane()); }));
    // The redeploy failed; the deploy before it is still the live one.
    EXPECT_EQ(phase(), Phase::live(liveURL, std::nullopt));
    EXPECT_EQ(history().last().reason, QStringLiteral("live-address-refused"));

    reopen();
    ASSERT_TRUE(waitUntil([&] { return phase() == Phase::live(liveURL, std::nullopt); }));
}

// Fresh, redeploy, roll back to the first: the Live menu offers the second
// deployment only (the first is live again), once; never a deployment this
// user's deploys did not make.
TEST_F(DeployLiveStaysTest, TheRollbackListOffersEachEarlierDeploymentOnceAndNeverTheLiveOne)
{
    provideTools();
    openDeploy();
    ASSERT_NO_FATAL_FAILURE(goLive(QStringLiteral("dpl_1"), false));
    ASSERT_NO_FATAL_FAILURE(goLive(QStringLiteral("dpl_2"), false));
    SerialFileWriter::shared().flush();
    QList<DeployHistoryEntry> points = DeployHistoryEntry::recentLive(canvas->projectURL(), 6);
    ASSERT_EQ(points.size(), 1);
    EXPECT_EQ(points.first().deploymentID, QStringLiteral("dpl_1"));

    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_DEPLOY_OPERATION_DONE] Rolled back"))}));
    await(canvas->deploySession().beginRollback(points.first()));
    ASSERT_TRUE(waitUntil([&] { return phase() == Phase::live(liveURL, std::nullopt) && settle(canvas->deploySession().pane()); }));
    // A line planted among them names a deployment this user never made.
    DeployHistoryEntry planted;
    planted.timestamp = QStringLiteral("2026-12-08T00:54:00Z");
    planted.providers = {QStringLiteral("vercel")};
    planted.deploymentID = QStringLiteral("dpl_planted");
    planted.outcome = QStringLiteral("live");
    planted.kind = QStringLiteral("fresh");
    SerialFileWriter::shared().flush();
    QByteArray lines = readFile(DeployHistoryEntry::historyPath(project));
    lines.prepend(planted.jsonLine() + '\n');
    writeFile(DeployHistoryEntry::historyPath(project), lines);

    points = DeployHistoryEntry::recentLive(canvas->projectURL(), 6);
    ASSERT_EQ(points.size(), 1);
    EXPECT_EQ(points.first().deploymentID, QStringLiteral("dpl_2"));
}

// After a restart the project opens live with no deploy of this session
// behind it: a rollback then records the live deploy's providers and address,
// so the Roll back list names both for it. A redeploy, even one cancelled at
// its token card, goes on below what the Deploy pane showed.
TEST_F(DeployLiveStaysTest, AfterARestartARollbackRecordsItsProvidersAndARedeployKeepsTheTranscript)
{
    provideTools();
    openDeploy();
    ASSERT_NO_FATAL_FAILURE(goLive(QStringLiteral("dpl_1"), false));
    ASSERT_NO_FATAL_FAILURE(goLive(QStringLiteral("dpl_2"), false));
    reopen();
    ASSERT_TRUE(waitUntil([&] { return phase() == Phase::live(liveURL, std::nullopt); }));
    SerialFileWriter::shared().flush();
    const QList<DeployHistoryEntry> points = DeployHistoryEntry::recentLive(canvas->projectURL(), 6);
    ASSERT_EQ(points.size(), 1);

    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_DEPLOY_OPERATION_DONE] Rolled back"))}));
    await(canvas->deploySession().beginRollback(points.first()));
    ASSERT_TRUE(waitUntil([&] { return phase() == Phase::live(liveURL, std::nullopt) && settle(canvas->deploySession().pane()); }));
    const DeployHistoryEntry rolledBack = history().last();
    EXPECT_EQ(rolledBack.kind, QStringLiteral("rollback"));
    EXPECT_EQ(rolledBack.providers, QStringList{QStringLiteral("vercel")});
    EXPECT_EQ(rolledBack.frontendURL, liveURL);
    // dpl_1 is live again: the list now offers dpl_2, with its providers and address.
    const QList<DeployHistoryEntry> after = DeployHistoryEntry::recentLive(canvas->projectURL(), 6);
    ASSERT_EQ(after.size(), 1);
    EXPECT_EQ(after.first().deploymentID, QStringLiteral("dpl_2"));
    EXPECT_EQ(after.first().providers, QStringList{QStringLiteral("vercel")});
    EXPECT_EQ(after.first().frontendURL, liveURL);

    const QStringList before = lineTexts(canvas->deploySession().pane());
    ASSERT_TRUE(before.contains(QStringLiteral("Rolled back")));
    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_DEPLOY_NEED_TOKEN] VERCEL_TOKEN | publish"))}));
    await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::redeploy));
    ASSERT_TRUE(waitUntil([&] { return phase().kind() == Phase::Kind::awaitingToken && settle(canvas->deploySession().pane()); }));
    await(canvas->deploySession().cancel());
    const QStringList now = lineTexts(canvas->deploySession().pane());
    EXPECT_EQ(now.mid(0, before.size()), before);
    EXPECT_TRUE(now.contains(QStringLiteral("[You cancelled the redeploy. Your app is still live at ") + liveURL +
                             QStringLiteral(".]")));
}
