// A process guard killed outright (SIGKILL: the OOM killer, `pkill -9 nerim`)
// still takes its whole tree with it where the kernel gives the program a PID
// namespace; where it does not, the guard's subreaper still ends the tree on
// every other way.
#include "platform/ChildProcess.h"
#include "platform/guard/ProcessTree.h"

#include "TaggedProcesses.h"

#include <csignal>
#include <sched.h>
#include <sys/wait.h>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace nerim::platform;
using namespace nerim::test;

namespace {

// A process in a session of its own that ignores SIGTERM, an orphan, and the
// program itself, which ignores SIGTERM too.
const QString detachingScript = QStringLiteral(
    "setsid sh -c 'trap \"\" TERM HUP; sleep 600; :' </dev/null >/dev/null 2>&1 & "
    "(sleep 600 &); trap '' TERM; echo ready; sleep 600");

ChildProcess::Options detaching(const QByteArray &tag, bool pidNamespace)
{
    ChildProcess::Options options;
    options.program = QStringLiteral("/bin/sh");
    options.arguments = {QStringLiteral("-c"), detachingScript};
    options.environment.insert(QString::fromUtf8(tagName(tag)), QString::fromUtf8(tagValue(tag)));
    options.gracePeriod = std::chrono::milliseconds(300);
    options.pidNamespace = pidNamespace;
    return options;
}

// The guard this test process started for the tree (its direct child).
qint64 guardOf(const QByteArray &tag)
{
    for (const qint64 pid : processesTagged(tag)) {
        const auto entry = guard::ProcProcessTable().read(static_cast<pid_t>(pid));
        if (entry && entry->parent == ::getpid() && commandName(pid) == "nerim-guard")
            return pid;
    }
    return 0;
}

// Whether the kernel lets a process like this one make a PID namespace (with
// the privilege for it, or through a user namespace).
bool kernelAllowsPidNamespaces()
{
    const pid_t probe = ::fork();
    if (probe == 0) {
        const bool made = ::unshare(CLONE_NEWPID) == 0 || ::unshare(CLONE_NEWUSER | CLONE_NEWPID) == 0;
        ::_exit(made ? 0 : 1);
    }
    int status = 0;
    return probe > 0 && ::waitpid(probe, &status, 0) == probe && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool hasNamespaceInit(const QByteArray &tag)
{
    for (const qint64 pid : processesTagged(tag))
        if (commandName(pid).startsWith("nerim-guard-ini"))
            return true;
    return false;
}

// Ends whatever a failed test left behind.
void killTagged(const QByteArray &tag)
{
    for (const qint64 pid : processesTagged(tag))
        ::kill(static_cast<pid_t>(pid), SIGKILL);
}

} // namespace

TEST(GuardKilled, TheWholeTreeEndsWithTheGuardSetsidGrandchildIncluded)
{
    const QByteArray tag = uniqueTreeTag();
    ChildProcess child;
    bool ready = false;
    bool ended = false;
    QObject::connect(&child, &ChildProcess::outputLine, [&](const QString &line, bool) { ready |= line == QStringLiteral("ready"); });
    QObject::connect(&child, &ChildProcess::treeEnded, [&] { ended = true; });
    child.start(detaching(tag, true));
    // The shell, the detached shell and its sleep, the orphan, the last sleep.
    ASSERT_TRUE(waitFor([&] { return ready && programProcessesTagged(tag).size() >= 5; }))
        << programProcessesTagged(tag).size();
    if (!kernelAllowsPidNamespaces()) {
        child.stop();
        waitFor([&] { return ended; });
        GTEST_SKIP() << "this kernel gives this user no PID namespace";
    }
    EXPECT_TRUE(hasNamespaceInit(tag));
    // The program's id is the one Nerim sees, not the namespace's own.
    const auto program = guard::ProcProcessTable().read(static_cast<pid_t>(child.processId()));
    ASSERT_TRUE(program && program->alive());
    EXPECT_EQ(program->group, program->pid);
    EXPECT_EQ(commandName(child.processId()), "sh");

    const qint64 guardPid = guardOf(tag);
    ASSERT_GT(guardPid, 0);
    ASSERT_EQ(::kill(static_cast<pid_t>(guardPid), SIGKILL), 0);
    EXPECT_TRUE(waitFor([&] { return processesTagged(tag).isEmpty(); })) << processesTagged(tag).size() << " left";
    EXPECT_TRUE(waitFor([&] { return ended; }));
    EXPECT_FALSE(child.isTreeAlive());
    killTagged(tag);
}

// Without a namespace (the kernel allows none, or it is turned off) the tree
// is still ended as a whole by the subreaper when asked, detached processes
// included, and a program that exits is reported as it ended.
TEST(GuardKilled, WithoutANamespaceTheSubreaperStillEndsTheTree)
{
    const QByteArray tag = uniqueTreeTag();
    ChildProcess child;
    QStringList events;
    QObject::connect(&child, &ChildProcess::outputLine, [&](const QString &line, bool) { events.append(line); });
    QObject::connect(&child, &ChildProcess::exited, [&](int code, bool normal) {
        events.append(QStringLiteral("exited %1 %2").arg(code).arg(normal));
    });
    QObject::connect(&child, &ChildProcess::treeEnded, [&] { events.append(QStringLiteral("ended")); });
    child.start(detaching(tag, false));
    ASSERT_TRUE(waitFor([&] { return events.contains(QStringLiteral("ready")) && programProcessesTagged(tag).size() >= 5; }));
    EXPECT_FALSE(hasNamespaceInit(tag));
    EXPECT_EQ(guard::ProcProcessTable().read(static_cast<pid_t>(child.processId()))->parent, guardOf(tag));
    child.stop();
    ASSERT_TRUE(waitFor([&] { return events.contains(QStringLiteral("ended")); }));
    EXPECT_TRUE(events.contains(QStringLiteral("exited %1 0").arg(SIGKILL))) << events.join('|').toStdString();
    EXPECT_TRUE(processesTagged(tag).isEmpty());
    killTagged(tag);
}
