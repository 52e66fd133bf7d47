#include "persistence/AtomicFileWriter.h"

#include "foundation/Json.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace nerim::AtomicFileWriter {

namespace {

QString errnoText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

QByteArray native(const QString &path) { return QFile::encodeName(path); }

void makeParent(const QString &path) { QDir().mkpath(QFileInfo(path).absolutePath()); }

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
int writeNewFile(const QString &path, const QByteArray &bytes, mode_t mode, bool exactMode, int &stage)
{
    stage = 1;
    const int fd = ::open(native(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0)
        return errno;
    stage = 2;
    int error = 0;
    if (exactMode && ::fchmod(fd, mode) != 0)
        error = errno;
    if (!error && !writeAll(fd, bytes.constData(), bytes.size()))
        error = errno;
    if (!error && ::fsync(fd) != 0)
        error = errno;
    ::close(fd);
    return error;
}

// Makes `backupPath` hold what `targetPath` holds now, without ever removing the target:
// a hard link (or a synced copy where links are refused) under a temporary name, renamed
// onto the backup. Returns an empty string or the failure's description.
QString moveCurrentToBackup(const QString &targetPath, const QString &backupPath, const WriteOptions &options)
{
    const QString staging = backupPath + QStringLiteral(".tmp");
    ::unlink(native(staging).constData());
    if (::link(native(targetPath).constData(), native(staging).constData()) != 0) {
        QFile current(targetPath);
        if (!current.open(QIODevice::ReadOnly))
            return current.errorString();
        const QByteArray bytes = current.readAll();
        struct stat st {};
        const mode_t mode = options.mode ? *options.mode : (::stat(native(targetPath).constData(), &st) == 0 ? (st.st_mode & 07777) : 0644);
        int stage = 0;
        if (const int error = writeNewFile(staging, bytes, mode, true, stage)) {
            ::unlink(native(staging).constData());
            return errnoText(error);
        }
    } else if (options.mode) {
        ::chmod(native(staging).constData(), *options.mode);
    }
    if (::rename(native(staging).constData(), native(backupPath).constData()) != 0) {
        const int error = errno;
        ::unlink(native(staging).constData());
        return errnoText(error);
    }
    return QString();
}

} // namespace

void write(const QByteArray &bytes, const QString &targetPath, const QString &backupPath, WriteOptions options)
{
    const QString tempPath = targetPath + QStringLiteral(".tmp");
    makeParent(targetPath);
    if (QFileInfo(backupPath).absolutePath() != QFileInfo(targetPath).absolutePath())
        makeParent(backupPath);

    ::unlink(native(tempPath).constData()); // left by an interrupted write
    int stage = 0;
    const mode_t mode = options.mode ? *options.mode : 0666; // default: as the umask allows
    if (const int error = writeNewFile(tempPath, bytes, mode, options.mode.has_value(), stage)) {
        if (stage == 1)
            throw MemoryError::writeFailed(tempPath, QStringLiteral("could not create temp file"));
        throw MemoryError::writeFailed(tempPath, errnoText(error));
    }

    struct stat st {};
    if (::lstat(native(targetPath).constData(), &st) == 0) {
        const QString failure = moveCurrentToBackup(targetPath, backupPath, options);
        if (!failure.isEmpty())
            throw MemoryError::atomicRenameFailed(targetPath, backupPath, failure);
    }
    if (::rename(native(tempPath).constData(), native(targetPath).constData()) != 0)
        throw MemoryError::atomicRenameFailed(tempPath, targetPath, errnoText(errno));

    syncFolder(targetPath);
    if (QFileInfo(backupPath).absolutePath() != QFileInfo(targetPath).absolutePath())
        syncFolder(backupPath);
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

std::optional<QByteArray> readBytes(const QString &path)
{
    QFile file(path);
    if (!file.exists())
        return std::nullopt;
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error(file.errorString().toStdString());
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw std::runtime_error(file.errorString().toStdString());
    return bytes;
}

} // namespace nerim::AtomicFileWriter
