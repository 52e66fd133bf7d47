#include "RunnerFixture.h"

#include "launcher/ProjectTypeDetector.h"
#include "platform/TaggedProcesses.h"
#include "platform/guard/ProcessTree.h"

#include <QDir>
#include <QFileInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <csignal>
#include <QElapsedTimer>
#include <QTimer>

using nerim::DetectedFailure;
using nerim::DevServerRunner;
using nerim::DevServerStatus;
using nerim::LaunchPlan;
using nerim::ProjectTypeDetector;
using Kind = DevServerStatus::Kind;
using namespace std::chrono_literals;

namespace {

// A node server on a port of its own choosing (or $PORT) that prints its address.
const QByteArray nodeServer = R"(const http = require('http');
const server = http.createServer((req, res) => res.end('hello'));
server.listen(Number(process.env.PORT || 0), '127.0.0.1', () => {
  console.log('Server listening on http://127.0.0.1:' + server.address().port);
});
)";

const QByteArray nodePackage = R"({"name":"fixture","version":"1.0.0","private":true,"scripts":{"start":"node server.js"}})";

LaunchPlan plan(const QString &folder, const QString &command)
{
    return LaunchPlan{folder, command, QStringLiteral("Starting your app")};
}

class DevServerRunnerTest : public nerim::test::RunnerFixture {};

// The process groups of the live processes whose working folder is `folder`.
QSet<qint64> processGroupsWorkingIn(const QString &folder)
{
    QSet<qint64> groups;
    const QString target = QFileInfo(folder).canonicalFilePath();
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        pid.toLongLong(&numeric);
        if (!numeric || QFileInfo(QStringLiteral("/proc/%1/cwd").arg(pid)).symLinkTarget() != target)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> fields = stat.readAll().split(')').last().trimmed().split(' ');
        if (fields.size() > 2 && fields.at(0) != "Z")
            groups.insert(fields.at(2).toLongLong());
    }
    return groups;
}

TEST_F(DevServerRunnerTest, StaticSiteRunsIsFoundAndStopsCleanly)
{
    const QString folder = project({{"index.html", "<title>Hi</title>"}});
    const LaunchPlan detected = ProjectTypeDetector::detect(folder);
    DevServerRunner runner(options());

    QList<DevServerStatus> statuses;
    QObject::connect(&runner, &DevServerRunner::statusChanged, [&] { statuses.append(runner.status()); });
    QList<QUrl> urls;
    runner.onURLDetected = [&](const QUrl &url) { urls.append(url); };
    QStringList lines;
    runner.onOutputLine = [&](const QString &line) { lines.append(line); };

    const qint64 group = startAndWaitForURL(runner, detected);
    ASSERT_TRUE(runner.detectedURL().has_value());
    EXPECT_EQ(runner.detectedURL()->host(), QStringLiteral("127.0.0.1"));
    EXPECT_GE(runner.detectedURL()->port(), 1024);
    EXPECT_EQ(urls.size(), 1);
    EXPECT_EQ(runner.status(), DevServerStatus::running(runner.detectedURL()));
    // starting → running without an address (the banner) → running with it.
    ASSERT_GE(statuses.size(), 3);
    EXPECT_EQ(statuses.at(0), DevServerStatus::starting(QStringLiteral("Starting your app")));
    EXPECT_EQ(statuses.at(1), DevServerStatus::running(std::nullopt));
    EXPECT_EQ(runner.recentOutput().value(0), QStringLiteral("[nerim] launching your app..."));
    EXPECT_EQ(lines.value(0), QStringLiteral("[nerim] launching your app..."));
    EXPECT_FALSE(runner.lastFailure().has_value());

    stopAndExpectGroupGone(runner, group);
    // The finished run stays readable.
    EXPECT_TRUE(runner.detectedURL().has_value());
    EXPECT_FALSE(runner.recentOutput().isEmpty());
    EXPECT_FALSE(runner.lastFailure().has_value());
}

TEST_F(DevServerRunnerTest, FolderNameWithAQuote)
{
    const QString folder = project({{"index.html", "<p>hi</p>"}}, QStringLiteral("Bob's \"app\""));
    DevServerRunner runner(options());
    const qint64 group = startAndWaitForURL(runner, ProjectTypeDetector::detect(folder));
    stopAndExpectGroupGone(runner, group);
}

