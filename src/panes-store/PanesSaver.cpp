#include "panes-store/PanesSaver.h"

#include "panes-store/PanesEncoding.h"
#include "panes-store/PanesViewFile.h"
#include "foundation/Log.h"
#include "foundation/SerialExecutor.h"
#include "foundation/SerialFileWriter.h"
#include "persistence/AtomicFileWriter.h"
#include "persistence/FileCalls.h"
#include "persistence/IntentProcessorConstants.h"
#include "persistence/MemoryError.h"

#include "foundation/FileIo.h"
#include "foundation/UuidText.h"

#include <QFile>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMutex>
#include <QScopeGuard>
#include <QSet>
#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nerim {

// What the saver knows of the file between saves.
struct PanesSaver::State {
    QMutex mutex;
    // Of the file written (or read) last; none once it may have changed.
    std::shared_ptr<const PanesFileLayout> layout;
    // What that file and its change log hold, when known; set and cleared
    // with `layout`. Its transcripts share their storage with the panes', so
    // keeping it costs next to nothing.
    std::optional<PanesSnapshot> content;
    // The change log written (or read) for the file last written or read,
    // as it was left; none when there is none yet (the next append starts one).
    // Kept also when `layout` is cleared: a whole write marks it as folded
    // into the new file before replacing the old one, and removes it after.
    std::optional<panesChangeLog::LogFile> log;
    // The next save writes the file whole: the log may hold a fault.
    bool fold = false;
    // Set by a write that failed, so that the next save is not skipped.
    std::atomic<bool> writeFailed{false};
    // A save failed since the last one that worked.
    bool failing = false;
    // What the saver last left at the path, or found there when the project
    // was loaded: its identity when written or read, and the document id
    // inside it (none of either: nothing was there). Until the saver loaded
    // or wrote the file (`ownKnown`), nothing is known and nothing checked.
    bool ownKnown = false;
    std::optional<AtomicFileWriter::FileIdentity> ownFile;
    std::optional<QUuid> ownId;
    // The document id of a whole write that failed: it may have failed after
    // its file took the path, which is then the saver's own all the same.
    std::optional<QUuid> attemptedId;
    // A fold-back failed (no room for the whole file, say): from then on the
    // saves append what changed while a record holds it, and the fold waits
    // for a save that must write the file whole, or the next open.
    bool foldDeferred = false;
    // What the load found in the way and could not keep aside then: each is
    // kept aside before anything else is written (see PanesSaver::keepFirst).
    QList<PanesSaver::KeepFirst> keepFirst;

    QMutex listenerMutex;
    std::function<void(const PanesSaveEvent &)> listener;

    void tell(const PanesSaveEvent &event)
    {
        QMutexLocker lock(&listenerMutex);
        if (listener)
            listener(event);
    }
    // Why the last save failed, until one works (guarded by listenerMutex,
    // which no write holds for long).
    std::optional<QString> failure;
    void setFailure(std::optional<QString> reason)
    {
        QMutexLocker lock(&listenerMutex);
        failure = std::move(reason);
    }
    void failed(std::exception_ptr error)
    {
        writeFailed = true;
        const QString description = AtomicFileWriter::describeFailure(error);
        logLine(QStringLiteral("[Nerim panes] save failed: %1").arg(description));
        PanesSaveEvent event;
        event.kind = PanesSaveEvent::Kind::failed;
        event.reason = description;
        try {
            std::rethrow_exception(error);
        } catch (const MemoryError &e) {
            if (!e.underlyingReason().isEmpty())
                event.reason = e.underlyingReason();
        } catch (...) {
        }
        failing = true;
        setFailure(event.reason);
        tell(event);
    }
    void saved(const QStringList &keptAside)
    {
        setFailure(std::nullopt);
        if (!keptAside.isEmpty()) {
            PanesSaveEvent event;
            event.kind = PanesSaveEvent::Kind::keptAside;
            event.kept = keptAside;
            tell(event);
        }
        if (std::exchange(failing, false)) {
            PanesSaveEvent event;
            event.kind = PanesSaveEvent::Kind::recovered;
            tell(event);
        }
    }
};

