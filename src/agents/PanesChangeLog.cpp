#include "agents/PanesChangeLog.h"

#include "agents/PanesEncoding.h"
#include "agents/PanesFastReader.h"
#include "agents/PanesSaver.h"
#include "agents/PanesSnapshot.h"
#include "agents/PanesViewFile.h"
#include "foundation/FileIo.h"
#include "foundation/Json.h"
#include "foundation/Log.h"
#include "foundation/RegularFile.h"
#include "persistence/FileCalls.h"
#include "persistence/IntentProcessorConstants.h"
#include "persistence/MemoryError.h"
#include "persistence/SetAside.h"

#include <QFile>
#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QScopeGuard>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace nerim::panesChangeLog {

namespace {

// The CRC-32 of zlib and PNG (reflected polynomial 0xEDB88320), as zlib
// computes it (several bytes a step: a record of megabytes is checked in a
// fraction of the time a table lookup per byte takes).
quint32 crc32(QByteArrayView bytes, quint32 from = 0)
{
    return quint32(::crc32_z(from, reinterpret_cast<const Bytef *>(bytes.data()), size_t(bytes.size())));
}

// A frame line is at most "<19 digits> <8 hex digits>\n" (a length of 19
// digits is read only to be refused: no record is that large).
constexpr qsizetype maxFrameLine = 19 + 1 + 8 + 1;
// The longest length a frame line may give: more digits could overflow.
constexpr qsizetype maxLengthDigits = 18;
// Far more than a header ever holds (under 300 bytes).
constexpr qint64 maxHeaderBytes = 64 * 1024;
// What a fold marker's body begins with.
constexpr QByteArrayView foldMarkerOpening = "{\"foldedInto\":";

QString fileName(const QString &path) { return QFileInfo(path).fileName(); }

// A pane of a snapshot by its id, when exactly one pane carries it.
QHash<QUuid, qsizetype> uniquePanes(const PanesSnapshot &snapshot)
{
    QHash<QUuid, qsizetype> index;
    for (qsizetype i = 0; i < snapshot.panes.size(); ++i) {
        const auto found = index.find(snapshot.panes.at(i).id);
        if (found == index.end())
            index.insert(snapshot.panes.at(i).id, i);
        else
            *found = -1;
    }
    return index;
}

struct Kept {
    qsizetype lines = 0;
    qsizetype turns = 0;
};

// The same closed turn: a closed turn never changes, so its id, sizes and
// dates tell it (as they do for the whole write's reuse), without comparing
// its answer's text.
bool sameClosedTurn(const ConversationTurn &a, const ConversationTurn &b)
{
    return a.id == b.id && PanesFileLayout::turnKey(a) == PanesFileLayout::turnKey(b);
}

// What a record may keep of `before` for `after`, a pane of the same id.
Kept keptOf(const PaneDiskSnapshot &before, const PaneDiskSnapshot &after)
{
    // A pane's generation changes with everything the file keeps of it.
    if (before.generation != 0 && before.generation == after.generation)
        return {before.outputLines.size(), before.conversation.size()};
    Kept kept;
    // Lists that share their storage agree on every line both have.
    if (before.outputLines.sharesStorageWith(after.outputLines))
        kept.lines = std::min(before.outputLines.size(), after.outputLines.size());
    const qsizetype turns = std::min(before.conversation.size(), after.conversation.size());
    while (kept.turns < turns && sameClosedTurn(before.conversation.at(kept.turns), after.conversation.at(kept.turns)))
        ++kept.turns;
    return kept;
}

// A frame read from `fd` at `offset`, within the file's first `end` bytes:
// its body and where the next frame starts, or nothing when it is torn,
// malformed, longer than `maxBody` or fails its check. `bodyStart` is set
// whenever the frame's line could be read (also for a torn body).
struct Frame {
    QByteArray body;
    qint64 next = 0;
};

std::optional<Frame> readFrame(int fd, qint64 offset, qint64 end, qint64 maxBody, QString &why,
                               qint64 *bodyStart = nullptr)
{
    char line[maxFrameLine];
    const qint64 lineRead = std::min<qint64>(maxFrameLine, end - offset);
    if (lineRead <= 0 || !fileio::preadAll(fd, line, lineRead, offset)) {
        why = QStringLiteral("it is cut short");
        return std::nullopt;
    }
    // "<length> <crc>\n", exactly: decimal digits without a leading zero, a
    // space, eight lower-case hex digits.
    qsizetype i = 0;
    qint64 length = 0;
    while (i < lineRead && line[i] >= '0' && line[i] <= '9') {
        if (i == maxLengthDigits) {
            why = QStringLiteral("it is larger than a record may be");
            return std::nullopt;
        }
        length = length * 10 + (line[i] - '0');
        ++i;
    }
    const bool digits = i > 0 && !(line[0] == '0' && i > 1);
    if (!digits || i + 10 > lineRead || line[i] != ' ' || line[i + 9] != '\n') {
        why = lineRead < maxFrameLine ? QStringLiteral("it is cut short") : QStringLiteral("its frame is damaged");
        return std::nullopt;
    }
    quint32 crc = 0;
    for (qsizetype h = i + 1; h < i + 9; ++h) {
        const char c = line[h];
        const int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (v < 0) {
            why = QStringLiteral("its frame is damaged");
            return std::nullopt;
        }
        crc = (crc << 4) | quint32(v);
    }
    if (length > maxBody) {
        why = QStringLiteral("it is larger than a record may be");
        return std::nullopt;
    }
    const qint64 start = offset + i + 10;
    if (bodyStart)
        *bodyStart = start;
    if (start + length + 1 > end) {
        why = QStringLiteral("it is cut short");
        return std::nullopt;
    }
    Frame frame;
    frame.body.resize(qsizetype(length) + 1);
    if (!fileio::preadAll(fd, frame.body.data(), length + 1, start)) {
        why = QStringLiteral("it could not be read");
        return std::nullopt;
    }
    if (frame.body.back() != '\n') {
        why = QStringLiteral("its frame is damaged");
        return std::nullopt;
    }
    frame.body.chop(1);
    if (crc32(frame.body) != crc) {
        why = QStringLiteral("it fails its check");
        return std::nullopt;
    }
    frame.next = start + length + 1;
    return frame;
}

// What a header names: the document id, or (version 1) the file's identity.
struct Named {
    std::optional<QUuid> document;
    std::optional<AtomicFileWriter::FileIdentity> file;
};

Named decodeHeader(const QByteArray &body)
{
    const JsonObjectReader root = JsonObjectReader::parse(body);
    const int version = root.int32(QStringLiteral("version"));
    if (version == currentVersion)
        return {root.uuid(QStringLiteral("documentId")), std::nullopt};
    if (version == 1)
        return {std::nullopt, panesFileIdentityFromJson(root.object(QStringLiteral("panesFile")))};
    root.value(QStringLiteral("version")).fail(QStringLiteral("unknown version"));
    return {};
}

bool isFoldMarker(const QByteArray &body) { return body.startsWith(foldMarkerOpening); }

std::optional<QUuid> foldedInto(const QByteArray &body)
{
    try {
        return JsonObjectReader::parse(body).uuid(QStringLiteral("foldedInto"));
    } catch (...) {
        return std::nullopt;
    }
}

// The document id a record names, when its first line can be read.
std::optional<QUuid> recordDocument(const QByteArray &body)
{
    const qsizetype newline = body.indexOf('\n');
    if (newline < 0)
        return std::nullopt;
    try {
        return JsonObjectReader::parse(body.left(newline)).optionalUuid(QStringLiteral("documentId"));
    } catch (...) {
        return std::nullopt;
    }
}

// Where the first frame after a damaged header starts: the first place after
// a line break, within the room a header may take, where a whole frame with a
// good check begins.
std::optional<qint64> firstFrameAfterDamage(int fd, qint64 end)
{
    const qint64 window = std::min<qint64>(end, maxHeaderBytes + maxFrameLine);
    QByteArray bytes(qsizetype(window), Qt::Uninitialized);
    if (window <= 0 || !fileio::preadAll(fd, bytes.data(), window, 0))
        return std::nullopt;
    QString why;
    for (qsizetype at = bytes.indexOf('\n'); at >= 0 && at + 1 < end; at = bytes.indexOf('\n', at + 1)) {
        if (readFrame(fd, at + 1, end, maxRecordBytes, why))
            return at + 1;
    }
    return std::nullopt;
}

QByteArray framedUuid(QByteArrayView opening, const QUuid &id, QByteArrayView closing)
{
    QByteArray body(opening.data(), opening.size());
    panesEncoding::appendUuid(body, id);
    body.append(closing);
    return body;
}

// Whether `pane`'s transcript holds the lines a piece of an answer refers to.
bool refersToPane(const OutputLines &lines, qsizetype first, qsizetype count, const PaneDiskSnapshot &pane)
{
    return lines.sharesStorageWith(pane.outputLines) && first + count <= pane.outputLines.size();
}

// The pieces of a closed turn's answer, as a record's "responses" gives
// them, when some of it is the pane's own transcript; nothing otherwise (the
// answer is then written out in the turn).
std::optional<QByteArray> responsePieces(const ConversationTurn &turn, const PaneDiskSnapshot &pane)
{
    bool refers = false;
    turn.agentResponse.forEachHeldPiece(
        [&](const OutputLines &lines, qsizetype first, qsizetype count) {
            refers = refers || refersToPane(lines, first, count, pane);
        },
        [](const QByteArray &) {});
    if (!refers)
        return std::nullopt;
    QByteArray out("[");
    const auto separate = [&] {
        if (out.size() > 1)
            out.append(',');
    };
    turn.agentResponse.forEachHeldPiece(
        [&](const OutputLines &lines, qsizetype first, qsizetype count) {
            if (refersToPane(lines, first, count, pane)) {
                separate();
                out.append('[');
                panesEncoding::appendInteger(out, first);
                out.append(',');
                panesEncoding::appendInteger(out, count);
                out.append(']');
                return;
            }
            for (qsizetype i = first; i < first + count; ++i) {
                separate();
                panesEncoding::appendHeldString(out, lines.utf8(i));
            }
        },
        [&](const QByteArray &held) {
            separate();
            panesEncoding::appendHeldString(out, held);
        });
    out.append(']');
    return out;
}

} // namespace

