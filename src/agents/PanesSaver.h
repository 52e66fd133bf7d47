#pragma once

#include "agents/PanesSnapshot.h"

#include <QList>
#include <QString>
#include <QUuid>
#include <memory>
#include <optional>

namespace nerim {

// Saves one panes.json cheaply, in the background through the per-path serial
// writer (the newest queued snapshot wins):
// - a snapshot whose panes all carry the same generations as the last one
//   queued, with the same root values, is not written again (a failed write
//   is always retried by the next save);
// - transcript lines are encoded in blocks that are kept and reused while the
//   lines they hold stay the same, and closed turns once each, so a save
//   encodes only what is new and writes the file as a sequence of pieces,
//   never as one document in memory.
// The bytes written are exactly those of `PanesSnapshot::encode()`.
// Used from one thread (the GUI thread); the encoding runs on the writer's.
class PanesSaver {
public:
    explicit PanesSaver(QString path);
    ~PanesSaver();

    const QString &path() const { return m_path; }

    // Queues a write of the snapshot unless it equals the last one queued.
    // Returns whether a write was queued.
    bool save(PanesSnapshot snapshot);

    // Lines per reusable encoded block.
    static constexpr qsizetype blockLines = 256;

    struct Cache;

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
    std::shared_ptr<Cache> m_cache;
    std::optional<Fingerprint> m_lastQueued;
};

namespace panesEncoding {
// The document encoded through a saver's cache (for tests and benchmarks:
// what a save writes).
QList<QByteArray> encodePiecesWithCache(const PanesSnapshot &snapshot, PanesSaver::Cache &cache);
} // namespace panesEncoding

} // namespace nerim
