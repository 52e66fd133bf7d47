// What comes after a deploy goes live, with a scripted Deploy agent: the
// pasted token serves the later operations, an operation or the domain step
// keeps its own phase whatever deploy markers its agent prints, only the
// domain the user typed is taken, an operation started in a new pane keeps
// its instruction, the history keeps its rollback points, and cancelling
// while the tools install stops every install.
#include "DeployFixture.h"

#include "deploy/DeployPrompt.h"
#include "deploy/DeployVariableRules.h"

#include <QStandardPaths>

using namespace nerim;
using namespace nerim::test;
using Phase = DeploySessionState::Phase;

namespace {

const QString token = QStringLiteral("vercel-token-5e1d0c9b");
const QString liveURL = QStringLiteral("https://shop.vercel.app");
const DeploySessionState::TerminalSnapshot snapshot{liveURL, std::nullopt};

class DeployOperationsTest : public DeployCanvasTest {
protected:
    // A redeploy to Vercel that asks for the token, then goes live as dpl_0.
    void goLive()
    {
        provideTools();
        // The names the agent asks values for below, as the project declares them.
        writeFile(project + QStringLiteral("/.env.example"), "STRIPE_KEY=\nDEPLOY_HOOK_KEY=\n");
        openDeploy();
        provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_DEPLOY_NEED_TOKEN] VERCEL_TOKEN | publish"))}));
        await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::redeploy));
        ASSERT_TRUE(waitUntil([&] { return phase().kind() == Phase::Kind::awaitingToken && settle(canvas->deploySession().pane()); }));
        provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_DEPLOY_SIGNED_IN] vercel")),
                                                     out(QStringLiteral("[NERIM_DEPLOY_DEPLOYMENT_ID] vercel | dpl_0")),
                                                     out(QStringLiteral("[NERIM_DEPLOY_LIVE] ") + liveURL)}));
        await(canvas->deploySession().submitToken(QStringLiteral("VERCEL_TOKEN"), token));
        ASSERT_TRUE(waitUntil([&] { return phase() == Phase::live(liveURL, std::nullopt) && settle(canvas->deploySession().pane()); }));
        ASSERT_TRUE(waitUntil([&] { return DeployConfig::load(canvas->projectURL()).has_value(); }));
    }

    static DeployHistoryEntry firstDeploy()
    {
        DeployHistoryEntry entry;
        entry.timestamp = QStringLiteral("2026-12-07T10:00:00Z");
        entry.providers = {QStringLiteral("vercel")};
        entry.frontendURL = liveURL;
        entry.deploymentID = QStringLiteral("dpl_0");
        entry.outcome = QStringLiteral("live");
        return entry;
    }

    FakeAgentProvider::SpawnCall lastSpawn() const { return provider->spawnCalls().last(); }
    QString lastToken() const { return lastSpawn().extras.environment.value(QStringLiteral("VERCEL_TOKEN")); }
    void yield(const QString &line) { provider->yieldEvent(lastSession(), out(line)); }
};

} // namespace

