#include "foundation/BeneathFolder.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <atomic>
#include <optional>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

namespace nerim {

namespace {

std::atomic<bool> kernelResolutionWanted{true};
// Cleared once the kernel says it has no openat2 (older than 5.6, or a
// sandbox that refuses the call).
std::atomic<bool> kernelHasOpenat2{true};

QString systemReason(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

QStringList componentsOf(const QString &relative) { return relative.split(QLatin1Char('/'), Qt::SkipEmptyParts); }

constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// One component opened from `dirFd`, not following a link at it.
int openComponent(int dirFd, const QByteArray &name, int flags, mode_t mode)
{
    if (name == "..") {
        errno = EXDEV;
        return -1;
    }
    const int fd = ::openat(dirFd, name.constData(), flags | O_NOFOLLOW, mode);
    if (fd < 0 && errno == ENOTDIR && (flags & O_DIRECTORY)) {
        // O_NOFOLLOW with O_DIRECTORY reports a link as "not a folder".
        struct stat st {};
        if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
            errno = ELOOP;
        else
            errno = ENOTDIR;
    }
    return fd;
}

int openStepByStep(int dirFd, const QByteArray &relative, int flags, mode_t mode)
{
    const QList<QByteArray> parts = relative.split('/');
    QList<QByteArray> names;
    for (const QByteArray &part : parts)
        if (!part.isEmpty() && part != ".")
            names.append(part);
    if (names.isEmpty())
        return ::openat(dirFd, ".", flags & ~(O_CREAT | O_EXCL), 0);
    int current = dirFd;
    for (qsizetype i = 0; i + 1 < names.size(); ++i) {
        const int next = openComponent(current, names.at(i), folderFlags, 0);
        const int error = errno;
        if (current != dirFd)
            ::close(current);
        if (next < 0) {
            errno = error;
            return -1;
        }
        current = next;
    }
    const int fd = openComponent(current, names.last(), flags, mode);
    const int error = errno;
    if (current != dirFd)
        ::close(current);
    errno = error;
    return fd;
}

std::optional<QString> linkOnTheWay(int dirFd, const QString &relative);

[[noreturn]] void failToOpen(const QString &path, int error)
{
    const std::string line =
        QStringLiteral("the folder %1 can't be opened (%2)").arg(path, systemReason(error)).toStdString();
    if (error == ENOENT || error == ENOTDIR)
        throw BeneathFolder::Missing(line);
    throw std::runtime_error(line);
}

[[noreturn]] void refuse(const QString &line) { throw BeneathFolder::Refused(line.toStdString()); }

} // namespace

namespace detail {
void useKernelResolution(bool use) { kernelResolutionWanted.store(use); }
} // namespace detail

int BeneathFolder::openAt(int dirFd, const QByteArray &relative, int flags, mode_t mode)
{
    flags |= O_NOFOLLOW | O_CLOEXEC;
    if (relative.startsWith('/')) {
        errno = EXDEV;
        return -1;
    }
#ifdef SYS_openat2
    if (kernelResolutionWanted.load() && kernelHasOpenat2.load()) {
        open_how how{};
        how.flags = quint64(unsigned(flags));
        how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        const QByteArray path = relative.isEmpty() ? QByteArray(".") : relative;
        for (int attempt = 0;; ++attempt) {
            const long fd = ::syscall(SYS_openat2, dirFd, path.constData(), &how, sizeof how);
            if (fd >= 0)
                return int(fd);
            // A rename elsewhere during the lookup: the kernel asks for another try.
            if (errno == EAGAIN && attempt < 8)
                continue;
            if (errno != ENOSYS && errno != EPERM)
                return -1;
            break;
        }
        // No openat2 here (a kernel before 5.6; a sandbox may refuse it with
        // EPERM, as it may refuse this one open): the same rule, step by step.
        if (errno == ENOSYS)
            kernelHasOpenat2.store(false);
    }
#endif
    return openStepByStep(dirFd, relative, flags, mode);
}

QString BeneathFolder::refusalFor(int dirFd, const QString &relative)
{
    return linkOnTheWay(dirFd, relative)
        .value_or(QStringLiteral("%1 needs a symbolic link or leaves the project folder, which Nerim does not allow")
                      .arg(relative));
}

namespace {

// The line naming the first link on the way to `relative`, when there is one.
std::optional<QString> linkOnTheWay(int dirFd, const QString &relative)
{
    const QStringList names = componentsOf(relative);
    QString walked;
    int current = ::dup(dirFd);
    for (qsizetype i = 0; i < names.size() && current >= 0; ++i) {
        walked = walked.isEmpty() ? names.at(i) : walked + QLatin1Char('/') + names.at(i);
        const QByteArray name = QFile::encodeName(names.at(i));
        struct stat st {};
        if (names.at(i) == QLatin1String(".."))
            break;
        if (::fstatat(current, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            break;
        if (S_ISLNK(st.st_mode)) {
            ::close(current);
            if (walked == relative)
                return QStringLiteral("%1 is a symbolic link, which Nerim does not follow inside a project")
                    .arg(relative);
            return QStringLiteral("%1 goes through %2, which is a symbolic link Nerim does not follow inside a project")
                .arg(relative, walked);
        }
        const int next = ::openat(current, name.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        ::close(current);
        current = next;
    }
    if (current >= 0)
        ::close(current);
    return std::nullopt;
}

} // namespace

QString BeneathFolder::relativeWithin(const QString &rootPath, const QString &path)
{
    const QString root = QDir::cleanPath(rootPath);
    QString relative;
    if (QDir::isAbsolutePath(path)) {
        const QString cleaned = QDir::cleanPath(path);
        if (cleaned == root)
            return QString();
        const QString prefix = root == QLatin1String("/") ? root : root + QLatin1Char('/');
        if (!cleaned.startsWith(prefix))
            refuse(QStringLiteral("%1 is outside the project folder %2").arg(cleaned, root));
        relative = cleaned.mid(prefix.size());
    } else {
        relative = QDir::cleanPath(path);
        if (relative == QLatin1String("."))
            return QString();
    }
    if (relative == QLatin1String("..") || relative.startsWith(QLatin1String("../")))
        refuse(QStringLiteral("%1 is outside the project folder %2").arg(path, root));
    return relative;
}

BeneathFolder BeneathFolder::root(const QString &rootPath)
{
    const int fd = ::open(QFile::encodeName(rootPath).constData(), folderFlags);
    if (fd < 0)
        throw std::runtime_error(QStringLiteral("the folder %1 can't be opened (%2)")
                                     .arg(rootPath, systemReason(errno))
                                     .toStdString());
    return BeneathFolder(fd, QDir::cleanPath(rootPath));
}

BeneathFolder BeneathFolder::atPath(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), folderFlags);
    if (fd < 0)
        throw std::runtime_error(
            QStringLiteral("the folder %1 can't be opened (%2)").arg(path, systemReason(errno)).toStdString());
    return BeneathFolder(fd, QDir::cleanPath(path));
}

BeneathFolder BeneathFolder::open(const QString &rootPath, const QString &relative, Create create)
{
    const QString within = relativeWithin(rootPath, relative);
    return root(rootPath).folder(within, create);
}

BeneathFolder BeneathFolder::holding(const QString &rootPath, const QString &path, Create create, QString *name)
{
    const QString within = relativeWithin(rootPath, path);
    if (within.isEmpty())
        refuse(QStringLiteral("%1 is the project folder itself, not a file in it").arg(path));
    const qsizetype slash = within.lastIndexOf(QLatin1Char('/'));
    if (name)
        *name = slash < 0 ? within : within.mid(slash + 1);
    return open(rootPath, slash < 0 ? QString() : within.left(slash), create);
}

BeneathFolder::LinkTarget BeneathFolder::linkTarget(const QString &rootPath, const QString &name) const
{
    LinkTarget target;
    QByteArray text(4096, Qt::Uninitialized);
    const ssize_t n = ::readlinkat(m_fd, QFile::encodeName(name).constData(), text.data(), size_t(text.size()));
    if (n < 0) {
        target.failure = LinkTarget::Failure::unreadable;
        target.error = errno;
        return target;
    }
    QString root = rootPath;
    while (root.size() > 1 && root.endsWith(QLatin1Char('/')))
        root.chop(1);
    try {
        // Relative to the root (where the link is); an absolute one must
        // name a place inside the root by its path.
        target.within = relativeWithin(root, QFile::decodeName(text.left(n)));
    } catch (const Refused &) {
    }
    if (target.within.isEmpty()) {
        target.failure = LinkTarget::Failure::outside;
        return target;
    }
    const qsizetype slash = target.within.lastIndexOf(QLatin1Char('/'));
    target.name = slash < 0 ? target.within : target.within.mid(slash + 1);
    try {
        target.folder.emplace(folder(slash < 0 ? QString() : target.within.left(slash)));
    } catch (const Refused &refused) {
        target.failure = LinkTarget::Failure::refused;
        target.reason = QString::fromUtf8(refused.what());
    } catch (const Missing &) {
        target.failure = LinkTarget::Failure::missing;
    } catch (const std::exception &e) {
        target.failure = LinkTarget::Failure::failed;
        target.reason = QString::fromUtf8(e.what());
    }
    return target;
}

BeneathFolder BeneathFolder::folder(const QString &relative, Create create) const
{
    const QString within = relativeWithin(m_path, relative);
    const QString reached = within.isEmpty() ? m_path : m_path + QLatin1Char('/') + within;
    int fd = openAt(m_fd, QFile::encodeName(within), folderFlags);
    if (fd >= 0)
        return BeneathFolder(fd, reached);
    if (errno == ELOOP || errno == EXDEV)
        refuse(refusalFor(m_fd, within));
    if (errno == ENOTDIR) {
        // A link as the last component, with O_DIRECTORY, is reported as "not a folder".
        if (const std::optional<QString> line = linkOnTheWay(m_fd, within))
            refuse(*line);
        errno = ENOTDIR;
    }
    if (errno != ENOENT || create == Create::nothing)
        failToOpen(reached, errno);

    // Made one component at a time, each opened without following a link
    // before the next is made in it.
    const QStringList names = componentsOf(within);
    int current = ::dup(m_fd);
    for (qsizetype i = 0; i < names.size(); ++i) {
        const QByteArray name = QFile::encodeName(names.at(i));
        int next = openComponent(current, name, folderFlags, 0);
        if (next < 0 && errno == ENOENT && (create == Create::all || i + 1 == names.size())) {
            if (::mkdirat(current, name.constData(), 0777) != 0 && errno != EEXIST) {
                const int error = errno;
                ::close(current);
                throw std::runtime_error(QStringLiteral("the folder %1 can't be made (%2)")
                                             .arg(reached, systemReason(error))
                                             .toStdString());
            }
            next = openComponent(current, name, folderFlags, 0);
        }
        const int error = errno;
        if (next < 0) {
            if (error == ELOOP || error == EXDEV) {
                const QString line = refusalFor(m_fd, within);
                ::close(current);
                refuse(line);
            }
            ::close(current);
            failToOpen(reached, error);
        }
        ::close(current);
        current = next;
    }
    fd = current;
    return BeneathFolder(fd, reached);
}

BeneathFolder::BeneathFolder(BeneathFolder &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_path(std::move(other.m_path))
{
}

BeneathFolder &BeneathFolder::operator=(BeneathFolder &&other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
        m_path = std::move(other.m_path);
    }
    return *this;
}

BeneathFolder::~BeneathFolder()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

QString BeneathFolder::filePath(const QString &name) const
{
    return m_path == QLatin1String("/") ? m_path + name : m_path + QLatin1Char('/') + name;
}

} // namespace nerim