// Transcript lines encoded ahead of the saves that take them, on a thread of
// their own (see PanesSaver::encodeAhead). Each pane's pieces start where the
// next record's new lines start (as the last save left the pane) and follow
// each other; a piece never spans a size at which a queued snapshot cuts the
// transcript, so each record finds its lines whole in them. What a record
// takes is checked against the record's own transcript (same storage, same
// first line): a piece that does not fit is never used, and the lines are
// then encoded by the record itself.
struct PanesSaver::Ahead final : panesChangeLog::LinesAhead {
    struct Pane {
        // The next record's new lines start at line `start` of this storage
        // (-1: not known, nothing is encoded ahead).
        OutputLines startLines;
        qsizetype start = -1;
        // The transcript as it was asked for last, not yet encoded.
        std::optional<OutputLines> asked;
        // Where queued snapshots cut the transcript, ascending.
        QList<qsizetype> cuts;
        QList<panesChangeLog::EncodedLines> pieces;

        qsizetype frontier() const { return pieces.isEmpty() ? start : pieces.last().end; }
    };

    mutable QMutex mutex;
    QHash<QUuid, Pane> panes;
    qint64 heldBytes = 0;
    bool scheduled = false;
    // When the encoder was last woken (see encodeAhead).
    QElapsedTimer lastWoken;

    std::optional<panesChangeLog::EncodedLines> at(const QUuid &paneId, const OutputLines &lines, qsizetype first,
                                                   qsizetype end) const override
    {
        QMutexLocker lock(&mutex);
        const auto found = panes.constFind(paneId);
        if (found == panes.constEnd())
            return std::nullopt;
        for (const panesChangeLog::EncodedLines &piece : found->pieces) {
            if (piece.first != first)
                continue;
            if (piece.end <= end && piece.lines.sharesStorageWith(lines))
                return piece;
            break;
        }
        return std::nullopt;
    }

    // A snapshot is queued: its pane sizes cut the pieces encoded from now on.
    void cut(const PanesSnapshot &snapshot)
    {
        QMutexLocker lock(&mutex);
        for (const PaneDiskSnapshot &pane : snapshot.panes) {
            QList<qsizetype> &cuts = panes[pane.id].cuts;
            const qsizetype size = pane.outputLines.size();
            if (cuts.isEmpty() || cuts.last() < size)
                cuts.append(size);
            else if (cuts.last() > size)
                cuts = {size}; // a transcript put in place of another
        }
    }

    // The file and its log now hold `content` (none: not known): the next
    // record's lines start after each pane's lines there, and the pieces
    // before that are done with.
    void settle(const std::optional<PanesSnapshot> &content)
    {
        QMutexLocker lock(&mutex);
        QHash<QUuid, const PaneDiskSnapshot *> held;
        if (content) {
            for (const PaneDiskSnapshot &pane : content->panes)
                held.insert(pane.id, &pane); // (a repeated id: the last, whose pieces are checked when taken)
        }
        for (auto it = held.constBegin(); it != held.constEnd(); ++it)
            panes[it.key()]; // panes the file holds are encoded ahead from now on
        heldBytes = 0;
        for (auto it = panes.begin(); it != panes.end();) {
            Pane &pane = it.value();
            const PaneDiskSnapshot *saved = held.value(it.key());
            if (!saved) {
                it = panes.erase(it);
                continue;
            }
            pane.startLines = saved->outputLines;
            pane.start = saved->outputLines.size();
            while (!pane.pieces.isEmpty() && pane.pieces.first().end <= pane.start)
                pane.pieces.removeFirst();
            if (!pane.pieces.isEmpty() && (pane.pieces.first().first != pane.start ||
                                           !pane.pieces.first().lines.sharesStorageWith(pane.startLines)))
                pane.pieces.clear();
            while (!pane.cuts.isEmpty() && pane.cuts.first() <= pane.start)
                pane.cuts.removeFirst();
            for (const panesChangeLog::EncodedLines &piece : std::as_const(pane.pieces))
                heldBytes += piece.bytes.size();
            ++it;
        }
    }

    // Encodes what was asked for, piece by piece, until nothing is left.
    static void run(const std::shared_ptr<Ahead> &ahead)
    {
        for (;;) {
            QUuid id;
            OutputLines lines;
            qsizetype from = 0;
            qsizetype to = 0;
            {
                QMutexLocker lock(&ahead->mutex);
                auto it = ahead->panes.begin();
                while (it != ahead->panes.end() && !it->asked)
                    ++it;
                if (it == ahead->panes.end()) {
                    ahead->scheduled = false;
                    return;
                }
                Pane &pane = it.value();
                id = it.key();
                lines = *std::exchange(pane.asked, std::nullopt);
                from = pane.frontier();
                to = lines.size();
                // A record larger than the log takes is never made: the file is then written whole.
                if (pane.start < 0 || from >= to || !pane.startLines.sharesStorageWith(lines) ||
                    ahead->heldBytes > panesChangeLog::maxRecordBytes)
                    continue;
                for (const qsizetype cut : std::as_const(pane.cuts)) {
                    if (cut > from && cut < to) {
                        to = cut; // the rest in the next piece
                        if (!pane.asked)
                            pane.asked = lines;
                        break;
                    }
                }
            }
            panesChangeLog::EncodedLines piece = panesChangeLog::EncodedLines::of(lines, from, to);
            QMutexLocker lock(&ahead->mutex);
            const auto found = ahead->panes.find(id);
            // Kept only where it still follows on (a save may have taken the lines meanwhile).
            if (found == ahead->panes.end() || found->start < 0 || found->frontier() != from ||
                !found->startLines.sharesStorageWith(lines))
                continue;
            ahead->heldBytes += piece.bytes.size();
            // Lines that follow on within the same cut join the piece before,
            // so that a record is written in a few pieces, not one per batch.
            if (found->pieces.isEmpty() || found->cuts.contains(from)) {
                found->pieces.append(std::move(piece));
                continue;
            }
            found->pieces.last().extend(piece);
        }
    }
};