// The token pasted for the deploy reaches the runs of a rollback, a git
// connection and an env-var update after live, with no second token step;
// only the user's cancel lets it go.
TEST_F(DeployOperationsTest, ThePastedTokenServesEveryLaterOperationUntilTheUserCancels)
{
    ASSERT_NO_FATAL_FAILURE(goLive());
    ASSERT_EQ(canvas->deploySession().tokenNames(), QStringList{QStringLiteral("VERCEL_TOKEN")});

    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_DEPLOY_OPERATION_DONE] Rolled back"))}));
    await(canvas->deploySession().beginRollback(firstDeploy()));
    ASSERT_TRUE(waitUntil([&] { return phase() == Phase::live(liveURL, std::nullopt) && settle(canvas->deploySession().pane()); }));
    EXPECT_EQ(lastToken(), token);
    // The rollback's own briefing: what to change and the marker that ends it, no deploy steps.
    EXPECT_TRUE(lastSpawn().task.contains(QLatin1String("back to deployment dpl_0")));
    EXPECT_TRUE(lastSpawn().task.contains(QLatin1String("[NERIM_DEPLOY_OPERATION_DONE]")));
    EXPECT_FALSE(lastSpawn().task.contains(QLatin1String("[NERIM_DEPLOY_SIGNED_IN]")));
    EXPECT_TRUE(lineTexts(canvas->deploySession().pane()).contains(QStringLiteral("Rolled back")));

    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_DEPLOY_OPERATION_DONE] Connected"))}));
    await(canvas->deploySession().beginGitConnect(true));
    ASSERT_TRUE(waitUntil([&] { return phase().kind() == Phase::Kind::live && settle(canvas->deploySession().pane()); }));
    EXPECT_EQ(lastToken(), token);

    ASSERT_TRUE(canvas->deploySession().openEnvVarChecklist());
    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_DEPLOY_ENV_OK]"))}));
    await(canvas->deploySession().applyEnvVarChecklist({{QStringLiteral("API_KEY"), QStringLiteral("custom:v-1")}}));
    ASSERT_TRUE(waitUntil([&] { return phase().kind() == Phase::Kind::live && settle(canvas->deploySession().pane()); }));
    EXPECT_EQ(lastToken(), token);
    EXPECT_EQ(lastSpawn().extras.environment.value(QStringLiteral("API_KEY")), QStringLiteral("v-1"));
    // A custom value is named to the agent as one in its environment, never skipped or written.
    EXPECT_TRUE(lastSpawn().task.contains(QLatin1String("API_KEY: send the value that is in your environment as API_KEY")));
    EXPECT_FALSE(lastSpawn().task.contains(QLatin1String("v-1")));

    // Cancelling an operation returns to the live deploy, whose later
    // operations still need the token; cancelling a deploy ends the hold.
    provider->enqueue(FakeAgentProvider::running());
    await(canvas->deploySession().beginGitConnect(false));
    ASSERT_TRUE(waitUntil([&] { return provider->isRunning(lastSession()); }));
    EXPECT_EQ(lastToken(), token);
    await(canvas->deploySession().cancel());
    EXPECT_EQ(phase().kind(), Phase::Kind::live);
    EXPECT_EQ(canvas->deploySession().tokenNames(), QStringList{QStringLiteral("VERCEL_TOKEN")});
    canvas->deploySession().unpin();
    ASSERT_TRUE(waitUntil([&] { return phase() == Phase::idle() && settle(canvas->deploySession().pane()); }));
    provider->enqueue(FakeAgentProvider::running());
    await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::fresh));
    ASSERT_TRUE(waitUntil([&] { return provider->isRunning(lastSession()); }));
    await(canvas->deploySession().cancel());
    EXPECT_EQ(phase(), Phase::cancelled());
    EXPECT_TRUE(canvas->deploySession().tokenNames().isEmpty());
}

