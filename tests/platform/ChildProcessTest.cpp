#include "platform/ChildProcess.h"
#include "platform/guard/ProcessTree.h"

#include "TaggedProcesses.h"
#include "TestEnvironment.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <algorithm>
#include <QProcess>
#include <QRegularExpression>
#include <cerrno>
#include <csignal>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <sys/syscall.h>
#include <unistd.h>

using namespace nerim::platform;
using namespace nerim::test;

namespace {

// Everything one ChildProcess reported, in order.
struct Reports {
    explicit Reports(ChildProcess &child)
    {
        QObject::connect(&child, &ChildProcess::started, [this] { events.append(QStringLiteral("started")); });
        QObject::connect(&child, &ChildProcess::failedToStart, [this](const QString &reason) {
            events.append(QStringLiteral("failed"));
            failure = reason;
        });
        QObject::connect(&child, &ChildProcess::outputLine, [this](const QString &line, bool standardError) {
            events.append((standardError ? QStringLiteral("err ") : QStringLiteral("out ")) + line);
        });
        QObject::connect(&child, &ChildProcess::exited, [this](int code, bool normal) {
            events.append(QStringLiteral("exited %1 %2").arg(code).arg(normal ? "normal" : "signal"));
        });
        QObject::connect(&child, &ChildProcess::killing, [this] { ++killings; });
        QObject::connect(&child, &ChildProcess::treeEnded, [this] { events.append(QStringLiteral("ended")); });
    }

    bool has(const QString &event) const { return events.contains(event); }
    bool ended() const { return has(QStringLiteral("ended")); }

    QStringList events;
    QString failure;
    int killings = 0;
};

ChildProcess::Options shell(const QString &script, const QByteArray &tag = {})
{
    ChildProcess::Options options;
    options.program = QStringLiteral("/bin/sh");
    options.arguments = {QStringLiteral("-c"), script};
    if (!tag.isEmpty())
        options.environment.insert(QString::fromUtf8(tagName(tag)), QString::fromUtf8(tagValue(tag)));
    return options;
}

bool isAlive(qint64 pid)
{
    const auto entry = guard::ProcProcessTable().read(static_cast<pid_t>(pid));
    return entry && entry->alive();
}

TEST(ChildProcess, ReportsLinesOfBothStreamsThenTheExitThenTheEndOfTheTree)
{
    ChildProcess child;
    Reports reports(child);
    auto options = shell(QStringLiteral("read -r line; echo \"group $$ $(cut -d' ' -f5 /proc/$$/stat)\"; "
                                        "printf 'got %s\\r\\n' \"$line\"; echo oops >&2; printf 'no line feed'; exit 3"));
    options.inputPipe = true;
    child.start(options);
    child.write("hello\nunread\n");
    child.closeInput();
    ASSERT_TRUE(waitFor([&] { return reports.ended(); }));

    ASSERT_TRUE(reports.events.size() >= 2 && reports.events.first() == QStringLiteral("started")) << reports.events.join('|').toStdString();
    const qint64 pid = child.processId();
    EXPECT_GT(pid, 0);
    // The program leads a process group of its own (the ids it sees are its
    // namespace's, where it runs in one).
    EXPECT_EQ(reports.events.filter(QRegularExpression(QStringLiteral("^out group (\\d+) \\1$"))).size(), 1)
        << reports.events.join('|').toStdString();
    EXPECT_TRUE(reports.has(QStringLiteral("out got hello")));
    EXPECT_TRUE(reports.has(QStringLiteral("err oops")));
    // The exit comes after every line of both streams (whose lines interleave
    // as they were read), a last one without a line feed included.
    EXPECT_EQ(reports.events.mid(reports.events.size() - 2),
              (QStringList{QStringLiteral("exited 3 normal"), QStringLiteral("ended")}));
    EXPECT_TRUE(reports.has(QStringLiteral("out no line feed")));
    EXPECT_EQ(reports.events.size(), 7) << reports.events.join('|').toStdString();
    EXPECT_EQ(child.state(), ChildProcess::State::ended);
    EXPECT_FALSE(child.isTreeAlive());

    // Death by a signal reports the signal's number.
    ChildProcess aborted;
    Reports abortedReports(aborted);
    aborted.start(shell(QStringLiteral("kill -ABRT $$")));
    ASSERT_TRUE(waitFor([&] { return abortedReports.ended(); }));
    EXPECT_TRUE(abortedReports.has(QStringLiteral("exited %1 signal").arg(SIGABRT))) << abortedReports.events.join('|').toStdString();
}

// A program that floods both pipes: its lines come in batches, a wake-up of
// a pipe takes in at most about a mebibyte before the event loop turns again,
// and every line still arrives once, in order, before the exit.
TEST(ChildProcess, AFloodIsReadInBoundedBatchesAndEveryLineArrivesInOrder)
{
    ChildProcess child;
    QByteArray out;
    QByteArray err;
    int batches = 0;
    qint64 takenThisTurn = 0;
    qint64 mostInOneTurn = 0;
    bool exitedAfterLines = false;
    QObject::connect(&child, &ChildProcess::outputLines, [&](const OutputLines &lines, bool standardError) {
        ++batches;
        for (qsizetype i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(lines.form(i), OutputLines::Form::whole);
            (standardError ? err : out) += lines.bytes(i).toByteArray() + '\n';
            takenThisTurn += lines.byteCount(i) + 1;
        }
        mostInOneTurn = std::max(mostInOneTurn, takenThisTurn);
    });
    QObject::connect(&child, &ChildProcess::exited, [&] { exitedAfterLines = !out.isEmpty() && !err.isEmpty(); });
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, [&] { takenThisTurn = 0; });
    heartbeat.start(0);
    child.start(shell(QStringLiteral("seq 1 20000 >&2 & seq 1 400000; wait")));
    ASSERT_TRUE(waitFor([&] { return child.state() == ChildProcess::State::ended; }));
    heartbeat.stop();