namespace {

// The thread that encodes lines ahead, for every saver.
SerialExecutor &aheadThread()
{
    static SerialExecutor executor;
    return executor;
}

} // namespace

PanesSaver::PanesSaver(QString path)
    : m_path(std::move(path)), m_state(std::make_shared<State>()), m_ahead(std::make_shared<Ahead>())
{
}

void PanesSaver::encodeAhead(const QUuid &paneId, const OutputLines &lines)
{
    QMutexLocker lock(&m_ahead->mutex);
    const auto found = m_ahead->panes.find(paneId);
    // Only panes whose saved lines are known (the file holds them) are encoded ahead.
    if (found == m_ahead->panes.end() || found->start < 0)
        return;
    found->asked = lines;
    // Asked for at each line an agent prints: the encoder is woken at most
    // once in `kWakeIntervalMs`, not for every line (waking a thread costs the
    // GUI thread more than the line itself). Lines asked for meanwhile are
    // taken by the next wake, or encoded by the save that needs them.
    static constexpr qint64 kWakeIntervalMs = 10;
    if (m_ahead->scheduled || (m_ahead->lastWoken.isValid() && m_ahead->lastWoken.elapsed() < kWakeIntervalMs))
        return;
    m_ahead->scheduled = true;
    m_ahead->lastWoken.start();
    (void)aheadThread().run([ahead = m_ahead] { Ahead::run(ahead); });
}

PanesSaver::~PanesSaver() = default;

void PanesSaver::setListener(std::function<void(const PanesSaveEvent &)> listener)
{
    QMutexLocker lock(&m_state->listenerMutex);
    m_state->listener = std::move(listener);
}

void PanesSaver::adopt(std::shared_ptr<const PanesFileLayout> layout, std::optional<PanesSnapshot> content,
                       std::optional<panesChangeLog::LogFile> log, bool fold, bool nothingThere)
{
    QMutexLocker lock(&m_state->mutex);
    m_state->ownKnown = layout || nothingThere;
    m_state->ownFile = layout ? std::optional(layout->file) : std::nullopt;
    m_state->ownId = layout && content ? content->documentId : std::nullopt;
    m_state->content = layout ? std::move(content) : std::nullopt;
    m_state->log = log;
    m_state->fold = fold || !layout;
    m_state->foldDeferred = false;
    m_state->keepFirst.clear();
    m_state->layout = std::move(layout);
    m_ahead->settle(m_state->content);
}