// Each operation and the domain step: a sign-in, build, token or secret marker
// brings the session back to the flow's own phase (never the env-var
// checklist of a deploy), and only the flow's own end marker ends it.
TEST_F(DeployOperationsTest, DeployMarkersDuringAnOperationOrTheDomainStepKeepItsOwnPhase)
{
    ASSERT_NO_FATAL_FAILURE(goLive());
    enum class Flow { rollback, gitConnect, envVars, domain };
    for (const Flow flow : {Flow::rollback, Flow::gitConnect, Flow::envVars, Flow::domain}) {
        SCOPED_TRACE(static_cast<int>(flow));
        provider->enqueue(FakeAgentProvider::running());
        switch (flow) {
        case Flow::rollback:
            await(canvas->deploySession().beginRollback(firstDeploy()));
            break;
        case Flow::gitConnect:
            await(canvas->deploySession().beginGitConnect(true));
            break;
        case Flow::envVars:
            ASSERT_TRUE(canvas->deploySession().openEnvVarChecklist());
            await(canvas->deploySession().applyEnvVarChecklist({}));
            break;
        case Flow::domain:
            ASSERT_TRUE(canvas->deploySession().openCustomDomainInput());
            await(canvas->deploySession().beginCustomDomain(QStringLiteral("shop.example.com")));
            break;
        }
        ASSERT_TRUE(waitUntil([&] { return provider->isRunning(lastSession()); }));
        const Phase own = phase();
        ASSERT_TRUE(own.kind() == Phase::Kind::runningOperation || own.kind() == Phase::Kind::customDomainVerifying)
            << own.debugDescription().toStdString();

        yield(QStringLiteral("[NERIM_DEPLOY_SIGNED_IN] vercel"));
        yield(QStringLiteral("[NERIM_DEPLOY_PROGRESS] working"));
        ASSERT_TRUE(waitUntil([&] { return canvas->deploySession().state().lastProgressLine() == QStringLiteral("working"); }));
        EXPECT_EQ(phase(), own);
        yield(QStringLiteral("[NERIM_DEPLOY_BUILDING] vercel"));
        yield(QStringLiteral("[NERIM_DEPLOY_BACKEND_READY] https://abcd.supabase.co | key"));
        yield(QStringLiteral("[NERIM_DEPLOY_NEED_TOKEN] VERCEL_TOKEN | it expired"));
        ASSERT_TRUE(waitUntil([&] { return phase().kind() == Phase::Kind::awaitingToken; }));
        provider->finish(lastSession(), 0);
        ASSERT_TRUE(settle(canvas->deploySession().pane()));
        EXPECT_EQ(phase().kind(), Phase::Kind::awaitingToken);

        // The new token: back to the flow, not signing in to a deploy.
        provider->enqueue(FakeAgentProvider::running({out(QStringLiteral("[NERIM_DEPLOY_ASK_SECRET] STRIPE_KEY | billing"))}));
        await(canvas->deploySession().submitToken(QStringLiteral("VERCEL_TOKEN"), QStringLiteral("fresh-token-77")));
        EXPECT_EQ(phase(), own);
        ASSERT_TRUE(waitUntil([&] { return phase().kind() == Phase::Kind::awaitingSecret; }));
        EXPECT_EQ(lastToken(), QStringLiteral("fresh-token-77"));
        provider->finish(lastSession(), 0);
        ASSERT_TRUE(settle(canvas->deploySession().pane()));

        // The value: back to the flow, not to a checklist; the end marker ends it.
        const QString end = flow == Flow::envVars ? QStringLiteral("[NERIM_DEPLOY_ENV_OK]")
                            : flow == Flow::domain ? QStringLiteral("[NERIM_DEPLOY_DOMAIN_VERIFIED] shop.example.com")
                                                   : QStringLiteral("[NERIM_DEPLOY_OPERATION_DONE] Done");
        provider->enqueue(FakeAgentProvider::running({out(QStringLiteral("[NERIM_DEPLOY_SIGNED_IN] vercel"))}));
        await(canvas->deploySession().submitSecret(QStringLiteral("STRIPE_KEY"), QStringLiteral("sk_live_1")));
        ASSERT_TRUE(waitUntil([&] { return provider->isRunning(lastSession()); }));
        spinEventLoop();
        EXPECT_EQ(phase(), own);
        EXPECT_EQ(lastSpawn().extras.environment.value(QStringLiteral("STRIPE_KEY")), QStringLiteral("sk_live_1"));
        yield(end);
        const Phase expected = flow == Flow::domain ? Phase::customDomainVerified(QStringLiteral("shop.example.com"))
                                                    : Phase::live(liveURL, std::nullopt);
        ASSERT_TRUE(waitUntil([&] { return phase() == expected; })) << phase().debugDescription().toStdString();
        provider->finish(lastSession(), 0);
        ASSERT_TRUE(settle(canvas->deploySession().pane()));
        // Back on the deploy's address for the next flow.
        canvas->deploySession().state().setPhase(Phase::live(liveURL, std::nullopt));
    }
}

