// What the user's program may not see when Nerim runs it: the values of the
// start command's assignments (on any command line, in any log line), Nerim's
// data folder and the agent's own settings, and anything a planted git
// configuration of the project would run.
#include "RunnerFixture.h"

#include "launcher/LaunchOverride.h"
#include "persistence/IntentProcessorConstants.h"
#include "launcher/ProjectTypeDetector.h"
#include "platform/SingleInstance.h"
#include "platform/TaggedProcesses.h"

#include "PlantedRepository.h"

#include <QDir>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QTimer>
#include <unistd.h>

using nerim::DevServerRunner;
using nerim::DevServerStatus;
using nerim::LaunchPlan;
using Kind = DevServerStatus::Kind;

namespace {

class DevServerIsolationTest : public nerim::test::RunnerFixture {
public:
    using RunnerFixture::options;
    using RunnerFixture::waitUntil;

protected:
    void TearDown() override { QLoggingCategory::setFilterRules(QString()); }

    // Runs `command` in `folder` to its end; returns its output.
    QString runToTheEnd(const QString &folder, const QString &command, const QStringList &alsoWritable = {})
    {
        DevServerRunner::Options o = options();
        o.alsoWritable = alsoWritable;
        DevServerRunner runner(o);
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

namespace {

// What a hostile app tries once it runs: read the agent's settings that
// appear only after it started, reach the session bus and the keyring's
// sockets, send Nerim a link, and undo what hides Nerim's files by unmounting.
void tryEverythingAsTheApp(DevServerIsolationTest &test, const QString &folder)
{
    const QString home = nerim::test::homeDir();
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    const QString dataFolder = QFileInfo(nerim::IntentProcessorConstants::apiKeysFilePath()).absolutePath();
    ASSERT_TRUE(nerim::test::writeFile(dataFolder + QStringLiteral("/api-keys.json"), "{\"anthropic\":\"sk-ant-secret\"}"));
    ASSERT_TRUE(nerim::test::writeFile(home + QStringLiteral("/kept.txt"), "home file\n"));
    ASSERT_TRUE(nerim::test::writeFile(runtime + QStringLiteral("/bus"), "bus-reached"));
    ASSERT_TRUE(nerim::test::writeFile(runtime + QStringLiteral("/keyring/control"), "keyring-reached"));
    qputenv("DBUS_SESSION_BUS_ADDRESS", QFile::encodeName(QStringLiteral("unix:path=") + runtime + QStringLiteral("/bus")));
    nerim::platform::SingleInstance nerim(QStringLiteral("nerim-test"));
    ASSERT_TRUE(nerim.claimOrForward({}));
    nerim.startDelivering();
    QStringList delivered;
    QObject::connect(&nerim, &nerim::platform::SingleInstance::urlsReceived, [&](const QStringList &urls) { delivered += urls; });

    const QString script = QStringLiteral(
        "echo ready; while [ ! -e go ]; do sleep 0.05; done; "
        "cat ~/.claude.json ~/.claude/.credentials.json '%1/api-keys.json' '%2/bus' '%2/keyring/control'; "
        "echo \"address=$DBUS_SESSION_BUS_ADDRESS\"; cat ~/kept.txt; echo mine > ~/new.txt && cat ~/new.txt; "
        "'%3' send '%4' 'nerim://pair?token=from-the-app' && echo sent; "
        "for p in ~ '%1' '%2' /proc; do umount \"$p\" && echo \"unmounted $p\"; umount -l \"$p\" && echo \"unmounted $p\"; done; "
        "cat ~/.claude.json '%1/api-keys.json'; grep CapEff /proc/self/status; echo done")
                               .arg(dataFolder, runtime, QStringLiteral(NERIM_PLATFORM_TEST_INSTANCE_PEER),
                                    QString::fromUtf8(nerim.socketName()));
    DevServerRunner runner(test.options());
    nerim::test::await(runner.start(LaunchPlan{folder, script, QStringLiteral("Starting your app")}));
    ASSERT_TRUE(test.waitUntil([&] { return runner.recentOutput().contains(QStringLiteral("ready")); }))
        << runner.recentOutput().join('\n').toStdString();
    // The agent writes its settings only now, while the app runs.
    ASSERT_TRUE(nerim::test::writeFile(home + QStringLiteral("/.claude.json"), "primary-secret"));
    ASSERT_TRUE(nerim::test::writeFile(home + QStringLiteral("/.claude/.credentials.json"), "oauth-secret"));
    ASSERT_TRUE(nerim::test::writeFile(folder + QStringLiteral("/go"), ""));
    EXPECT_TRUE(test.waitUntil([&] { return runner.status().is(Kind::stopped); }, 60000));
    const QString output = runner.recentOutput().join(QLatin1Char('\n'));

    for (const char *secret : {"primary-secret", "oauth-secret", "sk-ant-secret", "bus-reached", "keyring-reached",
                               "unmounted", "address=unix"})
        EXPECT_FALSE(output.contains(QLatin1String(secret))) << secret << "\n" << output.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("address="))) << output.toStdString();
    // The home folder stays readable, and read-only.
    EXPECT_TRUE(output.contains(QStringLiteral("home file"))) << output.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("new.txt: Read-only file system"))) << output.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("CapEff:\t0000000000000000"))) << output.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("done"))) << output.toStdString();
    // Nerim took no link from it; outside the namespace nothing changed.
    QEventLoop settle;
    QTimer::singleShot(200, &settle, &QEventLoop::quit);
    settle.exec();
    EXPECT_TRUE(delivered.isEmpty()) << delivered.join(' ').toStdString();
    EXPECT_EQ(nerim::test::readFile(home + QStringLiteral("/.claude.json")), "primary-secret");
    EXPECT_FALSE(QFileInfo::exists(home + QStringLiteral("/new.txt")));
}

} // namespace

