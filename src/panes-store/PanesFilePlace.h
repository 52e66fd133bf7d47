#pragma once

// Reaching a panes file or one of the files beside it without following a
// link: the folder it lies in, opened beneath the project, and the file's
// name there; and moving a file out of the way under a name of its own.

#include "foundation/BeneathFolder.h"
#include "persistence/AtomicFileWriter.h"

#include <QByteArray>
#include <QString>
#include <QStringView>
#include <optional>

namespace nerim::panesChangeLog {

// Where a panes file or one of its companions lies: its folder, opened beneath
// the project when the file is in a project's data folder (a project may be
// shaped by anyone, and a folder on the way swapped for a link at any moment),
// and the file's own name there. Everything done to the file goes through the
// open folder by that name, never by a path resolved again.
struct Place {
    BeneathFolder folder;
    QString name;

    QByteArray native() const;
    QString path() const { return folder.filePath(name); }
};

// Nothing when a folder on the way is missing. Throws MemoryError
// (writeFailed, with the line saying which link) when the way needs a link,
// or when the folder cannot be opened.
std::optional<Place> placeOf(const QString &path);
// The same for a caller that only looks: a refused way is logged and gives
// nothing too.
std::optional<Place> lookAt(const QString &path);
// Removes the file at `path` (never what a link there leads to), reached as
// lookAt does; best effort.
void removeFile(const QString &path);
// The regular file at `path`, reached as lookAt does (not through a link).
std::optional<AtomicFileWriter::FileIdentity> identityAt(const QString &path);
// The regular file at `path` opened for reading, reached as lookAt does; -1
// when there is none (or not one to read: a link, a refused way).
int openForReading(const QString &path);

// Moves the file at `path` out of the way, as "<path>.<tag>-<time>" (with a
// number when that is taken), so that nothing replaces it: the new path, or
// nothing (with a log line, and errno saying why) when it could not be moved.
std::optional<QString> setAside(const QString &path, QStringView tag);
// The same for the file at `place`.
std::optional<QString> setAside(const Place &place, QStringView tag);

// The file `place` opened with `flags` (never through a link, never blocking
// on a special file, closed on exec); -1 with errno set when it cannot be.
int openIn(const Place &place, int flags);

} // namespace nerim::panesChangeLog