    QByteArray expectedOut;
    for (int i = 1; i <= 400000; ++i)
        expectedOut += QByteArray::number(i) + '\n';
    QByteArray expectedErr;
    for (int i = 1; i <= 20000; ++i)
        expectedErr += QByteArray::number(i) + '\n';
    EXPECT_TRUE(out == expectedOut);
    EXPECT_TRUE(err == expectedErr);
    EXPECT_TRUE(exitedAfterLines);
    // 2.7 MB of lines in far fewer batches than lines, and no turn that took
    // in more than a mebibyte per pipe (plus one read).
    EXPECT_LT(batches, 420000 / 20);
    EXPECT_LE(mostInOneTurn, 2 * (qint64(1) << 20) + 2 * 65536);
}

TEST(ChildProcess, StartFailuresNameTheirCause)
{
    struct Case {
        QString program;
        QString folder;
        QString expected;
    };
    const QString missingFolder = makeTempDir() + QStringLiteral("/missing");
    for (const Case &c : {Case{QStringLiteral("/nonexistent/program"), QString(), QStringLiteral("/nonexistent/program: ")},
                          Case{QStringLiteral("/bin/sh"), missingFolder, missingFolder + QStringLiteral(": ")}}) {
        ChildProcess child;
        Reports reports(child);
        ChildProcess::Options options;
        options.program = c.program;
        options.workingDirectory = c.folder;
        QFuture<bool> started = child.whenStarted();
        child.start(options);
        ASSERT_TRUE(waitFor([&] { return reports.ended(); }));
        EXPECT_EQ(reports.events, (QStringList{QStringLiteral("failed"), QStringLiteral("ended")}));
        EXPECT_TRUE(started.isFinished() && !started.result());
        EXPECT_EQ(child.startErrorNumber(), ENOENT);
        EXPECT_TRUE(reports.failure.startsWith(c.expected)) << reports.failure.toStdString();
        EXPECT_EQ(child.errorString(), reports.failure);
        EXPECT_EQ(child.processId(), 0);
    }
}

// Where the kernel gives a confined program no namespace (here: none is
// asked for), it still writes only beneath its writable places, its
// temporary folder and the devices, where the kernel has Landlock, and
// signals nothing outside its tree where it has Landlock's scopes.
TEST(ChildProcess, AConfinedProgramWithoutANamespaceWritesOnlyItsPlaces)
{
    if (::syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U) < 1)
        GTEST_SKIP() << "this kernel has no Landlock";
    const QString project = makeTempDir(QStringLiteral("project"));
    const QString outside = makeTempDir(QStringLiteral("outside"));
    ChildProcess child;
    Reports reports(child);
    auto options = shell(QStringLiteral("echo mine > '%1/made'; mkdir '%1/sub' && echo made-folder; "
                                        "echo planted > '%2/made' && echo wrote-outside; "
                                        "echo x > \"$TMPDIR/scratch\" && echo tmp-ok; "
                                        "echo x > /dev/null && echo devices-ok; kill -0 %3 && echo signalled-nerim")
                             .arg(project, outside, QString::number(QCoreApplication::applicationPid())));
    options.pidNamespace = false;
    options.confined = true;
    options.writablePaths = {project};
    options.environment.insert(QStringLiteral("TMPDIR"), makeTempDir(QStringLiteral("temporary")));
    child.start(options);
    ASSERT_TRUE(waitFor([&] { return reports.ended(); }));
    for (const char *line : {"out made-folder", "out tmp-ok", "out devices-ok"})
        EXPECT_TRUE(reports.has(QLatin1String(line))) << line << "\n" << reports.events.join('|').toStdString();
    EXPECT_FALSE(reports.has(QStringLiteral("out wrote-outside"))) << reports.events.join('|').toStdString();
    // Nor can it signal anything outside its tree, where the kernel has the scopes.
    if (::syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U) >= 6) {
        EXPECT_FALSE(reports.has(QStringLiteral("out signalled-nerim"))) << reports.events.join('|').toStdString();
    }
    EXPECT_EQ(readFile(project + QStringLiteral("/made")), "mine\n");
    EXPECT_FALSE(QFileInfo::exists(outside + QStringLiteral("/made")));
}

