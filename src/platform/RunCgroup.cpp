#include "platform/RunCgroup.h"

#include "platform/guard/ProcessTree.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>
#include <QUuid>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nerim::platform {

namespace {

const QString namePrefix = QStringLiteral("nerim-run-");

// Reads a small file of the kernel's (or a note) without following a link at its end.
std::optional<QByteArray> readSmall(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return std::nullopt;
    QByteArray text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || text.size() > 64 * 1024)
            break;
        text.append(buffer, got);
    }
    ::close(fd);
    return text;
}

bool writeSmall(const QString &path, const QByteArray &text)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, text.constData(), text.size()) == text.size();
    ::close(fd);
    return written;
}

// A path of /proc/self/mountinfo, where space, tab, line feed and backslash are written \ooo.
QString unescapeMountPath(const QByteArray &field)
{
    QByteArray out;
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            bool ok = false;
            const int value = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok) {
                out.append(static_cast<char>(value));
                i += 3;
                continue;
            }
        }
        out.append(field[i]);
    }
    return QFile::decodeName(out);
}

struct Hierarchy {
    QString mountPoint; // where the cgroup v2 file system is mounted
    QString own;        // this process's own group there
};

// Where this process's own cgroup v2 group is, if the unified hierarchy is mounted.
std::optional<Hierarchy> findHierarchy()
{
    const auto cgroups = readSmall(QStringLiteral("/proc/self/cgroup"));
    const auto mounts = readSmall(QStringLiteral("/proc/self/mountinfo"));
    if (!cgroups || !mounts)
        return std::nullopt;
    QByteArray ownPath;
    for (const QByteArray &line : cgroups->split('\n'))
        if (line.startsWith("0::/"))
            ownPath = line.mid(3);
    if (ownPath.isEmpty() || ownPath.endsWith(" (deleted)"))
        return std::nullopt;
    for (const QByteArray &line : mounts->split('\n')) {
        const qsizetype separator = line.indexOf(" - ");
        if (separator < 0 || !line.mid(separator + 3).startsWith("cgroup2 "))
            continue;
        const QList<QByteArray> fields = line.left(separator).split(' ');
        if (fields.size() < 5)
            continue;
        // A mount of a part of the hierarchy (a cgroup namespace) shows that part's root.
        const QString root = unescapeMountPath(fields[3]);
        const QString own = QFile::decodeName(ownPath);
        QString below;
        if (root == QStringLiteral("/"))
            below = own;
        else if (own == root || own.startsWith(root + QLatin1Char('/')))
            below = own.mid(root.size());
        else
            continue;
        const QString mountPoint = unescapeMountPath(fields[4]);
        return Hierarchy{mountPoint, QDir::cleanPath(mountPoint + QLatin1Char('/') + below)};
    }
    return std::nullopt;
}

const std::optional<Hierarchy> &hierarchy()
{
    static const std::optional<Hierarchy> found = findHierarchy();
    return found;
}

// This process's start time, which together with its id names it.
unsigned long long startTimeOf(pid_t pid)
{
    const auto entry = guard::ProcProcessTable().read(pid);
    return entry ? entry->startTime : 0;
}

bool isGroupName(const QString &name)
{
    static const QRegularExpression shape(
        QStringLiteral("^nerim-run-[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\z"));
    return shape.match(name).hasMatch();
}

} // namespace

QString RunCgroup::notesFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) + QStringLiteral("/nerim-cgroups");
}