TEST_F(DevServerRunnerTest, NodeServerUnderNpmStopsWithItsWholeGroup)
{
    if (!loginShellHas("npm"))
        GTEST_SKIP() << "npm is not installed";
    const QString folder = project({{"package.json", nodePackage}, {"server.js", nodeServer}});
    ASSERT_TRUE(QDir().mkpath(folder + QStringLiteral("/node_modules")));
    const LaunchPlan detected = ProjectTypeDetector::detect(folder);
    ASSERT_EQ(detected.shellCommand, QStringLiteral("npm run start"));

    DevServerRunner runner(options());
    const qint64 group = startAndWaitForURL(runner, detected);
    // npm started node through a shell: three processes, one group.
    stopAndExpectGroupGone(runner, group);
}

TEST_F(DevServerRunnerTest, NpmInstallThenStartIsOneCompoundRun)
{
    if (!loginShellHas("npm"))
        GTEST_SKIP() << "npm is not installed";
    const QString folder = project({{"package.json", nodePackage}, {"server.js", nodeServer}});
    const LaunchPlan detected = ProjectTypeDetector::detect(folder);
    ASSERT_EQ(detected.shellCommand, QStringLiteral("npm install && npm run start"));
    ASSERT_EQ(detected.humanDescription, QStringLiteral("Installing dependencies and starting your app"));

    DevServerRunner runner(options());
    const qint64 group = startAndWaitForURL(runner, detected);
    EXPECT_TRUE(QFileInfo::exists(folder + QStringLiteral("/package-lock.json")));
    stopAndExpectGroupGone(runner, group);
}

TEST_F(DevServerRunnerTest, MissingNodeModuleIsClassified)
{
    if (!loginShellHas("node"))
        GTEST_SKIP() << "node is not installed";
    const QString folder = project({{"server.js", "require('nerim-fixture-missing-module');\n"}});
    DevServerRunner runner(options());
    QList<DetectedFailure> reported;
    runner.onFailureDetected = [&](const DetectedFailure &failure) { reported.append(failure); };
    QList<DevServerStatus> statuses;
    QObject::connect(&runner, &DevServerRunner::statusChanged, [&] { statuses.append(runner.status()); });

    nerim::test::await(runner.start(plan(folder, QStringLiteral("node server.js"))));
    ASSERT_TRUE(waitUntil([&] { return runner.status().is(Kind::stopped); }));
    ASSERT_EQ(reported.size(), 1);
    EXPECT_EQ(reported.at(0).category, DetectedFailure::Category::missingNodeDependency);
    EXPECT_EQ(reported.at(0).symbol, QStringLiteral("nerim-fixture-missing-module"));
    EXPECT_EQ(runner.lastFailure(), reported.at(0));
    // crashed by the failure line, then stopped by the exit.
    EXPECT_TRUE(statuses.contains(DevServerStatus::crashed(reported.at(0).summary, reported.at(0).hint)));
    EXPECT_EQ(runner.status(), DevServerStatus::stopped(1, false));
    EXPECT_EQ(runner.status().displayText(), QStringLiteral("Your app crashed."));

    // A missing file of the project's own is named as such, not as a package to install.
    const QString own = project({{"server.js", "require('./config.json');\n"}});
    DevServerRunner second(options());
    nerim::test::await(second.start(plan(own, QStringLiteral("node server.js"))));
    ASSERT_TRUE(waitUntil([&] { return second.status().is(Kind::stopped); }));
    ASSERT_TRUE(second.lastFailure().has_value());
    EXPECT_EQ(second.lastFailure()->summary, QStringLiteral("Your app can't find one of its own files: ./config.json."));
    EXPECT_FALSE(second.lastFailure()->hint->contains(QStringLiteral("npm install")));
}