// The user typed the domain; the agent's report about another one (or a
// different address hidden in it) is not taken, neither its records nor its
// verdict. A domain beyond ASCII is the same domain in its ASCII form.
TEST_F(DeployOperationsTest, OnlyTheDomainTheUserTypedIsTakenFromTheAgent)
{
    ASSERT_NO_FATAL_FAILURE(goLive());
    ASSERT_TRUE(canvas->deploySession().openCustomDomainInput());
    provider->enqueue(FakeAgentProvider::running());
    await(canvas->deploySession().beginCustomDomain(QStringLiteral(" Shop.Example.com ")));
    ASSERT_TRUE(waitUntil([&] { return provider->isRunning(lastSession()); }));
    const QString records = QStringLiteral(" | [{\"type\":\"CNAME\",\"name\":\"shop\",\"value\":\"cname.vercel-dns.com\"}]");
    yield(QStringLiteral("[NERIM_DEPLOY_DOMAIN_RECORDS] evil.example/phish?x=1") + records);
    yield(QStringLiteral("[NERIM_DEPLOY_DOMAIN_VERIFIED] evil.example/phish?x=1"));
    yield(QStringLiteral("[NERIM_DEPLOY_DOMAIN_VERIFIED] shop.example.com.evil.example"));
    yield(QStringLiteral("[NERIM_DEPLOY_PROGRESS] checked"));
    ASSERT_TRUE(waitUntil([&] { return canvas->deploySession().state().lastProgressLine() == QStringLiteral("checked"); }));
    EXPECT_EQ(phase(), Phase::customDomainVerifying(snapshot, QStringLiteral("shop.example.com"), {}, 30));
    EXPECT_TRUE(log().contains(QLatin1String("domain verdict for another domain than the one typed")));

    yield(QStringLiteral("[NERIM_DEPLOY_DOMAIN_RECORDS] SHOP.example.com") + records);
    ASSERT_TRUE(waitUntil([&] { return !phase().records().isEmpty(); }));
    EXPECT_EQ(phase().domain(), QStringLiteral("shop.example.com"));
    yield(QStringLiteral("[NERIM_DEPLOY_DOMAIN_VERIFIED] Shop.Example.com"));
    ASSERT_TRUE(waitUntil([&] { return phase() == Phase::customDomainVerified(QStringLiteral("shop.example.com")); }));
    provider->finish(lastSession(), 0);
    ASSERT_TRUE(settle(canvas->deploySession().pane()));
    ASSERT_TRUE(waitUntil([&] {
        const std::optional<DeployConfig> config = DeployConfig::load(canvas->projectURL());
        return config && config->customDomain == QStringLiteral("shop.example.com");
    }));

    // A domain beyond ASCII, reported back in its ASCII form, and then a
    // redeploy that names it as the live address.
    ASSERT_TRUE(canvas->deploySession().openCustomDomainInput());
    provider->enqueue(FakeAgentProvider::events(
        {out(QStringLiteral("[NERIM_DEPLOY_DOMAIN_VERIFIED] xn--bckerei-mller-bfb28a.de"))}));
    await(canvas->deploySession().beginCustomDomain(QStringLiteral("B\u00e4ckerei-M\u00fcller.de")));
    ASSERT_TRUE(waitUntil([&] { return phase() == Phase::customDomainVerified(QStringLiteral("b\u00e4ckerei-m\u00fcller.de")); }));
    ASSERT_TRUE(settle(canvas->deploySession().pane()));
    ASSERT_TRUE(waitUntil([&] {
        const std::optional<DeployConfig> config = DeployConfig::load(canvas->projectURL());
        return config && config->customDomain == QStringLiteral("b\u00e4ckerei-m\u00fcller.de");
    }));
    provider->enqueue(FakeAgentProvider::events(
        {out(QStringLiteral("[NERIM_DEPLOY_LIVE] https://b\u00e4ckerei-m\u00fcller.de"))}));
    await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::redeploy));
    ASSERT_TRUE(waitUntil([&] { return !phase().isActive(); }));
    EXPECT_EQ(phase(), Phase::live(QStringLiteral("https://b\u00e4ckerei-m\u00fcller.de"), std::nullopt))
        << phase().debugDescription().toStdString();
}

// A planted deploy-config.json names another site: no live deploy comes of it.
TEST_F(DeployOperationsTest, APlantedSavedAddressIsNoLiveDeploy)
{
    provideTools();
    DeployConfig planted;
    planted.providers = {DeployProvider::vercel};
    planted.frontendURL = QStringLiteral("https://evil.example/");
    planted.customDomain = QStringLiteral("evil.example/phish?x=1");
    DeployConfig::save(planted, QUrl::fromLocalFile(project));
    openDeploy();
    await(canvas->deploySession().beginGitConnect(true));
    EXPECT_EQ(phase(), Phase::stuck(QStringLiteral("Nerim doesn't have a live deploy to wire to git yet.")));
    EXPECT_TRUE(provider->spawnCalls().isEmpty());
}

