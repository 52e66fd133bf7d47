#pragma once

// Figures of a running process and the processes it started, read from /proc.

#include <QDir>
#include <QFile>
#include <QHash>
#include <QSet>
#include <QString>

#include <sys/types.h>
#include <unistd.h>

namespace nerim::bench {

// `root` and every process descended from it.
inline QList<pid_t> processTree(pid_t root)
{
    QHash<pid_t, pid_t> parentOf;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        const pid_t pid = entry.toInt(&numeric);
        if (!numeric)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        const qsizetype close = line.lastIndexOf(')');
        if (close < 0)
            continue;
        const QList<QByteArray> fields = line.mid(close + 2).split(' ');
        if (fields.size() > 1)
            parentOf.insert(pid, fields[1].toInt());
    }
    QList<pid_t> tree;
    for (auto it = parentOf.constBegin(); it != parentOf.constEnd(); ++it) {
        pid_t pid = it.key();
        for (int hops = 0; pid > 1 && hops < 64; ++hops) {
            if (pid == root) {
                tree.append(it.key());
                break;
            }
            pid = parentOf.value(pid, 0);
        }
    }
    return tree;
}

// CPU seconds (user and system) one process has used (0 when it is gone).
inline double cpuSeconds(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    if (close < 0)
        return 0;
    // After the name: state(0) ppid(1) … utime(11) stime(12).
    const QList<QByteArray> fields = line.mid(close + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

// Proportional set size in MB of one process (0 when it is gone).
inline double pssMegabytes(pid_t pid)
{
    QFile rollup(QStringLiteral("/proc/%1/smaps_rollup").arg(pid));
    if (!rollup.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : rollup.readAll().split('\n')) {
        if (line.startsWith("Pss:"))
            return line.mid(4).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return 0;
}

inline double treePssMegabytes(pid_t root)
{
    double total = 0;
    for (pid_t pid : processTree(root))
        total += pssMegabytes(pid);
    return total;
}

// The number of distinct shared libraries mapped into one process.
inline int loadedLibraries(pid_t pid)
{
    QFile maps(QStringLiteral("/proc/%1/maps").arg(pid));
    if (!maps.open(QIODevice::ReadOnly))
        return 0;
    QSet<QByteArray> libraries;
    for (const QByteArray &line : maps.readAll().split('\n')) {
        const qsizetype slash = line.indexOf('/');
        if (slash >= 0 && line.contains(".so"))
            libraries.insert(line.mid(slash));
    }
    return int(libraries.size());
}

// Whether a library whose path contains `name` is mapped into the process.
inline bool hasLibrary(pid_t pid, const QByteArray &name)
{
    QFile maps(QStringLiteral("/proc/%1/maps").arg(pid));
    return maps.open(QIODevice::ReadOnly) && maps.readAll().contains(name);
}

} // namespace nerim::bench