TEST_F(DevServerRunnerTest, PortInUseWithAnAssignmentFirstCommand)
{
    if (!loginShellHas("node"))
        GTEST_SKIP() << "node is not installed";
    QTcpServer holder;
    ASSERT_TRUE(holder.listen(QHostAddress::LocalHost, 0));
    const QString port = QString::number(holder.serverPort());
    const QString folder = project({{"server.js", nodeServer}});
    DevServerRunner runner(options());
    // "PORT=… node …" begins with an assignment, which `exec` alone cannot run.
    nerim::test::await(runner.start(plan(folder, QStringLiteral("PORT=%1 node server.js").arg(port))));
    ASSERT_TRUE(waitUntil([&] { return runner.status().is(Kind::stopped); }));
    ASSERT_TRUE(runner.lastFailure().has_value()) << runner.recentOutput().join('\n').toStdString();
    EXPECT_EQ(runner.lastFailure()->category, DetectedFailure::Category::portInUse);
    EXPECT_EQ(runner.lastFailure()->symbol, port);
    EXPECT_EQ(runner.lastFailure()->summary, QStringLiteral("Something else is already using port %1.").arg(port));
    EXPECT_FALSE(runner.detectedURL().has_value());
}

TEST_F(DevServerRunnerTest, PythonMissingEnvironmentVariableAndPackage)
{
    struct Case {
        QByteArray script;
        DetectedFailure::Category category;
        QString symbol;
    };
    for (const Case &c : {Case{"import os\nprint('booting')\nkey = os.environ['NERIM_FIXTURE_KEY']\n",
                               DetectedFailure::Category::missingEnvVar, QStringLiteral("NERIM_FIXTURE_KEY")},
                          Case{"import nerim_fixture_missing_package\n", DetectedFailure::Category::missingPythonDependency,
                               QStringLiteral("nerim_fixture_missing_package")}}) {
        const QString folder = project({{"main.py", c.script}});
        const LaunchPlan detected = ProjectTypeDetector::detect(folder);
        ASSERT_EQ(detected.shellCommand, QStringLiteral("python3 main.py"));
        DevServerRunner runner(options());
        nerim::test::await(runner.start(detected));
        ASSERT_TRUE(waitUntil([&] { return runner.status().is(Kind::stopped); }));
        ASSERT_TRUE(runner.lastFailure().has_value()) << runner.recentOutput().join('\n').toStdString();
        EXPECT_EQ(runner.lastFailure()->category, c.category);
        EXPECT_EQ(runner.lastFailure()->symbol, c.symbol);
        EXPECT_FALSE(runner.status().wasClean());
    }
}

TEST_F(DevServerRunnerTest, ChildIgnoringSigtermIsKilledAtTheLimit)
{
    const QString folder = project({});
    DevServerRunner runner(options(600ms));
    // Both the shell and its sleep ignore SIGTERM (an ignored signal survives exec).
    nerim::test::await(runner.start(plan(folder, QStringLiteral("trap '' TERM; echo ready; sleep 600"))));
    ASSERT_TRUE(waitUntil([&] { return runner.recentOutput().contains(QStringLiteral("ready")); }));
    const qint64 group = runner.processGroup();
    QElapsedTimer clock;
    clock.start();
    nerim::test::await(runner.stop());
    EXPECT_GE(clock.elapsed(), 550);
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_FALSE(nerim::platform::processGroupHasLiveMembers(group));
    // Asked for, so a clean stop, with the signal that ended it.
    EXPECT_EQ(runner.status(), DevServerStatus::stopped(9, true));
}

TEST_F(DevServerRunnerTest, ExitCodesAndStartupCrashes)
{
    struct Case {
        QString command;
        qint32 exitCode;
        bool clean;
        bool failure;
    };
    for (const Case &c : {Case{QStringLiteral("echo all done"), 0, true, false},
                          Case{QStringLiteral("false"), 1, false, true},
                          Case{QStringLiteral("echo oops >&2; exit 3"), 3, false, true},
                          Case{QStringLiteral("nerim-no-such-tool --serve"), 127, false, true},
                          Case{QStringLiteral("echo 'up at http://localhost:4999'; sleep 0.2; exit 2"), 2, false, false}}) {
        const QString folder = project({});
        DevServerRunner runner(options());
        nerim::test::await(runner.start(plan(folder, c.command)));
        ASSERT_TRUE(waitUntil([&] { return runner.status().is(Kind::stopped); })) << c.command.toStdString();
        EXPECT_EQ(runner.status(), DevServerStatus::stopped(c.exitCode, c.clean)) << c.command.toStdString();
        EXPECT_EQ(runner.lastFailure().has_value(), c.failure) << c.command.toStdString();
        if (c.failure) {
            // Nothing recognisable in the output: the general start-up crash, so repair can be offered.
            EXPECT_EQ(runner.lastFailure()->category, DetectedFailure::Category::nodemonCatchall);
            EXPECT_EQ(runner.lastFailure()->summary, QStringLiteral("Your app crashed on startup."));
        }
    }
}

