#pragma once

// Panes as the canvas holds them, and their snapshots, for the tests of how
// panes.json and what lies beside it are saved.
#include "agents/AgentPaneState.h"
#include "agents/SavedPanes.h"
#include "panes-store/PanesSnapshot.h"

#include <QFile>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <vector>

namespace nerim::test {

using Panes = std::vector<std::unique_ptr<AgentPaneState>>;

// The canvas's snapshot of its panes with the given layout; the next agent
// number follows the panes unless given.
inline PanesSnapshot snapshotOf(const Panes &panes, std::optional<QUuid> focused, std::optional<QUuid> expanded,
                                std::optional<qint64> nextAgentNumber = std::nullopt)
{
    PanesSnapshot snapshot;
    snapshot.nextAgentNumber = nextAgentNumber.value_or(qint64(panes.size()) + 1);
    snapshot.focusedPaneId = focused;
    snapshot.expandedPaneId = expanded;
    for (const auto &pane : panes)
        snapshot.panes.append(snapshotOfPane(*pane));
    return snapshot;
}

// The inode of what is at `path` (a link's own), 0 when nothing is.
inline ino_t inodeOf(const QString &path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}


// panes.json's bytes without the document id each whole write puts first, to
// compare with an encoding of the snapshot saved.
inline QByteArray withoutDocumentId(QByteArray bytes)
{
    static const QByteArray opening = "{\"documentId\":\"";
    if (bytes.startsWith(opening))
        bytes.remove(1, opening.size() - 1 + 36 + 2);
    return bytes;
}

// Whether a loaded snapshot holds `expected` (the next agent number aside:
// a load raises it above the panes' numbers).
inline bool readsAs(const std::optional<PanesSnapshot> &loaded, const PanesSnapshot &expected)
{
    if (!loaded)
        return false;
    PanesSnapshot read = *loaded;
    read.nextAgentNumber = expected.nextAgentNumber;
    return read == expected;
}

} // namespace nerim::test
