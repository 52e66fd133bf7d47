#pragma once

// Reaching a panes file or one of the files beside it without following a
// link: the folder it lies in, opened beneath the project, and the file's
// name there; and moving a file out of the way under a name of its own.
//
// A file in the `.nerim` of a project whose door (ProjectDataFolder) is open
// in this process is reached through that door: its folder is the `.nerim`
// the door opened and locked, never one opened again by path, so a `.nerim`
// swapped for another folder while the project is open receives nothing.
// Before anything there is written, removed or set aside the door is asked
// whether this Nerim may write now (it holds the lock, and the folder is
// still the project's `.nerim`); when it may not, the change is refused and
// a save fails as any other does, to be tried again.

#include "foundation/BeneathFolder.h"
#include "persistence/AtomicFileWriter.h"
#include "persistence/ProjectDataFolder.h"

#include <QByteArray>
#include <QString>
#include <QStringView>
#include <memory>
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
    // The door the folder was reached through, when the file lies in the
    // `.nerim` of a project open in this process.
    std::shared_ptr<const ProjectDataFolder> door = {};

    QByteArray native() const;
    QString path() const { return folder.filePath(name); }
    // Why the file may not be changed now (its door refuses), or nothing
    // when it may. Asks the door each time.
    std::optional<QString> refusal() const;
    // Throws MemoryError (writeFailed, with `refusal()` as its reason) when
    // the file may not be changed now.
    void checkWritable() const;
};

// Throws as Place::checkWritable does for the file at `path`, without
// opening anything: for a caller about to write there.
void checkWritable(const QString &path);

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
