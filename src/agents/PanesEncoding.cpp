#include "agents/PanesEncoding.h"

#include "agents/ConversationTurn.h"
#include "agents/OutputLine.h"
#include "agents/PanesSnapshot.h"
#include "foundation/UuidText.h"

#include <QLocale>
#include <cmath>

namespace nerim::panesEncoding {

namespace {

constexpr qsizetype pieceSize = 64 * 1024;

inline char lowerHex(unsigned v) { return char(v < 10 ? '0' + v : 'a' + v - 10); }

// Makes room for `extra` more bytes after the current end and returns where they start.
char *grow(QByteArray &out, qsizetype extra)
{
    const qsizetype start = out.size();
    if (out.capacity() - start < extra)
        out.reserve(std::max(out.capacity() * 2, start + extra));
    out.resize(start + extra);
    return out.data() + start;
}

inline void appendLiteral(QByteArray &out, QByteArrayView text) { out.append(text); }

} // namespace

namespace {

// The escaped UTF-8 of `text`, without quotes.
void appendStringContent(QByteArray &out, QStringView text)
{
    const qsizetype start = out.size();
    // At most six bytes per UTF-16 unit (an escape).
    char *cursor = grow(out, text.size() * 6);
    char *const begin = cursor;
    const char16_t *src = text.utf16();
    const char16_t *const end = src + text.size();
    while (src != end) {
        const char16_t u = *src++;
        if (u < 0x80) {
            if (u >= 0x20 && u != u'"' && u != u'\\') {
                *cursor++ = char(u);
                continue;
            }
            *cursor++ = '\\';
            switch (u) {
            case u'"': *cursor++ = '"'; break;
            case u'\\': *cursor++ = '\\'; break;
            case 0x8: *cursor++ = 'b'; break;
            case 0xc: *cursor++ = 'f'; break;
            case 0xa: *cursor++ = 'n'; break;
            case 0xd: *cursor++ = 'r'; break;
            case 0x9: *cursor++ = 't'; break;
            default:
                *cursor++ = 'u';
                *cursor++ = '0';
                *cursor++ = '0';
                *cursor++ = lowerHex(u >> 4);
                *cursor++ = lowerHex(u & 0xF);
            }
        } else if (u < 0x800) {
            *cursor++ = char(0xC0 | (u >> 6));
            *cursor++ = char(0x80 | (u & 0x3F));
        } else if (u < 0xD800 || u > 0xDFFF) {
            *cursor++ = char(0xE0 | (u >> 12));
            *cursor++ = char(0x80 | ((u >> 6) & 0x3F));
            *cursor++ = char(0x80 | (u & 0x3F));
        } else if (u <= 0xDBFF && src != end && *src >= 0xDC00 && *src <= 0xDFFF) {
            const char32_t c = 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(*src++) - 0xDC00);
            *cursor++ = char(0xF0 | (c >> 18));
            *cursor++ = char(0x80 | ((c >> 12) & 0x3F));
            *cursor++ = char(0x80 | ((c >> 6) & 0x3F));
            *cursor++ = char(0x80 | (c & 0x3F));
        } else {
            // A lone surrogate has no UTF-8 form: written as an escape.
            *cursor++ = '\\';
            *cursor++ = 'u';
            *cursor++ = lowerHex(u >> 12);
            *cursor++ = lowerHex((u >> 8) & 0xF);
            *cursor++ = lowerHex((u >> 4) & 0xF);
            *cursor++ = lowerHex(u & 0xF);
        }
    }
    out.resize(start + (cursor - begin));
}

} // namespace

void appendString(QByteArray &out, QStringView text)
{
    out.append('"');
    appendStringContent(out, text);
    out.append('"');
}

void appendResponse(QByteArray &out, const TurnResponse &response)
{
    // Escaping works unit by unit (a surrogate pair never spans the "\n"
    // between two lines), so the lines escaped one by one give the joined text's bytes.
    out.append('"');
    const QStringList &lines = response.lines();
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (i > 0)
            out.append("\\n", 2);
        appendStringContent(out, lines.at(i));
    }
    out.append('"');
}

void appendInteger(QByteArray &out, qint64 value) { out.append(QByteArray::number(value)); }

void appendNumber(QByteArray &out, double value)
{
    // The document writer writes a whole number up to 2^53 in magnitude (where
    // every integer is a double) with all its digits, and every other number
    // in its shortest form ("1e+16", "9223372036854776000").
    if (std::trunc(value) == value && std::fabs(value) <= 9007199254740992.0) {
        appendInteger(out, static_cast<qint64>(value));
        return;
    }
    if (!std::isfinite(value)) {
        appendLiteral(out, "null");
        return;
    }
    out.append(QByteArray::number(value, 'g', QLocale::FloatingPointShortest));
}

void appendUuid(QByteArray &out, const QUuid &id)
{
    char *cursor = grow(out, 38);
    *cursor = '"';
    writeUuidText(id, cursor + 1);
    cursor[37] = '"';
}

void appendOutputLine(QByteArray &out, const OutputLine &line)
{
    appendLiteral(out, "{\"id\":");
    appendUuid(out, line.id);
    appendLiteral(out, ",\"kind\":\"");
    appendLiteral(out, rawValueLatin1(line.kind));
    appendLiteral(out, "\",\"text\":");
    appendString(out, line.text);
    out.append('}');
}

