#include "persistence/AtomicFileWriter.h"

#include "foundation/BeneathFolder.h"
#include "foundation/FileIo.h"
#include "foundation/Json.h"
#include "foundation/RegularFile.h"
#include "persistence/FileCalls.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <span>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace nerim::AtomicFileWriter {

bool makeFolder(const QString &folder)
{
    const QFileInfo info(folder);
    if (info.isDir())
        return true;
    if (!QFileInfo(info.absolutePath()).isDir())
        return false;
    return QDir().mkdir(info.absoluteFilePath()) || QFileInfo(folder).isDir();
}

namespace {

QString errnoText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

QByteArray native(const QString &path) { return QFile::encodeName(path); }

// A failure shows up as a failed write of the file, naming its folder.
void makeParent(const QString &path) { makeFolder(QFileInfo(path).absolutePath()); }

FileIdentity identityOf(const struct stat &st)
{
    return FileIdentity{quint64(st.st_dev), quint64(st.st_ino), qint64(st.st_size),
                        qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                        qint64(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec};
}

// Writes to an open file, remembering the first failure.
class FileSink final : public ContentSink {
public:
    FileSink(int fd, QString path) : m_fd(fd), m_path(std::move(path)) {}

    void write(QByteArrayView bytes) override
    {
        if (m_error)
            return;
        if (!fileCalls::writeAll(m_fd, bytes.data(), bytes.size()))
            m_error = errno;
        m_position += bytes.size();
    }

    void copyFrom(int fd, qint64 offset, qint64 length) override
    {
        if (m_error)
            return;
        m_position += length;
        off64_t from = offset;
        // The kernel copies while it can (on one file system, without the bytes
        // passing through here); what it refuses is read and written here.
        while (length > 0 && m_kernelCopies) {
            const ssize_t n = fileCalls::copyFileRange(fd, &from, m_fd, size_t(length));
            if (n > 0) {
                length -= n;
                continue;
            }
            if (n == 0)
                throw MemoryError::writeFailed(m_path, QStringLiteral("the file to copy from ended early"));
            if (errno == EINTR)
                continue;
            if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP && errno != EPERM) {
                m_error = errno;
                return;
            }
            m_kernelCopies = false;
        }
        QByteArray buffer(qsizetype(std::min<qint64>(length, 256 * 1024)), Qt::Uninitialized);
        while (length > 0) {
            const ssize_t n = ::pread(fd, buffer.data(), size_t(std::min<qint64>(length, buffer.size())), from);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                throw MemoryError::writeFailed(m_path, errnoText(errno));
            if (n == 0)
                throw MemoryError::writeFailed(m_path, QStringLiteral("the file to copy from ended early"));
            if (!fileCalls::writeAll(m_fd, buffer.constData(), n)) {
                m_error = errno;
                return;
            }
            from += n;
            length -= n;
        }
    }

    qint64 position() const override { return m_position; }
    int error() const { return m_error; }

private:
    int m_fd;
    QString m_path;
    int m_error = 0;
    qint64 m_position = 0;
    bool m_kernelCopies = true;
};

// A file's place: its open folder and its own name there.
struct Place {
    const BeneathFolder *folder;
    QString name;