TEST_F(DevServerRunnerTest, MissingShellFailsWithTheMissingToolSentence)
{
    auto o = options();
    o.shell = nerim::test::makeTempDir() + QStringLiteral("/no-such-shell");
    DevServerRunner runner(o);
    nerim::test::LogCapture log;
    nerim::test::await(runner.start(plan(project({}), QStringLiteral("echo hi"))));
    EXPECT_EQ(runner.status(), DevServerStatus::failed(DevServerRunner::missingToolText()));
    EXPECT_EQ(runner.status().displayText(),
              QStringLiteral("Couldn't start: Couldn't find a required tool. Try installing it in Terminal first."));
    EXPECT_EQ(runner.processGroup(), 0);
    EXPECT_TRUE(log.contains(QStringLiteral("[Nerim][DevServerRunner] LAUNCH FAILED: ")));
    // Stopping with nothing running returns at once and leaves the status alone.
    nerim::test::await(runner.stop());
    EXPECT_TRUE(runner.status().is(Kind::failed));
}

TEST_F(DevServerRunnerTest, LinesBufferAndRecentOutputCap)
{
    const QString folder = project({});
    DevServerRunner runner(options());
    QStringList lines;
    runner.onOutputLine = [&](const QString &line) { lines.append(line); };
    // A multi-byte character split across two writes, CRLF endings, colour codes,
    // more lines than the cap, and a last line without a line feed.
    nerim::test::await(runner.start(plan(
        folder, QStringLiteral("printf '\\xe2\\x9e'; sleep 0.3; printf '\\x9c  Local: \\033[1mhttp://localhost:5173/\\033[0m\\r\\n'; "
                               "for i in $(seq 1 250); do echo line$i; done; printf 'tail without newline'"))));
    ASSERT_TRUE(waitUntil([&] { return runner.status().is(Kind::stopped); }));
    const QStringList out = runner.recentOutput();
    EXPECT_EQ(out.size(), DevServerRunner::recentOutputCap);
    EXPECT_EQ(out.last(), QStringLiteral("tail without newline"));
    EXPECT_EQ(out.at(out.size() - 2), QStringLiteral("line250"));
    EXPECT_EQ(runner.detectedURL(), QUrl(QStringLiteral("http://localhost:5173/")));
    EXPECT_EQ(lines.value(1), QStringLiteral("➜  Local: http://localhost:5173/"));
    EXPECT_EQ(lines.size(), 253);
    EXPECT_EQ(runner.status(), DevServerStatus::stopped(0, true));
}

TEST_F(DevServerRunnerTest, EnvironmentReachesTheChildWithoutSecrets)
{
    auto o = options();
    QProcessEnvironment base = QProcessEnvironment::systemEnvironment();
    base.remove(QStringLiteral("TERM"));
    base.insert(QStringLiteral("VERCEL_TOKEN"), QStringLiteral("vercel-secret"));
    base.insert(QStringLiteral("ANTHROPIC_API_KEY"), QStringLiteral("anthropic-secret"));
    o.baseEnvironment = base;
    DevServerRunner runner(o);
    nerim::test::await(runner.start(plan(project({}), QStringLiteral("env"))));
    ASSERT_TRUE(waitUntil([&] { return runner.status().is(Kind::stopped); }));
    const QStringList out = runner.recentOutput();
    EXPECT_TRUE(out.contains(QStringLiteral("TERM=xterm-256color")));
    EXPECT_TRUE(out.contains(QStringLiteral("NO_COLOR=1")));
    EXPECT_TRUE(out.contains(QStringLiteral("PYTHONUNBUFFERED=1")));
    EXPECT_FALSE(out.join('\n').contains(QStringLiteral("secret")));
}

