#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <limits>
#include <optional>
#include <stdexcept>

namespace nerim {

// Reading a file that may have been planted by someone else (anything in a
// project folder: it may come from a download or a cloned repository). Only a
// regular file is read: a named pipe would block the reader forever and a
// device such as /dev/zero would never end, so neither is even opened. The read
// is capped so that no file can exhaust memory. Every reader of Nerim's own
// files (AtomicFileWriter::readBytes, the snapshot readers, readJSONLLines)
// comes through here without following a final link, so a link, pipe, device
// or oversized file in a project's `.nerim` is refused with a clear reason and
// never hangs or floods the reader. Top-level project files that may be links
// (`.env`, `package.json`, the detector's files) use `readLinkedBeneath`.
namespace RegularFile {

// The most of one file that is read into memory (64 MiB). Far above anything
// Nerim writes itself.
inline constexpr qint64 maxReadBytes = qint64(64) * 1024 * 1024;

enum class FinalLink {
    // A symbolic link in the file's own place is refused. For files Nerim
    // writes itself: its writer replaces such a link rather than writing
    // through it, so the reader must not follow it either.
    refuse,
    // The link is followed; the file it leads to must still be a regular file.
    follow,
};

// Why an existing file was not read; what() is a short English reason without
// the path ("it is a named pipe, not a regular file").
class ReadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The whole content of the regular file at `path`; nothing when no file exists
// there (nor any folder leading to it). Throws ReadError when something exists
// but is not read: a refused link, anything but a regular file, a file larger
// than `maxBytes`, or a failing open or read.
std::optional<QByteArray> read(const QString &path, FinalLink finalLink = FinalLink::refuse,
                               qint64 maxBytes = maxReadBytes);

// The same checks, leaving the file open for the caller to read in pieces (and
// close): the descriptor, or -1 when no file exists there. A file that is read
// in pieces need not fit in memory, so the size limit is the caller's.
int open(const QString &path, FinalLink finalLink = FinalLink::refuse,
         qint64 maxBytes = std::numeric_limits<qint64>::max());

// The same checks for the file `name` (one name, no "/") in the folder open
// at `dirFd`, never through a link: the way every file inside a project is
// read (see BeneathFolder).
int openAt(int dirFd, const QString &name, qint64 maxBytes = std::numeric_limits<qint64>::max());
std::optional<QByteArray> readAt(int dirFd, const QString &name, qint64 maxBytes = maxReadBytes);

// The file at `path` (inside the project folder `rootPath`, absolute or
// relative to it), reached beneath it without following any link. Nothing
// when it, or a folder on the way, does not exist; ReadError (saying which
// link) when the way needs a link.
std::optional<QByteArray> readBeneath(const QString &rootPath, const QString &path, qint64 maxBytes = maxReadBytes);
// The same, leaving the file open for a reader that takes it in pieces: the
// descriptor, or -1 when nothing is there.
int openBeneath(const QString &rootPath, const QString &path,
                qint64 maxBytes = std::numeric_limits<qint64>::max());

// The file `name` at the top of the project folder `rootPath` (a `.env`,
// `package.json`), where a file kept elsewhere in the project and linked in
// is common: a link there is followed only when its own text names a file
// inside the project reached without any further link (see
// BeneathFolder::linkTarget); everything else is as readBeneath. ReadError
// says why a link was not followed.
std::optional<QByteArray> readLinkedBeneath(const QString &rootPath, const QString &name,
                                            qint64 maxBytes = maxReadBytes);

} // namespace RegularFile
} // namespace nerim
