#pragma once

// Reading a project's panes.json: the file, or its backup when it cannot be
// read, with the changes its change log saved since, and what the first save
// needs to know of what was read.

#include "panes-store/PanesChangeLog.h"
#include "panes-store/PanesSnapshot.h"

#include <QString>
#include <memory>
#include <optional>

namespace nerim {

struct PanesFileLayout;

// The outcome of reading panes.json.
struct PanesLoadResult {
    std::optional<PanesSnapshot> snapshot;
    // The file carries a version this build does not know.
    bool unknownVersion = false;
    // Where the parts of the file read lie in it, for the first save (see
    // PanesSaver::adopt); none when they could not be told.
    std::shared_ptr<const PanesFileLayout> layout;
    // With `layout`: the content as the file and its change log hold it
    // (before the next agent number is raised above the restored panes'), for
    // the saver to append only what the next save changes.
    std::optional<PanesSnapshot> fileContent;
    // How the change log beside the file read was read (see
    // panesChangeLog::applyLog): applied, folded in already, written for
    // another file, unreadable or none.
    panesChangeLog::ReadOutcome changeLogRead;
    // The change log read for the file, up to its last good record;
    // `changeLogFault` when a record ended it early.
    std::optional<panesChangeLog::LogFile> changeLog;
    bool changeLogFault = false;
    QString changeLogFaultReason;
    // Why the file could not be read, when it exists but could not be; the
    // snapshot is then its backup's, when that could be read.
    std::optional<QString> failure;
    bool restoredFromBackup = false;
};

// Reads panes.json: nothing (silently) when there is no file; the backup when
// the file cannot be read or decoded (one log line either way); nothing, with a
// log line, for an unknown version. The changes saved since the file was
// written whole are applied from its change log (panesChangeLog) when that
// was written for the file read (the primary or the backup, by the document
// id inside it), after the focused and expanded pane ids of a view file
// (PanesViewFile, written by earlier versions) made for the primary. Changes
// no file. A restored
// snapshot's `nextAgentNumber` is raised above every restored pane number. Touches no GUI state, so it may run
// on a worker thread.
PanesLoadResult readPanesFile(const QString &path);
std::optional<PanesSnapshot> loadPanesSnapshot(const QString &path);

} // namespace nerim