    QString path() const { return folder->filePath(name); }
    int dir() const { return folder->fd(); }
    QByteArray native() const { return QFile::encodeName(name); }
    Place sibling(const QString &other) const { return Place{folder, other}; }
};

// Creates `place` exclusively and writes what `produce` gives to it, synced.
// Returns 0 or the errno of the failure, with `stage` telling whether creation
// (1) or writing (2) failed. Given `keptOpen`, a successful write leaves the
// new file open there for reading (the caller closes it). What `produce`
// throws is thrown on (the file is left for the caller to remove).
int writeNewFile(const Place &place, const std::function<void(ContentSink &)> &produce, mode_t mode,
                 bool exactMode, int &stage, int *keptOpen = nullptr)
{
    stage = 1;
    const int fd = fileCalls::createAt(place.dir(), place.native().constData(), O_WRONLY | O_EXCL, mode);
    if (fd < 0)
        return errno;
    stage = 2;
    int error = 0;
    if (exactMode && ::fchmod(fd, mode) != 0)
        error = errno;
    if (!error) {
        FileSink sink(fd, place.path());
        try {
            produce(sink);
        } catch (...) {
            ::close(fd);
            throw;
        }
        error = sink.error();
    }
    if (!error && fileCalls::fsync(fd) != 0)
        error = errno;
    if (!error && keptOpen) {
        *keptOpen = fd;
        return 0;
    }
    ::close(fd);
    return error;
}

int writeNewFile(const Place &place, std::span<const QByteArray> pieces, mode_t mode, bool exactMode, int &stage)
{
    return writeNewFile(
        place,
        [pieces](ContentSink &sink) {
            for (const QByteArray &piece : pieces)
                sink.write(piece);
        },
        mode, exactMode, stage);
}

std::optional<QByteArray> readForCopy(int dirFd, const QString &name)
{
    // Our own file, whatever its size: a copy that is refused would block every later write.
    return RegularFile::readAt(dirFd, name, std::numeric_limits<qint64>::max());
}

// Sets the mode of the file at `place` through a descriptor opened without
// following a link, so that a link swapped into its place changes nothing.
int setModeWithoutFollowing(const Place &place, mode_t mode)
{
    const int fd =
        ::openat(place.dir(), place.native().constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    struct stat st {};
    int error = 0;
    if (::fstat(fd, &st) != 0)
        error = errno;
    else if (!S_ISREG(st.st_mode))
        error = EINVAL;
    else if (::fchmod(fd, mode) != 0)
        error = errno;
    ::close(fd);
    return error;
}

// A temporary name of this write beside `name`: "<name>.tmp-<pid>-<n>". Two
// processes writing the same file (two Nerims, or a Nerim and a copy tool
// replaying its steps) never share one, so neither can rename the other's
// half-written file into place.
QString temporaryName(const QString &name)
{
    static std::atomic<quint64> counter{0};
    return name + QStringLiteral(".tmp-%1-%2").arg(::getpid()).arg(++counter);
}

// Removes what an interrupted write of `name` left: the old shared
// "<name>.tmp", and "<name>.tmp-<pid>-<n>" of a process that is gone (a
// process still running may be writing it right now).
void removeLeftovers(int dirFd, const QString &name)
{
    fileCalls::unlinkAt(dirFd, QFile::encodeName(name + QStringLiteral(".tmp")).constData());
    const int listing = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0)
        return;
    DIR *dir = ::fdopendir(listing);
    if (!dir) {
        ::close(listing);
        return;
    }
    const QByteArray prefix = QFile::encodeName(name + QStringLiteral(".tmp-"));
    QList<QByteArray> gone;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray entryName(entry->d_name);
        if (!entryName.startsWith(prefix))
            continue;
        const QList<QByteArray> parts = entryName.mid(prefix.size()).split('-');
        bool ok = false;
        const pid_t pid = parts.size() == 2 ? pid_t(parts[0].toLongLong(&ok)) : 0;
        if (ok && pid > 0 && pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH)
            gone.append(entryName);
    }
    ::closedir(dir);
    for (const QByteArray &entryName : std::as_const(gone))
        fileCalls::unlinkAt(dirFd, entryName.constData());
}

// Makes `backup` hold what the regular file `target` holds now, without ever
// removing the target: a hard link (or a synced copy where links are refused)
// under a temporary name, renamed onto the backup. `currentMode` is the
// target's mode. Returns an empty string or the failure's description.
QString moveCurrentToBackup(const Place &target, const Place &backup, mode_t currentMode, const WriteOptions &options)
{
    const Place staging = backup.sibling(temporaryName(backup.name));
    const QByteArray stagingName = staging.native();
    removeLeftovers(staging.dir(), backup.name);
    const auto fail = [&](const QString &reason) {
        fileCalls::unlinkAt(staging.dir(), stagingName.constData());
        return reason;
    };
    if (detail::backupCalls().link(target.dir(), target.native().constData(), staging.dir(),
                                   stagingName.constData()) == 0) {
        if (options.mode) {
            if (const int error = setModeWithoutFollowing(staging, *options.mode))
                return fail(errnoText(error));
        }
    } else {
        std::optional<QByteArray> bytes;
        try {
            bytes = detail::backupCalls().readCurrent(target.dir(), target.name);
        } catch (const std::exception &e) {
            return fail(QStringLiteral("could not copy %1 for the backup: %2")
                            .arg(target.name, QString::fromUtf8(e.what())));
        }
        if (!bytes)
            return QString(); // gone meanwhile: nothing to keep
        int stage = 0;
        if (const int error = writeNewFile(staging, std::span<const QByteArray>(&*bytes, 1),
                                           options.mode.value_or(currentMode), true, stage))
            return fail(errnoText(error));
    }
    if (fileCalls::renameAt(staging.dir(), stagingName.constData(), backup.dir(), backup.native().constData()) != 0)
        return fail(errnoText(errno));
    return QString();
}

