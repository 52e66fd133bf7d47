#pragma once

#include "persistence/AtomicFileWriter.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QUuid>
#include <optional>

namespace nerim {

struct PanesSnapshot;
class JsonObjectReader;

// Which pane is focused and which expanded, saved beside panes.json (as
// panes-view.json) by the previous version when nothing else changed since
// that file was written; this version keeps such changes in the change log
// (panesChangeLog) and only reads a view file it finds. It names the
// panes.json it amends by the file's identity (device, inode, size,
// modification and change time): any other write of panes.json makes it
// stale, and a stale one says nothing. (`encode` makes such files for tests.)
//
// Format (compact JSON): {"version":1,"panesFile":{"device","inode","size",
// "modifiedNs","changedNs"} (decimal strings: 64-bit values a JSON number
// cannot hold exactly),"focusedPaneId","expandedPaneId"} (upper-case UUIDs,
// each omitted when there is none).
struct PanesViewFile {
    static constexpr int currentVersion = 1;

    AtomicFileWriter::FileIdentity panesFile;
    std::optional<QUuid> focusedPaneId;
    std::optional<QUuid> expandedPaneId;

    // The view file of the panes file at `panesPath`: "panes.json" gives
    // "panes-view.json" in the same folder.
    static QString pathFor(const QString &panesPath);

    QByteArray encode() const;
    // Strict: throws JsonDecodingError for anything but the form above.
    static PanesViewFile decode(const QByteArray &bytes);

    // The view file at `path`, or nothing when there is none or it cannot be
    // used (not a regular file, a link, unreadable, not in the form above):
    // it holds only a layout, so no fault of it is ever an error.
    static std::optional<PanesViewFile> read(const QString &path);

    // Puts the ids into `snapshot` when this file was written for the panes
    // file whose identity (as it was read) is `readFile` and every id it
    // holds names a pane of the snapshot. Returns whether it did.
    bool applyTo(PanesSnapshot &snapshot, const AtomicFileWriter::FileIdentity &readFile) const;

    friend bool operator==(const PanesViewFile &, const PanesViewFile &) = default;
};

} // namespace nerim