QString pathFor(const QString &panesPath) { return besidePanesFile(panesPath, u"-changes.log"); }

namespace {

// The frame line of a body of `size` bytes with check `crc`: "<length> <crc>\n".
QByteArray frameLine(qint64 size, quint32 crc)
{
    QByteArray line = QByteArray::number(size);
    line.append(' ');
    line.append(QByteArray::number(crc, 16).rightJustified(8, '0'));
    line.append('\n');
    return line;
}

// A record's body as it is encoded: bytes encoded here gathered in
// `buffer()`, lines encoded ahead put beside them as they are; the check is
// taken piece by piece (zlib combines the checks of pieces encoded ahead).
class RecordBody {
public:
    QByteArray &buffer() { return m_current; }
    qint64 size() const { return m_size + m_current.size(); }

    void put(const EncodedLines &lines)
    {
        seal();
        m_pieces.append(lines.bytes);
        m_crc = quint32(::crc32_combine(m_crc, lines.crc, z_off_t(lines.bytes.size())));
        m_size += lines.bytes.size();
    }

    Record framed()
    {
        seal();
        Record record;
        record.pieces.reserve(m_pieces.size() + 2);
        record.pieces.append(frameLine(m_size, m_crc));
        record.pieces += m_pieces;
        record.pieces.append(QByteArrayLiteral("\n"));
        for (const QByteArray &piece : std::as_const(record.pieces))
            record.size += piece.size();
        return record;
    }

private:
    void seal()
    {
        if (m_current.isEmpty())
            return;
        m_crc = crc32(m_current, m_crc);
        m_size += m_current.size();
        m_pieces.append(std::exchange(m_current, QByteArray()));
    }