// The write itself, every step within the open folders of the target and the
// backup: the temporary file is made, the backup linked and the new file
// renamed by their names in those folders, so nothing swapped on the way to
// them after they were opened can redirect a step.
FileIdentity writeAt(const std::function<void(ContentSink &)> &produce, const Place &target,
                     const std::optional<Place> &backup, const WriteOptions &options)
{
    const Place temp = target.sibling(temporaryName(target.name));
    const QByteArray tempName = temp.native();
    const auto removeTemp = [&] { fileCalls::unlinkAt(temp.dir(), tempName.constData()); };

    removeLeftovers(target.dir(), target.name);
    int stage = 0;
    const mode_t mode = options.mode ? *options.mode : 0666; // default: as the umask allows
    int written = -1;
    int error = 0;
    try {
        error = writeNewFile(temp, produce, mode, options.mode.has_value(), stage, &written);
    } catch (...) {
        removeTemp();
        throw;
    }
    // The new file stays open until it is in place: its identity is taken
    // after the rename, which changes its change time.
    const auto closing = qScopeGuard([&written] {
        if (written >= 0)
            ::close(written);
    });
    if (error) {
        removeTemp();
        // Named by the kind of name the temporary file has, not its one-off
        // number: the user reads this line.
        const QString tempPath = target.path() + QStringLiteral(".tmp");
        if (stage == 1)
            throw MemoryError::writeFailed(tempPath, QStringLiteral("could not create temp file"));
        throw MemoryError::writeFailed(tempPath, errnoText(error));
    }

    // The new content is on disk: what must happen before anything at the
    // target changes happens now, and what it throws abandons the write.
    if (options.beforeReplacing) {
        try {
            options.beforeReplacing();
        } catch (...) {
            removeTemp();
            throw;
        }
    }

    // Only a regular file is kept: a link, a pipe or a device in the target's
    // place is not ours to copy, and the rename below replaces it.
    struct stat st {};
    if (backup && ::fstatat(target.dir(), target.native().constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode)) {
        const QString failure = moveCurrentToBackup(target, *backup, st.st_mode & 07777, options);
        if (!failure.isEmpty()) {
            removeTemp();
            throw MemoryError::atomicRenameFailed(target.path(), backup->path(), failure);
        }
    }
    const int renamed =
        options.replaceExisting
            ? fileCalls::renameAt(temp.dir(), tempName.constData(), target.dir(), target.native().constData())
            : fileCalls::renameAtWithoutReplacing(temp.dir(), tempName.constData(), target.dir(),
                                                  target.native().constData());
    if (renamed != 0) {
        const int error = errno;
        removeTemp();
        throw MemoryError::atomicRenameFailed(target.path() + QStringLiteral(".tmp"), target.path(), errnoText(error));
    }

    fileCalls::syncFolder(target.dir());
    if (backup && backup->folder != target.folder)
        fileCalls::syncFolder(backup->dir());
    FileIdentity identity;
    struct stat after {};
    if (::fstat(written, &after) == 0)
        identity = identityOf(after);
    return identity;
}

// The folder a file named by its path is written in: beneath the project
// folder `beneath` without following links when one is given (its last
// folder made when missing, as makeFolder does); else by path, as anywhere in
// Nerim's own data folder. Throws MemoryError (writeFailed).
BeneathFolder folderFor(const QString &path, const QString &beneath, QString *name)
{
    const QString tempPath = path + QStringLiteral(".tmp");
    if (beneath.isEmpty()) {
        makeParent(path);
        *name = QFileInfo(path).fileName();
        try {
            return BeneathFolder::atPath(QFileInfo(path).absolutePath());
        } catch (const std::exception &) {
            throw MemoryError::writeFailed(tempPath, QStringLiteral("could not create temp file"));
        }
    }
    try {
        return BeneathFolder::holding(beneath, path, BeneathFolder::Create::last, name);
    } catch (const BeneathFolder::Refused &refused) {
        throw MemoryError::writeFailed(path, QString::fromUtf8(refused.what()));
    } catch (const BeneathFolder::Missing &) {
        throw MemoryError::writeFailed(tempPath, QStringLiteral("could not create temp file"));
    } catch (const std::exception &e) {
        throw MemoryError::writeFailed(path, QString::fromUtf8(e.what()));
    }
}