// A shell that ignores SIGTERM and leaves behind one process in a session of
// its own (as `claude` runs its tool commands) and one orphaned by a double fork.
const QString detachingScript = QStringLiteral(
    "setsid sh -c 'trap \"\" TERM; sleep 600; :' </dev/null >/dev/null 2>&1 & "
    "(sleep 600 &); trap '' TERM; echo ready; sleep 600");

TEST(ChildProcess, StopEndsTheWholeTreeDetachedProcessesIncludedAndKillsWhatIgnoresTerm)
{
    const QByteArray tag = uniqueTreeTag();
    ChildProcess child;
    Reports reports(child);
    auto options = shell(detachingScript, tag);
    options.gracePeriod = std::chrono::milliseconds(300);
    child.start(options);
    // The guard, the shell, the detached shell and its sleep, the orphan, the last sleep.
    ASSERT_TRUE(waitFor([&] { return reports.has(QStringLiteral("out ready")) && processesTagged(tag).size() >= 5; }))
        << processesTagged(tag).size();

    child.stop();
    ASSERT_TRUE(waitFor([&] { return reports.ended(); }));
    EXPECT_TRUE(reports.has(QStringLiteral("exited %1 signal").arg(SIGKILL))) << reports.events.join('|').toStdString();
    EXPECT_EQ(reports.killings, 1);
    EXPECT_TRUE(processesTagged(tag).isEmpty());
}

TEST(ChildProcess, WhatAProgramLeavesRunningEndsWhenStoppedOrWithTheProgramOrByItself)
{
    const QString leaveOne = QStringLiteral("setsid sleep 600 </dev/null >/dev/null 2>&1 & echo ready");
    {
        // Kept until stopped: the exit is reported, the tree lives on.
        const QByteArray tag = uniqueTreeTag();
        ChildProcess child;
        Reports reports(child);
        child.start(shell(leaveOne, tag));
        ASSERT_TRUE(waitFor([&] { return reports.has(QStringLiteral("exited 0 normal")); }));
        EXPECT_EQ(child.state(), ChildProcess::State::exited);
        EXPECT_TRUE(waitFor([&] { return programProcessesTagged(tag).size() == 1; })); // the sleep
        EXPECT_FALSE(reports.ended());
        child.stop();
        ASSERT_TRUE(waitFor([&] { return reports.ended(); }));
        EXPECT_TRUE(processesTagged(tag).isEmpty());
    }
    {
        // Ended with the program.
        const QByteArray tag = uniqueTreeTag();
        ChildProcess child;
        Reports reports(child);
        auto options = shell(leaveOne, tag);
        options.endTreeWhenProgramExits = true;
        child.start(options);
        ASSERT_TRUE(waitFor([&] { return reports.ended(); }));
        EXPECT_TRUE(reports.has(QStringLiteral("exited 0 normal")));
        EXPECT_TRUE(processesTagged(tag).isEmpty());
    }
    {
        // A leftover that ends by itself ends the tree: nothing is remembered.
        ChildProcess child;
        Reports reports(child);
        child.start(shell(QStringLiteral("(sleep 0.3; echo late) & echo ready")));
        ASSERT_TRUE(waitFor([&] { return reports.ended(); }));
        EXPECT_FALSE(reports.has(QStringLiteral("out late"))); // output after the exit is not reported
        EXPECT_FALSE(child.isTreeAlive());
    }
}