std::optional<RunCgroup> RunCgroup::create()
{
    const auto &found = hierarchy();
    if (!found)
        return std::nullopt;
    const QString name = namePrefix + QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
    const QString path = found->own + QLatin1Char('/') + name;
    if (::mkdir(QFile::encodeName(path).constData(), 0755) != 0)
        return std::nullopt;
    // Without cgroup.kill (kernels before 5.14) the group could not end the tree at once.
    if (::access(QFile::encodeName(path + QStringLiteral("/cgroup.kill")).constData(), W_OK) != 0 ||
        ::access(QFile::encodeName(path + QStringLiteral("/cgroup.procs")).constData(), W_OK) != 0) {
        ::rmdir(QFile::encodeName(path).constData());
        return std::nullopt;
    }
    // The note: the group, and the Nerim that owns it.
    QString note;
    const QString folder = notesFolder();
    if (::mkdir(QFile::encodeName(folder).constData(), 0700) == 0 || errno == EEXIST) {
        struct stat info;
        if (::lstat(QFile::encodeName(folder).constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
            info.st_uid == ::geteuid()) {
            // Written under another name and renamed, so that a reader never
            // sees a note half written.
            note = folder + QLatin1Char('/') + name;
            const QByteArray draft = QFile::encodeName(note + QStringLiteral(".new"));
            const int fd = ::open(draft.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
            const QByteArray text = QFile::encodeName(path) + '\n' + QByteArray::number(::getpid()) + ' ' +
                                    QByteArray::number(startTimeOf(::getpid())) + '\n';
            const bool written = fd >= 0 && ::write(fd, text.constData(), text.size()) == text.size();
            if (fd >= 0)
                ::close(fd);
            if (!written || ::rename(draft.constData(), QFile::encodeName(note).constData()) != 0) {
                ::unlink(draft.constData());
                note.clear();
            }
        }
    }
    return RunCgroup(path, note);
}

bool RunCgroup::isAvailable()
{
    const auto &found = hierarchy();
    if (!found)
        return false;
    const QString probe = found->own + QLatin1Char('/') + namePrefix + QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
    const QByteArray path = QFile::encodeName(probe);
    if (::mkdir(path.constData(), 0755) != 0)
        return false;
    const bool usable = ::access(QFile::encodeName(probe + QStringLiteral("/cgroup.kill")).constData(), W_OK) == 0 &&
                        ::access(QFile::encodeName(probe + QStringLiteral("/cgroup.procs")).constData(), W_OK) == 0;
    ::rmdir(path.constData());
    return usable;
}

bool RunCgroup::isPopulated() const
{
    const auto events = readSmall(m_path + QStringLiteral("/cgroup.events"));
    return events && events->contains("populated 1");
}

void RunCgroup::killAll() const
{
    writeSmall(m_path + QStringLiteral("/cgroup.kill"), "1");
}

bool RunCgroup::remove() const
{
    if (::rmdir(QFile::encodeName(m_path).constData()) != 0 && errno != ENOENT)
        return false;
    if (!m_note.isEmpty())
        ::unlink(QFile::encodeName(m_note).constData());
    return true;
}

int RunCgroup::endAbandoned()
{
    const auto &found = hierarchy();
    const QString folder = notesFolder();
    int ended = 0;
    struct stat info;
    if (::lstat(QFile::encodeName(folder).constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid())
        return 0; // nothing noted, or not a folder of this user's
    const QStringList names = QDir(folder).entryList(QDir::Files | QDir::System | QDir::Hidden);
    for (const QString &name : names) {
        if (!isGroupName(name))
            continue;
        const QString note = folder + QLatin1Char('/') + name;
        const auto text = readSmall(note);
        if (!text)
            continue;
        const QList<QByteArray> lines = text->split('\n');
        const QList<QByteArray> owner = lines.value(1).split(' ');
        const pid_t ownerPid = static_cast<pid_t>(owner.value(0).toLongLong());
        const unsigned long long ownerStart = owner.value(1).toULongLong();
        const unsigned long long runningStart = ownerPid > 0 ? startTimeOf(ownerPid) : 0;
        if (runningStart != 0 && runningStart == ownerStart)
            continue; // its Nerim (perhaps this one) still runs
        // Only a group of this kind, in the cgroup file system, is ever touched.
        const QString path = QFile::decodeName(lines.value(0));
        const bool plausible = found && QDir::cleanPath(path) == path &&
                               path.startsWith(found->mountPoint + QLatin1Char('/')) &&
                               path.endsWith(QLatin1Char('/') + name);
        if (!plausible) {
            ::unlink(QFile::encodeName(note).constData());
            continue;
        }
        const RunCgroup group(path, note);
        if (group.isPopulated()) {
            group.killAll();
            ++ended;
            const QDeadlineTimer deadline(2000);
            while (group.isPopulated() && !deadline.hasExpired())
                QThread::msleep(10);
        }
        group.remove(); // a group that could not be removed yet is tried again next time
    }
    return ended;
}

} // namespace nerim::platform
