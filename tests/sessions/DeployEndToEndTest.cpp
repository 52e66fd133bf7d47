// A deploy end to end, headless: the real controller and agent provider run
// the stand-in `claude` (one script per run) and a stand-in `vercel` command
// in Nerim's tools folder that records its environment. From the picker's
// commit through a token, a checklist with a custom value and a build to
// Live; then a redeploy and a rollback to the first deployment.
#include "CanvasFixture.h"

#include "agents/ClaudeCodeProvider.h"
#include "deploy/DeployToolInstaller.h"
#include "support/claude-standin/ClaudeStandin.h"

#include <QDir>
#include <QFile>

using namespace nerim;
using namespace nerim::test;
using Phase = DeploySessionState::Phase;

namespace {

const QString token = QStringLiteral("vercel-e2e-token-5f3a9c");
const QString customValue = QStringLiteral("sk_custom_e2e_771bd2");

void writeExecutable(const QString &path, const QByteArray &text)
{
    writeFile(path, text);
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

// Unsets the stand-in's knobs when the test ends, so no other test inherits them.
struct StandinKnobs {
    ~StandinKnobs()
    {
        for (const char *name : {"CLAUDE_STANDIN_SCRIPT_DIR", "CLAUDE_STANDIN_RECORD_ARGS", "CLAUDE_STANDIN_RECORD_STDIN",
                                 "CLAUDE_STANDIN_APPEND"})
            qunsetenv(name);
    }
};

// The Shop project's canvas over the stand-in `claude`, which plays the run
// scripts in `scripts` and records its arguments and input in `records`; the
// deploy tools are looked for in `tools`.
std::unique_ptr<ProjectCanvasViewModel> openCanvasWithStandin(const QString &project, CanvasServices services,
                                                              const QString &scripts, const QString &records,
                                                              const QString &tools)
{
    qputenv("CLAUDE_STANDIN_SCRIPT_DIR", scripts.toUtf8());
    qputenv("CLAUDE_STANDIN_RECORD_ARGS", (records + QStringLiteral("/args")).toUtf8());
    qputenv("CLAUDE_STANDIN_RECORD_STDIN", (records + QStringLiteral("/stdin")).toUtf8());
    qputenv("CLAUDE_STANDIN_APPEND", "1");
    ClaudeCodeProvider::Options options;
    options.resolveBinary = [] { return std::optional<QString>(claudeStandin::path()); };
    services.deployToolsFolder = tools;
    auto canvas = std::make_unique<ProjectCanvasViewModel>(
        QStringLiteral("id"), project, QStringLiteral("Shop"), std::make_shared<ClaudeCodeProvider>(project, options),
        nullptr, services);
    await(canvas->bootstrap());
    return canvas;
}

} // namespace

TEST_F(CanvasTest, ADeployGoesLiveThenRedeploysAndRollsBackWithTheTokenOnlyInDeployRuns)
{
    StandinKnobs knobs;
    const QString scripts = makeTempDir(QStringLiteral("scripts"));
    const QString records = makeTempDir(QStringLiteral("records"));
    const QString tools = makeTempDir(QStringLiteral("deploy-tools"));
    QDir().mkpath(DeployToolInstaller::binFolder(tools));
    writeExecutable(DeployToolInstaller::binFolder(tools) + QStringLiteral("/vercel"),
                    QStringLiteral("#!/bin/sh\nenv > '%1/vercel-env-'\"$1\"\necho \"vercel stand-in: $1\"\n")
                        .arg(records)
                        .toUtf8());
    writeFile(project + QStringLiteral("/.env"), "API_KEY=local-only\n");
    writeFile(project + QStringLiteral("/package.json"), R"({"dependencies":{"vite":"5"}})");

    const auto script = [&](int run, const QString &text) {
        writeFile(scripts + QStringLiteral("/run-%1").arg(run), text.toUtf8());
    };
    script(1, QStringLiteral("out Looking at the project.\nout [NERIM_DEPLOY_NEED_TOKEN] VERCEL_TOKEN | to publish\nexit 0\n"));
    script(2, QStringLiteral("run env > '%1/claude-env-2'\nrun vercel whoami\nout [NERIM_DEPLOY_SIGNED_IN] vercel\nexit 0\n")
                  .arg(records));
    script(3, QStringLiteral("run env > '%1/claude-env-3'\nout [NERIM_DEPLOY_ENV_OK]\nout [NERIM_DEPLOY_BUILDING] vercel\n"
                             "run vercel deploy\nout [NERIM_DEPLOY_DEPLOYMENT_ID] vercel | dpl_first\n"
                             "out [NERIM_DEPLOY_LIVE] https://shop-first.vercel.app\nexit 0\n")
                  .arg(records));
    script(4, QStringLiteral("out [NERIM_DEPLOY_SIGNED_IN] vercel\nout [NERIM_DEPLOY_DEPLOYMENT_ID] vercel | dpl_second\n"
                             "out [NERIM_DEPLOY_LIVE] https://shop-second.vercel.app\nexit 0\n"));
    script(5, QStringLiteral("run vercel rollback\nout [NERIM_DEPLOY_OPERATION_DONE] Back on the first deploy\nexit 0\n"));
    canvas = openCanvasWithStandin(project, services(), scripts, records, tools);

    // The picker's seeded commit: a vite front end goes to Vercel.
    const QList<DeployProvider> chosen = DeployProvider::deployOrder(DeployProvider::suggestedProviders(
        DeployProvider::classify(QStringLiteral("npx vite")),
        DeployContext::dependencyNamesIn(readFile(project + QStringLiteral("/package.json")))));
    ASSERT_EQ(chosen, QList<DeployProvider>{DeployProvider::vercel});
    await(canvas->deploySession().begin(chosen, DeployKind::fresh));
    ASSERT_TRUE(waitUntil([&] { return canvas->deploySession().state().phase().kind() == Phase::Kind::awaitingToken; }, 20000));
    AgentPaneState *pane = canvas->deploySession().pane();
    ASSERT_TRUE(settle(pane));

    await(canvas->deploySession().submitToken(QStringLiteral("VERCEL_TOKEN"), token));
    ASSERT_TRUE(waitUntil([&] { return canvas->deploySession().state().phase() == Phase::envVarChecklist(DeployProvider::vercel); },
                          20000))
        << lineTexts(pane).join(QLatin1Char('\n')).toStdString();
    ASSERT_TRUE(settle(pane));
    // The token is in run 2's and the tool's environment, not in Nerim's.
    EXPECT_TRUE(readFile(records + QStringLiteral("/claude-env-2")).contains("VERCEL_TOKEN=" + token.toUtf8()));
    EXPECT_TRUE(readFile(records + QStringLiteral("/vercel-env-whoami")).contains("VERCEL_TOKEN=" + token.toUtf8()));
    EXPECT_TRUE(qgetenv("VERCEL_TOKEN").isEmpty());
    EXPECT_TRUE(lineTexts(pane).contains(QStringLiteral("vercel stand-in: whoami")));

    await(canvas->deploySession().applyEnvVarChecklist({{QStringLiteral("API_KEY"), QStringLiteral("custom:") + customValue}}));
    ASSERT_TRUE(waitUntil([&] { return canvas->deploySession().state().phase().kind() == Phase::Kind::live; }, 20000))
        << lineTexts(pane).join(QLatin1Char('\n')).toStdString();
    ASSERT_TRUE(settle(pane));
    EXPECT_EQ(canvas->deploySession().state().phase().pillLabel(), QStringLiteral("Live \u00B7 shop-first.vercel.app"));
    EXPECT_TRUE(readFile(records + QStringLiteral("/claude-env-3")).contains("API_KEY=" + customValue.toUtf8()));
    EXPECT_TRUE(readFile(records + QStringLiteral("/vercel-env-deploy")).contains("API_KEY=" + customValue.toUtf8()));

    // Redeploy to a second deployment, then roll back to the first.
    ASSERT_TRUE(waitUntil([&] { return DeployConfig::load(canvas->projectURL()).has_value(); }));
    await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::redeploy));
    ASSERT_TRUE(waitUntil([&] {
        return canvas->deploySession().state().phase() == Phase::live(QStringLiteral("https://shop-second.vercel.app"), std::nullopt);
    }, 20000)) << lineTexts(canvas->deploySession().pane()).join(QLatin1Char('\n')).toStdString();
    ASSERT_TRUE(settle(canvas->deploySession().pane()));
    SerialFileWriter::shared().flush();
    // The earlier deployment only: dpl_second is the one live now.
    const QList<DeployHistoryEntry> points = DeployHistoryEntry::recentLive(canvas->projectURL(), 6);
    ASSERT_EQ(points.size(), 1);
    EXPECT_EQ(points.first().deploymentID, QStringLiteral("dpl_first"));
    await(canvas->deploySession().beginRollback(points.first()));
    ASSERT_TRUE(waitUntil([&] {
        return canvas->deploySession().state().phase().kind() == Phase::Kind::live && !isBusy(canvas->deploySession().pane()->status());
    }, 20000)) << lineTexts(canvas->deploySession().pane()).join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(QFile::exists(records + QStringLiteral("/vercel-env-rollback")));
    EXPECT_EQ(readFile(scripts + QStringLiteral("/runs")).trimmed(), QByteArray("5"));

    // Nothing secret in argv, on standard input or in any file under the project.
    SerialFileWriter::shared().flush();
    canvas->savePanes();
    SerialFileWriter::shared().flush();
    for (const QString &file : {records + QStringLiteral("/args"), records + QStringLiteral("/stdin")}) {
        EXPECT_FALSE(readFile(file).contains(token.toUtf8())) << file.toStdString();
        EXPECT_FALSE(readFile(file).contains(customValue.toUtf8())) << file.toStdString();
    }
    for (const QString &name : {QStringLiteral("deploy-config.json"), QStringLiteral("deploy-history.jsonl"),
                                QStringLiteral("panes.json")}) {
        const QByteArray bytes = readFile(project + QStringLiteral("/.nerim/") + name);
        EXPECT_FALSE(bytes.isEmpty()) << name.toStdString();
        EXPECT_FALSE(bytes.contains(token.toUtf8())) << name.toStdString();
        EXPECT_FALSE(bytes.contains(customValue.toUtf8())) << name.toStdString();
    }
}

