#include "foundation/RegularFile.h"

#include "foundation/BeneathFolder.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <optional>
#include <utility>

namespace nerim::RegularFile {

namespace {

[[noreturn]] void fail(const QString &reason) { throw ReadError(reason.toStdString()); }

[[noreturn]] void failWithErrno(int error) { fail(QString::fromLocal8Bit(std::strerror(error))); }

QString kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISFIFO(mode))
        return QStringLiteral("a named pipe");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("a device");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    return QStringLiteral("something else");
}

QString sizeText(qint64 bytes)
{
    constexpr qint64 mebibyte = 1024 * 1024;
    if (bytes >= mebibyte && bytes % mebibyte == 0)
        return QStringLiteral("%1 MiB").arg(bytes / mebibyte);
    return QStringLiteral("%1 bytes").arg(bytes);
}

[[noreturn]] void failTooLarge(qint64 maxBytes)
{
    fail(QStringLiteral("it is larger than %1, the most Nerim reads of one file").arg(sizeText(maxBytes)));
}

void checkKind(const struct stat &st, qint64 maxBytes)
{
    if (S_ISLNK(st.st_mode))
        fail(QStringLiteral("it is a symbolic link, which is not followed"));
    if (!S_ISREG(st.st_mode))
        fail(QStringLiteral("it is %1, not a regular file").arg(kindOf(st.st_mode)));
    if (st.st_size > maxBytes)
        failTooLarge(maxBytes);
}

class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

// What an open returned, checked: -1 for a file that has gone, a refusal for a
// link met where none is followed, and the open file looked at again.
int checkedOpen(int opened, bool refuseLink, qint64 maxBytes)
{
    Descriptor fd(opened);
    if (fd.get() < 0) {
        if (errno == ENOENT)
            return -1;
        if (errno == ELOOP && refuseLink)
            fail(QStringLiteral("it is a symbolic link, which is not followed"));
        failWithErrno(errno);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        failWithErrno(errno);
    checkKind(st, maxBytes);
    return fd.release();
}

} // namespace

int open(const QString &path, FinalLink finalLink, qint64 maxBytes)
{
    const QByteArray name = QFile::encodeName(path);
    const bool refuseLink = finalLink == FinalLink::refuse;

    // Look before opening: opening a device can have effects of its own, and a
    // named pipe would wait for a writer.
    struct stat st {};
    if ((refuseLink ? ::lstat(name.constData(), &st) : ::stat(name.constData(), &st)) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return -1;
        failWithErrno(errno);
    }
    checkKind(st, maxBytes);

    // The name may have been swapped since: the open itself refuses a link and
    // does not wait on a pipe, and the open file is checked again.
    const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (refuseLink ? O_NOFOLLOW : 0);
    return checkedOpen(::open(name.constData(), flags), refuseLink, maxBytes);
}

int openAt(int dirFd, const QString &name, qint64 maxBytes)
{
    const QByteArray native = QFile::encodeName(name);
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name == QLatin1String("..") || name == QLatin1String("."))
        fail(QStringLiteral("\"%1\" is not the name of a file in its folder").arg(name));
    // Looked at before opening, as above; then opened from the same folder,
    // never through a link, and checked again.
    struct stat st {};
    if (::fstatat(dirFd, native.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return -1;
        failWithErrno(errno);
    }
    checkKind(st, maxBytes);
    return checkedOpen(::openat(dirFd, native.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW),
                       true, maxBytes);
}

namespace {

std::optional<QByteArray> readOpen(Descriptor &fd, qint64 maxBytes)
{
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        failWithErrno(errno);

    QByteArray bytes;
    bytes.reserve(static_cast<qsizetype>(st.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            failWithErrno(errno);
        }
        if (n == 0)
            break;
        if (bytes.size() + n > maxBytes) // the file grew while it was read
            failTooLarge(maxBytes);
        bytes.append(buffer, n);
    }
    return bytes;
}

} // namespace

std::optional<QByteArray> read(const QString &path, FinalLink finalLink, qint64 maxBytes)
{
    Descriptor fd(open(path, finalLink, maxBytes));
    if (fd.get() < 0)
        return std::nullopt;
    return readOpen(fd, maxBytes);
}

std::optional<QByteArray> readAt(int dirFd, const QString &name, qint64 maxBytes)
{
    Descriptor fd(openAt(dirFd, name, maxBytes));
    if (fd.get() < 0)
        return std::nullopt;
    return readOpen(fd, maxBytes);
}

int openBeneath(const QString &rootPath, const QString &path, qint64 maxBytes)
{
    QString name;
    std::optional<BeneathFolder> folder;
    try {
        folder.emplace(BeneathFolder::holding(rootPath, path, BeneathFolder::Create::nothing, &name));
    } catch (const BeneathFolder::Refused &refused) {
        fail(QString::fromUtf8(refused.what()));
    } catch (const BeneathFolder::Missing &) {
        return -1; // a folder on the way is missing: no file there
    } catch (const std::runtime_error &error) {
        fail(QString::fromUtf8(error.what()));
    }
    return openAt(folder->fd(), name, maxBytes);
}

std::optional<QByteArray> readBeneath(const QString &rootPath, const QString &path, qint64 maxBytes)
{
    Descriptor fd(openBeneath(rootPath, path, maxBytes));
    if (fd.get() < 0)
        return std::nullopt;
    return readOpen(fd, maxBytes);
}

std::optional<QByteArray> readLinkedBeneath(const QString &rootPath, const QString &name, qint64 maxBytes)
{
    std::optional<BeneathFolder> root;
    try {
        root.emplace(BeneathFolder::root(rootPath));
    } catch (const std::exception &error) {
        fail(QString::fromUtf8(error.what()));
    }
    struct stat st {};
    if (::fstatat(root->fd(), QFile::encodeName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return std::nullopt;
        failWithErrno(errno);
    }
    if (!S_ISLNK(st.st_mode))
        return readAt(root->fd(), name, maxBytes);
    const BeneathFolder::LinkTarget target = root->linkTarget(rootPath, name);
    using Failure = BeneathFolder::LinkTarget::Failure;
    switch (target.failure) {
    case Failure::none:
        break;
    case Failure::unreadable:
        failWithErrno(target.error);
    case Failure::outside:
        fail(QStringLiteral("it is a link to a file outside the project folder"));
    case Failure::missing:
        return std::nullopt;
    case Failure::refused:
    case Failure::failed:
        fail(target.reason);
    }
    return readAt(target.folder->fd(), target.name, maxBytes);
}

} // namespace nerim::RegularFile
