#pragma once

#include "panes-store/PanesChangeLog.h"
#include "panes-store/PanesFileLayout.h"
#include "panes-store/PanesSnapshot.h"
#include "persistence/AtomicFileWriter.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <functional>
#include <memory>
#include <optional>

namespace nerim {

// Whether a save writes panes.json whole when its change log has grown
// enough to be folded back into it. `later` is for the saves made while
// agents print and at quit: a whole write costs what the panes hold, and one
// under way holds up every later save (and the quit's wait), so such a save
// appends what changed while one record holds it, and the fold waits for the
// next save that may fold, or the next open (the log stays valid however long
// it grows).
enum class PanesFoldBack { whenDue, later };

// What the saves of one panes.json tell whoever shows the panes, told on the
// writer's thread as they happen.
struct PanesSaveEvent {
    enum class Kind {
        // A save failed; `reason` says why in plain words (as the system
        // puts it: "No space left on device"). Nothing is saved again until
        // the next save is asked for: whoever is told asks again. A whole
        // write that fails leaves the saves going on from the file as it
        // was (a fold-back without room leaves the change to the log).
        failed,
        // A save worked after one or more failed.
        recovered,
        // The save found at the path files that this saver did not write (a
        // second Nerim, a restored backup) and kept them aside, under the
        // names in `kept`, before putting its own in place.
        keptAside,
    };
    Kind kind = Kind::failed;
    QString reason;
    QStringList kept;
};

// Saves one panes.json cheaply, in the background through the per-path serial
// writer (the newest queued snapshot wins):
// - a snapshot whose panes all carry the same generations as the last one
//   queued, with the same root values, is not written again while the file
//   and its change log on disk are still those the saver left (a failed
//   write is always retried by the next save; a file put back meanwhile, an
//   older copy say, is kept aside and the panes written whole);
// - while panes.json is the file written (or read) last (it carries the
//   document id it was written with: what a copy, a move, `touch` or `chmod`
//   keep), a save appends what changed since the save before to the change
//   log beside it (panesChangeLog): the root values, each pane's small values, and only
//   the lines and closed turns added since. A click on a pane, a run's new
//   lines, a rename cost about what changed;
// - once the log would grow beyond half of panes.json (and a few MiB) in a
//   save that may fold it back (FoldBack::whenDue), after
//   a load that found the log's header damaged or a log of the earlier form,
//   after a failed append, or when panes.json is not the file last written
//   (its document id says), the save writes panes.json whole under a new
//   document id, marks the log as folded into it just before it replaces
//   the old file, and then removes the log (a log left by a crash in between
//   is known to be in the new file). The whole file is written as it is
//   encoded, never held in memory; what it shares with the file written (or
//   read) last (the transcript lines that were saved then, the closed turns)
//   is copied from that file, while the file is unchanged, instead of being
//   encoded again. Nothing encoded is kept between saves, only where the parts
//   lie in the file.
// Whatever lies at the path that this saver neither wrote nor read (its
// document id and identity say) is not written over: it is moved aside
// (panes.json.other-<time>, with any change log of its own) and the listener
// is told, before the panes are written whole in its place.
// What is written is judged when the write's turn comes on the writer's
// thread, against the content as the last write (or the load) left it: every
// write goes through the same serial queue, so none overtakes another, and
// the newest snapshot queued, with all its content, is the one written.
// The bytes of a whole write are exactly those of `PanesSnapshot::encode()`.
// Used from one thread (the GUI thread); the writing runs on the writer's.
class PanesSaver {
public:
    explicit PanesSaver(QString path);
    ~PanesSaver();

    const QString &path() const { return m_path; }

    using FoldBack = PanesFoldBack;

    // Queues a write of the snapshot unless it equals the last one queued.
    // Returns whether a write was queued.
    bool save(PanesSnapshot snapshot, FoldBack foldBack = FoldBack::whenDue);

    // The file at `path` was just read and holds these parts (for the first
    // save after opening a project) and, when given, this content as the file
    // and its change log have it, so that the first save need only append
    // what changed. `log` is the change log read for that file (up to its last
    // good record), or the one read for what was read instead (a backup): a
    // whole write marks it as folded in and removes it. `fold` (or no
    // layout) has the next save write the file whole.
    // Without a layout, `nothingThere` says that the load left no file at the
    // path, so that any file found there later is someone else's.
    void adopt(std::shared_ptr<const PanesFileLayout> layout, std::optional<PanesSnapshot> content = std::nullopt,
               std::optional<panesChangeLog::LogFile> log = std::nullopt, bool fold = false,
               bool nothingThere = false);

    // Something the load found in the way of the saves (a file that cannot
    // be read, the unread part of a torn change log) that it could not keep
    // aside then: each save first tries again, in turn, on the writer's thread,
    // and while one still fails nothing is written and the save fails as any
    // other does (told, and tried again by whoever is told). Given the change
    // log and the whole-write flag the saves go on from, to update; throws
    // MemoryError with the reason when the file still cannot be kept.
    using KeepFirst = std::function<void(std::optional<panesChangeLog::LogFile> &log, bool &fold)>;
    void keepFirst(KeepFirst keep);

    // Why the last save failed, while no save has worked since; nothing when
    // the last save worked (or none failed). Read it once the writer is idle.
    std::optional<QString> failure() const;

    // Who is told of failed saves, saves that work again and files kept
    // aside: called on the writer's thread, so it should only pass the event
    // on (an empty one: nobody). Setting it waits for a listener being called.
    void setListener(std::function<void(const PanesSaveEvent &)> listener);

    // The pane of `paneId` now holds `lines`: the lines no save has taken yet
    // are encoded on a thread of their own, as they arrive, so that the save
    // that takes them (the last one, when the application quits, among them)
    // appends bytes ready to write instead of encoding them in its turn.
    // Cheap: it notes the transcript (shared, not copied) and returns.
    void encodeAhead(const QUuid &paneId, const OutputLines &lines);

    struct Ahead;

    struct State;

private:
    struct Fingerprint {
        int version = 0;
        qint64 nextAgentNumber = 0;
        std::optional<QUuid> focusedPaneId;
        std::optional<QUuid> expandedPaneId;
        QList<std::pair<QUuid, quint64>> panes; // id and generation
        friend bool operator==(const Fingerprint &, const Fingerprint &) = default;
    };
    static std::optional<Fingerprint> fingerprintOf(const PanesSnapshot &snapshot);

    QString m_path;
    std::shared_ptr<State> m_state;
    std::shared_ptr<Ahead> m_ahead;
    std::optional<Fingerprint> m_lastQueued;
};

namespace panesEncoding {
// Writes the snapshot whole to `path` (through AtomicFileWriter, with its
// backup), copying from the file there what `layout` says it holds, while
// that file is unchanged. Given `log`, the change log known to amend the file
// replaced (as read or written last), it marks that log as folded into the
// new file (by the snapshot's document id) just before the new file replaces
// the old one, and removes it after (`log` is then cleared); any other log
// found there is kept aside, never removed. Removes the view file made stale.
// Returns the new file's layout. Throws as AtomicFileWriter does.
PanesFileLayout writeReusing(const PanesSnapshot &snapshot, const QString &path, const PanesFileLayout *layout,
                             std::optional<panesChangeLog::LogFile> *log = nullptr, QStringList *keptAside = nullptr);
} // namespace panesEncoding

} // namespace nerim
