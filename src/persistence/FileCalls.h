#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <sys/types.h>

namespace nerim {

// The calls that change what is on disk, as the crash-safe writer and the
// panes change log make them. Each goes through here so that a test can see
// it coming and play a kill at that point: once the test's hook says no, the
// call fails with EIO without being made, as does every later one (a killed
// process makes no more calls), so what is on disk is exactly what a kill
// just before that call leaves.
namespace fileCalls {

enum class Call { create, write, copy, sync, link, rename, unlink, truncate, syncFolder };

// Told of each call before it is made: for `write`, the bytes about to be
// written to `fd` (a hook may put part of them itself, for a torn write); for
// `create`, the path or name of the file about to be made (and, within an
// open folder, that folder's descriptor).
// Returns whether the call is made.
using Hook = std::function<bool(Call call, int fd, const char *data, qint64 size)>;

namespace detail {
// Installs (or, given nothing, removes) the hook. Set it while no write runs.
void setHook(Hook hook);
} // namespace detail

// open(2) with O_CREAT.
int create(const char *path, int flags, mode_t mode);
// Writes all of `data`, going on after short writes; false with errno set.
bool writeAll(int fd, const char *data, qsizetype size);
ssize_t copyFileRange(int from, off64_t *fromOffset, int to, size_t length);
int fsync(int fd);
int fdatasync(int fd);
int link(const char *from, const char *to);
int rename(const char *from, const char *to);
// Renames without ever replacing a file at `to` (-1 with EEXIST when the name
// is taken); where the file system lacks the flag for that, links the new
// name (which fails when taken) and unlinks the old one.
int renameWithoutReplacing(const char *from, const char *to);
int unlink(const char *path);
int ftruncate(int fd, off_t length);
// Makes the names in the folder holding `path` durable; best effort.
void syncFolderOf(const QString &path);

// The same calls within open folders, by a file's own name in its folder
// (never a path that is resolved again): the way files inside a project are
// written.
int createAt(int dirFd, const char *name, int flags, mode_t mode);
int linkAt(int fromDir, const char *from, int toDir, const char *to);
int renameAt(int fromDir, const char *from, int toDir, const char *to);
int renameAtWithoutReplacing(int fromDir, const char *from, int toDir, const char *to);
int unlinkAt(int dirFd, const char *name);
// Makes the names in the open folder durable; best effort.
void syncFolder(int dirFd);

} // namespace fileCalls
} // namespace nerim