// As root the app keeps no capability, so the namespace cannot be undone.
TEST_F(DevServerIsolationTest, AsRootTheAppReachesNothingLaterNorTheBusNorNerimAndCannotUnmount)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "the root path needs the tests run as root";
    if (!nerim::test::kernelAllowsPidNamespaces())
        GTEST_SKIP() << "this kernel gives this user no PID namespace, so no mount namespace either";
    tryEverythingAsTheApp(*this, project({}));
}

// As a normal user the app runs in a user namespace of Nerim's guard.
TEST_F(DevServerIsolationTest, AsAUserTheAppReachesNothingLaterNorTheBusNorNerimAndCannotUnmount)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "the normal user's path needs the tests run as a user other than root";
    if (!nerim::test::kernelAllowsPidNamespaces())
        GTEST_SKIP() << "this kernel gives this user no PID namespace, so no mount namespace either";
    tryEverythingAsTheApp(*this, project({}));
}

// "Run the app" in a project whose repository planted programs in its git
// configuration: the app's git runs none of them. (The planted programs may
// leave their marks, and the routine its results, outside the project.) The
// repository itself is read-only to the app: its commit does not happen.
TEST_F(DevServerIsolationTest, TheAppsGitRunsNothingTheRepositoryPlanted)
{
    const nerim::test::PlantedRepository planted = nerim::test::PlantedRepository::create();
    if (planted.folder.isEmpty())
        GTEST_SKIP() << "git is not installed";
    runToTheEnd(planted.folder, planted.routineCommands(), {planted.marks, planted.results});
    EXPECT_TRUE(planted.marksLeft().isEmpty()) << planted.marksLeft().join(' ').toStdString();
    EXPECT_TRUE(planted.ownHelperAnswer().contains("password=from-your-own-helper")) << planted.ownHelperAnswer().toStdString();
    EXPECT_EQ(planted.lastCommit(), nerim::test::kernelAllowsPidNamespaces() ? "base" : "work");
}