TEST(ChildProcess, DeletingALiveChildEndsItsTreeWithoutWaitingForIt)
{
    const QByteArray tag = uniqueTreeTag();
    auto child = std::make_unique<ChildProcess>();
    Reports reports(*child);
    auto options = shell(detachingScript, tag);
    options.gracePeriod = std::chrono::milliseconds(300);
    child->start(options);
    ASSERT_TRUE(waitFor([&] { return reports.has(QStringLiteral("out ready")) && processesTagged(tag).size() >= 5; }));
    child.reset();
    EXPECT_FALSE(processesTagged(tag).isEmpty()); // the stopping goes on after the object
    EXPECT_TRUE(waitFor([&] { return processesTagged(tag).isEmpty(); }));
}

TEST(ChildProcess, TheProgramLeadsASessionNoProcessOutsideTheTreeCanJoinOrBeSignalledThrough)
{
    ChildProcess child;
    Reports reports(child);
    child.start(shell(QStringLiteral("echo ready; sleep 600")));
    ASSERT_TRUE(waitFor([&] { return reports.has(QStringLiteral("out ready")); }));
    const pid_t group = static_cast<pid_t>(child.processId());

    // An unrelated process that tries to join the program's group: it cannot,
    // as the group lives in a session of its own; nor is it signalled.
    QProcess stranger;
    stranger.setChildProcessModifier([group] { (void)::setpgid(0, group); });
    stranger.start(QStringLiteral("/bin/sleep"), {QStringLiteral("600")});
    ASSERT_TRUE(stranger.waitForStarted());
    EXPECT_NE(guard::ProcProcessTable().read(static_cast<pid_t>(stranger.processId()))->group, group);
    EXPECT_EQ(::getsid(group), group);

    child.stop();
    ASSERT_TRUE(waitFor([&] { return reports.ended(); }));
    EXPECT_TRUE(isAlive(stranger.processId()));
    stranger.kill();
    stranger.waitForFinished();
}

// ---- the guard's view of the process table ----

class FakeTable : public guard::ProcessTable {
public:
    std::vector<guard::ProcessEntry> listed;
    // What a second look shows; a pid missing here has gone.
    std::map<pid_t, guard::ProcessEntry> now;

    std::vector<guard::ProcessEntry> list() const override { return listed; }
    std::optional<guard::ProcessEntry> read(pid_t pid) const override
    {
        const auto it = now.find(pid);
        return it == now.end() ? std::nullopt : std::optional(it->second);
    }
};

guard::ProcessEntry entry(pid_t pid, pid_t parent, pid_t group, unsigned long long start, char state = 'S')
{
    return guard::ProcessEntry{pid, parent, group, state, start};
}

TEST(ProcessTree, ParsesStatLinesWhateverTheCommandName)
{
    const std::string fields = " S 1 4242 4242 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 0 987654 1000 10";
    const auto parsed = guard::parseStat("4242 (my (odd) name) x)" + fields);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->pid, 4242);
    EXPECT_EQ(parsed->parent, 1);
    EXPECT_EQ(parsed->group, 4242);
    EXPECT_EQ(parsed->state, 'S');
    EXPECT_EQ(parsed->startTime, 987654ULL);
    EXPECT_FALSE(guard::parseStat("4242 (cut short) S 1 2"));
    EXPECT_FALSE(guard::parseStat("garbage"));

    // The real table agrees with what the process knows of itself.
    const auto self = guard::ProcProcessTable().read(::getpid());
    ASSERT_TRUE(self);
    EXPECT_EQ(self->parent, ::getppid());
    EXPECT_EQ(self->group, ::getpgrp());
}

TEST(ProcessTree, OnlyLiveDescendantsThatAreStillThemselvesAreSignalled)
{
    const pid_t guardPid = 100;
    FakeTable table;
    table.listed = {
        entry(guardPid, 1, 100, 10),
        entry(101, guardPid, 101, 20),    // the program
        entry(102, 101, 101, 30),         // its child
        entry(103, guardPid, 103, 40),    // detached with setsid, re-parented to the guard
        entry(104, 103, 103, 50),         // below the detached one
        entry(105, 102, 101, 60, 'Z'),    // exited, not reaped
        entry(200, 1, 101, 70),           // a stranger carrying the program's group id
        entry(201, 200, 201, 80),         // and its child
    };
    std::vector<pid_t> listedOrder;
    for (const auto &found : guard::descendantsOf(guardPid, table.listed))
        listedOrder.push_back(found.pid);
    std::sort(listedOrder.begin(), listedOrder.end());
    EXPECT_EQ(listedOrder, (std::vector<pid_t>{101, 102, 103, 104}));

    // By the time each is signalled: 102 has exited and its id went to an
    // unrelated program; 104 has gone; 101 and 103 are unchanged.
    table.now = {{101, table.listed[1]}, {102, entry(102, 1, 102, 999)}, {103, table.listed[3]}};
    std::vector<pid_t> signalled;
    const auto send = [&](pid_t pid, int signal, const std::function<bool()> &stillSame) {
        EXPECT_EQ(signal, SIGTERM);
        if (!stillSame())
            return false;
        signalled.push_back(pid);
        return true;
    };
    EXPECT_EQ(guard::signalDescendants(guardPid, SIGTERM, table, send), 2);
    std::sort(signalled.begin(), signalled.end());
    EXPECT_EQ(signalled, (std::vector<pid_t>{101, 103}));
}

