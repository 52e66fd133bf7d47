// What the user's program may not see when Nerim runs it: the values of the
// start command's assignments (on any command line, in any log line), Nerim's
// data folder and the agent's own settings, and anything a planted git
// configuration of the project would run.
#include "RunnerFixture.h"

#include "launcher/LaunchOverride.h"
#include "persistence/IntentProcessorConstants.h"
#include "launcher/ProjectTypeDetector.h"
#include "platform/TaggedProcesses.h"

#include "PlantedRepository.h"

#include <QDir>
#include <QLoggingCategory>

using nerim::DevServerRunner;
using nerim::DevServerStatus;
using nerim::LaunchPlan;
using Kind = DevServerStatus::Kind;

namespace {

class DevServerIsolationTest : public nerim::test::RunnerFixture {
protected:
    void TearDown() override { QLoggingCategory::setFilterRules(QString()); }

    // Runs `command` in `folder` to its end; returns its output.
    QString runToTheEnd(const QString &folder, const QString &command)
    {
        DevServerRunner runner(options());
        nerim::test::await(runner.start(LaunchPlan{folder, command, QStringLiteral("Starting your app")}));
        EXPECT_TRUE(waitUntil([&] { return runner.status().is(Kind::stopped); }, 60000)) << runner.status().kindName().toStdString();
        return runner.recentOutput().join(QLatin1Char('\n'));
    }
};

// Every process's command line, as any user of the machine can read it.
QByteArray allCommandLines()
{
    QByteArray all;
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (cmdline.open(QIODevice::ReadOnly))
            all += cmdline.readAll() + '\n';
    }
    return all;
}

} // namespace

TEST(LaunchCommandForLog, LeavesOutTheValueOfEveryAssignment)
{
    const std::pair<const char *, const char *> cases[] = {
        {"STRIPE_KEY=sk_live_1 npm run dev", "STRIPE_KEY=… npm run dev"},
        {"A='two words' B=\"x \\\" y\" C=$(cat key) node s.js", "A=… B=… C=… node s.js"},
        {"npm i && env TOKEN=abc\\ def PORT=3000 npm start", "npm i && env TOKEN=… PORT=… npm start"},
        {"export KEY=1; KEY2=2 ./run|tee x", "export KEY=…; KEY2=… ./run|tee x"},
        {"node s.js --api-key=kept 'QUOTED=kept' a=b=c", "node s.js --api-key=kept 'QUOTED=kept' a=…"},
        {"x=", "x=…"},
    };
    for (const auto &[command, shown] : cases)
        EXPECT_EQ(nerim::launchCommandForLog(QString::fromUtf8(command)), QString::fromUtf8(shown)) << command;
}

// While the app runs, no process's command line and no log line (whatever the
// logging categories) holds a value its start command assigns.
TEST_F(DevServerIsolationTest, AssignedValuesAreOnNoCommandLineAndInNoLogLine)
{
    QLoggingCategory::setFilterRules(QStringLiteral("nerim.devserver.output.debug=true"));
    const QString folder = project({});
    for (const QString &command :
         {QStringLiteral("STRIPE_KEY=sk_live_first OTHER='second secret' sh -c 'echo ready; exec sleep 30'"),
          QStringLiteral("env STRIPE_KEY=sk_live_third sh -c 'echo ready; exec sleep 30'")}) {
        nerim::test::LogCapture log;
        DevServerRunner runner(options());
        nerim::test::await(runner.start(LaunchPlan{folder, command, QStringLiteral("Starting your app")}));
        ASSERT_TRUE(waitUntil([&] { return runner.recentOutput().contains(QStringLiteral("ready")); })) << command.toStdString();
        const QByteArray lines = allCommandLines();
        for (const char *secret : {"sk_live_first", "second secret", "sk_live_third"})
            EXPECT_FALSE(lines.contains(secret)) << secret;
        nerim::test::await(runner.stop());
        // The override names it in the log too, through the detector.
        nerim::LaunchOverride saved{1, command, std::nullopt, std::nullopt, QStringLiteral("now"), std::nullopt};
        saved.save(folder);
        nerim::ProjectTypeDetector::detect(folder);
        const QString all = log.lines().join(QLatin1Char('\n'));
        EXPECT_TRUE(all.contains(QStringLiteral("STRIPE_KEY=\u2026"))) << all.toStdString();
        for (const char *secret : {"sk_live_first", "second secret", "sk_live_third"})
            EXPECT_FALSE(all.contains(QLatin1String(secret))) << secret << "\n" << all.toStdString();
    }
}

// The app runs in a namespace of its own, where Nerim's data folder (with the
// key file) and the agent's settings are empty and cannot be written.
TEST_F(DevServerIsolationTest, TheAppCannotReadNerimsDataFolderOrTheAgentsSettings)
{
    if (!nerim::test::kernelAllowsPidNamespaces())
        GTEST_SKIP() << "this kernel gives this user no PID namespace, so no mount namespace either";
    const QString dataFolder = QFileInfo(nerim::IntentProcessorConstants::apiKeysFilePath()).absolutePath();
    ASSERT_TRUE(nerim::test::writeFile(dataFolder + QStringLiteral("/api-keys.json"), "{\"anthropic\":\"sk-ant-secret\"}"));
    ASSERT_TRUE(nerim::test::writeFile(nerim::test::homeDir() + QStringLiteral("/.claude/.credentials.json"), "oauth-secret"));
    ASSERT_TRUE(nerim::test::writeFile(nerim::test::homeDir() + QStringLiteral("/.claude.json"), "primary-secret"));
    const QString folder = project({{"visible.txt", "project file\n"}});

    const QString output = runToTheEnd(
        folder, QStringLiteral("cat '%1/api-keys.json' ~/.claude/.credentials.json ~/.claude.json visible.txt; "
                               "ls -A '%1' ~/.claude; touch '%1/new' && echo wrote; echo done")
                    .arg(dataFolder));
    EXPECT_TRUE(output.contains(QStringLiteral("project file"))) << output.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("done"))) << output.toStdString();
    for (const char *secret : {"sk-ant-secret", "oauth-secret", "primary-secret", "wrote"})
        EXPECT_FALSE(output.contains(QLatin1String(secret))) << secret << "\n" << output.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("api-keys.json: No such file or directory"))) << output.toStdString();
    // Outside the app's namespace everything is as it was.
    EXPECT_EQ(nerim::test::readFile(dataFolder + QStringLiteral("/api-keys.json")), "{\"anthropic\":\"sk-ant-secret\"}");
    EXPECT_FALSE(QFileInfo::exists(dataFolder + QStringLiteral("/new")));
}

// "Run the app" in a project whose repository planted programs in its git
// configuration: the app's git runs none of them.
TEST_F(DevServerIsolationTest, TheAppsGitRunsNothingTheRepositoryPlanted)
{
    const nerim::test::PlantedRepository planted = nerim::test::PlantedRepository::create();
    if (planted.folder.isEmpty())
        GTEST_SKIP() << "git is not installed";
    runToTheEnd(planted.folder, planted.routineCommands());
    EXPECT_TRUE(planted.marksLeft().isEmpty()) << planted.marksLeft().join(' ').toStdString();
    EXPECT_TRUE(planted.ownHelperAnswer().contains("password=from-your-own-helper")) << planted.ownHelperAnswer().toStdString();
    EXPECT_EQ(planted.lastCommit(), "work");
}