    QList<QByteArray> m_pieces;
    QByteArray m_current;
    quint32 m_crc = 0;
    qint64 m_size = 0;
};

} // namespace

QByteArray Record::joined() const
{
    QByteArray out;
    out.reserve(size);
    for (const QByteArray &piece : pieces)
        out.append(piece);
    return out;
}

EncodedLines EncodedLines::of(const OutputLines &lines, qsizetype first, qsizetype end)
{
    EncodedLines encoded{lines, first, end, QByteArray(), 0};
    for (qsizetype i = first; i < end; ++i) {
        if (i > first)
            encoded.bytes.append(',');
        panesEncoding::appendOutputLine(encoded.bytes, lines, i);
    }
    encoded.crc = crc32(encoded.bytes);
    return encoded;
}

void EncodedLines::extend(const EncodedLines &next)
{
    Q_ASSERT(next.first == end && next.lines.sharesStorageWith(lines));
    if (next.first == next.end)
        return;
    if (first < end) {
        bytes.append(',');
        crc = crc32(",", crc);
    }
    bytes.append(next.bytes);
    crc = quint32(::crc32_combine(crc, next.crc, z_off_t(next.bytes.size())));
    end = next.end;
    if (next.lines.size() > lines.size())
        lines = next.lines;
}

QByteArray frame(const QByteArray &body)
{
    QByteArray out = frameLine(body.size(), crc32(body));
    out.reserve(out.size() + body.size() + 1);
    out.append(body);
    out.append('\n');
    return out;
}

QByteArray encodeHeader(const QUuid &documentId)
{
    return frame(framedUuid("{\"documentId\":", documentId, ",\"version\":2}"));
}

QByteArray encodeLegacyHeader(const AtomicFileWriter::FileIdentity &panesFile)
{
    QJsonObject root;
    root.insert(QStringLiteral("version"), 1);
    root.insert(QStringLiteral("panesFile"), panesFileIdentityToJson(panesFile));
    return frame(json::encodeCompact(root));
}

QByteArray encodeFoldMarker(const QUuid &into) { return frame(framedUuid(foldMarkerOpening, into, "}")); }

