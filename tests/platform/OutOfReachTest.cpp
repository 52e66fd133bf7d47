// What no program Nerim runs can reach: the terminal Nerim was started from,
// and, where the system gives no namespaces, what another tree's git runs.
#include "platform/ChildProcess.h"

#include "TestEnvironment.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <algorithm>
#include <cerrno>
#include <functional>
#include <vector>
#include <csignal>
#include <cstddef>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <iostream>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pty.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace nerim::platform;
using namespace nerim::test;

namespace {

bool waitFor(const std::function<bool()> &done, int timeoutMs = 60000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

// Everything readable on `fd` now (it is non-blocking).
QByteArray drain(int fd)
{
    QByteArray bytes;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0)
            bytes.append(buffer, got);
        else if (!(got < 0 && errno == EINTR))
            return bytes;
    }
}

QString copyIntoFolder(const char *program, const QString &folder)
{
    const QString copy = folder + QLatin1Char('/') + QFileInfo(QString::fromLocal8Bit(program)).fileName();
    QFile::copy(QString::fromLocal8Bit(program), copy);
    QFile::setPermissions(copy, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return copy;
}

// Nerim (a program playing it) started in a terminal of the test's own, as
// from a shell, with the probe as its child; `arguments` gets the terminal's
// name. Returns whatever reached that terminal: what it echoed, and what waits
// in it to be read as the user's shell would read it.
QByteArray runInATerminal(const std::function<QStringList(const QString &)> &arguments, const QString &readyFile)
{
    int master = -1;
    int slave = -1;
    char terminal[256] = {};
    if (::openpty(&master, &slave, terminal, nullptr, nullptr) != 0)
        return "openpty failed";
    std::vector<QByteArray> words{QByteArrayLiteral(NERIM_PLATFORM_TEST_CHILD_HOST)};
    for (const QString &argument : arguments(QString::fromLocal8Bit(terminal)))
        words.push_back(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const pid_t host = ::fork();
    if (host == 0) {
        // A session whose controlling terminal this is, as a shell's child has.
        ::setsid();
        ::ioctl(slave, TIOCSCTTY, 0);
        for (int stream = 0; stream <= 2; ++stream)
            ::dup2(slave, stream);
        ::close(master);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    // The test keeps its end of the terminal open, so what was typed into it
    // stays there to be read.
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    ::fcntl(slave, F_SETFL, O_NONBLOCK);
    QByteArray reached;
    int status = 0;
    QDeadlineTimer deadline(60000);
    while (::waitpid(host, &status, WNOHANG) == 0) {
        reached += drain(master);
        if (deadline.hasExpired()) {
            ::kill(host, SIGKILL);
            ::waitpid(host, &status, 0);
            break;
        }
        QThread::msleep(10);
    }
    reached += drain(master);
    reached += drain(slave);
    ::close(slave);
    ::close(master);
    EXPECT_TRUE(QFileInfo::exists(readyFile)) << "the probe did not run; the terminal showed: " << reached.toStdString();
    return reached;
}

// Refuses this process and all it starts every new user, PID or mount
// namespace (clone3, whose flags a filter cannot read, answers ENOSYS so that
// callers fall back to clone): a system that gives no namespaces, to root
// too. For a child about to exec.
bool refuseNamespaces()
{
#if defined(__x86_64__)
    constexpr unsigned architecture = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    constexpr unsigned architecture = AUDIT_ARCH_AARCH64;
#else
    return false;
#endif
    constexpr unsigned namespaces = CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNS;
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, architecture, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone3, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_unshare, 1, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])), // the flags' low half
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, namespaces, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

} // namespace

// A program the guard runs has no controlling terminal and reaches none:
// /dev/tty opens nothing, and a command typed with TIOCSTI into the terminal
// Nerim runs in (through /dev/tty, or the terminal reopened by name or through
// Nerim's /proc entry) never reaches it. Tried as an agent runs and as a
// development server runs.
TEST(OutOfReach, NoChildTypesIntoTheTerminalNerimRunsIn)
{
    const QString app = makeTempDir(QStringLiteral("terminal-app"));
    const QString probe = copyIntoFolder(NERIM_PLATFORM_TEST_TERMINAL_PROBE, app);
    for (const bool asApp : {false, true}) {
        SCOPED_TRACE(asApp ? "as a development server" : "as an agent");
        const QString ready = makeTempDir(QStringLiteral("terminal-ready")) + QStringLiteral("/ready");
        const QByteArray reached = runInATerminal(
            [&](const QString &terminal) {
                QStringList arguments =
                    asApp ? QStringList{QStringLiteral("--app"), app} : QStringList{QStringLiteral("--agent")};
                arguments << ready << QStringLiteral("quit") << QStringLiteral("2000") << probe;
                // Root's programs hold CAP_SYS_ADMIN, which types into any
                // terminal they can open; an agent running as root is not
                // confined, so only /dev/tty and its streams are tried for it.
                if (asApp || ::geteuid() != 0)
                    arguments << QStringLiteral("--reopen") << terminal;
                return arguments;
            },
            ready);
        EXPECT_FALSE(reached.contains("NERIM-TYPED-THIS")) << reached.toStdString();
    }
}