// The Deploy pane closed after live: the rollback opens a new pane whose first
// run is the rollback's briefing, and a follow-up there still carries it whole.
TEST_F(DeployOperationsTest, AnOperationInANewPaneKeepsItsInstructionForTheRunsAfter)
{
    ASSERT_NO_FATAL_FAILURE(goLive());
    await(canvas->closePane(canvas->deploySession().pane()->id()));
    EXPECT_EQ(phase().kind(), Phase::Kind::live);
    EXPECT_EQ(canvas->deploySession().pane(), nullptr);

    provider->enqueue(FakeAgentProvider::running());
    await(canvas->deploySession().beginRollback(firstDeploy()));
    ASSERT_TRUE(waitUntil([&] { return provider->isRunning(lastSession()); }));
    ASSERT_NE(canvas->deploySession().pane(), nullptr);
    const FakeAgentProvider::SpawnCall first = lastSpawn();
    EXPECT_TRUE(first.priorTurns.isEmpty());
    EXPECT_TRUE(first.task.contains(QLatin1String("back to deployment dpl_0")));
    EXPECT_EQ(first.extras.environment.value(QStringLiteral("VERCEL_TOKEN")), token);

    // The agent asks for a value; the run that takes it back still knows it is rolling back.
    yield(QStringLiteral("[NERIM_DEPLOY_ASK_SECRET] DEPLOY_HOOK_KEY | to confirm"));
    ASSERT_TRUE(waitUntil([&] { return phase().kind() == Phase::Kind::awaitingSecret; }));
    provider->finish(lastSession(), 0);
    ASSERT_TRUE(settle(canvas->deploySession().pane()));
    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_DEPLOY_OPERATION_DONE] Back on dpl_0"))}));
    await(canvas->deploySession().submitSecret(QStringLiteral("DEPLOY_HOOK_KEY"), QStringLiteral("hook-1")));
    ASSERT_TRUE(waitUntil([&] { return phase() == Phase::live(liveURL, std::nullopt); }));
    const FakeAgentProvider::SpawnCall second = lastSpawn();
    ASSERT_EQ(second.priorTurns.size(), 1);
    EXPECT_EQ(second.priorTurns.first().userPrompt, first.task);
    EXPECT_EQ(second.extras.environment.value(QStringLiteral("VERCEL_TOKEN")), token);
}

// Git, env-var and domain changes leave the live deploys offered for a
// rollback in place; a deployment id printed after the live address counts;
// an address written with a final dot or in angle brackets is taken plain.
TEST_F(DeployOperationsTest, TheHistoryKeepsEveryDeployAsARollbackPoint)
{
    provideTools();
    openDeploy();
    provider->enqueue(FakeAgentProvider::running({out(QStringLiteral("[NERIM_DEPLOY_LIVE] <https://shop.vercel.app.>"))}));
    await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::redeploy));
    ASSERT_TRUE(waitUntil([&] { return phase() == Phase::live(liveURL, std::nullopt); }));
    yield(QStringLiteral("[NERIM_DEPLOY_DEPLOYMENT_ID] vercel | dpl_late"));
    provider->finish(lastSession(), 0);
    ASSERT_TRUE(settle(canvas->deploySession().pane()));

    for (const bool enable : {true, false, true, false, true, false}) {
        provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_DEPLOY_OPERATION_DONE] Done"))}));
        await(canvas->deploySession().beginGitConnect(enable));
        ASSERT_TRUE(waitUntil([&] { return phase().kind() == Phase::Kind::live && settle(canvas->deploySession().pane()); }));
    }
    ASSERT_TRUE(canvas->deploySession().openEnvVarChecklist());
    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_DEPLOY_ENV_OK]"))}));
    await(canvas->deploySession().applyEnvVarChecklist({}));
    ASSERT_TRUE(waitUntil([&] { return phase().kind() == Phase::Kind::live && settle(canvas->deploySession().pane()); }));
    ASSERT_TRUE(canvas->deploySession().openCustomDomainInput());
    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_DEPLOY_DOMAIN_VERIFIED] shop.example.com"))}));
    await(canvas->deploySession().beginCustomDomain(QStringLiteral("shop.example.com")));
    ASSERT_TRUE(waitUntil([&] { return phase().kind() == Phase::Kind::customDomainVerified && settle(canvas->deploySession().pane()); }));

    // An env-var update that had to make a new deployment is a rollback point.
    canvas->deploySession().state().setPhase(Phase::live(liveURL, std::nullopt));
    ASSERT_TRUE(canvas->deploySession().openEnvVarChecklist());
    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_DEPLOY_ENV_OK]")),
                                                 out(QStringLiteral("[NERIM_DEPLOY_DEPLOYMENT_ID] vercel | dpl_env"))}));
    await(canvas->deploySession().applyEnvVarChecklist({}));
    ASSERT_TRUE(waitUntil([&] { return phase().kind() == Phase::Kind::live && settle(canvas->deploySession().pane()); }));

    SerialFileWriter::shared().flush();
    // The earlier deployment is offered; dpl_env, live now, is not.
    const QList<DeployHistoryEntry> live = DeployHistoryEntry::recentLive(canvas->projectURL(), 6);
    ASSERT_EQ(live.size(), 1);
    EXPECT_EQ(live.first().deploymentID, QStringLiteral("dpl_late"));
    EXPECT_EQ(live.first().frontendURL, liveURL);
    const QByteArray history = readFile(DeployHistoryEntry::historyPath(project));
    EXPECT_EQ(history.count("\"outcome\":\"updated\""), 8);
    EXPECT_EQ(history.count("\"kind\":\"gitConnect\""), 6);
    EXPECT_TRUE(history.contains("\"kind\":\"domain\",\"outcome\":\"updated\""));
}