FileIdentity writeFile(const std::function<void(ContentSink &)> &produce, const QString &targetPath,
                       const QString &backupPath, const WriteOptions &options)
{
    QString name;
    const BeneathFolder folder = folderFor(targetPath, options.beneath, &name);
    const Place target{&folder, name};
    if (backupPath.isEmpty())
        return writeAt(produce, target, std::nullopt, options);
    if (QFileInfo(backupPath).absolutePath() == QFileInfo(targetPath).absolutePath())
        return writeAt(produce, target, target.sibling(QFileInfo(backupPath).fileName()), options);
    QString backupName;
    const BeneathFolder backupFolder = folderFor(backupPath, options.beneath, &backupName);
    return writeAt(produce, target, Place{&backupFolder, backupName}, options);
}

std::function<void(ContentSink &)> piecesProducer(std::span<const QByteArray> pieces)
{
    return [pieces](ContentSink &sink) {
        for (const QByteArray &piece : pieces)
            sink.write(piece);
    };
}

void writeFile(std::span<const QByteArray> pieces, const QString &targetPath, const QString &backupPath,
               const WriteOptions &options)
{
    writeFile(piecesProducer(pieces), targetPath, backupPath, options);
}

} // namespace

namespace detail {
BackupCalls &backupCalls()
{
    static BackupCalls calls{&fileCalls::linkAt, &readForCopy};
    return calls;
}
} // namespace detail

void write(const QByteArray &bytes, const QString &targetPath, const QString &backupPath, WriteOptions options)
{
    writeFile(std::span<const QByteArray>(&bytes, 1), targetPath, backupPath, options);
}

void write(std::span<const QByteArray> pieces, const QString &targetPath, const QString &backupPath,
           WriteOptions options)
{
    writeFile(pieces, targetPath, backupPath, options);
}

FileIdentity write(const std::function<void(ContentSink &)> &produce, const QString &targetPath,
                   const QString &backupPath, WriteOptions options)
{
    return writeFile(produce, targetPath, backupPath, options);
}

std::optional<FileIdentity> FileIdentity::of(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return identityOf(st);
}

std::optional<FileIdentity> FileIdentity::of(const QString &path)
{
    struct stat st {};
    if (::lstat(native(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return identityOf(st);
}

std::optional<FileIdentity> FileIdentity::of(int dirFd, const QString &name)
{
    struct stat st {};
    if (::fstatat(dirFd, native(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return identityOf(st);
}

void replace(const QByteArray &bytes, const QString &targetPath, WriteOptions options)
{
    writeFile(std::span<const QByteArray>(&bytes, 1), targetPath, QString(), options);
}

void write(const QByteArray &bytes, const BeneathFolder &folder, const QString &name, const QString &backupName,
           WriteOptions options)
{
    const Place target{&folder, name};
    writeAt(piecesProducer(std::span<const QByteArray>(&bytes, 1)), target, target.sibling(backupName), options);
}

void replace(const QByteArray &bytes, const BeneathFolder &folder, const QString &name, WriteOptions options)
{
    writeAt(piecesProducer(std::span<const QByteArray>(&bytes, 1)), Place{&folder, name}, std::nullopt, options);
}

FileIdentity write(const std::function<void(ContentSink &)> &produce, const BeneathFolder &folder, const QString &name,
                   const QString &backupName, WriteOptions options)
{
    const Place target{&folder, name};
    if (backupName.isEmpty())
        return writeAt(produce, target, std::nullopt, options);
    return writeAt(produce, target, target.sibling(backupName), options);
}

QString describeFailure(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const JsonDecodingError &e) {
        return e.description();
    } catch (const MemoryError &e) {
        return e.description();
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
    }
    return QStringLiteral("unknown error");
}

std::optional<QByteArray> readBytes(const QString &path, const QString &beneath)
{
    if (beneath.isEmpty())
        return RegularFile::read(path);
    return RegularFile::readBeneath(beneath, path);
}

} // namespace nerim::AtomicFileWriter
