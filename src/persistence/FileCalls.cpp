#include "persistence/FileCalls.h"

#include <cstring>

#include "foundation/FileIo.h"

#include <QFile>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace nerim::fileCalls {

namespace {

std::atomic<bool> hooked{false};
std::mutex hookMutex;
Hook &theHook()
{
    static Hook hook;
    return hook;
}

// Whether the call may be made; sets errno to EIO when not.
bool allowed(Call call, int fd = -1, const char *data = nullptr, qint64 size = 0)
{
    if (!hooked.load(std::memory_order_acquire))
        return true;
    std::lock_guard lock(hookMutex);
    if (theHook() && !theHook()(call, fd, data, size)) {
        errno = EIO;
        return false;
    }
    return true;
}

} // namespace

namespace detail {
void setHook(Hook hook)
{
    std::lock_guard lock(hookMutex);
    theHook() = std::move(hook);
    hooked.store(bool(theHook()), std::memory_order_release);
}
} // namespace detail

int create(const char *path, int flags, mode_t mode)
{
    if (!allowed(Call::create, -1, path, qint64(std::strlen(path))))
        return -1;
    return ::open(path, flags | O_CREAT, mode);
}

bool writeAll(int fd, const char *data, qsizetype size)
{
    if (!allowed(Call::write, fd, data, size))
        return false;
    return fileio::writeAll(fd, data, size);
}

ssize_t copyFileRange(int from, off64_t *fromOffset, int to, size_t length)
{
    if (!allowed(Call::copy, to))
        return -1;
    return ::copy_file_range(from, fromOffset, to, nullptr, length, 0);
}

int fsync(int fd) { return allowed(Call::sync, fd) ? ::fsync(fd) : -1; }
int fdatasync(int fd) { return allowed(Call::sync, fd) ? ::fdatasync(fd) : -1; }
int link(const char *from, const char *to) { return allowed(Call::link) ? ::link(from, to) : -1; }
int rename(const char *from, const char *to) { return allowed(Call::rename) ? ::rename(from, to) : -1; }
int unlink(const char *path) { return allowed(Call::unlink) ? ::unlink(path) : -1; }

int renameWithoutReplacing(const char *from, const char *to)
{
    if (!allowed(Call::rename))
        return -1;
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
    if (::link(from, to) != 0)
        return -1;
    ::unlink(from);
    return 0;
}
int ftruncate(int fd, off_t length) { return allowed(Call::truncate, fd) ? ::ftruncate(fd, length) : -1; }

void syncFolderOf(const QString &path)
{
    if (allowed(Call::syncFolder))
        fileio::syncFolderOf(path);
}

int createAt(int dirFd, const char *name, int flags, mode_t mode)
{
    if (!allowed(Call::create, dirFd, name, qint64(std::strlen(name))))
        return -1;
    return ::openat(dirFd, name, flags | O_CREAT | O_NOFOLLOW | O_CLOEXEC, mode);
}

int linkAt(int fromDir, const char *from, int toDir, const char *to)
{
    // Without AT_SYMLINK_FOLLOW: a link at `from` is linked as the link itself.
    return allowed(Call::link) ? ::linkat(fromDir, from, toDir, to, 0) : -1;
}

int renameAt(int fromDir, const char *from, int toDir, const char *to)
{
    return allowed(Call::rename) ? ::renameat(fromDir, from, toDir, to) : -1;
}

int renameAtWithoutReplacing(int fromDir, const char *from, int toDir, const char *to)
{
    if (!allowed(Call::rename))
        return -1;
    if (::renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
    if (::linkat(fromDir, from, toDir, to, 0) != 0)
        return -1;
    ::unlinkat(fromDir, from, 0);
    return 0;
}

int unlinkAt(int dirFd, const char *name) { return allowed(Call::unlink) ? ::unlinkat(dirFd, name, 0) : -1; }

void syncFolder(int dirFd)
{
    if (allowed(Call::syncFolder))
        ::fsync(dirFd);
}

} // namespace nerim::fileCalls
