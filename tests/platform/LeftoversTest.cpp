// Where no cgroup holds a run's tree (the tests make none, so they run the
// same as root and as a normal user), what a killed process guard leaves is
// still ended: by this Nerim when only the guard was killed, by the next
// Nerim when both went together. Being a subreaper, Nerim reaps what it
// inherits without taking an exit status from anyone who waits for it.
#include "platform/ChildProcess.h"
#include "platform/OrphanReaper.h"
#include "platform/RunMarker.h"
#include "platform/guard/ProcessTree.h"

#include "TaggedProcesses.h"
#include "TestEnvironment.h"

#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <QTimer>
#include <csignal>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace nerim::platform;
using namespace nerim::test;

namespace {

// A server started in a session of its own that ignores SIGTERM (as an agent's
// tool command may leave one), an orphan, and the program, which ignores SIGTERM too.
const QString detachingScript = QStringLiteral(
    "setsid sh -c 'trap \"\" TERM HUP; sleep 600; :' </dev/null >/dev/null 2>&1 & "
    "(sleep 600 &); trap '' TERM; echo ready; sleep 600");

// The guard among the tagged processes whose parent is `parent`.
qint64 guardBelow(const QByteArray &tag, qint64 parent)
{
    for (const qint64 pid : processesTagged(tag)) {
        const auto entry = guard::ProcProcessTable().read(static_cast<pid_t>(pid));
        if (entry && entry->parent == parent && commandName(pid) == "nerim-guard")
            return pid;
    }
    return 0;
}

// Ended children of this process that nobody has reaped.
QList<pid_t> unreapedChildren()
{
    QList<pid_t> found;
    const QStringList tasks = QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &task : tasks) {
        QFile list(QStringLiteral("/proc/self/task/%1/children").arg(task));
        if (!list.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &word : list.readAll().split(' ')) {
            const auto entry = guard::ProcProcessTable().read(static_cast<pid_t>(word.trimmed().toInt()));
            if (entry && !entry->alive())
                found.append(entry->pid);
        }
    }
    return found;
}

void killTagged(const QByteArray &tag)
{
    for (const qint64 pid : processesTagged(tag))
        ::kill(static_cast<pid_t>(pid), SIGKILL);
}

} // namespace

TEST(Leftovers, AGuardKilledOutrightLeavesNothingRunningNorUnreaped)
{
    ASSERT_TRUE(OrphanReaper::install());
    const QByteArray tag = uniqueTreeTag();
    ChildProcess child;
    bool ready = false;
    bool ended = false;
    QObject::connect(&child, &ChildProcess::outputLine, [&](const QString &line, bool) { ready |= line == QStringLiteral("ready"); });
    QObject::connect(&child, &ChildProcess::treeEnded, [&] { ended = true; });
    ChildProcess::Options options;
    options.program = QStringLiteral("/bin/sh");
    options.arguments = {QStringLiteral("-c"), detachingScript};
    options.environment.insert(QString::fromUtf8(tagName(tag)), QString::fromUtf8(tagValue(tag)));
    options.gracePeriod = std::chrono::milliseconds(300);
    options.ownCgroup = false;
    child.start(options);
    ASSERT_TRUE(waitFor([&] { return ready && programProcessesTagged(tag).size() >= 5; }));
    const qint64 guardPid = guardBelow(tag, ::getpid());
    ASSERT_GT(guardPid, 0);

    ASSERT_EQ(::kill(static_cast<pid_t>(guardPid), SIGKILL), 0);
    EXPECT_TRUE(waitFor([&] { return ended; }));
    // Reported ended once nothing of it runs, the server that ignores SIGTERM included.
    EXPECT_TRUE(processesTagged(tag).isEmpty()) << processesTagged(tag).size() << " left";
    // What came to this process (a subreaper) was reaped.
    EXPECT_TRUE(waitFor([] { return unreapedChildren().isEmpty(); }, 8000)) << unreapedChildren().size();
    killTagged(tag);
}

