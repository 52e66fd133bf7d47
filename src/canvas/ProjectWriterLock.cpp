#include "canvas/ProjectWriterLock.h"

#include "foundation/BeneathFolder.h"
#include "foundation/FileIo.h"
#include "persistence/IntentProcessorConstants.h"

#include <QFile>
#include <QMutex>
#include <QThread>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nerim {

namespace {

using Key = std::pair<quint64, quint64>; // the data folder's device and inode

QMutex registryMutex;
std::map<Key, std::weak_ptr<ProjectWriterLock>> registry;

QString reason(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

ProjectWriterLock::Result unsupported(const QString &why)
{
    ProjectWriterLock::Result result;
    result.outcome = ProjectWriterLock::Outcome::unsupported;
    result.why = why;
    return result;
}

// What the lock file of the folder `key` says: the folder's device and inode.
QByteArray stampOf(const Key &key)
{
    return QByteArray::number(key.first) + ' ' + QByteArray::number(key.second) + '\n';
}

// Puts a fresh, empty lock file in place of the one at `path` (a file made
// for another folder); the file replaced is left to whoever holds it.
bool replaceLockFile(int dir, const QByteArray &path)
{
    const QByteArray fresh = path + ".new-" + QByteArray::number(::getpid());
    const int fd = ::openat(dir, fresh.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    ::close(fd);
    if (::renameat(dir, fresh.constData(), dir, path.constData()) != 0) {
        ::unlinkat(dir, fresh.constData(), 0);
        return false;
    }
    return true;
}

// Whether another process holds the file at `path` with a record lock: what
// a `flock` becomes on NFS, where this process, which may only read the file,
// cannot take one itself (asking needs no write access).
bool heldAsRecordLock(int dir, const QByteArray &path)
{
    const int fd = ::openat(dir, path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    const bool held = ::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

} // namespace

ProjectWriterLock::ProjectWriterLock(int fd, quint64 device, quint64 inode)
    : m_fd(fd), m_device(device), m_inode(inode)
{
}

ProjectWriterLock::~ProjectWriterLock()
{
    ::close(m_fd); // releases the lock
    QMutexLocker lock(&registryMutex);
    const auto found = registry.find({m_device, m_inode});
    if (found != registry.end() && found->second.expired())
        registry.erase(found);
}

ProjectWriterLock::Result ProjectWriterLock::acquire(const QString &dataFolder)
{
    // The data folder is opened once, beneath its project: the lock file is
    // made and examined in that folder by its name, whatever is swapped on
    // the way to it meanwhile.
    std::optional<BeneathFolder> opened;
    try {
        const QString project = IntentProcessorConstants::projectOfDataFile(dataFolder + QStringLiteral("/x"));
        opened.emplace(project.isEmpty() ? BeneathFolder::atPath(dataFolder)
                                         : BeneathFolder::open(project, BeneathFolder::relativeWithin(project, dataFolder)));
    } catch (const std::exception &error) {
        return unsupported(QString::fromUtf8(error.what()));
    }
    const int folder = opened->fd();
    struct stat dir {};
    if (::fstat(folder, &dir) != 0 || !S_ISDIR(dir.st_mode))
        return unsupported(QStringLiteral("the data folder cannot be examined (%1)").arg(reason(errno)));
    const Key key{quint64(dir.st_dev), quint64(dir.st_ino)};
    const QByteArray stamp = stampOf(key);
    const QByteArray path = QFile::encodeName(fileName());

    QMutexLocker lock(&registryMutex);
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (const auto found = registry.find(key); found != registry.end()) {
            if (std::shared_ptr<ProjectWriterLock> held = found->second.lock())
                return {Outcome::held, std::move(held), QString()};
        }
        bool writable = true;
        int fd = ::openat(folder, path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EACCES) {
            // Another user's lock file: it can be held all the same.
            writable = false;
            fd = ::openat(folder, path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        }
        if (fd < 0 && errno == ELOOP) {
            // A link put in its place is no lock of anyone's (unlink never follows it).
            if (::unlinkat(folder, path.constData(), 0) == 0)
                continue;
        }
        if (fd < 0)
            return unsupported(QStringLiteral("the lock file cannot be opened (%1)").arg(reason(errno)));
        struct stat st {};
        char content[64] = {};
        const ssize_t read = ::pread(fd, content, sizeof content, 0);
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || read < 0) {
            const int error = errno;
            ::close(fd);
            return unsupported(QStringLiteral("the lock file cannot be read (%1)").arg(reason(error)));
        }
        const QByteArrayView found(content, read);
        if (!found.isEmpty() && found != stamp) {
            // Made in another folder and come here with a copy or a hard link
            // of the project: not this folder's lock. (Replaced only while it
            // is still the file read: another Nerim may have replaced it first.)
            struct stat now {};
            const bool same = ::fstatat(folder, path.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                              now.st_dev == st.st_dev && now.st_ino == st.st_ino;
            ::close(fd);
            if (same && !replaceLockFile(folder, path))
                return unsupported(QStringLiteral("the lock file of a copied project cannot be replaced (%1)")
                                       .arg(reason(errno)));
            continue;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            if (error == EWOULDBLOCK) {
                // A canvas of this process that is just letting go of it is not another Nerim.
                if (const auto going = registry.find(key); going != registry.end() && going->second.expired()) {
                    lock.unlock();
                    QThread::msleep(10);
                    lock.relock();
                    continue;
                }
                return {Outcome::heldElsewhere, nullptr, QString()};
            }
            if (error == EBADF && !writable && heldAsRecordLock(folder, path))
                return {Outcome::heldElsewhere, nullptr, QString()};
            return unsupported(QStringLiteral("the file system keeps no locks (%1)").arg(reason(error)));
        }
        // Still the file at the name: another Nerim may have put a fresh one
        // there meanwhile, and the lock on a file no longer there holds nothing.
        struct stat now {};
        if (::fstatat(folder, path.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0 || now.st_dev != st.st_dev ||
            now.st_ino != st.st_ino) {
            ::close(fd);
            continue;
        }
        // The file names its folder from now on (best effort: an unstamped
        // file is taken as this folder's by anyone).
        if (writable && found != stamp && ::ftruncate(fd, 0) == 0)
            (void)fileio::writeAll(fd, stamp.constData(), stamp.size());
        std::shared_ptr<ProjectWriterLock> held(new ProjectWriterLock(fd, key.first, key.second));
        registry[key] = held;
        return {Outcome::held, std::move(held), QString()};
    }
    return unsupported(QStringLiteral("the lock file kept being replaced"));
}

} // namespace nerim