namespace {

// The document id at the head of the panes file at `path`, where this
// program writes it: the file's first member.
std::optional<QUuid> documentIdAtHead(const QString &path)
{
    static constexpr QByteArrayView opening = "{\"documentId\":\"";
    const int fd = panesChangeLog::openForReading(path);
    if (fd < 0)
        return std::nullopt;
    const auto closing = qScopeGuard([fd] { ::close(fd); });
    char head[opening.size() + 37];
    if (!AtomicFileWriter::FileIdentity::of(fd) || !fileio::preadAll(fd, head, sizeof head, 0) ||
        QByteArrayView(head, opening.size()) != opening || head[sizeof head - 1] != '"')
        return std::nullopt;
    return parseUuid(QString::fromLatin1(head + opening.size(), 36));
}

// Appends the change from `held` to `snapshot` to the change log of the file
// `held` came from, when that file is still the one at `path` (by the
// document id inside it) and the log has room: returns whether it did.
// Throws when the append failed.
bool appendChange(const QString &path, PanesSaver::State &state, qint64 fileSize, const PanesSnapshot &held,
                  const PanesSnapshot &snapshot, PanesSaver::FoldBack foldBack, const panesChangeLog::LinesAhead &ahead,
                  QStringList &keptAside)
{
    if (documentIdAtHead(path) != held.documentId)
        return false;
    // Folded back once it would hold more than half of what the file does,
    // unless the fold is left for later: then only a record too large to
    // read back makes the file be written whole.
    const qint64 logSize = state.log ? state.log->size : 0;
    const qint64 room =
        foldBack == PanesSaver::FoldBack::later || state.foldDeferred
            ? panesChangeLog::maxRecordBytes
            : std::min(panesChangeLog::maxRecordBytes,
                       std::max(panesChangeLog::detail::ScopedFoldMinimum::current(), fileSize / 2) - logSize);
    if (room <= 0)
        return false;
    const std::optional<panesChangeLog::Record> record =
        panesChangeLog::encodeRecordPieces(*held.documentId, held, snapshot, room, &ahead);
    if (!record)
        return false;
    std::optional<QString> aside;
    const std::optional<panesChangeLog::LogFile> appended =
        panesChangeLog::appendRecord(panesChangeLog::pathFor(path), state.log, *held.documentId, *record, &aside);
    if (aside)
        keptAside.append(QFileInfo(*aside).fileName());
    if (!appended)
        return false;
    if (!state.log) {
        // A new log carries the focused and expanded pane from now on: a view
        // file written by an earlier version would only be overruled by it.
        panesChangeLog::removeFile(PanesViewFile::pathFor(path));
    }
    state.log = appended;
    return true;
}

// Whether the panes file at `path` and its change log are still those the
// saver last left (or read) there: the file by the document id inside it, the
// log by its identity and size.
bool onDiskAsLeft(const QString &path, const PanesSaver::State &state)
{
    if (!state.ownKnown || !state.ownId || documentIdAtHead(path) != state.ownId)
        return false;
    if (!state.log)
        return true;
    const std::optional<panesChangeLog::Place> place = panesChangeLog::lookAt(panesChangeLog::pathFor(path));
    struct stat st {};
    return place && ::fstatat(place->folder.fd(), place->native().constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(st.st_mode) && quint64(st.st_dev) == state.log->device && quint64(st.st_ino) == state.log->inode &&
           st.st_size == state.log->size;
}

// Moves a panes file at `path` that is not the one the saver last left there
// (nor read there) out of the way, so that the whole write about to be made
// replaces nothing someone else wrote: returns its new name. Throws when it
// could not be moved (nothing is written over it then).
std::optional<QString> keepForeign(const QString &path, const PanesSaver::State &state)
{
    if (!state.ownKnown)
        return std::nullopt;
    const std::optional<AtomicFileWriter::FileIdentity> there = panesChangeLog::identityAt(path);
    if (!there)
        return std::nullopt; // nothing there, or no file to keep (the write replaces a link)
    if (state.ownFile && there == state.ownFile)
        return std::nullopt;
    if (const std::optional<QUuid> id = documentIdAtHead(path); id && (id == state.ownId || id == state.attemptedId))
        return std::nullopt; // ours, touched or copied back in place
    logLine(QStringLiteral("[Nerim panes] %1 was written by something else since this program saved it")
                .arg(QFileInfo(path).fileName()));
    const std::optional<QString> aside = panesChangeLog::setAside(path, u"other");
    if (!aside)
        throw MemoryError::writeFailed(path, QStringLiteral("a file written by something else is in the way"));
    return QFileInfo(*aside).fileName();
}

} // namespace

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

bool PanesSaver::save(PanesSnapshot snapshot, FoldBack foldBack)
{
    std::optional<Fingerprint> fingerprint = fingerprintOf(snapshot);
    const bool failedBefore = m_state->writeFailed.exchange(false);
    // Nothing changed since the last snapshot queued: only a look at the disk
    // is queued, in case what is there is no longer what was written.
    const bool unchanged = !failedBefore && fingerprint && m_lastQueued && *fingerprint == *m_lastQueued;
    m_lastQueued = std::move(fingerprint);
    m_ahead->cut(snapshot);
    SerialFileWriter::shared().submit(
        m_path,
        [path = m_path, state = m_state, ahead = m_ahead, snapshot = std::move(snapshot), foldBack, unchanged] {
            QMutexLocker lock(&state->mutex);
            // A project whose door may not write now (its `.nerim` moved
            // away, its lock lost) gets nothing: the save fails, is told and
            // is tried again, and what it holds stays as it was.
            try {
                panesChangeLog::checkWritable(path);
            } catch (...) {
                state->failed(std::current_exception());
                return;
            }
            // What the load could not keep aside is kept first; until it is,
            // nothing is written and the save fails as any other does.
            while (!state->keepFirst.isEmpty()) {
                try {
                    state->keepFirst.first()(state->log, state->fold);
                } catch (...) {
                    state->failed(std::current_exception());
                    return;
                }
                state->keepFirst.removeFirst();
            }
            // The same panes as the last write left on disk, and still there
            // as written: nothing to do.
            if (unchanged && !state->failing && !state->fold && state->content &&
                fingerprintOf(*state->content) == fingerprintOf(snapshot) && onDiskAsLeft(path, *state))
                return;
            // Whatever the write leaves, lines are encoded ahead from there on.
            const auto settling = qScopeGuard([&] { ahead->settle(state->content); });
            // Whatever happens now, the file may no longer be the one described.
            const std::shared_ptr<const PanesFileLayout> before = std::exchange(state->layout, nullptr);
            std::optional<PanesSnapshot> held = std::exchange(state->content, std::nullopt);
            const bool fold = std::exchange(state->fold, false);
            QStringList keptAside;
            // Appends what changed to the file's change log: whether it did.
            // When the append fails, the save failed (told) and the log's end
            // may be torn: the next save writes the file whole, with what the
            // file and log still hold.
            enum class Appended { yes, no, failed };
            const auto append = [&](FoldBack mode) {
                try {
                    if (!appendChange(path, *state, before->file.size, *held, snapshot, mode, *ahead, keptAside))
                        return Appended::no;
                } catch (...) {
                    state->fold = true;
                    state->layout = before;
                    state->content = std::move(held);
                    state->failed(std::current_exception());
                    return Appended::failed;
                }
                state->layout = before;
                state->content = snapshot;
                state->content->documentId = held->documentId;
                state->saved(keptAside);
                return Appended::yes;
            };
            // The file is still the one written (or read) last: its change
            // log takes what changed since.
            if (before && held && held->documentId && !fold && !panesChangeLog::detail::ScopedWholeWrites::active()) {
                if (append(foldBack) != Appended::no)
                    return;
            }
            // Written whole, under a new document id.
            PanesSnapshot whole = snapshot;
            whole.documentId = QUuid::createUuid();
            try {
                if (const std::optional<QString> aside = keepForeign(path, *state)) {
                    keptAside.append(*aside);
                    // Not the file described: nothing is copied from it.
                    PanesFileLayout layout = panesEncoding::writeReusing(whole, path, nullptr, &state->log, &keptAside);
                    state->layout = std::make_shared<const PanesFileLayout>(std::move(layout));
                } else {
                    state->layout = std::make_shared<const PanesFileLayout>(
                        panesEncoding::writeReusing(whole, path, before.get(), &state->log, &keptAside));
                }
                state->ownKnown = true;
                state->ownFile = state->layout->file;
                state->ownId = whole.documentId;
                state->attemptedId.reset();
                state->foldDeferred = false;
                state->content = std::move(whole);
            } catch (...) {
                const std::exception_ptr error = std::current_exception();
                state->attemptedId = whole.documentId;
                // A file kept aside stays kept; the user hears of it with the failure's retry.
                if (!keptAside.isEmpty()) {
                    PanesSaveEvent event;
                    event.kind = PanesSaveEvent::Kind::keptAside;
                    event.kept = keptAside;
                    state->tell(event);
                    keptAside.clear();
                }
                // The file written (or read) last is still in place: the saves
                // go on from it as before. A fold-back that failed (for room,
                // say) leaves the change to the log instead, and the fold waits.
                if (before && held && held->documentId && documentIdAtHead(path) == held->documentId) {
                    if (!fold && !panesChangeLog::detail::ScopedWholeWrites::active()) {
                        logLine(QStringLiteral("[Nerim panes] writing %1 whole failed (%2); the change goes to its log")
                                    .arg(QFileInfo(path).fileName(), AtomicFileWriter::describeFailure(error)));
                        state->foldDeferred = true;
                        if (append(FoldBack::later) != Appended::no)
                            return;
                    }
                    state->layout = before;
                    state->content = std::move(held);
                    state->fold = fold;
                }
                state->failed(error);
                return;
            }
            state->saved(keptAside);
        },
        QStringLiteral("[Nerim panes]"));
    return !unchanged;
}

void PanesSaver::keepFirst(KeepFirst keep)
{
    QMutexLocker lock(&m_state->mutex);
    m_state->keepFirst.append(std::move(keep));
}

std::optional<QString> PanesSaver::failure() const
{
    QMutexLocker lock(&m_state->listenerMutex);
    return m_state->failure;
}

} // namespace nerim
