#pragma once

#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QtGlobal>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace nerim::fileio {

// Writes all of `data` to `fd`, going on after short writes and interruptions.
// False when the descriptor refuses more (errno says why).
inline bool writeAll(int fd, const char *data, qsizetype size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

// Reads exactly `size` bytes at `offset` of `fd`. False at a failed read or
// when the file ends first.
inline bool preadAll(int fd, char *data, qint64 size, qint64 offset)
{
    while (size > 0) {
        const ssize_t n = ::pread(fd, data, size_t(size), off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= n;
        offset += n;
    }
    return true;
}

// Makes the names in the folder holding `path` durable (a file created or
// renamed there survives a crash). Best effort: a folder that cannot be
// opened is left as it is.
inline void syncFolderOf(const QString &path)
{
    const int fd = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace nerim::fileio