// A whole deploy whose markers reach the session while each run still goes
// (the stand-in holds its run until the test has seen the phase), through the
// token, the checklist, the build and Live, then a custom domain whose records
// show while the agent still polls, after a token asked for on the way.
TEST_F(CanvasTest, ADeploysMarkersActWhileItsRunsGoOnThroughToAVerifiedDomain)
{
    StandinKnobs knobs;
    const QString scripts = makeTempDir(QStringLiteral("scripts"));
    const QString records = makeTempDir(QStringLiteral("records"));
    const QString gates = makeTempDir(QStringLiteral("gates"));
    const QString tools = makeTempDir(QStringLiteral("deploy-tools"));
    QDir().mkpath(DeployToolInstaller::binFolder(tools));
    writeExecutable(DeployToolInstaller::binFolder(tools) + QStringLiteral("/vercel"),
                    QStringLiteral("#!/bin/sh\nenv > '%1/vercel-env-'\"$1\"\necho \"vercel stand-in: $1\"\n")
                        .arg(records)
                        .toUtf8());
    writeFile(project + QStringLiteral("/.env"), "API_KEY=local-only\n");
    const auto gate = [&](const char *name) { return gates + QLatin1Char('/') + QLatin1String(name); };
    const auto open = [&](const char *name) { writeFile(gate(name), "go"); };
    const auto script = [&](int run, const QString &text) {
        writeFile(scripts + QStringLiteral("/run-%1").arg(run), text.toUtf8());
    };
    script(1, QStringLiteral("out [NERIM_DEPLOY_NEED_TOKEN] VERCEL_TOKEN | to publish\nhold %1\nexit 0\n").arg(gate("1")));
    script(2, QStringLiteral("run vercel whoami\nout [NERIM_DEPLOY_SIGNED_IN] vercel\nhold %1\nexit 0\n").arg(gate("2")));
    script(3, QStringLiteral("out [NERIM_DEPLOY_ENV_OK]\nout [NERIM_DEPLOY_BUILDING] vercel\nhold %1\n"
                             "run vercel deploy\nout [NERIM_DEPLOY_DEPLOYMENT_ID] vercel | dpl_a\n"
                             "out [NERIM_DEPLOY_LIVE] https://shop.vercel.app\nhold %2\nexit 0\n")
                  .arg(gate("3"), gate("4")));
    script(4, QStringLiteral("out [NERIM_DEPLOY_NEED_TOKEN] VERCEL_TOKEN | to add the domain\nexit 0\n"));
    script(5, QStringLiteral("run vercel domains\nout [NERIM_DEPLOY_DOMAIN_RECORDS] shop.example.com | "
                             "[{\"type\":\"CNAME\",\"name\":\"shop\",\"value\":\"cname.vercel-dns.com\"}]\n"
                             "hold %1\nout [NERIM_DEPLOY_DOMAIN_VERIFIED] shop.example.com\nexit 0\n")
                  .arg(gate("5")));
    canvas = openCanvasWithStandin(project, services(), scripts, records, tools);
    const DeploySessionState &state = canvas->deploySession().state();
    const auto phaseIs = [&](Phase::Kind kind) { return state.phase().kind() == kind; };

    await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::fresh));
    ASSERT_TRUE(waitUntil([&] { return phaseIs(Phase::Kind::awaitingToken); }, 20000));
    EXPECT_TRUE(state.agentRunGoing()); // the run still holds
    open("1");
    ASSERT_TRUE(waitUntil([&] { return !state.agentRunGoing(); }, 20000));

    await(canvas->deploySession().submitToken(QStringLiteral("VERCEL_TOKEN"), token));
    ASSERT_TRUE(waitUntil([&] { return state.phase() == Phase::envVarChecklist(DeployProvider::vercel); }, 20000));
    EXPECT_TRUE(state.agentRunGoing());
    EXPECT_TRUE(readFile(records + QStringLiteral("/vercel-env-whoami")).contains("VERCEL_TOKEN=" + token.toUtf8()));
    EXPECT_TRUE(readFile(records + QStringLiteral("/vercel-env-whoami")).contains("GIT_CONFIG_KEY_1=core.fsmonitor"));
    open("2");
    ASSERT_TRUE(waitUntil([&] { return !state.agentRunGoing(); }, 20000));

    await(canvas->deploySession().applyEnvVarChecklist({{QStringLiteral("API_KEY"), QStringLiteral("skip")}}));
    ASSERT_TRUE(waitUntil([&] { return phaseIs(Phase::Kind::buildingFrontend); }, 20000));
    EXPECT_TRUE(state.agentRunGoing());
    open("3");
    ASSERT_TRUE(waitUntil([&] { return phaseIs(Phase::Kind::live); }, 20000));
    EXPECT_EQ(state.phase(), Phase::live(QStringLiteral("https://shop.vercel.app"), std::nullopt));
    EXPECT_TRUE(isBusy(canvas->deploySession().pane()->status())); // live before the run ended
    open("4");
    ASSERT_TRUE(settle(canvas->deploySession().pane()));
    // The briefing told this agent who it is, with no task agent's closing line.
    const QByteArray prompts = readFile(records + QStringLiteral("/stdin"));
    EXPECT_TRUE(prompts.contains("You are the Deploy agent"));
    EXPECT_FALSE(prompts.contains("TASK_COMPLETE"));
    EXPECT_FALSE(prompts.contains("Code agent"));

    // A custom domain: the agent needs the token again, then reports records
    // that show while it keeps checking DNS.
    ASSERT_TRUE(canvas->deploySession().openCustomDomainInput());
    await(canvas->deploySession().beginCustomDomain(QStringLiteral("shop.example.com")));
    ASSERT_TRUE(waitUntil([&] { return phaseIs(Phase::Kind::awaitingToken) && !state.agentRunGoing(); }, 20000));
    await(canvas->deploySession().submitToken(QStringLiteral("VERCEL_TOKEN"), token));
    ASSERT_TRUE(waitUntil([&] { return phaseIs(Phase::Kind::customDomainVerifying) && !state.phase().records().isEmpty(); },
                          20000))
        << lineTexts(canvas->deploySession().pane()).join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(state.agentRunGoing());
    EXPECT_EQ(state.phase().records().first().value, QStringLiteral("cname.vercel-dns.com"));
    EXPECT_EQ(state.phase().snapshot().frontendURL, QStringLiteral("https://shop.vercel.app"));
    open("5");
    ASSERT_TRUE(waitUntil([&] { return state.phase() == Phase::customDomainVerified(QStringLiteral("shop.example.com")); },
                          20000));
    ASSERT_TRUE(settle(canvas->deploySession().pane()));
    EXPECT_EQ(readFile(scripts + QStringLiteral("/runs")).trimmed(), QByteArray("5"));
    EXPECT_FALSE(readFile(records + QStringLiteral("/args")).contains(token.toUtf8()));
}