void appendTurn(QByteArray &out, const ConversationTurn &turn)
{
    appendLiteral(out, "{\"agentResponse\":");
    appendResponse(out, turn.agentResponse);
    if (turn.endedAt) {
        appendLiteral(out, ",\"endedAt\":");
        appendNumber(out, turn.endedAt->secondsSinceReferenceDate());
    }
    appendLiteral(out, ",\"id\":");
    appendUuid(out, turn.id);
    appendLiteral(out, ",\"startedAt\":");
    appendNumber(out, turn.startedAt.secondsSinceReferenceDate());
    if (turn.taskCompleteSummary) {
        appendLiteral(out, ",\"taskCompleteSummary\":");
        appendString(out, *turn.taskCompleteSummary);
    }
    appendLiteral(out, ",\"userPrompt\":");
    appendString(out, turn.userPrompt);
    out.append('}');
}

void appendPaneOpening(QByteArray &out, const PaneDiskSnapshot &pane)
{
    appendLiteral(out, "{\"agentId\":");
    appendString(out, pane.agentId);
    appendLiteral(out, ",\"agentName\":");
    appendString(out, pane.agentName);
    appendLiteral(out, ",\"conversation\":[");
}

void appendPaneMiddle(QByteArray &out, const PaneDiskSnapshot &pane)
{
    appendLiteral(out, "],\"id\":");
    appendUuid(out, pane.id);
    appendLiteral(out, pane.isSystemPane ? QByteArrayView(",\"isSystemPane\":true") : QByteArrayView(",\"isSystemPane\":false"));
    appendLiteral(out, ",\"outputLines\":[");
}

void appendPaneClosing(QByteArray &out, const PaneDiskSnapshot &pane)
{
    appendLiteral(out, "],\"paneNumber\":");
    appendInteger(out, pane.paneNumber);
    appendLiteral(out, ",\"responsibility\":");
    appendString(out, pane.responsibility);
    appendLiteral(out, ",\"role\":");
    appendString(out, rawValue(pane.role));
    out.append('}');
}

void appendDocumentOpening(QByteArray &out, const PanesSnapshot &snapshot)
{
    out.append('{');
    if (snapshot.expandedPaneId) {
        appendLiteral(out, "\"expandedPaneId\":");
        appendUuid(out, *snapshot.expandedPaneId);
        out.append(',');
    }
    if (snapshot.focusedPaneId) {
        appendLiteral(out, "\"focusedPaneId\":");
        appendUuid(out, *snapshot.focusedPaneId);
        out.append(',');
    }
    appendLiteral(out, "\"nextAgentNumber\":");
    appendInteger(out, snapshot.nextAgentNumber);
    appendLiteral(out, ",\"panes\":[");
}

void appendDocumentClosing(QByteArray &out, const PanesSnapshot &snapshot)
{
    appendLiteral(out, "],\"version\":");
    appendInteger(out, snapshot.version);
    out.append('}');
}

QByteArray &PieceList::current()
{
    if (m_current.capacity() == 0)
        m_current.reserve(pieceSize + pieceSize / 4);
    return m_current;
}

void PieceList::cut()
{
    if (m_current.isEmpty())
        return;
    m_pieces.append(std::move(m_current));
    m_current = QByteArray();
}

void PieceList::cutIfLarge()
{
    if (m_current.size() >= pieceSize)
        cut();
}

void PieceList::add(const QByteArray &piece)
{
    cut();
    m_pieces.append(piece);
}

QList<QByteArray> PieceList::take()
{
    cut();
    return std::move(m_pieces);
}

QList<QByteArray> encodePieces(const PanesSnapshot &snapshot)
{
    PieceList pieces;
    appendDocumentOpening(pieces.current(), snapshot);
    for (qsizetype p = 0; p < snapshot.panes.size(); ++p) {
        const PaneDiskSnapshot &pane = snapshot.panes.at(p);
        if (p > 0)
            pieces.current().append(',');
        appendPaneOpening(pieces.current(), pane);
        for (qsizetype t = 0; t < pane.conversation.size(); ++t) {
            if (t > 0)
                pieces.current().append(',');
            appendTurn(pieces.current(), pane.conversation.at(t));
            pieces.cutIfLarge();
        }
        appendPaneMiddle(pieces.current(), pane);
        for (qsizetype i = 0; i < pane.outputLines.size(); ++i) {
            if (i > 0)
                pieces.current().append(',');
            appendOutputLine(pieces.current(), pane.outputLines.at(i));
            pieces.cutIfLarge();
        }
        appendPaneClosing(pieces.current(), pane);
    }
    appendDocumentClosing(pieces.current(), snapshot);
    return pieces.take();
}

QByteArray join(const QList<QByteArray> &pieces)
{
    qsizetype total = 0;
    for (const QByteArray &piece : pieces)
        total += piece.size();
    QByteArray bytes;
    bytes.reserve(total);
    for (const QByteArray &piece : pieces)
        bytes.append(piece);
    return bytes;
}

} // namespace nerim::panesEncoding