TEST_F(DevServerRunnerTest, OnlyTheFirstFailureOfARunCountsAndANewStartClearsIt)
{
    const QString folder = project({});
    DevServerRunner runner(options());
    int reports = 0;
    runner.onFailureDetected = [&](const DetectedFailure &) { ++reports; };
    // The failure line leaves the child running: the status is crashed while it lives.
    nerim::test::await(runner.start(plan(
        folder, QStringLiteral("echo \"Error: Cannot find module 'a'\"; echo 'OSError: address already in use :9000'; sleep 600"))));
    ASSERT_TRUE(waitUntil([&] { return runner.recentOutput().size() >= 3; }));
    EXPECT_EQ(reports, 1);
    EXPECT_EQ(runner.lastFailure()->symbol, QStringLiteral("a"));
    EXPECT_TRUE(runner.status().is(Kind::crashed));
    const qint64 oldGroup = runner.processGroup();

    // Starting again while that child lives stops it first; nothing of the old run leaks in.
    nerim::test::await(runner.start(plan(folder, QStringLiteral("echo second run; sleep 600"))));
    EXPECT_FALSE(nerim::platform::processGroupHasLiveMembers(oldGroup));
    EXPECT_FALSE(runner.lastFailure().has_value());
    ASSERT_TRUE(waitUntil([&] { return runner.recentOutput().contains(QStringLiteral("second run")); }));
    EXPECT_EQ(runner.recentOutput().first(), QStringLiteral("[nerim] launching your app..."));
    EXPECT_FALSE(runner.recentOutput().join('\n').contains(QStringLiteral("Cannot find module")));
    EXPECT_TRUE(runner.status().is(Kind::running));
    const qint64 group = runner.processGroup();
    EXPECT_NE(group, oldGroup);
    stopAndExpectGroupGone(runner, group);
}

TEST_F(DevServerRunnerTest, RestartWhileRunningReplacesTheServer)
{
    const QString first = project({{"index.html", "one"}});
    const QString second = project({{"index.html", "two"}});
    DevServerRunner runner(options());
    const qint64 firstGroup = startAndWaitForURL(runner, ProjectTypeDetector::detect(first));
    const QUrl firstURL = *runner.detectedURL();
    const qint64 secondGroup = startAndWaitForURL(runner, ProjectTypeDetector::detect(second));
    EXPECT_FALSE(nerim::platform::processGroupHasLiveMembers(firstGroup));
    EXPECT_NE(*runner.detectedURL(), firstURL);
    EXPECT_TRUE(runner.status().is(Kind::running));
    stopAndExpectGroupGone(runner, secondGroup);
}

TEST_F(DevServerRunnerTest, StartsInQuickSuccessionLeaveOneServer)
{
    const QString folder = project({});
    DevServerRunner runner(options());
    const auto command = [](const char *name) { return QStringLiteral("echo %1; sleep 600").arg(QString::fromLatin1(name)); };
    nerim::test::await(runner.start(plan(folder, command("first"))));
    ASSERT_TRUE(waitUntil([&] { return runner.recentOutput().contains(QStringLiteral("first")); }));

    // The second and third start begin while the first server still runs.
    QCoro::Task<> second = runner.start(plan(folder, command("second")));
    QCoro::Task<> third = runner.start(plan(folder, command("third")));
    nerim::test::await(std::move(second));
    nerim::test::await(std::move(third));
    ASSERT_TRUE(waitUntil([&] { return runner.recentOutput().contains(QStringLiteral("third")); }));

    // Every process still working in the project folder belongs to the last run.
    const qint64 current = runner.processGroup();
    EXPECT_EQ(processGroupsWorkingIn(folder), QSet<qint64>{current});
    stopAndExpectGroupGone(runner, current);
    EXPECT_TRUE(processGroupsWorkingIn(folder).isEmpty());
}

