#pragma once

#include "panes-store/AgentRole.h"
#include "panes-store/ConversationTurn.h"
#include "panes-store/OutputLine.h"
#include "panes-store/OutputLines.h"
#include "panes-store/PanesChangeLog.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QUuid>
#include <functional>
#include <memory>
#include <optional>

namespace nerim {

struct PanesFileLayout;
struct PanesSaveEvent;

// One saved pane in panes.json.
struct PaneDiskSnapshot {
    QUuid id;
    QString agentId;
    QString agentName;
    int paneNumber = 0;
    QString responsibility;
    OutputLines outputLines;              // the whole transcript
    QList<ConversationTurn> conversation; // closed turns only
    bool isSystemPane = false;
    AgentRole role = AgentRole::unspecified;
    // Not saved: the pane's `generation()` when the snapshot was taken; 0 for
    // a snapshot made otherwise (read from a file, built by hand).
    quint64 generation = 0;

    // A missing or unknown "role" reads as `unspecified`, a missing or
    // non-Boolean "isSystemPane" as false; every other key is required.
    QJsonObject toJson() const;
    static PaneDiskSnapshot fromJson(const JsonObjectReader &reader);

    // Equal saved content (the generation is not compared).
    friend bool operator==(const PaneDiskSnapshot &a, const PaneDiskSnapshot &b);
};

// The root of panes.json: a project's panes between runs.
struct PanesSnapshot {
    static constexpr int currentVersion = 1;

    int version = currentVersion;
    // Names the file written whole, not its content: every whole write of
    // panes.json gives it a new one, and a change log names the file it
    // amends by it (so a copy, a move or a restored backup of the file keeps
    // its log, and a log never applies to another file). Written first, as
    // "documentId" (the keys are in sorted order); absent in files written
    // before there were such ids, and read as absent when it is not a UUID.
    // Not compared: it is no part of the panes.
    std::optional<QUuid> documentId;
    qint64 nextAgentNumber = 1;
    std::optional<QUuid> focusedPaneId;
    std::optional<QUuid> expandedPaneId;
    QList<PaneDiskSnapshot> panes;

    // Compact JSON; turn dates as numbers of seconds since 2001-01-01. The
    // bytes are those of `toJson()` written by the platform's JSON document
    // in its compact form (keys sorted), produced without building it.
    QByteArray encode() const;
    QJsonObject toJson() const;
    // Strict decoding; throws JsonDecodingError (naming the key path of the
    // first fault). Unknown keys are ignored.
    static PanesSnapshot decode(const QByteArray &bytes);
    // The same on an already parsed document.
    static PanesSnapshot fromJson(const QJsonObject &root);

    friend bool operator==(const PanesSnapshot &a, const PanesSnapshot &b)
    {
        return a.version == b.version && a.nextAgentNumber == b.nextAgentNumber &&
               a.focusedPaneId == b.focusedPaneId && a.expandedPaneId == b.expandedPaneId && a.panes == b.panes;
    }
};

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

// Saves panes.json in the background through the per-path serial writer: the
// snapshot is encoded and written off the GUI thread, the previous file becomes
// panes.json.backup, and the newest snapshot is the last one written. A
// failure is logged as "[Nerim panes] save failed: …". Encodes everything
// afresh; `PanesSaver` copies what the file already holds.
void savePanesSnapshot(const QString &path, PanesSnapshot snapshot);

// Whether a save writes panes.json whole when its change log has grown
// enough to be folded back into it. `later` is for the saves made while
// agents print and at quit: a whole write costs what the panes hold, and one
// under way holds up every later save (and the quit's wait), so such a save
// appends what changed while one record holds it, and the fold waits for the
// next save that may fold, or the next open (the log stays valid however long
// it grows).
enum class PanesFoldBack { whenDue, later };

// A project's panes.json, remembering whether the file on disk is of an unknown
// version: such a file is not overwritten by a snapshot without any pane (the
// state of a canvas that restored nothing and that nobody has touched). A file
// that exists but cannot be read is moved aside when it is loaded
// (panes.json.unreadable-<time>), so no save replaces it; when it cannot be
// moved, nothing is saved over it. The load also settles the change log: one
// written for another file is moved aside (panes-changes.log.other-<time>),
// never applied nor removed; one that cannot be read at all is moved aside
// (…unreadable-<time>); one that a fault ended early keeps what it could not
// read in a file of its own (…unreadable-<time>) and is cut back to its last
// good record, so what was applied stays readable from it; one already folded
// into the file is removed. Each but the last is told in `loadNotice`.
// Saves go through a `PanesSaver`, so a snapshot equal to the last one saved
// is not written again.
class PanesSnapshotStore {
public:
    explicit PanesSnapshotStore(QString path);
    ~PanesSnapshotStore();

    const QString &path() const { return m_path; }
    std::optional<PanesSnapshot> load();
    // From now on the store only reads: a load changes nothing on disk (it
    // sets nothing aside, cuts no log) and no save is made. For a project
    // that another Nerim holds.
    void setReadOnly() { m_readOnly = true; }
    bool isReadOnly() const { return m_readOnly; }
    // See PanesSaver::setListener.
    void setListener(std::function<void(const PanesSaveEvent &)> listener);
    // Returns whether a write was queued. `foldBack`: see PanesSaver::FoldBack.
    bool save(PanesSnapshot snapshot, PanesFoldBack foldBack = PanesFoldBack::whenDue);
    // See PanesSaver::encodeAhead.
    void encodeAhead(const QUuid &paneId, const OutputLines &lines);
    bool isKeepingUnknownVersion() const { return m_keepUnknownVersion; }
    // A line for the user when the last load found the file unreadable: what
    // happened and where the file went.
    const std::optional<QString> &loadNotice() const { return m_loadNotice; }

private:
    QString m_path;
    bool m_keepUnknownVersion = false;
    bool m_keepUnreadable = false;
    bool m_readOnly = false;
    std::optional<QString> m_loadNotice;
    std::unique_ptr<class PanesSaver> m_saver;
};

} // namespace nerim
