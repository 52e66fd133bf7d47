#include "platform/ProcessGroup.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <csignal>
#include <signal.h>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace nerim::platform;

namespace {

bool waitUntil(const std::function<bool()> &done, int timeoutMs = 5000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

TEST(ProcessGroup, SignalReachesChildrenOfTheLeader)
{
    QProcess leader;
    // The leader of a group of its own (both sides make it so, as either may run first).
    leader.setChildProcessModifier([] { ::setpgid(0, 0); });
    // The leader starts a grandchild and waits for it.
    leader.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("sleep 600 & echo started; wait")});
    ASSERT_TRUE(leader.waitForStarted());
    const qint64 group = leader.processId();
    ::setpgid(static_cast<pid_t>(group), static_cast<pid_t>(group));
    ASSERT_TRUE(leader.waitForReadyRead(5000));
    EXPECT_TRUE(processGroupHasLiveMembers(group));

    ASSERT_EQ(::kill(static_cast<pid_t>(-group), SIGTERM), 0);
    EXPECT_TRUE(leader.waitForFinished(5000));
    // The orphaned grandchild may linger as a zombie until its new parent
    // reaps it; it no longer counts as alive.
    EXPECT_TRUE(waitUntil([&] { return !processGroupHasLiveMembers(group); }));
}

TEST(ProcessGroup, NonPositiveGroupsAreRefused)
{
    EXPECT_FALSE(processGroupHasLiveMembers(0));
}

} // namespace