TEST_F(DevServerRunnerTest, ProcessesLeftBehindByAnExitedChildAreStillStopped)
{
    // The shell may have exited by the time start() returns; its group is
    // noted from its first line.
    const auto noteGroup = [](DevServerRunner &runner, qint64 &group) {
        runner.onOutputLine = [&runner, &group](const QString &) {
            if (group == 0)
                group = runner.processGroup();
        };
    };
    DevServerRunner runner(options());
    qint64 group = 0;
    noteGroup(runner, group);
    // The shell exits at once and leaves a server-like process running in its group.
    nerim::test::await(runner.start(plan(project({}), QStringLiteral("true; sleep 600 & echo started"))));
    ASSERT_TRUE(waitUntil([&] { return runner.status().is(Kind::stopped); }));
    EXPECT_EQ(runner.status(), DevServerStatus::stopped(0, true));
    ASSERT_TRUE(nerim::platform::processGroupHasLiveMembers(group));

    // Starting again first stops what was left behind.
    qint64 second = 0;
    noteGroup(runner, second);
    nerim::test::await(runner.start(plan(project({}), QStringLiteral("true; sleep 600 & echo again"))));
    EXPECT_FALSE(nerim::platform::processGroupHasLiveMembers(group));
    ASSERT_TRUE(waitUntil([&] { return runner.status().is(Kind::stopped); }));
    ASSERT_TRUE(nerim::platform::processGroupHasLiveMembers(second));

    // So does stop(), leaving the finished run's status as it was.
    nerim::test::await(runner.stop());
    EXPECT_FALSE(nerim::platform::processGroupHasLiveMembers(second));
    EXPECT_EQ(runner.status(), DevServerStatus::stopped(0, true));

    // And the runner going away.
    qint64 third = 0;
    {
        DevServerRunner shortLived(options());
        noteGroup(shortLived, third);
        nerim::test::await(shortLived.start(plan(project({}), QStringLiteral("true; sleep 600 & echo third"))));
        ASSERT_TRUE(waitUntil([&] { return shortLived.status().is(Kind::stopped); }));
        ASSERT_GT(third, 0);
    }
    EXPECT_TRUE(waitUntil([&] { return !nerim::platform::processGroupHasLiveMembers(third); }, 5000));
}

TEST_F(DevServerRunnerTest, RunnerGoingAwayStopsItsGroup)
{
    qint64 group = 0;
    {
        DevServerRunner runner(options(500ms));
        nerim::test::await(runner.start(plan(project({}), QStringLiteral("trap '' TERM; echo ready; sleep 600"))));
        ASSERT_TRUE(waitUntil([&] { return runner.recentOutput().contains(QStringLiteral("ready")); }));
        group = runner.processGroup();
        nerim::test::LogCapture log;
        // fallthrough to the destructor
        EXPECT_GT(group, 0);
    }
    // Without blocking: SIGTERM at once, SIGKILL after the limit, from the event loop.
    EXPECT_TRUE(waitUntil([&] { return !nerim::platform::processGroupHasLiveMembers(group); }, 5000));
}

TEST_F(DevServerRunnerTest, FlaskAndUvicornFixtures)
{
    struct Case {
        const char *module;
        const char *file;
        QByteArray source;
        const char *commandStart;
    };
    const QByteArray flaskApp = "from flask import Flask\napp = Flask(__name__)\n\n@app.route('/')\ndef index():\n    return 'hi'\n";
    const QByteArray asgiApp = "import uvicorn\n\nasync def app(scope, receive, send):\n"
                               "    await send({'type': 'http.response.start', 'status': 200, 'headers': []})\n"
                               "    await send({'type': 'http.response.body', 'body': b'hi'})\n";
    int ran = 0;
    for (const Case &c : {Case{"flask", "app.py", flaskApp, "FLASK_APP=app.py flask run --port "},
                          Case{"uvicorn", "main.py", asgiApp, "uvicorn main:app --reload --port "}}) {
        if (!loginPythonHas(c.module))
            continue;
        ++ran;
        std::cerr << "running the " << c.module << " fixture\n";
        const QString folder = project({{c.file, c.source}});
        const LaunchPlan detected = ProjectTypeDetector::detect(folder);
        ASSERT_TRUE(detected.shellCommand.startsWith(QString::fromLatin1(c.commandStart))) << detected.shellCommand.toStdString();
        DevServerRunner runner(options());
        const qint64 group = startAndWaitForURL(runner, detected);
        const QString port = detected.shellCommand.section(QLatin1Char(' '), -1);
        if (runner.detectedURL()) {
            EXPECT_EQ(QString::number(runner.detectedURL()->port()), port);
        }
        stopAndExpectGroupGone(runner, group);
    }
    if (ran == 0)
        GTEST_SKIP() << "neither flask nor uvicorn is importable by the login shell's python3";
}

} // namespace