// ---- every way the process that started the child can end ----

struct Ending {
    const char *how;
    int signal; // sent by the test once the tree runs; 0: none
    bool orderly;
};

class ChildOutlivesNothing : public ::testing::TestWithParam<Ending> {};

TEST_P(ChildOutlivesNothing, WhateverWayTheHostEnds)
{
    const Ending ending = GetParam();
    const QByteArray tag = uniqueTreeTag();
    const QString ready = makeTempDir() + QStringLiteral("/ready");
    // A static server, a process in a session of its own that ignores SIGTERM
    // and SIGHUP, an orphan, and the program itself.
    const QString script = QStringLiteral(
        "setsid sh -c 'trap \"\" TERM HUP; sleep 600; :' </dev/null >/dev/null 2>&1 & "
        "python3 -m http.server --bind 127.0.0.1 0 </dev/null >/dev/null 2>&1 & "
        "(sleep 600 &); echo ready; sleep 600");
    QProcess host;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromUtf8(tagName(tag)), QString::fromUtf8(tagValue(tag)));
    host.setProcessEnvironment(environment);
    host.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    host.start(QStringLiteral(NERIM_PLATFORM_TEST_CHILD_HOST),
               {ready, QString::fromLatin1(ending.how), QStringLiteral("500"), QStringLiteral("/bin/sh"),
                QStringLiteral("-c"), script});
    ASSERT_TRUE(host.waitForStarted());
    ASSERT_TRUE(waitFor([&] { return QFileInfo::exists(ready); }));
    if (ending.signal != 0) {
        // Everything is up: the host, the guard, two shells, three sleeps, python.
        ASSERT_TRUE(waitFor([&] { return processesTagged(tag).size() >= 7; })) << processesTagged(tag).size();
        ::kill(static_cast<pid_t>(host.processId()), ending.signal);
    }
    ASSERT_TRUE(waitFor([&] { return host.state() == QProcess::NotRunning; }));
    if (ending.orderly) {
        EXPECT_EQ(host.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(host.exitCode(), 0);
    } else {
        EXPECT_EQ(host.exitStatus(), QProcess::CrashExit);
    }
    EXPECT_TRUE(waitFor([&] { return processesTagged(tag).isEmpty(); })) << processesTagged(tag).size() << " left";
}

INSTANTIATE_TEST_SUITE_P(Endings, ChildOutlivesNothing,
                         ::testing::Values(Ending{"quit", 0, true}, Ending{"wait", SIGTERM, true},
                                           Ending{"wait", SIGINT, true}, Ending{"wait", SIGHUP, true},
                                           Ending{"abort", 0, false}, Ending{"kill-self", 0, false},
                                           Ending{"wait", SIGKILL, false}),
                         [](const ::testing::TestParamInfo<Ending> &info) {
                             const std::string how = info.param.how;
                             switch (info.param.signal) {
                             case SIGTERM: return std::string("Sigterm");
                             case SIGINT: return std::string("Sigint");
                             case SIGHUP: return std::string("Sighup");
                             case SIGKILL: return std::string("Sigkill");
                             default: return how == "quit" ? std::string("Quit")
                                             : how == "abort" ? std::string("Crash")
                                                              : std::string("KillsItself");
                             }
                         });

} // namespace

// The guard is run from beside the executable only: no path of the build
// tree is compiled in, so a copied `nerim` never runs what lies there.
TEST(ChildProcess, NoBuildTreePathOfTheGuardIsCompiledIn)
{
    EXPECT_EQ(ChildProcess::guardProgram(), QCoreApplication::applicationDirPath() + QStringLiteral("/nerim-guard"));
    QFile self(QStringLiteral("/proc/self/exe"));
    ASSERT_TRUE(self.open(QIODevice::ReadOnly));
    const QByteArray image = self.readAll();
    EXPECT_FALSE(image.contains(QFile::encodeName(binaryDir() + QStringLiteral("/src/app/nerim-guard"))));
}