std::optional<Record> encodeRecordPieces(const QUuid &documentId, const PanesSnapshot &from, const PanesSnapshot &to,
                                         qint64 limit, const LinesAhead *ahead)
{
    const QHash<QUuid, qsizetype> before = uniquePanes(from);
    QList<Kept> kept;
    kept.reserve(to.panes.size());
    RecordBody record;
    QByteArray &body = record.buffer();
    body.append("{\"documentId\":");
    panesEncoding::appendUuid(body, documentId);
    body.append(",\"kept\":[");
    for (qsizetype p = 0; p < to.panes.size(); ++p) {
        const PaneDiskSnapshot &pane = to.panes.at(p);
        const qsizetype at = before.value(pane.id, -1);
        kept.append(at >= 0 ? keptOf(from.panes.at(at), pane) : Kept{});
        if (p > 0)
            body.append(',');
        body.append('[');
        panesEncoding::appendInteger(body, kept.last().lines);
        body.append(',');
        panesEncoding::appendInteger(body, kept.last().turns);
        body.append(']');
    }
    body.append(']');
    // The answers of new closed turns that are the pane's own lines.
    QSet<std::pair<qsizetype, qsizetype>> byReference;
    bool anyResponse = false;
    for (qsizetype p = 0; p < to.panes.size(); ++p) {
        const PaneDiskSnapshot &pane = to.panes.at(p);
        for (qsizetype t = kept.at(p).turns; t < pane.conversation.size(); ++t) {
            const std::optional<QByteArray> pieces = responsePieces(pane.conversation.at(t), pane);
            if (!pieces)
                continue;
            body.append(anyResponse ? "," : ",\"responses\":[");
            anyResponse = true;
            body.append('[');
            panesEncoding::appendInteger(body, p);
            body.append(',');
            panesEncoding::appendInteger(body, t);
            body.append(',');
            body.append(*pieces);
            body.append(']');
            byReference.insert({p, t});
        }
    }
    if (anyResponse)
        body.append(']');
    body.append("}\n");

    // The same pieces panes.json is made of, with only what is new.
    const qint64 frameOverhead = maxFrameLine + 1;
    const auto tooLarge = [&] { return record.size() + frameOverhead > limit; };
    if (tooLarge())
        return std::nullopt;
    panesEncoding::appendDocumentOpening(body, to);
    for (qsizetype p = 0; p < to.panes.size(); ++p) {
        const PaneDiskSnapshot &pane = to.panes.at(p);
        if (p > 0)
            body.append(',');
        panesEncoding::appendPaneOpening(body, pane);
        for (qsizetype t = kept.at(p).turns; t < pane.conversation.size(); ++t) {
            if (t > kept.at(p).turns)
                body.append(',');
            if (byReference.contains({p, t})) {
                ConversationTurn turn = pane.conversation.at(t);
                turn.agentResponse = TurnResponse();
                panesEncoding::appendTurn(body, turn);
            } else {
                panesEncoding::appendTurn(body, pane.conversation.at(t));
            }
            if (tooLarge())
                return std::nullopt;
        }
        panesEncoding::appendPaneMiddle(body, pane);
        const qsizetype keptLines = kept.at(p).lines;
        const qsizetype lineCount = pane.outputLines.size();
        // Lines encoded ahead are asked for where the new lines start and
        // after each piece taken; once none is there, the rest is encoded here.
        bool ask = ahead != nullptr;
        for (qsizetype i = keptLines; i < lineCount;) {
            if (i > keptLines)
                body.append(',');
            std::optional<EncodedLines> encoded;
            if (ask) {
                encoded = ahead->at(pane.id, pane.outputLines, i, lineCount);
                ask = encoded && encoded->first == i && encoded->end > i && encoded->end <= lineCount &&
                      encoded->lines.sharesStorageWith(pane.outputLines);
            }
            if (ask) {
                record.put(*encoded);
                i = encoded->end;
            } else {
                panesEncoding::appendOutputLine(body, pane.outputLines, i);
                ++i;
            }
            if (tooLarge())
                return std::nullopt;
        }
        panesEncoding::appendPaneClosing(body, pane);
    }
    panesEncoding::appendDocumentClosing(body, to);
    if (tooLarge())
        return std::nullopt;
    return record.framed();
}

std::optional<QByteArray> encodeRecord(const QUuid &documentId, const PanesSnapshot &from, const PanesSnapshot &to,
                                       qint64 limit)
{
    const std::optional<Record> record = encodeRecordPieces(documentId, from, to, limit);
    if (!record)
        return std::nullopt;
    return record->joined();
}

void applyRecord(PanesSnapshot &snapshot, const QByteArray &body, const std::optional<QUuid> &documentId)
{
    const qsizetype newline = body.indexOf('\n');
    if (newline < 0)
        throw JsonDecodingError(QString(), QStringLiteral("the record has no list of what it keeps"));
    const JsonObjectReader head = JsonObjectReader::parse(body.left(newline));
    if (documentId && head.optionalUuid(QStringLiteral("documentId")) != documentId)
        throw std::runtime_error("it was written for another panes file");
    QList<Kept> kept;
    for (const JsonValueReader &entry : head.array(QStringLiteral("kept"))) {
        const QList<JsonValueReader> pair = entry.toArray();
        if (pair.size() != 2)
            entry.fail(QStringLiteral("expected the lines and turns kept"));
        const qint64 lines = pair.at(0).toInt64();
        const qint64 turns = pair.at(1).toInt64();
        if (lines < 0 || turns < 0)
            entry.fail(QStringLiteral("a negative count"));
        kept.append({qsizetype(lines), qsizetype(turns)});
    }
    const QByteArray documentBytes = body.mid(newline + 1);
    std::optional<PanesSnapshot> document = readPanesQuickly(documentBytes);
    if (!document)
        document = PanesSnapshot::fromJson(JsonObjectReader::parse(documentBytes).raw());
    if (document->version != PanesSnapshot::currentVersion)
        throw JsonDecodingError(QStringLiteral("version"), QStringLiteral("unknown version %1").arg(document->version));
    if (kept.size() != document->panes.size())
        throw JsonDecodingError(QStringLiteral("kept"), QStringLiteral("not one entry per pane"));

    const QHash<QUuid, qsizetype> before = uniquePanes(snapshot);
    QList<PaneDiskSnapshot> panes;
    panes.reserve(document->panes.size());
    for (qsizetype p = 0; p < document->panes.size(); ++p) {
        PaneDiskSnapshot pane = std::move((*document).panes[p]);
        const Kept keep = kept.at(p);
        if (keep.lines > 0 || keep.turns > 0) {
            const qsizetype at = before.value(pane.id, -1);
            if (at < 0)
                throw std::runtime_error("it keeps a pane that is not there");
            const PaneDiskSnapshot &old = snapshot.panes.at(at);
            if (keep.lines > old.outputLines.size() || keep.turns > old.conversation.size())
                throw std::runtime_error("it keeps more of a pane than the pane holds");
            if (keep.lines > 0) {
                // Grows the kept transcript in its own storage where it can.
                OutputLines lines =
                    keep.lines == old.outputLines.size() ? old.outputLines : old.outputLines.mid(0, keep.lines);
                for (qsizetype i = 0; i < pane.outputLines.size(); ++i)
                    lines.appendLineOf(pane.outputLines, i);
                pane.outputLines = std::move(lines);
            }
            if (keep.turns > 0)
                pane.conversation = old.conversation.mid(0, keep.turns) + pane.conversation;
        }
        panes.append(std::move(pane));
    }
    // Answers given as the pane's own lines, now that its transcript is whole.
    if (head.raw().contains(QStringLiteral("responses"))) {
        for (const JsonValueReader &entry : head.array(QStringLiteral("responses"))) {
            const QList<JsonValueReader> parts = entry.toArray();
            if (parts.size() != 3)
                entry.fail(QStringLiteral("expected a pane, a turn and pieces"));
            const qint64 p = parts.at(0).toInt64();
            const qint64 t = parts.at(1).toInt64();
            if (p < 0 || p >= panes.size() || t < kept.at(p).turns || t >= panes.at(p).conversation.size() ||
                !panes.at(p).conversation.at(t).agentResponse.isEmpty())
                entry.fail(QStringLiteral("no new turn of the record without its answer"));
            PaneDiskSnapshot &pane = panes[p];
            TurnResponse response;
            for (const JsonValueReader &piece : parts.at(2).toArray()) {
                if (piece.raw().isString()) {
                    response.appendHeldLine(transcriptText::encode(piece.raw().toString()));
                    continue;
                }
                const QList<JsonValueReader> range = piece.toArray();
                if (range.size() != 2)
                    piece.fail(QStringLiteral("expected the first line and a count"));
                const qint64 first = range.at(0).toInt64();
                const qint64 count = range.at(1).toInt64();
                if (first < 0 || count <= 0 || first + count > pane.outputLines.size())
                    piece.fail(QStringLiteral("lines the pane does not hold"));
                response.appendTranscriptLines(pane.outputLines, first, count);
            }
            pane.conversation[t].agentResponse = std::move(response);
        }
    }
    snapshot.version = document->version;
    snapshot.nextAgentNumber = document->nextAgentNumber;
    snapshot.focusedPaneId = document->focusedPaneId;
    snapshot.expandedPaneId = document->expandedPaneId;
    snapshot.panes = std::move(panes);
}

