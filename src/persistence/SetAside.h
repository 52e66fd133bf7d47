#pragma once

#include "persistence/AtomicFileWriter.h"

#include <QString>
#include <QStringView>
#include <functional>
#include <optional>

namespace nerim {
class BeneathFolder;
}

namespace nerim::setAside {

// "<path>.<tag>-<UTC time>" (e.g. "plan.json.unreadable-20261208T171500Z"),
// with "-2", "-3"… appended while that name is taken (also by a dangling
// link), so an earlier set-aside file is never reused. The panes file and its
// change log, plan.json and the deploy records all set files aside through it:
// a file that does not read, or a companion that does not apply.
// The name is only free when it is chosen: a file written there must not
// replace one made meanwhile (writeFreshWithin does not).
QString freshName(const QString &path, QStringView tag);

// Writes what `produce` gives, crash-safely, to a fresh name for `name` in
// the open folder ("<name>.<tag>-<UTC time>", numbered as above), never
// replacing a file: a name taken by the time the file is put in place (by
// another process too) moves the write on to the next number. Returns the
// name used; throws MemoryError as AtomicFileWriter::write does.
QString writeFreshWithin(const BeneathFolder &folder, const QString &name, QStringView tag,
                         const std::function<void(AtomicFileWriter::ContentSink &)> &produce);

// Moves whatever is at `path` (a link stays a link) to a fresh name, never
// replacing anything, and makes the new name durable. Returns that name, or
// nothing with errno set when the file could not be moved: it is then left
// where it is, and nothing may be written over it.
std::optional<QString> move(const QString &path, QStringView tag);

// The same for the file `name` in an open folder (a project's, reached
// beneath it): moved by name within that folder. Returns the new name (its
// last component), or nothing with errno set.
std::optional<QString> moveWithin(const BeneathFolder &folder, const QString &name, QStringView tag);

} // namespace nerim::setAside
