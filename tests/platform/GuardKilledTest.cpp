// A process guard killed outright (SIGKILL: the OOM killer, `pkill -9 nerim`)
// still takes its whole tree with it where the kernel gives the program a PID
// namespace; where it does not, the guard's subreaper still ends the tree on
// every other way.
#include "platform/ChildProcess.h"
#include "platform/guard/ProcessTree.h"

#include "platform/RunCgroup.h"

#include "TaggedProcesses.h"
#include "TestEnvironment.h"

#include <QFile>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

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

// Whether this process may make cgroups below its own (root, a delegated session).
bool cgroupsWritable()
{
    const auto probe = RunCgroup::create();
    return probe && probe->remove();
}

// The cgroup v2 group a process is in, as /proc/<pid>/cgroup names it.
QByteArray cgroupOf(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/cgroup").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray &line : file.readAll().split('\n'))
        if (line.startsWith("0::"))
            return line.mid(3);
    return {};
}

const char *const noCgroups = "this user may make no cgroup v2 group here (no unified hierarchy, no cgroup.kill, "
                              "or a session that delegates none): the subreaper alone holds the tree";

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

// An agent keeps the system's view of processes (no PID namespace), so a guard
// killed outright is answered by the tree's cgroup: Nerim sees the guard go
// without having ended the tree and kills the whole group.
TEST(GuardKilled, WithoutANamespaceTheTreesCgroupEndsItWhenTheGuardIsKilled)
{
    if (!cgroupsWritable())
        GTEST_SKIP() << noCgroups;
    const QByteArray tag = uniqueTreeTag();
    ChildProcess child;
    bool ready = false;
    bool ended = false;
    QObject::connect(&child, &ChildProcess::outputLine, [&](const QString &line, bool) { ready |= line == QStringLiteral("ready"); });
    QObject::connect(&child, &ChildProcess::treeEnded, [&] { ended = true; });
    child.start(detaching(tag, false));
    ASSERT_TRUE(waitFor([&] { return ready && programProcessesTagged(tag).size() >= 5; }));
    EXPECT_FALSE(hasNamespaceInit(tag));
    const qint64 guardPid = guardOf(tag);
    ASSERT_GT(guardPid, 0);
    // The program is the guard's own child, in the system's process ids.
    EXPECT_EQ(guard::ProcProcessTable().read(static_cast<pid_t>(child.processId()))->parent, guardPid);
    // Guard and tree, detached processes included, share a group of their own.
    const QByteArray group = cgroupOf(guardPid);
    EXPECT_TRUE(group.contains("/nerim-run-")) << group.toStdString();
    EXPECT_NE(group, cgroupOf(::getpid()));
    for (const qint64 pid : processesTagged(tag))
        EXPECT_EQ(cgroupOf(pid), group) << commandName(pid).toStdString();

    ASSERT_EQ(::kill(static_cast<pid_t>(guardPid), SIGKILL), 0);
    EXPECT_TRUE(waitFor([&] { return ended; }));
    // By the time the tree is reported ended, nothing of it runs.
    EXPECT_TRUE(processesTagged(tag).isEmpty()) << processesTagged(tag).size() << " left";
    EXPECT_FALSE(child.isTreeAlive());
    // The group is gone with its note.
    EXPECT_TRUE(waitFor([] { return QDir(RunCgroup::notesFolder()).entryList(QDir::Files).isEmpty(); }));
    killTagged(tag);
}

// Nerim killed together with its guard (`pkill -9 nerim` matches both): the
// next Nerim ends what the guard's tree left, through the group noted in the
// runtime folder.
TEST(GuardKilled, AGroupLeftByANerimKilledWithItsGuardIsEndedByTheNextStart)
{
    if (!cgroupsWritable())
        GTEST_SKIP() << noCgroups;
    const QByteArray tag = uniqueTreeTag();
    const QString readyFile = nerim::test::makeTempDir() + QStringLiteral("/ready");
    QProcess nerim;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromUtf8(tagName(tag)), QString::fromUtf8(tagValue(tag)));
    nerim.setProcessEnvironment(environment);
    nerim.start(QStringLiteral(NERIM_PLATFORM_TEST_CHILD_HOST),
                {readyFile, QStringLiteral("wait"), QStringLiteral("300"), QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                 detachingScript});
    ASSERT_TRUE(nerim.waitForStarted());
    ASSERT_TRUE(waitFor([&] { return QFileInfo::exists(readyFile) && programProcessesTagged(tag).size() >= 5; }));
    qint64 guardPid = 0;
    for (const qint64 pid : processesTagged(tag)) {
        const auto entry = guard::ProcProcessTable().read(static_cast<pid_t>(pid));
        if (entry && entry->parent == nerim.processId() && commandName(pid) == "nerim-guard")
            guardPid = pid;
    }
    ASSERT_GT(guardPid, 0);
    // Nerim is held still, so that it cannot answer its guard's end itself.
    ::kill(static_cast<pid_t>(nerim.processId()), SIGSTOP);
    ::kill(static_cast<pid_t>(guardPid), SIGKILL);
    ::kill(static_cast<pid_t>(nerim.processId()), SIGKILL);
    ASSERT_TRUE(nerim.waitForFinished());
    // The subreaper went with the guard: what detached runs on.
    EXPECT_TRUE(waitFor([&] { return processesTagged(tag).size() >= 2 && guardOf(tag) == 0; }));
    EXPECT_FALSE(processesTagged(tag).isEmpty());

    const QStringList notes = QDir(RunCgroup::notesFolder()).entryList(QDir::Files);
    QByteArray seen = "notes: " + notes.join(',').toUtf8() + "; groups:";
    for (const qint64 pid : processesTagged(tag))
        seen += ' ' + cgroupOf(pid);
    for (const QString &name : notes)
        seen += " note " + nerim::test::readFile(RunCgroup::notesFolder() + '/' + name);
    EXPECT_GE(RunCgroup::endAbandoned(), 1) << seen.toStdString();
    EXPECT_TRUE(waitFor([&] { return processesTagged(tag).isEmpty(); })) << processesTagged(tag).size() << " left";
    EXPECT_TRUE(QDir(RunCgroup::notesFolder()).entryList(QDir::Files).isEmpty());
    killTagged(tag);
}