TEST(Leftovers, WhatANerimKilledWithItsGuardsLeftIsEndedByTheNextOne)
{
    const QByteArray tag = uniqueTreeTag();
    const QString ready = makeTempDir() + QStringLiteral("/ready");
    QProcess host;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromUtf8(tagName(tag)), QString::fromUtf8(tagValue(tag)));
    host.setProcessEnvironment(environment);
    host.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // A long grace period: the guard's own SIGTERM round must not end the tree first.
    host.start(QStringLiteral(NERIM_PLATFORM_TEST_CHILD_HOST),
               {QStringLiteral("--agent"), ready, QStringLiteral("wait"), QStringLiteral("60000"),
                QStringLiteral("/bin/sh"), QStringLiteral("-c"), detachingScript});
    ASSERT_TRUE(host.waitForStarted());
    ASSERT_TRUE(waitFor([&] { return QFileInfo::exists(ready) && programProcessesTagged(tag).size() >= 5; }));
    const qint64 guardPid = guardBelow(tag, host.processId());
    ASSERT_GT(guardPid, 0);

    // A run of this Nerim's own, which must be left alone.
    const QByteArray ownTag = uniqueTreeTag();
    ChildProcess own;
    ChildProcess::Options options;
    options.program = QStringLiteral("/bin/sh");
    options.arguments = {QStringLiteral("-c"), QStringLiteral("sleep 600")};
    options.environment.insert(QString::fromUtf8(tagName(ownTag)), QString::fromUtf8(tagValue(ownTag)));
    options.ownCgroup = false;
    own.start(options);
    ASSERT_TRUE(waitFor([&] { return own.isRunning(); }));

    // A process whose mark names a Nerim long gone, but of another session: not this Nerim's to end.
    QProcess otherSession;
    QProcessEnvironment otherEnvironment = QProcessEnvironment::systemEnvironment();
    otherEnvironment.insert(QString::fromLatin1(RunMarker::variable), QStringLiteral("1.1.1"));
    otherEnvironment.insert(QStringLiteral("XDG_RUNTIME_DIR"), makeTempDir(QStringLiteral("other-session")));
    otherSession.setProcessEnvironment(otherEnvironment);
    otherSession.start(QStringLiteral("/bin/sleep"), {QStringLiteral("600")});
    ASSERT_TRUE(otherSession.waitForStarted());

    ::kill(static_cast<pid_t>(host.processId()), SIGKILL);
    ::kill(static_cast<pid_t>(guardPid), SIGKILL);
    ASSERT_TRUE(waitFor([&] { return host.state() == QProcess::NotRunning; }));
    QThread::msleep(300);
    // Nothing held the tree: the program and what it detached run on.
    ASSERT_GE(programProcessesTagged(tag).size(), 3) << "the guard ended the tree before it was killed";

    EXPECT_GE(RunMarker::endAbandoned(std::chrono::milliseconds(300)), 3);
    EXPECT_TRUE(waitFor([&] { return processesTagged(tag).isEmpty(); })) << processesTagged(tag).size() << " left";
    EXPECT_TRUE(own.isRunning());
    EXPECT_FALSE(programProcessesTagged(ownTag).isEmpty());
    EXPECT_EQ(otherSession.state(), QProcess::Running);
    otherSession.kill();
    otherSession.waitForFinished();
    killTagged(tag);
}

