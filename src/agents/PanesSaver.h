#pragma once

#include "agents/PanesSnapshot.h"
#include "persistence/AtomicFileWriter.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QUuid>
#include <memory>
#include <optional>

namespace nerim {

// Where the parts of a panes.json that this program wrote (or read and found
// exactly as it would write them) lie in the file, so that the next save can
// copy them from it instead of encoding them again.
struct PanesFileLayout {
    struct Range {
        qint64 begin = 0;
        qint64 end = 0;
    };
    struct Turn {
        size_t key = 0; // of the turn's content (see PanesSaver)
        Range range;
        // More than one turn of the pane carries this id (a merged or
        // hand-edited file): which one a later turn of the id is cannot be
        // told from its sizes and dates, so none of them is copied.
        bool repeated = false;
    };
    struct Pane {
        // The first `lineCount` lines of the transcript whose storage is
        // `storageId` (OutputLines::storageId), joined by ",".
        quint64 storageId = 0;
        qsizetype lineCount = 0;
        Range lines;
        QHash<QUuid, Turn> turns;
        // More than one pane of the file carries this id: nothing of it is copied.
        bool repeated = false;

        // Notes a turn written (or read) at `range`.
        void addTurn(const QUuid &id, size_t key, Range range)
        {
            const auto found = turns.find(id);
            if (found == turns.end())
                turns.insert(id, {key, range, false});
            else
                found->repeated = true;
        }
    };

    // The file as it was when the ranges were taken: they hold only while it
    // is unchanged.
    AtomicFileWriter::FileIdentity file;
    QHash<QUuid, Pane> panes;

    // What a turn's entry is checked against: its sizes and dates (a closed
    // turn never changes, but a turn of the same id could come from elsewhere).
    static size_t turnKey(const ConversationTurn &turn);
};

// Saves one panes.json cheaply, in the background through the per-path serial
// writer (the newest queued snapshot wins):
// - a snapshot whose panes all carry the same generations as the last one
//   queued, with the same root values, is not written again (a failed write
//   is always retried by the next save);
// - the new file is written as it is encoded, never held whole in memory;
//   what it shares with the file written last (the transcript lines that were
//   saved then, the closed turns) is copied from that file, while the file is
//   unchanged, instead of being encoded again. Nothing encoded is kept between
//   saves, only where the parts lie in the file;
// - a snapshot that differs from what the file holds only in its focused and
//   expanded pane ids (a click on a pane, an expand or collapse) leaves the
//   file alone and writes the two ids to its view file (PanesViewFile), which
//   names the file by its identity. What the file holds is judged when the
//   write's turn comes on the writer's thread, against the file as the last
//   write (or the load) left it, checked to be unchanged on disk: both kinds
//   of write go through the same serial queue, so neither can overtake the
//   other, and the newest snapshot queued, with all its content, is the one
//   written. Every other save writes the whole file, with the current ids,
//   and removes the view file it makes stale.
// The bytes written to panes.json are exactly those of `PanesSnapshot::encode()`.
// Used from one thread (the GUI thread); the writing runs on the writer's.
class PanesSaver {
public:
    explicit PanesSaver(QString path);
    ~PanesSaver();

    const QString &path() const { return m_path; }

    // Queues a write of the snapshot unless it equals the last one queued.
    // Returns whether a write was queued.
    bool save(PanesSnapshot snapshot);

    // The file at `path` was just read and holds these parts (for the first
    // save after opening a project) and, when given, this content as the file
    // has it (its focused and expanded ids aside), so that a first save that
    // changes only those ids need not write it again.
    void adopt(std::shared_ptr<const PanesFileLayout> layout, std::optional<PanesSnapshot> content = std::nullopt);

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
    std::optional<Fingerprint> m_lastQueued;
};

namespace panesEncoding {
// Writes the snapshot to `path` (through AtomicFileWriter, with its backup),
// copying from the file there what `layout` says it holds, while that file is
// unchanged. Returns the new file's layout. Throws as AtomicFileWriter does.
PanesFileLayout writeReusing(const PanesSnapshot &snapshot, const QString &path, const PanesFileLayout *layout);
// Whether the two snapshots hold the same content apart from their focused and
// expanded pane ids (what a save of `b` over a file holding `a` would change
// beyond those). Panes taken at the same generation are equal without a look
// at their transcripts, and so are transcripts that share their storage.
bool sameContentApartFromView(const PanesSnapshot &a, const PanesSnapshot &b);
} // namespace panesEncoding

} // namespace nerim
