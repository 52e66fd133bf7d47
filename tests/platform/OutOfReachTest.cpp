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

