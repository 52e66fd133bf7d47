#include "persistence/AtomicFileWriter.h"

#include "foundation/FileIo.h"
#include "foundation/Json.h"
#include "foundation/RegularFile.h"
#include "persistence/FileCalls.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
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

// Creates `path` exclusively and writes what `produce` gives to it, synced.
// Returns 0 or the errno of the failure, with `stage` telling whether creation
// (1) or writing (2) failed. Given `keptOpen`, a successful write leaves the
// new file open there for reading (the caller closes it). What `produce`
// throws is thrown on (the file is left for the caller to remove).
int writeNewFile(const QString &path, const std::function<void(ContentSink &)> &produce, mode_t mode,
                 bool exactMode, int &stage, int *keptOpen = nullptr)
{
    stage = 1;
    const int fd = fileCalls::create(native(path).constData(), O_WRONLY | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0)
        return errno;
    stage = 2;
    int error = 0;
    if (exactMode && ::fchmod(fd, mode) != 0)
        error = errno;
    if (!error) {
        FileSink sink(fd, path);
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

int writeNewFile(const QString &path, std::span<const QByteArray> pieces, mode_t mode, bool exactMode, int &stage)
{
    return writeNewFile(
        path,
        [pieces](ContentSink &sink) {
            for (const QByteArray &piece : pieces)
                sink.write(piece);
        },
        mode, exactMode, stage);
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
    fileCalls::unlink(stagingName.constData());
    const auto fail = [&](const QString &reason) {
        fileCalls::unlink(stagingName.constData());
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
    if (fileCalls::rename(stagingName.constData(), native(backupPath).constData()) != 0)
        return fail(errnoText(errno));
    return QString();
}

FileIdentity writeFile(const std::function<void(ContentSink &)> &produce, const QString &targetPath,
                       const QString &backupPath, const WriteOptions &options)
{
    const QString tempPath = targetPath + QStringLiteral(".tmp");
    const QByteArray tempName = native(tempPath);
    const bool keepBackup = !backupPath.isEmpty();
    const bool backupElsewhere =
        keepBackup && QFileInfo(backupPath).absolutePath() != QFileInfo(targetPath).absolutePath();
    makeParent(targetPath);
    if (backupElsewhere)
        makeParent(backupPath);

    fileCalls::unlink(tempName.constData()); // left by an interrupted write
    int stage = 0;
    const mode_t mode = options.mode ? *options.mode : 0666; // default: as the umask allows
    int written = -1;
    int error = 0;
    try {
        error = writeNewFile(tempPath, produce, mode, options.mode.has_value(), stage, &written);
    } catch (...) {
        fileCalls::unlink(tempName.constData());
        throw;
    }
    // The new file stays open until it is in place: its identity is taken
    // after the rename, which changes its change time.
    const auto closing = qScopeGuard([&written] {
        if (written >= 0)
            ::close(written);
    });
    if (error) {
        fileCalls::unlink(tempName.constData());
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
            fileCalls::unlink(tempName.constData());
            throw;
        }
    }

    // Only a regular file is kept: a link, a pipe or a device in the target's
    // place is not ours to copy, and the rename below replaces it.
    struct stat st {};
    if (keepBackup && ::lstat(native(targetPath).constData(), &st) == 0 && S_ISREG(st.st_mode)) {
        const QString failure = moveCurrentToBackup(targetPath, backupPath, st.st_mode & 07777, options);
        if (!failure.isEmpty()) {
            fileCalls::unlink(tempName.constData());
            throw MemoryError::atomicRenameFailed(targetPath, backupPath, failure);
        }
    }
    if (fileCalls::rename(tempName.constData(), native(targetPath).constData()) != 0) {
        const int error = errno;
        fileCalls::unlink(tempName.constData());
        throw MemoryError::atomicRenameFailed(tempPath, targetPath, errnoText(error));
    }

    fileCalls::syncFolderOf(targetPath);
    if (backupElsewhere)
        fileCalls::syncFolderOf(backupPath);
    FileIdentity identity;
    struct stat after {};
    if (::fstat(written, &after) == 0)
        identity = identityOf(after);
    return identity;
}

void writeFile(std::span<const QByteArray> pieces, const QString &targetPath, const QString &backupPath,
               const WriteOptions &options)
{
    writeFile(
        [pieces](ContentSink &sink) {
            for (const QByteArray &piece : pieces)
                sink.write(piece);
        },
        targetPath, backupPath, options);
}

} // namespace

namespace detail {
BackupCalls &backupCalls()
{
    static BackupCalls calls{&fileCalls::link, &readForCopy};
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
