#include "platform/ProcessGroup.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace nerim::platform {

void becomeProcessGroupLeader()
{
    ::setpgid(0, 0);
}

void placeInOwnProcessGroup(qint64 pid)
{
    if (pid > 0)
        ::setpgid(static_cast<pid_t>(pid), static_cast<pid_t>(pid));
}

bool signalProcessGroup(qint64 groupId, int signal)
{
    if (groupId <= 0)
        return false;
    return ::kill(static_cast<pid_t>(-groupId), signal) == 0;
}

namespace {

// Reads "<pid> (<comm>) <state> <ppid> <pgrp> ..." from /proc/<pid>/stat. The
// command name may itself hold spaces and parentheses, so parsing starts after
// the last closing parenthesis.
bool statEntry(const QString &pid, char *state, qint64 *group)
{
    QFile file(QStringLiteral("/proc/") + pid + QStringLiteral("/stat"));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = file.readAll();
    const qsizetype close = line.lastIndexOf(')');
    if (close < 0)
        return false;
    const QList<QByteArray> fields = line.mid(close + 1).trimmed().split(' ');
    if (fields.size() < 3 || fields.at(0).isEmpty())
        return false;
    *state = fields.at(0).at(0);
    bool ok = false;
    *group = fields.at(2).toLongLong(&ok);
    return ok;
}

} // namespace

bool processGroupHasLiveMembers(qint64 groupId)
{
    if (groupId <= 0)
        return false;
    // Cheap answer first: no process at all carries the group id.
    if (::kill(static_cast<pid_t>(-groupId), 0) != 0 && errno == ESRCH)
        return false;
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pid : pids) {
        if (pid.isEmpty() || !pid.at(0).isDigit())
            continue;
        char state = 0;
        qint64 group = 0;
        if (statEntry(pid, &state, &group) && group == groupId && state != 'Z' && state != 'X')
            return true;
    }
    return false;
}

} // namespace nerim::platform