// Where the system gives no namespaces, a running app shares /tmp with the
// rest of the user's programs and is kept to its places by Landlock alone: the
// folder through which an agent's git runs (nerim-git's) is the user's private
// folder, which the app can read but neither change, move nor add to, as root
// too.
TEST(OutOfReach, WithoutNamespacesTheAppCannotReplaceWhatAnAgentsGitRuns)
{
    if (::syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U) < 1)
        GTEST_SKIP() << "no Landlock: without namespaces nothing keeps the app's writes to its places here";
    const QString shim = QFileInfo(QFileInfo(ChildProcess::guardProgram()).absolutePath() + QStringLiteral("/nerim-git"))
                             .canonicalFilePath();
    if (QStandardPaths::findExecutable(QStringLiteral("git")).isEmpty())
        GTEST_SKIP() << "git is not installed: nothing is routed";

    // The temporary folder every program of the user shares (/tmp, as a rule).
    const QString sharedTemporary = makeTempDir(QStringLiteral("shared-tmp"));
    // An agent at work: its git comes through the folder first on its PATH.
    ChildProcess agent;
    QStringList lines;
    bool ended = false;
    QObject::connect(&agent, &ChildProcess::outputLine, [&](const QString &line, bool) { lines << line; });
    QObject::connect(&agent, &ChildProcess::treeEnded, [&] { ended = true; });
    ChildProcess::Options options;
    options.program = QStringLiteral("/bin/sh");
    options.arguments = {QStringLiteral("-c"), QStringLiteral("echo \"$PATH\"; exec cat")};
    options.inputPipe = true;
    options.environment.insert(QStringLiteral("TMPDIR"), sharedTemporary);
    agent.start(options);
    ASSERT_TRUE(waitFor([&] { return !lines.isEmpty(); })) << "the agent did not start";
    const QString folder = lines.first().section(QLatin1Char(':'), 0, 0).chopped(4); // without "/bin"
    const QString base = qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/nerim/");
    EXPECT_TRUE(folder.startsWith(base + QStringLiteral("nerim-git-"))) << folder.toStdString();
    struct stat info {};
    ASSERT_EQ(::lstat(QFile::encodeName(folder).constData(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode) && (info.st_mode & 07777) == 0700 && info.st_uid == ::geteuid());

    // The app tries to put its own program in the agent's git's place.
    const QString project = makeTempDir(QStringLiteral("no-namespace-app"));
    const QString ready = project + QStringLiteral("/ready");
    const QString script = QStringLiteral(R"sh(
[ "$(readlink /proc/self/ns/mnt)" = "$M" ] && echo no namespace >> log
[ -x "$R/bin/git" ] && echo saw >> log
rm -f "$R/bin/git" && echo removed >> log
printf '#!/bin/sh\necho replaced\n' > "$R/bin/git" && echo wrote >> log
ln -s /bin/true "$R/exec/git-planted" && echo linked >> log
mv "$R" "$R.moved" && echo moved >> log
mkdir "$R-planted" && echo planted >> log
echo ready)sh");
    QProcess nerim;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("R"), folder);
    char mounts[128] = {};
    ASSERT_GT(::readlink("/proc/self/ns/mnt", mounts, sizeof mounts - 1), 0);
    environment.insert(QStringLiteral("M"), QString::fromLatin1(mounts));
    // Without a namespace the app writes the shared temporary folder.
    environment.insert(QStringLiteral("TMPDIR"), sharedTemporary);
    nerim.setProcessEnvironment(environment);
    nerim.setProcessChannelMode(QProcess::ForwardedChannels);
    nerim.setChildProcessModifier([] {
        if (!refuseNamespaces())
            ::_exit(125);
    });
    nerim.start(QStringLiteral(NERIM_PLATFORM_TEST_CHILD_HOST),
                {QStringLiteral("--app"), project, ready, QStringLiteral("quit"), QStringLiteral("2000"),
                 QStringLiteral("/bin/sh"), QStringLiteral("-c"), script});
    ASSERT_TRUE(nerim.waitForFinished(60000));
    EXPECT_EQ(nerim.exitCode(), 0);
    EXPECT_TRUE(QFileInfo::exists(ready)) << "the app did not run";
    // It ran without a namespace of its own, saw the folder, and got nowhere.
    EXPECT_EQ(readFile(project + QStringLiteral("/log")).toStdString(), "no namespace\nsaw\n");
    EXPECT_EQ(QFileInfo(folder + QStringLiteral("/bin/git")).canonicalFilePath().toStdString(), shim.toStdString());
    EXPECT_FALSE(QFileInfo::exists(folder + QStringLiteral("/exec/git-planted")));
    EXPECT_FALSE(QFileInfo::exists(folder + QStringLiteral("-planted")));

    agent.closeInput();
    EXPECT_TRUE(waitFor([&] { return ended; }));
}
