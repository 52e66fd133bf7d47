#include "persistence/AtomicFileWriter.h"

#include "foundation/Json.h"
#include "foundation/RegularFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
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

void syncFolder(const QString &path)
{
    const int fd = ::open(native(QFileInfo(path).absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

bool writeAll(int fd, const char *data, qsizetype size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, static_cast<size_t>(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

// Creates `path` exclusively and writes `bytes` to it, synced. Returns 0 or the errno of the failure,
// with `stage` telling whether creation (1) or writing (2) failed.
int writeNewFile(const QString &path, std::span<const QByteArray> pieces, mode_t mode, bool exactMode, int &stage)
{
    stage = 1;
    const int fd = ::open(native(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0)
        return errno;
    stage = 2;
    int error = 0;
    if (exactMode && ::fchmod(fd, mode) != 0)
        error = errno;
    for (const QByteArray &piece : pieces) {
        if (error || !writeAll(fd, piece.constData(), piece.size())) {
            error = error ? error : errno;
            break;
        }
    }
    if (!error && ::fsync(fd) != 0)
        error = errno;
    ::close(fd);
    return error;
}

std::optional<QByteArray> readForCopy(const QString &path)
{
    // Our own file, whatever its size: a copy that is refused would block every later write.
    return RegularFile::read(path, RegularFile::FinalLink::refuse, std::numeric_limits<qint64>::max());
}

// Sets the mode of the file at `path` through a descriptor opened without
// following a link, so that a link swapped into its place changes nothing.
int setModeWithoutFollowing(const QString &path, mode_t mode)
{
    const int fd = ::open(native(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
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

// Makes `backupPath` hold what the regular file `targetPath` holds now, without
// ever removing the target: a hard link (or a synced copy where links are
// refused) under a temporary name, renamed onto the backup. `currentMode` is
// the target's mode. Returns an empty string or the failure's description.
QString moveCurrentToBackup(const QString &targetPath, const QString &backupPath, mode_t currentMode,
                            const WriteOptions &options)
{
    const QString staging = backupPath + QStringLiteral(".tmp");
    const QByteArray stagingName = native(staging);
    ::unlink(stagingName.constData());
    const auto fail = [&](const QString &reason) {
        ::unlink(stagingName.constData());
        return reason;
    };
    if (detail::backupCalls().link(native(targetPath).constData(), stagingName.constData()) == 0) {
        if (options.mode) {
            if (const int error = setModeWithoutFollowing(staging, *options.mode))
                return fail(errnoText(error));
        }
    } else {
        std::optional<QByteArray> bytes;
        try {
            bytes = detail::backupCalls().readCurrent(targetPath);
        } catch (const std::exception &e) {
            return fail(QStringLiteral("could not copy %1 for the backup: %2")
                            .arg(QFileInfo(targetPath).fileName(), QString::fromUtf8(e.what())));
        }
        if (!bytes)
            return QString(); // gone meanwhile: nothing to keep
        int stage = 0;
        if (const int error = writeNewFile(staging, std::span<const QByteArray>(&*bytes, 1),
                                           options.mode.value_or(currentMode), true, stage))
            return fail(errnoText(error));
    }
    if (::rename(stagingName.constData(), native(backupPath).constData()) != 0)
        return fail(errnoText(errno));
    return QString();
}

void writeFile(std::span<const QByteArray> pieces, const QString &targetPath, const QString &backupPath, const WriteOptions &options)
{
    const QString tempPath = targetPath + QStringLiteral(".tmp");
    const QByteArray tempName = native(tempPath);
    const bool keepBackup = !backupPath.isEmpty();
    const bool backupElsewhere =
        keepBackup && QFileInfo(backupPath).absolutePath() != QFileInfo(targetPath).absolutePath();
    makeParent(targetPath);
    if (backupElsewhere)
        makeParent(backupPath);

    ::unlink(tempName.constData()); // left by an interrupted write
    int stage = 0;
    const mode_t mode = options.mode ? *options.mode : 0666; // default: as the umask allows
    if (const int error = writeNewFile(tempPath, pieces, mode, options.mode.has_value(), stage)) {
        ::unlink(tempName.constData());
        if (stage == 1)
            throw MemoryError::writeFailed(tempPath, QStringLiteral("could not create temp file"));
        throw MemoryError::writeFailed(tempPath, errnoText(error));
    }

    // Only a regular file is kept: a link, a pipe or a device in the target's
    // place is not ours to copy, and the rename below replaces it.
    struct stat st {};
    if (keepBackup && ::lstat(native(targetPath).constData(), &st) == 0 && S_ISREG(st.st_mode)) {
        const QString failure = moveCurrentToBackup(targetPath, backupPath, st.st_mode & 07777, options);
        if (!failure.isEmpty()) {
            ::unlink(tempName.constData());
            throw MemoryError::atomicRenameFailed(targetPath, backupPath, failure);
        }
    }
    if (::rename(tempName.constData(), native(targetPath).constData()) != 0) {
        const int error = errno;
        ::unlink(tempName.constData());
        throw MemoryError::atomicRenameFailed(tempPath, targetPath, errnoText(error));
    }

    syncFolder(targetPath);
    if (backupElsewhere)
        syncFolder(backupPath);
}

} // namespace

namespace detail {
BackupCalls &backupCalls()
{
    static BackupCalls calls{&::link, &readForCopy};
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

void replace(const QByteArray &bytes, const QString &targetPath, WriteOptions options)
{
    writeFile(std::span<const QByteArray>(&bytes, 1), targetPath, QString(), options);
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

std::optional<QByteArray> readBytes(const QString &path) { return RegularFile::read(path); }

} // namespace nerim::AtomicFileWriter