// A secret is asked for only under a name the project declares, and never
// under a provider's token or a name that changes how the run's programs
// start, even a declared one: refused as a token request is, before any card
// opens; a declared name opens the card.
TEST_F(DeployOperationsTest, ASecretRequestIsTakenOnlyForANameTheProjectDeclares)
{
    provideTools();
    writeFile(project + QStringLiteral("/.env"), "API_KEY=local\n");
    writeFile(project + QStringLiteral("/.env.example"), "STRIPE_KEY=\nOPENSSL_CONF=./x.cnf\nLD_PRELOAD=\nNODE_OPTIONS=\n");
    openDeploy();
    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_DEPLOY_ASK_SECRET] OPENSSL_CONF | x")),
                                                 out(QStringLiteral("[NERIM_DEPLOY_ASK_SECRET] GITHUB_TOKEN | y"))}));
    provider->enqueue(FakeAgentProvider::events({}));
    provider->enqueue(FakeAgentProvider::running({out(QStringLiteral("[NERIM_DEPLOY_ASK_SECRET] STRIPE_KEY | billing"))}));
    await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::fresh));
    ASSERT_TRUE(waitUntil([&] { return provider->spawnCalls().size() == 3 && phase().kind() == Phase::Kind::awaitingSecret; }));
    EXPECT_EQ(phase(), Phase::awaitingSecret(QStringLiteral("STRIPE_KEY"), QStringLiteral("billing")));
    const QStringList declared{QStringLiteral("API_KEY"), QStringLiteral("STRIPE_KEY"), QStringLiteral("OPENSSL_CONF"),
                               QStringLiteral("LD_PRELOAD"), QStringLiteral("NODE_OPTIONS")};
    EXPECT_EQ(provider->spawnCalls().at(1).task, DeployRuns::refusedSecretReply(QStringLiteral("OPENSSL_CONF"), declared));
    EXPECT_EQ(provider->spawnCalls().at(2).task, DeployRuns::refusedSecretReply(QStringLiteral("GITHUB_TOKEN"), declared));
    EXPECT_TRUE(provider->spawnCalls().at(2).task.endsWith(QLatin1String("The names you can ask for are API_KEY, STRIPE_KEY.")));
    EXPECT_TRUE(log().contains(QLatin1String("token request refused: OPENSSL_CONF")));
    for (const auto &call : provider->spawnCalls())
        EXPECT_FALSE(call.extras.environment.contains(QStringLiteral("OPENSSL_CONF")));
}

// Cancel while the providers' tools install: the running npm is stopped and
// the next provider's install never starts.
TEST_F(DeployOperationsTest, CancellingWhileToolsInstallStopsEveryInstall)
{
    const QString path = QString::fromLocal8Bit(qgetenv("PATH"));
    for (const char *tool : {"railway", "vercel"})
        if (!QStandardPaths::findExecutable(QLatin1String(tool), path.split(QLatin1Char(':'))).isEmpty())
            GTEST_SKIP() << tool << " is installed on this computer, so it would not be installed";
    const QString bin = makeTempDir(QStringLiteral("npm-bin"));
    const QString marks = makeTempDir(QStringLiteral("marks"));
    const QString npm = bin + QStringLiteral("/npm");
    writeFile(npm, QStringLiteral("#!/bin/sh\necho $$ > '%1/pid-'\"$(ls '%1' | wc -l)\"\nexec sleep 600\n").arg(marks).toUtf8());
    QFile::setPermissions(npm, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    openDeploy(npm);

    QCoro::Task<> beginning = canvas->deploySession().begin({DeployProvider::railway, DeployProvider::vercel}, DeployKind::fresh);
    ASSERT_TRUE(waitUntil([&] { return !readFile(marks + QStringLiteral("/pid-0")).isEmpty(); }));
    const QString pid = QString::fromLatin1(readFile(marks + QStringLiteral("/pid-0")).trimmed());
    await(canvas->deploySession().cancel());
    await(std::move(beginning));
    EXPECT_EQ(phase(), Phase::cancelled());
    ASSERT_TRUE(waitUntil([&] { return !QFile::exists(QStringLiteral("/proc/") + pid); }));
    spinEventLoop(50);
    EXPECT_FALSE(QFile::exists(marks + QStringLiteral("/pid-1")));
    EXPECT_TRUE(provider->spawnCalls().isEmpty());
}
