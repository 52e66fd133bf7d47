#include "panes-store/PanesChangeRecord.h"

#include "panes-store/ConversationTurn.h"
#include "panes-store/PanesEncoding.h"
#include "panes-store/PanesFastReader.h"
#include "panes-store/PanesFileLayout.h"
#include "panes-store/PanesSideFiles.h"
#include "panes-store/PanesSnapshot.h"
#include "foundation/FileIo.h"
#include "foundation/Json.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QSet>
#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <zlib.h>

namespace nerim::panesChangeLog {

namespace {

// The longest length a frame line may give: more digits could overflow.
constexpr qsizetype maxLengthDigits = 18;

// The CRC-32 of zlib and PNG (reflected polynomial 0xEDB88320), as zlib
// computes it (several bytes a step: a record of megabytes is checked in a
// fraction of the time a table lookup per byte takes).
quint32 crc32(QByteArrayView bytes, quint32 from = 0)
{
    return quint32(::crc32_z(from, reinterpret_cast<const Bytef *>(bytes.data()), size_t(bytes.size())));
}

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

std::optional<Frame> readFrame(int fd, qint64 offset, qint64 end, qint64 maxBody, QString &why, qint64 *bodyStart)
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

} // namespace nerim::panesChangeLog