ReadOutcome applyLog(PanesSnapshot &snapshot, const QString &logPath,
                     const std::optional<AtomicFileWriter::FileIdentity> &panesFile)
{
    ReadOutcome outcome;
    const QString name = fileName(logPath);
    int fd = -1;
    try {
        // A link in its place is refused: the writer replaces links, so one there is not its own.
        if (const std::optional<Place> place = placeOf(logPath))
            fd = RegularFile::openAt(place->folder.fd(), place->name);
    } catch (...) {
        logLine(QStringLiteral("[Nerim panes] ignored %1: %2")
                    .arg(name, AtomicFileWriter::describeFailure(std::current_exception())));
        return outcome;
    }
    if (fd < 0)
        return outcome;
    const auto closing = qScopeGuard([fd] { ::close(fd); });
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        logLine(QStringLiteral("[Nerim panes] ignored %1: %2").arg(name, QString::fromLocal8Bit(std::strerror(errno))));
        return outcome;
    }
    const qint64 end = st.st_size;
    outcome.end = end;
    if (end == 0)
        return outcome; // made, and cut back to nothing by a failed first append: it never held a change

    // Which file the log amends: the header says, or, when it cannot be read,
    // the records do.
    QString why;
    qint64 bodyStart = -1;
    const std::optional<Frame> header = readFrame(fd, 0, end, maxHeaderBytes, why, &bodyStart);
    std::optional<Named> named;
    try {
        if (header)
            named = decodeHeader(header->body);
    } catch (...) {
        why = AtomicFileWriter::describeFailure(std::current_exception());
    }
    std::optional<QUuid> owner;
    bool ours = false;
    if (named) {
        outcome.recordsStart = header->next;
        if (named->document) {
            owner = named->document;
            ours = snapshot.documentId == named->document;
        } else {
            outcome.legacy = true;
            // A log of the earlier form names panes.json by where and when it
            // was written. Copies, moves, links, chmod and chown change where
            // it lies and its change time, but keep its size and modification
            // time to the nanosecond: those two alone tell it is the same file.
            ours = panesFile && named->file->size == panesFile->size &&
                   named->file->modifiedNs == panesFile->modifiedNs;
        }
    } else {
        const std::optional<qint64> start = firstFrameAfterDamage(fd, end);
        if (!start) {
            if (!header && why == QStringLiteral("it is cut short")) {
                // Torn in its first frame: the first save was cut short before any change was on disk.
                logLine(QStringLiteral("[Nerim panes] ignored %1: it ends inside its header").arg(name));
                return outcome;
            }
            outcome.kind = ReadOutcome::Kind::unreadable;
            outcome.why = QStringLiteral("its header cannot be read (%1)").arg(why);
            logLine(QStringLiteral("[Nerim panes] %1: %2, and no change after it").arg(name, outcome.why));
            return outcome;
        }
        outcome.headerDamaged = true;
        outcome.recordsStart = *start;
        logLine(QStringLiteral("[Nerim panes] %1: its header cannot be read (%2); its changes are read by the file "
                               "they name")
                    .arg(name, why));
        QString skip;
        for (qint64 at = *start; at < end && !owner;) {
            const std::optional<Frame> next = readFrame(fd, at, end, maxRecordBytes, skip);
            if (!next)
                break;
            if (!isFoldMarker(next->body))
                owner = recordDocument(next->body);
            at = next->next;
            if (!owner && !isFoldMarker(next->body))
                break;
        }
        if (!owner) {
            outcome.kind = ReadOutcome::Kind::unreadable;
            outcome.why = QStringLiteral("its header cannot be read (%1)").arg(why);
            return outcome;
        }
        ours = snapshot.documentId == owner;
    }

    if (!ours) {
        // Either folded into this file (a crash came between the whole write
        // and the log's removal), or written for another one.
        for (qint64 at = outcome.recordsStart; at < end && snapshot.documentId;) {
            QString skip;
            const std::optional<Frame> next = readFrame(fd, at, end, maxRecordBytes, skip);
            if (!next)
                break;
            if (isFoldMarker(next->body) && foldedInto(next->body) == snapshot.documentId) {
                outcome.kind = ReadOutcome::Kind::superseded;
                logLine(QStringLiteral("[Nerim panes] %1 was folded into the panes file already").arg(name));
                return outcome;
            }
            at = next->next;
        }
        outcome.kind = ReadOutcome::Kind::other;
        logLine(QStringLiteral("[Nerim panes] not applied %1: it was written for another panes file").arg(name));
        return outcome;
    }

    outcome.kind = ReadOutcome::Kind::ours;
    qint64 offset = outcome.recordsStart;
    outcome.goodEnd = offset;
    const std::optional<QUuid> required = outcome.legacy ? std::nullopt : snapshot.documentId;
    while (offset < end) {
        bodyStart = -1;
        std::optional<Frame> record = readFrame(fd, offset, end, maxRecordBytes, why, &bodyStart);
        if (record) {
            try {
                if (!isFoldMarker(record->body)) {
                    applyRecord(snapshot, record->body, required);
                    ++outcome.applied;
                }
                offset = outcome.goodEnd = record->next;
                continue;
            } catch (...) {
                why = AtomicFileWriter::describeFailure(std::current_exception());
            }
        } else if (bodyStart >= 0 && bodyStart < end) {
            // A fold marker cut short holds no change: the log simply ends before it.
            QByteArray opening(qsizetype(std::min<qint64>(end - bodyStart, foldMarkerOpening.size())),
                               Qt::Uninitialized);
            // (Three bytes tell a marker from a record, whose body opens with {"d.)
            if (opening.size() >= 3 && fileio::preadAll(fd, opening.data(), opening.size(), bodyStart) &&
                QByteArrayView(foldMarkerOpening).startsWith(opening))
                break;
        }
        outcome.fault = true;
        outcome.why = why;
        logLine(QStringLiteral("[Nerim panes] %1: change %2 cannot be applied (%3); the %4 before it were applied, "
                               "nothing after it")
                    .arg(name)
                    .arg(outcome.applied + 1)
                    .arg(why)
                    .arg(outcome.applied));
        break;
    }
    outcome.log = LogFile{quint64(st.st_dev), quint64(st.st_ino), outcome.goodEnd};
    return outcome;
}