namespace {

TEST_F(DevServerRunnerTest, QuittingTheApplicationStopsEveryGroup)
{
    DevServerRunner runner(options());
    nerim::test::await(runner.start(plan(project({}), QStringLiteral("trap '' TERM; echo ready; sleep 600"))));
    ASSERT_TRUE(waitUntil([&] { return runner.recentOutput().contains(QStringLiteral("ready")); }));
    const qint64 group = runner.processGroup();
    ASSERT_TRUE(nerim::platform::processGroupHasLiveMembers(group));
    // The event loop ends as it does when the last window closes.
    QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
    QCoreApplication::exec();
    // Quitting does not wait: the guard ends the group, SIGKILL after the limit.
    EXPECT_TRUE(waitUntil([&] { return !nerim::platform::processGroupHasLiveMembers(group); }, 10000));
}

} // namespace

namespace {

TEST_F(DevServerRunnerTest, NothingOfTheServerOutlivesNerimKilledOrQuitting)
{
    for (const int signal : {SIGKILL, SIGTERM}) {
        const QByteArray tag = nerim::test::uniqueTreeTag();
        const QString folder = project({{"index.html", "<title>Hi</title>"}});
        const QString urlFile = nerim::test::makeTempDir() + QStringLiteral("/url");
        QProcess nerim;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromUtf8(nerim::test::tagName(tag)), QString::fromUtf8(nerim::test::tagValue(tag)));
        nerim.setProcessEnvironment(environment);
        nerim.start(QStringLiteral(NERIM_LAUNCHER_TEST_RUNNER_HOST), {urlFile, folder});
        ASSERT_TRUE(nerim.waitForStarted());
        ASSERT_TRUE(waitUntil([&] { return !nerim::test::readFile(urlFile).isEmpty() || nerim.state() == QProcess::NotRunning; }));
        const QUrl url(QString::fromUtf8(nerim::test::readFile(urlFile)));
        ASSERT_GT(url.port(), 0);

        ::kill(static_cast<pid_t>(nerim.processId()), signal);
        ASSERT_TRUE(waitUntil([&] { return nerim.state() == QProcess::NotRunning; }));
        EXPECT_TRUE(waitUntil([&] { return nerim::test::processesTagged(tag).isEmpty(); }))
            << "the server outlived Nerim after signal " << signal;
        // The port is free again.
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(url.port()));
        EXPECT_FALSE(probe.waitForConnected(2000)) << "port " << url.port() << " still answers";
    }
}

