#pragma once

// Where the parts of a panes.json lie in the file, as the fast reader finds
// them and a whole write leaves them, so that the next whole write copies them.

#include "panes-store/ConversationTurn.h"
#include "persistence/AtomicFileWriter.h"

#include <QHash>
#include <QUuid>

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

} // namespace nerim