namespace {

MemoryError writeFailure(const QString &path, int error)
{
    return MemoryError::writeFailed(path, QString::fromLocal8Bit(std::strerror(error)));
}

// The file `place` opened with `flags`, never through a link.
int openIn(const Place &place, int flags)
{
    return BeneathFolder::openAt(place.folder.fd(), place.native(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

// The log open at `fd` (`length` bytes of it count) as a file of its own:
// when another name holds the same file too (a hard-linked copy of the
// project, as snapshot tools make with `cp -al`), a change made in place would
// change that copy as well. The bytes are then written to a fresh file that
// takes this name, and the other name keeps the file as it was. Returns the
// descriptor to change (`fd`, or the fresh file opened with `flags`, `fd`
// closed); throws MemoryError when the copy cannot be made.
int unshared(const Place &place, int fd, qint64 length, int flags)
{
    const QString logPath = place.path();
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        throw writeFailure(logPath, errno);
    if (st.st_nlink <= 1)
        return fd;
    const int source = openIn(place, O_RDONLY);
    struct stat read {};
    if (source < 0 || ::fstat(source, &read) != 0 || read.st_dev != st.st_dev || read.st_ino != st.st_ino) {
        const int error = source < 0 ? errno : ESTALE;
        if (source >= 0)
            ::close(source);
        throw writeFailure(logPath, error);
    }
    const auto closing = qScopeGuard([source] { ::close(source); });
    AtomicFileWriter::write([&](AtomicFileWriter::ContentSink &sink) { sink.copyFrom(source, 0, length); },
                            place.folder, place.name, QString());
    logLine(QStringLiteral("[Nerim panes] %1 is shared with another name (a linked copy); changes go to a copy of "
                           "its own")
                .arg(place.name));
    const int fresh = openIn(place, flags);
    if (fresh < 0)
        throw writeFailure(logPath, errno);
    ::close(fd);
    return fresh;
}

// Appends `bytes` to the log `known`, or starts a new log with `header` and
// them; see appendRecord.
std::optional<LogFile> appendFrames(const QString &logPath, const std::optional<LogFile> &known,
                                    const QByteArray &header, const QList<QByteArray> &pieces,
                                    std::optional<QString> *keptAside = nullptr)
{
    // The log's folder is opened once, beneath the project: whatever is
    // swapped meanwhile, the log changed is the one in that folder.
    // (A log whose folder is gone is no longer there to append to; a new one
    // cannot be made there.)
    std::optional<Place> found = placeOf(logPath);
    if (!found) {
        if (known)
            return std::nullopt;
        throw writeFailure(logPath, ENOENT);
    }
    const Place &place = *found;
    const QByteArray native = place.native();
    int fd = -1;
    if (known) {
        // Appends only to the log as it was left: never through a link,
        // never to a file put in its place or changed since.
        fd = openIn(place, O_WRONLY | O_APPEND);
        if (fd < 0)
            return std::nullopt;
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || quint64(st.st_dev) != known->device ||
            quint64(st.st_ino) != known->inode || st.st_size != known->size) {
            ::close(fd);
            return std::nullopt;
        }
        try {
            fd = unshared(place, fd, known->size, O_WRONLY | O_APPEND);
        } catch (...) {
            ::close(fd);
            throw;
        }
    } else {
        // A log already there is not this one's to replace: it is kept aside.
        // Anything else there (a link) goes; unlink never follows a link.
        struct stat st {};
        if (::fstatat(place.folder.fd(), native.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISREG(st.st_mode)) {
                const std::optional<QString> aside = setAside(place, u"other");
                if (!aside)
                    throw writeFailure(logPath, EEXIST);
                if (keptAside)
                    *keptAside = aside;
            } else if (fileCalls::unlinkAt(place.folder.fd(), native.constData()) != 0 && errno != ENOENT) {
                throw writeFailure(logPath, errno);
            }
        }
        fd = fileCalls::createAt(place.folder.fd(), native.constData(), O_WRONLY | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                 0666);
        if (fd < 0)
            throw writeFailure(logPath, errno);
    }
    const auto closing = qScopeGuard([fd] { ::close(fd); });
    const qint64 start = known ? known->size : 0;
    const QByteArray head = known ? QByteArray() : header;
    bool written = fileCalls::writeAll(fd, head.constData(), head.size());
    for (qsizetype i = 0; written && i < pieces.size(); ++i)
        written = fileCalls::writeAll(fd, pieces.at(i).constData(), pieces.at(i).size());
    if (!written || fileCalls::fdatasync(fd) != 0) {
        const int error = errno;
        // What was appended would end the log when read: cut it off.
        if (fileCalls::ftruncate(fd, start) == 0)
            fileCalls::fdatasync(fd);
        throw writeFailure(logPath, error);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        throw writeFailure(logPath, errno);
    if (!known)
        fileCalls::syncFolder(place.folder.fd()); // the new log's name must survive a crash too
    return LogFile{quint64(st.st_dev), quint64(st.st_ino), qint64(st.st_size)};
}

} // namespace

std::optional<LogFile> appendRecord(const QString &logPath, const std::optional<LogFile> &known,
                                    const QUuid &documentId, const QByteArray &record)
{
    return appendFrames(logPath, known, encodeHeader(documentId), {record});
}

std::optional<LogFile> appendRecord(const QString &logPath, const std::optional<LogFile> &known,
                                    const QUuid &documentId, const Record &record, std::optional<QString> *keptAside)
{
    return appendFrames(logPath, known, encodeHeader(documentId), record.pieces, keptAside);
}

std::optional<LogFile> appendFoldMarker(const QString &logPath, const LogFile &known, const QUuid &into)
{
    return appendFrames(logPath, known, QByteArray(), {encodeFoldMarker(into)});
}

std::optional<QString> finishFold(const QString &logPath, const std::optional<LogFile> &folded)
{
    const std::optional<Place> place = lookAt(logPath);
    if (!place)
        return std::nullopt;
    const QByteArray native = place->native();
    struct stat st {};
    if (::fstatat(place->folder.fd(), native.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return std::nullopt;
    if (!S_ISREG(st.st_mode) ||
        (folded && quint64(st.st_dev) == folded->device && quint64(st.st_ino) == folded->inode)) {
        // The log now in panes.json, or no log at all (a link): gone.
        fileCalls::unlinkAt(place->folder.fd(), native.constData());
        return std::nullopt;
    }
    logLine(QStringLiteral("[Nerim panes] %1 was not read into the panes file written whole").arg(fileName(logPath)));
    return setAside(*place, u"other");
}

std::optional<QString> setAside(const QString &path, QStringView tag)
{
    std::optional<Place> place;
    try {
        place = placeOf(path);
    } catch (...) {
        logLine(QStringLiteral("[Nerim panes] could not move %1 aside (%2); it is kept and nothing is saved over it")
                    .arg(path, AtomicFileWriter::describeFailure(std::current_exception())));
        return std::nullopt;
    }
    if (!place) {
        errno = ENOENT;
        logLine(QStringLiteral("[Nerim panes] could not move %1 aside (%2); it is kept and nothing is saved over it")
                    .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
        return std::nullopt;
    }
    return setAside(*place, tag);
}

std::optional<QString> setAside(const Place &place, QStringView tag)
{
    const QString path = place.path();
    const std::optional<QString> aside = setAside::moveWithin(place.folder, place.name, tag);
    if (!aside) {
        logLine(QStringLiteral("[Nerim panes] could not move %1 aside (%2); it is kept and nothing is saved over it")
                    .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
        return std::nullopt;
    }
    const QString asidePath = place.folder.filePath(*aside);
    logLine(QStringLiteral("[Nerim panes] moved %1 aside to %2").arg(path, asidePath));
    return asidePath;
}

QByteArray Place::native() const { return QFile::encodeName(name); }

std::optional<Place> placeOf(const QString &path)
{
    const QString project = IntentProcessorConstants::projectOfDataFile(path);
    try {
        if (project.isEmpty()) {
            // Not in a project (Nerim's own files, a test's folder): by path.
            const QFileInfo info(path);
            if (!info.dir().exists())
                return std::nullopt;
            return Place{BeneathFolder::atPath(info.absolutePath()), info.fileName()};
        }
        QString name;
        BeneathFolder folder = BeneathFolder::holding(project, path, BeneathFolder::Create::nothing, &name);
        return Place{std::move(folder), name};
    } catch (const BeneathFolder::Missing &) {
        return std::nullopt;
    } catch (const std::exception &error) {
        throw MemoryError::writeFailed(path, QString::fromUtf8(error.what()));
    }
}

void removeFile(const QString &path)
{
    if (const std::optional<Place> place = lookAt(path))
        fileCalls::unlinkAt(place->folder.fd(), place->native().constData());
}

std::optional<AtomicFileWriter::FileIdentity> identityAt(const QString &path)
{
    if (const std::optional<Place> place = lookAt(path))
        return AtomicFileWriter::FileIdentity::of(place->folder.fd(), place->name);
    return std::nullopt;
}

int openForReading(const QString &path)
{
    if (const std::optional<Place> place = lookAt(path))
        return openIn(*place, O_RDONLY);
    return -1;
}

std::optional<Place> lookAt(const QString &path)
{
    try {
        return placeOf(path);
    } catch (const MemoryError &error) {
        logLine(QStringLiteral("[Nerim panes] left %1 alone: %2").arg(fileName(path), error.underlyingReason()));
        return std::nullopt;
    }
}

CutBack cutToReadable(const QString &logPath, const ReadOutcome &outcome)
{
    CutBack cut;
    if (!outcome.log)
        return cut;
    const std::optional<Place> place = lookAt(logPath);
    if (!place)
        return cut;
    const int fd = openIn(*place, O_RDWR);
    if (fd < 0)
        return cut;
    const auto closing = qScopeGuard([fd] { ::close(fd); });
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || quint64(st.st_dev) != outcome.log->device ||
        quint64(st.st_ino) != outcome.log->inode || st.st_size != outcome.end)
        return cut; // no longer the log that was read
    if (outcome.fault) {
        const QString aside = setAside::freshName(logPath, u"unreadable");
        try {
            AtomicFileWriter::write(
                [&](AtomicFileWriter::ContentSink &sink) {
                    sink.copyFrom(fd, 0, outcome.recordsStart);
                    sink.copyFrom(fd, outcome.goodEnd, outcome.end - outcome.goodEnd);
                },
                place->folder, QFileInfo(aside).fileName(), QString());
        } catch (...) {
            logLine(QStringLiteral("[Nerim panes] could not keep the unread changes of %1 aside (%2); the log is "
                                   "left as it is")
                        .arg(logPath, AtomicFileWriter::describeFailure(std::current_exception())));
            return cut;
        }
        logLine(QStringLiteral("[Nerim panes] kept the unread changes of %1 as %2").arg(logPath, aside));
        cut.aside = aside;
    }
    cut.unreadKept = true;
    // A log that a linked copy of the project shares is not cut in place:
    // what was read of it becomes a file of its own.
    int target = fd;
    try {
        target = unshared(*place, ::dup(fd), outcome.goodEnd, O_RDWR);
    } catch (...) {
        logLine(QStringLiteral("[Nerim panes] could not cut %1 back to its last good change (%2)")
                    .arg(logPath, AtomicFileWriter::describeFailure(std::current_exception())));
        return cut;
    }
    const auto closingTarget = qScopeGuard([&] {
        if (target != fd)
            ::close(target);
    });
    if (fileCalls::ftruncate(target, outcome.goodEnd) != 0 || fileCalls::fdatasync(target) != 0 ||
        ::fstat(target, &st) != 0) {
        logLine(QStringLiteral("[Nerim panes] could not cut %1 back to its last good change (%2)")
                    .arg(logPath, QString::fromLocal8Bit(std::strerror(errno))));
        return cut;
    }
    cut.log = LogFile{quint64(st.st_dev), quint64(st.st_ino), outcome.goodEnd};
    return cut;
}

namespace detail {
namespace {
std::atomic<int> wholeWrites{0};
}
ScopedWholeWrites::ScopedWholeWrites() { ++wholeWrites; }
ScopedWholeWrites::~ScopedWholeWrites() { --wholeWrites; }
bool ScopedWholeWrites::active() { return wholeWrites.load() > 0; }
namespace {
std::atomic<qint64> foldMinimum{foldMinimumBytes};
}
ScopedFoldMinimum::ScopedFoldMinimum(qint64 bytes) { foldMinimum = bytes; }
ScopedFoldMinimum::~ScopedFoldMinimum() { foldMinimum = foldMinimumBytes; }
qint64 ScopedFoldMinimum::current() { return foldMinimum.load(); }
} // namespace detail

} // namespace nerim::panesChangeLog