// A guard killed outright (the OOM killer, `pkill -9 nerim`) takes the whole
// server with it, a process detached with setsid included: the server runs in
// a PID namespace of its own, on the host's network.
TEST_F(DevServerRunnerTest, AGuardKilledOutrightLeavesNothingOfTheServer)
{
    if (!loginShellHas("python3"))
        GTEST_SKIP() << "the login shell finds no python3";
    const QByteArray tag = nerim::test::uniqueTreeTag();
    DevServerRunner::Options tagged = options();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromUtf8(nerim::test::tagName(tag)), QString::fromUtf8(nerim::test::tagValue(tag)));
    tagged.baseEnvironment = environment;
    DevServerRunner runner(tagged);
    const QString folder = project({{"index.html", "<title>Inside</title>"}});
    const qint64 group = startAndWaitForURL(
        runner, plan(folder, QStringLiteral("setsid sh -c 'trap \"\" TERM HUP; sleep 600' </dev/null >/dev/null 2>&1 & "
                                            "echo \"shell $$\"; exec python3 -m http.server 0 --bind 127.0.0.1")));
    ASSERT_TRUE(runner.detectedURL().has_value());
    const quint16 port = static_cast<quint16>(runner.detectedURL()->port());
    ASSERT_TRUE(waitUntil([&] { return nerim::test::programProcessesTagged(tag).size() >= 3; }));

    // Served on the host's loopback, where the preview looks.
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(client.waitForConnected(5000));
    client.write("GET /index.html HTTP/1.0\r\n\r\n");
    QByteArray reply;
    while (client.waitForReadyRead(5000))
        reply += client.readAll();
    EXPECT_TRUE(reply.startsWith("HTTP/1.0 200")) << reply.left(200).toStdString();
    EXPECT_TRUE(reply.contains("<title>Inside</title>"));

    // In the namespace the shell has an id of its own; Nerim's is the host's.
    const QString shellLine = runner.recentOutput().filter(QStringLiteral("shell ")).value(0);
    const bool isolated = !shellLine.isEmpty() && shellLine != QStringLiteral("shell %1").arg(group);

    qint64 guardPid = 0;
    for (const qint64 pid : nerim::test::processesTagged(tag)) {
        const auto entry = nerim::platform::guard::ProcProcessTable().read(static_cast<pid_t>(pid));
        if (entry && entry->parent == ::getpid() && nerim::test::commandName(pid) == "nerim-guard")
            guardPid = pid;
    }
    ASSERT_GT(guardPid, 0);
    ASSERT_EQ(::kill(static_cast<pid_t>(guardPid), SIGKILL), 0);
    if (!isolated) {
        // A kernel that gives no PID namespace: the subreaper alone cannot
        // uphold this; what is left is cleaned up here.
        for (const qint64 pid : nerim::test::processesTagged(tag))
            ::kill(static_cast<pid_t>(pid), SIGKILL);
        GTEST_SKIP() << "this kernel gives this user no PID namespace";
    }
    EXPECT_TRUE(waitUntil([&] { return nerim::test::processesTagged(tag).isEmpty(); }))
        << nerim::test::processesTagged(tag).size() << " processes left";
    EXPECT_TRUE(waitUntil([&] { return !runner.status().is(Kind::running) && runner.processGroup() == 0; }))
        << runner.status().displayText().toStdString();
    // The runner starts the server anew.
    const qint64 again = startAndWaitForURL(runner, plan(folder, QStringLiteral("python3 -m http.server 0 --bind 127.0.0.1")));
    EXPECT_GT(again, 0);
    stopAndExpectGroupGone(runner, again);
    EXPECT_TRUE(nerim::test::processesTagged(tag).isEmpty());
}

bool isGroupLeaderAlive(pid_t pid)
{
    const auto entry = nerim::platform::guard::ProcProcessTable().read(pid);
    return entry && entry->alive();
}

TEST_F(DevServerRunnerTest, AnUnrelatedProcessCarryingTheServersGroupIdIsLeftAlone)
{
    // Stopping, starting again, the runner going away and quitting all reach
    // the processes the runner started, never a process that merely carries a
    // group id it once saw (a recycled id).
    for (const char *ending : {"stop", "restart", "destroy", "quit"}) {
        auto runner = std::make_unique<DevServerRunner>(options());
        nerim::test::await(runner->start(plan(project({}), QStringLiteral("echo ready; sleep 600"))));
        ASSERT_TRUE(waitUntil([&] { return runner->recentOutput().contains(QStringLiteral("ready")); }));
        const pid_t group = static_cast<pid_t>(runner->processGroup());
        QProcess stranger;
        stranger.setChildProcessModifier([group] { ::setpgid(0, group); });
        stranger.start(QStringLiteral("/bin/sleep"), {QStringLiteral("600")});
        ASSERT_TRUE(stranger.waitForStarted());

        const std::string which = ending;
        if (which == "stop") {
            nerim::test::await(runner->stop());
        } else if (which == "restart") {
            nerim::test::await(runner->start(plan(project({}), QStringLiteral("echo again"))));
        } else if (which == "destroy") {
            runner.reset();
        } else {
            QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
            QCoreApplication::exec();
        }
        EXPECT_TRUE(waitUntil([&] { return !isGroupLeaderAlive(group); }, 10000)) << which;
        EXPECT_EQ(stranger.state(), QProcess::Running) << which;
        // (It could not even join the group: the server leads a session of its own.)
        EXPECT_NE(::getpgid(static_cast<pid_t>(stranger.processId())), group) << which;
        stranger.kill();
        stranger.waitForFinished();
    }
}

} // namespace