// Live, then Roll back, over the stand-in `claude` and a stand-in `vercel`: the
// token pasted for the deploy is in the rollback's environment (no second
// token step), a sign-in line the rollback prints changes nothing, and the
// rollback ends on its own marker back on the live deploy.
TEST_F(CanvasTest, ALiveDeployRollsBackWithItsTokenToItsOwnEndMarker)
{
    StandinKnobs knobs;
    const QString scripts = makeTempDir(QStringLiteral("scripts"));
    const QString records = makeTempDir(QStringLiteral("records"));
    const QString tools = makeTempDir(QStringLiteral("deploy-tools"));
    QDir().mkpath(DeployToolInstaller::binFolder(tools));
    writeExecutable(DeployToolInstaller::binFolder(tools) + QStringLiteral("/vercel"),
                    QStringLiteral("#!/bin/sh\nenv > '%1/vercel-env-'\"$1\"\necho \"vercel stand-in: $*\"\n")
                        .arg(records)
                        .toUtf8());
    const auto script = [&](int run, const QString &text) {
        writeFile(scripts + QStringLiteral("/run-%1").arg(run), text.toUtf8());
    };
    script(1, QStringLiteral("out [NERIM_DEPLOY_NEED_TOKEN] VERCEL_TOKEN | to publish\nexit 0\n"));
    script(2, QStringLiteral("run vercel whoami\nout [NERIM_DEPLOY_SIGNED_IN] vercel\n"
                             "out [NERIM_DEPLOY_LIVE] https://shop-first.vercel.app.\n"
                             "out [NERIM_DEPLOY_DEPLOYMENT_ID] vercel | dpl_first\nexit 0\n"));
    script(3, QStringLiteral("run vercel deploy\nout [NERIM_DEPLOY_DEPLOYMENT_ID] vercel | dpl_second\n"
                             "out [NERIM_DEPLOY_LIVE] <https://shop-second.vercel.app>\nexit 0\n"));
    script(4, QStringLiteral("out [NERIM_DEPLOY_SIGNED_IN] vercel\nrun vercel rollback dpl_first\n"
                             "out [NERIM_DEPLOY_PROGRESS] Rolling back\n"
                             "out [NERIM_DEPLOY_OPERATION_DONE] Back on the first deploy\nexit 0\n"));
    canvas = openCanvasWithStandin(project, services(), scripts, records, tools);
    const DeploySessionState &state = canvas->deploySession().state();

    await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::redeploy));
    ASSERT_TRUE(waitUntil([&] { return state.phase().kind() == Phase::Kind::awaitingToken; }, 20000));
    ASSERT_TRUE(settle(canvas->deploySession().pane()));
    await(canvas->deploySession().submitToken(QStringLiteral("VERCEL_TOKEN"), token));
    ASSERT_TRUE(waitUntil([&] { return state.phase().kind() == Phase::Kind::live; }, 20000))
        << lineTexts(canvas->deploySession().pane()).join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(state.phase(), Phase::live(QStringLiteral("https://shop-first.vercel.app"), std::nullopt));
    ASSERT_TRUE(settle(canvas->deploySession().pane()));

    // A second deploy, with the token kept: no card in between.
    await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::redeploy));
    ASSERT_TRUE(waitUntil([&] {
        return state.phase() == Phase::live(QStringLiteral("https://shop-second.vercel.app"), std::nullopt);
    }, 20000)) << lineTexts(canvas->deploySession().pane()).join(QLatin1Char('\n')).toStdString();
    ASSERT_TRUE(settle(canvas->deploySession().pane()));
    EXPECT_TRUE(readFile(records + QStringLiteral("/vercel-env-deploy")).contains("VERCEL_TOKEN=" + token.toUtf8()));

    SerialFileWriter::shared().flush();
    // The earlier deployment only (the second is live now).
    const QList<DeployHistoryEntry> points = DeployHistoryEntry::recentLive(canvas->projectURL(), 6);
    ASSERT_EQ(points.size(), 1);
    EXPECT_EQ(points.first().deploymentID, QStringLiteral("dpl_first")); // printed after its address
    await(canvas->deploySession().beginRollback(points.first()));
    EXPECT_EQ(state.phase().pillLabel(), QStringLiteral("Rolling back\u2026"));
    QList<Phase::Kind> seen;
    ASSERT_TRUE(waitUntil([&] {
        if (seen.isEmpty() || seen.last() != state.phase().kind())
            seen.append(state.phase().kind());
        return state.phase().kind() == Phase::Kind::live && !isBusy(canvas->deploySession().pane()->status());
    }, 20000)) << lineTexts(canvas->deploySession().pane()).join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(state.phase(), Phase::live(QStringLiteral("https://shop-second.vercel.app"), std::nullopt));
    EXPECT_FALSE(seen.contains(Phase::Kind::awaitingToken));
    EXPECT_FALSE(seen.contains(Phase::Kind::envVarChecklist));
    EXPECT_TRUE(readFile(records + QStringLiteral("/vercel-env-rollback")).contains("VERCEL_TOKEN=" + token.toUtf8()));
    EXPECT_TRUE(lineTexts(canvas->deploySession().pane()).contains(QStringLiteral("vercel stand-in: rollback dpl_first")));
    EXPECT_TRUE(lineTexts(canvas->deploySession().pane()).contains(QStringLiteral("Back on the first deploy")));
    EXPECT_EQ(readFile(scripts + QStringLiteral("/runs")).trimmed(), QByteArray("4"));
    EXPECT_TRUE(readFile(records + QStringLiteral("/stdin")).contains("back to deployment dpl_first"));

    SerialFileWriter::shared().flush();
    const QByteArray history = readFile(DeployHistoryEntry::historyPath(project));
    EXPECT_TRUE(history.trimmed().split('\n').last().contains("\"kind\":\"rollback\""));
    EXPECT_FALSE(history.contains(token.toUtf8()));
    EXPECT_FALSE(readFile(records + QStringLiteral("/args")).contains(token.toUtf8()));
}