// A note is followed only to a group of Nerim's own kind in the cgroup file
// system: a planted one that names any other folder is dropped untouched.
TEST(GuardKilled, APlantedNoteNeverLeadsOutsideNerimsGroups)
{
    const QString name = QStringLiteral("nerim-run-0f0f0f0f-1111-2222-3333-444455556666");
    const QString decoy = nerim::test::makeTempDir() + QLatin1Char('/') + name;
    ASSERT_TRUE(QDir().mkpath(decoy));
    ASSERT_TRUE(nerim::test::writeFile(decoy + QStringLiteral("/cgroup.kill"), ""));
    ASSERT_TRUE(nerim::test::writeFile(decoy + QStringLiteral("/cgroup.events"), "populated 1\n"));
    ASSERT_TRUE(QDir().mkpath(RunCgroup::notesFolder()));
    const QString note = RunCgroup::notesFolder() + QLatin1Char('/') + name;
    // Its owner (no process 0) is gone.
    ASSERT_TRUE(nerim::test::writeFile(note, QFile::encodeName(decoy) + "\n0 0\n"));
    EXPECT_EQ(RunCgroup::endAbandoned(), 0);
    EXPECT_TRUE(nerim::test::readFile(decoy + QStringLiteral("/cgroup.kill")).isEmpty());
    EXPECT_TRUE(QFileInfo::exists(decoy));
    EXPECT_FALSE(QFileInfo::exists(note));
}

// A run whose caller made its group ahead (off the GUI thread) runs in that
// group, which goes with its note when the tree ends; a group made ahead for
// a run that never started is removed when it is let go of.
TEST(GuardKilled, ARunTakesTheGroupMadeForItAndAGroupNeverTakenIsRemoved)
{
    if (!cgroupsWritable())
        GTEST_SKIP() << noCgroups;
    const auto notes = [] { return QDir(RunCgroup::notesFolder()).entryList(QDir::Files); };
    ASSERT_TRUE(notes().isEmpty());

    std::shared_ptr<PreparedCgroup> unused = PreparedCgroup::make();
    ASSERT_EQ(notes().size(), 1);
    const QString unusedGroup =
        QString::fromUtf8(readFile(RunCgroup::notesFolder() + QLatin1Char('/') + notes().first()).split('\n').first());
    ASSERT_TRUE(QFileInfo(unusedGroup).isDir()) << unusedGroup.toStdString();
    unused.reset();
    EXPECT_FALSE(QFileInfo::exists(unusedGroup));
    EXPECT_TRUE(notes().isEmpty());

    ChildProcess::Options options;
    options.program = QStringLiteral("/bin/cat");
    options.arguments = {QStringLiteral("/proc/self/cgroup")};
    options.preparedCgroup = PreparedCgroup::make();
    ASSERT_EQ(notes().size(), 1);
    const QString name = notes().first();
    ChildProcess child;
    QStringList lines;
    bool ended = false;
    QObject::connect(&child, &ChildProcess::outputLine, [&](const QString &line, bool) { lines.append(line); });
    QObject::connect(&child, &ChildProcess::treeEnded, [&] { ended = true; });
    child.start(options);
    ASSERT_TRUE(waitFor([&] { return ended; }));
    EXPECT_TRUE(lines.join(QLatin1Char('\n')).contains(QStringLiteral("/") + name)) << lines.join(' ').toStdString();
    EXPECT_TRUE(waitFor([&] { return notes().isEmpty(); }));
}
