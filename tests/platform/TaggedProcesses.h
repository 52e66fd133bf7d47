#pragma once

// Finding every process a test started, however it detached: the test puts a
// unique variable into the environment of what it starts, every descendant
// inherits it, and /proc/<pid>/environ shows it. Used by the tests of every
// library that starts child processes.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QList>
#include <QTimer>
#include <QUuid>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

namespace nerim::test {

// A "NAME=value" entry no other process carries.
inline QByteArray uniqueTreeTag()
{
    return QByteArrayLiteral("NERIM_TEST_TREE=") + QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
}

inline QByteArray tagName(const QByteArray &tag)
{
    return tag.left(tag.indexOf('='));
}

inline QByteArray tagValue(const QByteArray &tag)
{
    return tag.mid(tag.indexOf('=') + 1);
}

// The live processes (zombies aside) whose environment holds `tag`.
inline QList<qint64> processesTagged(const QByteArray &tag)
{
    QList<qint64> found;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (!numeric)
            continue;
        QFile environ(QStringLiteral("/proc/%1/environ").arg(pid));
        if (!environ.open(QIODevice::ReadOnly) || !environ.readAll().split('\0').contains(tag))
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        const qsizetype close = line.lastIndexOf(')');
        if (close > 0 && line.mid(close + 2, 1) != "Z" && line.mid(close + 2, 1) != "X")
            found.append(pid);
    }
    return found;
}

// Runs the event loop until `done` holds or the time is up; returns whether it held.
// The command name (/proc/<pid>/comm) of a process; empty once it is gone.
inline QByteArray commandName(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    return comm.open(QIODevice::ReadOnly) ? comm.readAll().trimmed() : QByteArray();
}

// The tagged processes other than Nerim's guards and the init a guard puts
// into the program's namespace: what the program itself runs.
inline QList<qint64> programProcessesTagged(const QByteArray &tag)
{
    QList<qint64> found;
    for (const qint64 pid : processesTagged(tag))
        if (!commandName(pid).startsWith("nerim-guard"))
            found.append(pid);
    return found;
}

// Whether the kernel lets a process like this one make a PID namespace (with
// the privilege for it, or through a user namespace).
inline bool kernelAllowsPidNamespaces()
{
    const pid_t probe = ::fork();
    if (probe == 0) {
        const bool made = ::unshare(CLONE_NEWPID) == 0 || ::unshare(CLONE_NEWUSER | CLONE_NEWPID) == 0;
        ::_exit(made ? 0 : 1);
    }
    int status = 0;
    return probe > 0 && ::waitpid(probe, &status, 0) == probe && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

template <typename F>
bool waitFor(F done, int timeoutMs = 15000)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

} // namespace nerim::test
