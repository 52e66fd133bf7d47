#pragma once

// A project's panes.json as the canvas holds it: loading it (setting aside
// what cannot be used) and saving it through the saver.

#include "panes-store/OutputLines.h"
#include "panes-store/PanesSaver.h"
#include "panes-store/PanesSnapshot.h"

#include <QString>
#include <QUuid>
#include <functional>
#include <memory>
#include <optional>

namespace nerim {

// Saves panes.json in the background through the per-path serial writer: the
// snapshot is encoded and written off the GUI thread, the previous file becomes
// panes.json.backup, and the newest snapshot is the last one written. A
// failure is logged as "[Nerim panes] save failed: …". Encodes everything
// afresh; `PanesSaver` copies what the file already holds.
void savePanesSnapshot(const QString &path, PanesSnapshot snapshot);

// A project's panes.json, remembering whether the file on disk is of an unknown
// version: such a file is not overwritten by a snapshot without any pane (the
// state of a canvas that restored nothing and that nobody has touched). A file
// that exists but cannot be read is moved aside when it is loaded
// (panes.json.unreadable-<time>), so no save replaces it; when it cannot be
// moved, nothing is saved over it: each save tries to move it first and,
// while that fails, fails as a save does (told and tried again). The load also settles the change log: one
// written for another file is moved aside (panes-changes.log.other-<time>),
// never applied nor removed; one that cannot be read at all is moved aside
// (…unreadable-<time>); one that a fault ended early keeps what it could not
// read in a file of its own (…unreadable-<time>) and is cut back to its last
// good record, so what was applied stays readable from it; one already folded
// into the file is removed. Each but the last is told in `loadNotice`. What
// cannot be kept aside at the load is kept by the first save that can,
// before it writes anything.
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
    // See PanesSaver::failure.
    std::optional<QString> saveFailure() const;
    bool isKeepingUnknownVersion() const { return m_keepUnknownVersion; }
    // A line for the user when the last load found the file unreadable: what
    // happened and where the file went.
    const std::optional<QString> &loadNotice() const { return m_loadNotice; }

private:
    QString m_path;
    bool m_keepUnknownVersion = false;
    bool m_readOnly = false;
    std::optional<QString> m_loadNotice;
    std::unique_ptr<class PanesSaver> m_saver;
};

} // namespace nerim
