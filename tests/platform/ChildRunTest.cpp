// A helper program run to its end: what it wrote and how it ended, a time
// limit that stops it (with what it started), a stopper that goes away, and a
// program that cannot start.
#include "platform/ChildRun.h"

#include "TestAsync.h"
#include "TestEnvironment.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QObject>
#include <QTimer>
#include <gtest/gtest.h>
#include <memory>

using namespace nerim::platform;
using namespace nerim::test;
using namespace std::chrono_literals;

namespace {

ChildProcess::Options shell(const QString &script)
{
    ChildProcess::Options options;
    options.program = QStringLiteral("/bin/sh");
    options.arguments = {QStringLiteral("-c"), script};
    options.endTreeWhenProgramExits = true;
    return options;
}

TEST(ChildRun, KeepsBothStreamsAndTheExitCode)
{
    const ChildRun ok = await(runToEnd(shell(QStringLiteral("echo one; echo two >&2; echo three")), 10s));
    EXPECT_TRUE(ok.succeeded());
    EXPECT_EQ(ok.outputLines, (QStringList{QStringLiteral("one"), QStringLiteral("three")}));
    EXPECT_EQ(ok.errorLines, QStringList{QStringLiteral("two")});

    const ChildRun failed = await(runToEnd(shell(QStringLiteral("exit 3")), 10s));
    EXPECT_FALSE(failed.succeeded());
    EXPECT_TRUE(failed.exited);
    EXPECT_TRUE(failed.exitedNormally);
    EXPECT_EQ(failed.exitCode, 3);
    EXPECT_FALSE(failed.timedOut);

    ChildProcess::Options missing;
    missing.program = QDir::temp().filePath(QStringLiteral("no-such-program-here"));
    const ChildRun never = await(runToEnd(missing, 10s));
    EXPECT_FALSE(never.startFailure.isEmpty());
    EXPECT_FALSE(never.succeeded());
}

TEST(ChildRun, ATimeLimitOrAStopperThatGoesAwayEndsTheWholeTree)
{
    // The program leaves a grandchild behind that would write a file once
    // the test says so, after the run has ended.
    const QString go = QDir::current().filePath(QStringLiteral("go"));
    const QString late = QDir::current().filePath(QStringLiteral("late"));
    const QString script =
        QStringLiteral("(while [ ! -e '%1' ]; do sleep 0.05; done; touch '%2') & sleep 30").arg(go, late);
    const ChildRun timed = await(runToEnd(shell(script), 300ms));
    EXPECT_TRUE(timed.timedOut);
    EXPECT_FALSE(timed.succeeded());

    auto stopper = std::make_unique<QObject>();
    QTimer::singleShot(300ms, stopper.get(), [&stopper] { stopper.reset(); });
    const ChildRun stopped = await(runToEnd(shell(script), 60s, stopper.get()));
    EXPECT_TRUE(stopped.stopped);
    EXPECT_FALSE(stopped.timedOut);

    // Nothing of either tree is left to write the file.
    QFile(go).open(QIODevice::WriteOnly);
    QEventLoop wait;
    QTimer::singleShot(500ms, &wait, &QEventLoop::quit);
    wait.exec();
    EXPECT_FALSE(QFile::exists(late));
}

} // namespace
