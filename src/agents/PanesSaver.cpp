#include "agents/PanesSaver.h"

#include "agents/PanesEncoding.h"
#include "foundation/Log.h"
#include "foundation/SerialFileWriter.h"
#include "persistence/AtomicFileWriter.h"

#include <QHash>
#include <QMutex>
#include <atomic>
#include <span>

namespace nerim {

// What earlier saves encoded, per pane id. A block holds the lines
// [k * blockLines, (k + 1) * blockLines) of a transcript joined by ","; its key
// is a hash of those lines' ids, kinds and text lengths (a line's id stands for
// its content: lines are never edited). Closed turns never change either; a
// turn's entry is checked against its sizes and dates.
struct PanesSaver::Cache {
    struct Block {
        size_t key = 0;
        QByteArray bytes;
    };
    struct Turn {
        size_t key = 0;
        QByteArray bytes;
    };
    struct Pane {
        QList<Block> blocks;
        QHash<QUuid, Turn> turns;
    };
    QMutex mutex;
    QHash<QUuid, Pane> panes;
    // Set by a write that failed, so that the next save is not skipped.
    std::atomic<bool> writeFailed{false};
};

namespace {

size_t blockKey(const QList<OutputLine> &lines, qsizetype from, qsizetype to)
{
    size_t key = 0;
    for (qsizetype i = from; i < to; ++i) {
        const OutputLine &line = lines.at(i);
        key = qHashMulti(key, line.id, int(line.kind), line.text.size());
    }
    return key;
}

size_t turnKey(const ConversationTurn &turn)
{
    return qHashMulti(0, turn.userPrompt.size(), turn.agentResponse.size(), turn.taskCompleteSummary.has_value(),
                      turn.taskCompleteSummary ? turn.taskCompleteSummary->size() : 0,
                      turn.startedAt.secondsSinceReferenceDate(),
                      turn.endedAt ? turn.endedAt->secondsSinceReferenceDate() : -1.0);
}

} // namespace

namespace panesEncoding {

QList<QByteArray> encodePiecesWithCache(const PanesSnapshot &snapshot, PanesSaver::Cache &cache)
{
    constexpr qsizetype blockLines = PanesSaver::blockLines;
    QHash<QUuid, PanesSaver::Cache::Pane> kept;
    PieceList pieces;
    appendDocumentOpening(pieces.current(), snapshot);
    for (qsizetype p = 0; p < snapshot.panes.size(); ++p) {
        const PaneDiskSnapshot &pane = snapshot.panes.at(p);
        PanesSaver::Cache::Pane earlier = cache.panes.take(pane.id);
        PanesSaver::Cache::Pane now;
        if (p > 0)
            pieces.current().append(',');
        appendPaneOpening(pieces.current(), pane);
        for (qsizetype t = 0; t < pane.conversation.size(); ++t) {
            const ConversationTurn &turn = pane.conversation.at(t);
            if (t > 0)
                pieces.current().append(',');
            const size_t key = turnKey(turn);
            auto found = earlier.turns.constFind(turn.id);
            PanesSaver::Cache::Turn entry;
            if (found != earlier.turns.constEnd() && found->key == key) {
                entry = *found;
            } else {
                entry.key = key;
                appendTurn(entry.bytes, turn);
            }
            pieces.add(entry.bytes);
            now.turns.insert(turn.id, std::move(entry));
        }
        appendPaneMiddle(pieces.current(), pane);
        const QList<OutputLine> &lines = pane.outputLines;
        const qsizetype fullBlocks = lines.size() / blockLines;
        now.blocks.reserve(fullBlocks);
        for (qsizetype b = 0; b < fullBlocks; ++b) {
            const qsizetype from = b * blockLines;
            const size_t key = blockKey(lines, from, from + blockLines);
            PanesSaver::Cache::Block block;
            if (b < earlier.blocks.size() && earlier.blocks.at(b).key == key) {
                block = earlier.blocks.at(b);
            } else {
                block.key = key;
                block.bytes.reserve(blockLines * 128);
                for (qsizetype i = from; i < from + blockLines; ++i) {
                    if (i > from)
                        block.bytes.append(',');
                    appendOutputLine(block.bytes, lines.at(i));
                }
                block.bytes.squeeze();
            }
            if (b > 0)
                pieces.current().append(',');
            pieces.add(block.bytes);
            now.blocks.append(std::move(block));
        }
        // The lines after the last full block are encoded on every save.
        for (qsizetype i = fullBlocks * blockLines; i < lines.size(); ++i) {
            if (i > 0)
                pieces.current().append(',');
            appendOutputLine(pieces.current(), lines.at(i));
        }
        appendPaneClosing(pieces.current(), pane);
        kept.insert(pane.id, std::move(now));
    }
    appendDocumentClosing(pieces.current(), snapshot);
    // Panes no longer saved are forgotten.
    cache.panes = std::move(kept);
    return pieces.take();
}

} // namespace panesEncoding

PanesSaver::PanesSaver(QString path) : m_path(std::move(path)), m_cache(std::make_shared<Cache>()) {}

PanesSaver::~PanesSaver() = default;

std::optional<PanesSaver::Fingerprint> PanesSaver::fingerprintOf(const PanesSnapshot &snapshot)
{
    Fingerprint fingerprint;
    fingerprint.version = snapshot.version;
    fingerprint.nextAgentNumber = snapshot.nextAgentNumber;
    fingerprint.focusedPaneId = snapshot.focusedPaneId;
    fingerprint.expandedPaneId = snapshot.expandedPaneId;
    fingerprint.panes.reserve(snapshot.panes.size());
    for (const PaneDiskSnapshot &pane : snapshot.panes) {
        if (pane.generation == 0)
            return std::nullopt; // not taken from a live pane: nothing to compare
        fingerprint.panes.append({pane.id, pane.generation});
    }
    return fingerprint;
}

bool PanesSaver::save(PanesSnapshot snapshot)
{
    std::optional<Fingerprint> fingerprint = fingerprintOf(snapshot);
    const bool failedBefore = m_cache->writeFailed.exchange(false);
    if (!failedBefore && fingerprint && m_lastQueued && *fingerprint == *m_lastQueued)
        return false;
    m_lastQueued = std::move(fingerprint);
    SerialFileWriter::shared().submit(
        m_path,
        [path = m_path, cache = m_cache, snapshot = std::move(snapshot)] {
            try {
                QMutexLocker lock(&cache->mutex);
                const QList<QByteArray> pieces = panesEncoding::encodePiecesWithCache(snapshot, *cache);
                lock.unlock();
                AtomicFileWriter::write(std::span<const QByteArray>(pieces.constData(), pieces.size()), path,
                                        AtomicFileWriter::backupPathFor(path));
            } catch (...) {
                cache->writeFailed = true;
                logLine(QStringLiteral("[Nerim panes] save failed: %1")
                            .arg(AtomicFileWriter::describeFailure(std::current_exception())));
            }
        },
        QStringLiteral("[Nerim panes]"));
    return true;
}

} // namespace nerim
