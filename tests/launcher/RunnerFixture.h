#pragma once

#include "launcher/DevServerRunner.h"
#include "platform/ProcessGroup.h"

#include "TestAsync.h"
#include "TestEnvironment.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <gtest/gtest.h>
#include <functional>
#include <iostream>
#include <memory>
#include <utility>
#include <vector>

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString &text, std::ostream *os) { *os << '"' << text.toStdString() << '"'; }
QT_END_NAMESPACE

namespace nerim {
inline void PrintTo(const DevServerStatus &status, std::ostream *os)
{
    *os << status.kindName().toStdString() << "(" << status.displayText().toStdString() << ", code "
        << status.exitCode() << ")";
}
} // namespace nerim

namespace nerim::test {

// Real development servers on small projects written into temporary folders.
// The login shell is bash with a private HOME whose .bash_profile sets a fixed
// PATH (Debian's python3, flask, uvicorn, node and npm) and keeps npm offline,
// so the machine's own profile never leaks in.
class RunnerFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(writeFile(homeDir() + QStringLiteral("/.bash_profile"),
                              "export PATH=/usr/local/bin:/usr/bin:/bin\n"
                              "export npm_config_offline=true npm_config_audit=false npm_config_fund=false\n"
                              "export npm_config_update_notifier=false npm_config_loglevel=error\n"));
    }

    static DevServerRunner::Options options(std::chrono::milliseconds stopLimit = std::chrono::milliseconds(2000))
    {
        DevServerRunner::Options o;
        o.shell = QStringLiteral("/bin/bash");
        o.stopLimit = stopLimit;
        return o;
    }

    // Runs the event loop until `done` holds or the time is up.
    static bool waitUntil(const std::function<bool()> &done, int timeoutMs = 20000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!done()) {
            if (deadline.hasExpired())
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        return true;
    }

    static QString project(const std::vector<std::pair<const char *, QByteArray>> &files,
                           const QString &name = QStringLiteral("project"))
    {
        const QString folder = makeTempDir(name);
        for (const auto &[file, contents] : files)
            EXPECT_TRUE(writeFile(folder + QLatin1Char('/') + QString::fromUtf8(file), contents));
        return folder;
    }

    // Whether the python3 that the test's login shell finds can import `module`.
    static bool loginPythonHas(const char *module)
    {
        QProcess probe;
        probe.start(QStringLiteral("/bin/bash"),
                    {QStringLiteral("-l"), QStringLiteral("-c"),
                     QStringLiteral("python3 -c 'import %1'").arg(QString::fromLatin1(module))});
        return probe.waitForFinished(20000) && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0;
    }

    static bool loginShellHas(const char *tool)
    {
        QProcess probe;
        probe.start(QStringLiteral("/bin/bash"),
                    {QStringLiteral("-l"), QStringLiteral("-c"), QStringLiteral("command -v %1").arg(QString::fromLatin1(tool))});
        return probe.waitForFinished(20000) && probe.exitCode() == 0;
    }

    // Starts the plan and waits for its address; returns the process group.
    qint64 startAndWaitForURL(DevServerRunner &runner, const LaunchPlan &plan)
    {
        await(runner.start(plan));
        const qint64 group = runner.processGroup();
        EXPECT_GT(group, 0);
        EXPECT_TRUE(waitUntil([&] { return runner.detectedURL().has_value() || runner.status().is(DevServerStatus::Kind::stopped); }))
            << runner.recentOutput().join('\n').toStdString();
        EXPECT_TRUE(runner.detectedURL().has_value()) << runner.recentOutput().join('\n').toStdString();
        return group;
    }

    // Stops the runner and checks that nothing of the group is left.
    static void stopAndExpectGroupGone(DevServerRunner &runner, qint64 group)
    {
        await(runner.stop());
        EXPECT_FALSE(platform::processGroupHasLiveMembers(group));
        EXPECT_TRUE(runner.status().is(DevServerStatus::Kind::stopped)) << runner.status().displayText().toStdString();
        EXPECT_TRUE(runner.status().wasClean());
        EXPECT_EQ(runner.status().displayText(), QStringLiteral("Your app stopped."));
        EXPECT_EQ(runner.processGroup(), 0);
    }
};

} // namespace nerim::test