// A run mark proves nothing by itself: any program can put one in its
// environment (a `sleep` started by hand, a mark pushed into the session's
// service environment). The sweep ends only runs of a Nerim that recorded
// itself in the private owners file, and forgets such an owner once nothing
// of it is left.
TEST(Leftovers, TheSweepEndsOnlyRunsOfANerimThatRecordedItself)
{
    // An owner that ran and has ended, but never recorded itself.
    QProcess ended;
    ended.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("read line")});
    ASSERT_TRUE(ended.waitForStarted());
    const auto entry = guard::ProcProcessTable().read(static_cast<pid_t>(ended.processId()));
    ASSERT_TRUE(entry.has_value());
    const QByteArray deadOwner = QByteArray::number(ended.processId()) + '.' + QByteArray::number(entry->startTime);
    ended.closeWriteChannel();
    ASSERT_TRUE(ended.waitForFinished());

    const auto sleeper = [](QProcess &process, const QByteArray &mark) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(RunMarker::variable), QString::fromLatin1(mark));
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral("/bin/sleep"), {QStringLiteral("600")});
        return process.waitForStarted();
    };
    QProcess forged;
    QProcess ofDeadOwner;
    ASSERT_TRUE(sleeper(forged, "1.1.1"));
    ASSERT_TRUE(sleeper(ofDeadOwner, deadOwner + ".1"));

    EXPECT_EQ(RunMarker::endAbandoned(std::chrono::milliseconds(300)), 0);
    EXPECT_EQ(forged.state(), QProcess::Running);
    EXPECT_EQ(ofDeadOwner.state(), QProcess::Running);

    // Had that owner been a Nerim that recorded itself, its run is ended now.
    const QString owners = RunMarker::ownersFile();
    ASSERT_FALSE(owners.isEmpty());
    ASSERT_TRUE(writeFile(owners, RunMarker::owner() + '\n' + deadOwner + '\n'));
    EXPECT_EQ(RunMarker::endAbandoned(std::chrono::milliseconds(300)), 1);
    EXPECT_TRUE(ofDeadOwner.waitForFinished(5000));
    EXPECT_EQ(forged.state(), QProcess::Running);
    EXPECT_FALSE(RunMarker::recordedOwners().contains(deadOwner));
    EXPECT_TRUE(RunMarker::recordedOwners().contains(RunMarker::owner()));

    // A private folder that is not private any more is not trusted.
    ASSERT_TRUE(writeFile(owners, "1.1\n"));
    ASSERT_EQ(::chmod(QFile::encodeName(QFileInfo(owners).absolutePath()).constData(), 0755), 0);
    EXPECT_TRUE(RunMarker::recordedOwners().isEmpty());
    EXPECT_EQ(RunMarker::endAbandoned(std::chrono::milliseconds(300)), 0);
    EXPECT_EQ(forged.state(), QProcess::Running);
    forged.kill();
    forged.waitForFinished();
}

TEST(Leftovers, TheReaperTakesOnlyWhatNobodyWaitsFor)
{
    ASSERT_TRUE(OrphanReaper::install());
    // A child someone waits for keeps its exit status, however long it stays unreaped.
    QProcess waited;
    waited.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("exit 7")});
    ASSERT_TRUE(waited.waitForStarted());
    const qint64 waitedPid = waited.processId();
    QEventLoop pause;
    QTimer::singleShot(3000, &pause, &QEventLoop::quit);
    pause.exec();
    ASSERT_TRUE(waited.state() == QProcess::NotRunning || waited.waitForFinished(5000));
    EXPECT_EQ(waited.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(waited.exitCode(), 7) << "pid " << waitedPid;

    // A program started detached comes to this process once its launcher has
    // exited, and is reaped when it ends.
    qint64 detached = 0;
    ASSERT_TRUE(QProcess::startDetached(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("sleep 1")},
                                        QString(), &detached));
    ASSERT_GT(detached, 0);
    const auto adopted = [&] {
        const auto entry = guard::ProcProcessTable().read(static_cast<pid_t>(detached));
        return entry && entry->parent == ::getpid();
    };
    ASSERT_TRUE(waitFor(adopted, 3000));
    EXPECT_TRUE(waitFor([&] { return !guard::ProcProcessTable().read(static_cast<pid_t>(detached)); }, 8000))
        << "still there: " << detached;
}
