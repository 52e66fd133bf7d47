#include "panes-store/PanesEncoding.h"

#include "panes-store/ConversationTurn.h"
#include "panes-store/OutputLine.h"
#include "panes-store/OutputLines.h"
#include "panes-store/PanesSnapshot.h"
#include "foundation/UuidText.h"

#include <QLocale>
#include <cmath>
#include <cstring>
#include <unistd.h>

namespace nerim::panesEncoding {

namespace {

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

// A backslash, "u" and the four lower-case hex digits of the UTF-16 code unit `u`;
// returns the end of what was written.
char *writeUnitEscape(char *cursor, unsigned u)
{
    *cursor++ = '\\';
    *cursor++ = 'u';
    *cursor++ = lowerHex(u >> 12);
    *cursor++ = lowerHex((u >> 8) & 0xF);
    *cursor++ = lowerHex((u >> 4) & 0xF);
    *cursor++ = lowerHex(u & 0xF);
    return cursor;
}

// The escape of an ASCII character a string cannot hold as it is: a quote,
// a backslash or a control character (the short form where there is one).
char *writeAsciiEscape(char *cursor, unsigned c)
{
    switch (c) {
    case '"': *cursor++ = '\\'; *cursor++ = '"'; return cursor;
    case '\\': *cursor++ = '\\'; *cursor++ = '\\'; return cursor;
    case 0x8: *cursor++ = '\\'; *cursor++ = 'b'; return cursor;
    case 0xc: *cursor++ = '\\'; *cursor++ = 'f'; return cursor;
    case 0xa: *cursor++ = '\\'; *cursor++ = 'n'; return cursor;
    case 0xd: *cursor++ = '\\'; *cursor++ = 'r'; return cursor;
    case 0x9: *cursor++ = '\\'; *cursor++ = 't'; return cursor;
    default: return writeUnitEscape(cursor, c);
    }
}

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
            cursor = writeAsciiEscape(cursor, u);
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
            cursor = writeUnitEscape(cursor, u);
        }
    }
    out.resize(start + (cursor - begin));
}

// The escaped form of text held as a transcript holds it, without quotes:
// valid UTF-8 is written as it is, a lone surrogate's three bytes as the
// escape the document writer gives the code unit.
void appendHeldStringContent(QByteArray &out, QByteArrayView held)
{
    const auto *p = reinterpret_cast<const unsigned char *>(held.data());
    const auto *const end = p + held.size();
    // In stretches, so that a long text never reserves six times its size.
    constexpr qsizetype stretch = 16 * 1024;
    while (p != end) {
        const auto *stop = end - p > stretch ? p + stretch : end;
        while (stop != end && (*stop & 0xC0) == 0x80)
            ++stop; // a character is never cut
        const qsizetype start = out.size();
        char *cursor = grow(out, (stop - p) * 6);
        char *const begin = cursor;
        while (p != stop) {
            const auto *run = p;
            while (p != stop && *p >= 0x20 && *p != '"' && *p != '\\' && *p != 0xED)
                ++p;
            std::memcpy(cursor, run, size_t(p - run));
            cursor += p - run;
            if (p == stop)
                break;
            const unsigned char c = *p;
            if (c == 0xED) {
                if (p[1] >= 0xA0) {
                    cursor = writeUnitEscape(cursor, 0xD000 | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F));
                } else {
                    std::memcpy(cursor, p, 3);
                    cursor += 3;
                }
                p += 3;
                continue;
            }
            ++p;
            cursor = writeAsciiEscape(cursor, c);
        }
        out.resize(start + (cursor - begin));
    }
}

} // namespace

void appendString(QByteArray &out, QStringView text)
{
    out.append('"');
    appendStringContent(out, text);
    out.append('"');
}

void appendHeldString(QByteArray &out, QByteArrayView held)
{
    out.append('"');
    appendHeldStringContent(out, held);
    out.append('"');
}

void appendResponse(QByteArray &out, const TurnResponse &response)
{
    // Escaping works character by character and a "\n" never joins two
    // surrogates, so the pieces escaped one by one give the joined text's bytes.
    out.append('"');
    bool first = true;
    response.forEachPiece([&](QByteArrayView piece) {
        if (!first)
            out.append("\\n", 2);
        first = false;
        appendHeldStringContent(out, piece);
    });
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

void appendOutputLine(QByteArray &out, const OutputLines &lines, qsizetype index)
{
    appendLiteral(out, "{\"id\":");
    appendUuid(out, lines.id(index));
    appendLiteral(out, ",\"kind\":\"");
    appendLiteral(out, rawValueLatin1(lines.kind(index)));
    appendLiteral(out, "\",\"text\":");
    appendHeldString(out, lines.utf8(index));
    out.append('}');
}

namespace {

// A turn's members after its answer, and its closing brace.
void appendTurnRest(QByteArray &out, const ConversationTurn &turn)
{
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

// A turn into an output, its answer passed on as it is escaped.
void putTurn(Output &out, const ConversationTurn &turn)
{
    QByteArray &buffer = out.buffer();
    appendLiteral(buffer, "{\"agentResponse\":\"");
    bool first = true;
    turn.agentResponse.forEachPiece([&](QByteArrayView piece) {
        if (!first)
            buffer.append("\\n", 2);
        first = false;
        constexpr qsizetype stretch = Output::pieceSize;
        while (piece.size() > stretch) {
            qsizetype cut = stretch;
            while (cut < piece.size() && (static_cast<unsigned char>(piece[cut]) & 0xC0) == 0x80)
                ++cut;
            appendHeldStringContent(buffer, piece.first(cut));
            piece = piece.sliced(cut);
            out.flushIfLarge();
        }
        appendHeldStringContent(buffer, piece);
        out.flushIfLarge();
    });
    buffer.append('"');
    appendTurnRest(buffer, turn);
}

} // namespace

void appendTurn(QByteArray &out, const ConversationTurn &turn)
{
    appendLiteral(out, "{\"agentResponse\":");
    appendResponse(out, turn.agentResponse);
    appendTurnRest(out, turn);
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
    if (snapshot.documentId) {
        appendLiteral(out, "\"documentId\":");
        appendUuid(out, *snapshot.documentId);
        out.append(',');
    }
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

void Output::flush()
{
    if (m_buffer.isEmpty())
        return;
    put(m_buffer);
    m_passed += m_buffer.size();
    m_buffer.resize(0);
}

void Output::copyFrom(int fd, qint64 offset, qint64 length)
{
    flush();
    QByteArray piece(qsizetype(std::min<qint64>(length, pieceSize)), Qt::Uninitialized);
    while (length > 0) {
        const ssize_t n = ::pread(fd, piece.data(), size_t(std::min<qint64>(length, piece.size())), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error("a file written before could not be read again");
        put(QByteArrayView(piece.constData(), n));
        m_passed += n;
        offset += n;
        length -= n;
    }
}

QByteArray ByteArrayOutput::take()
{
    flush();
    return std::move(m_bytes);
}

void encodeDocument(const PanesSnapshot &snapshot, Output &out, Reuse *reuse)
{
    QByteArray &buffer = out.buffer();
    if (buffer.capacity() < Output::pieceSize)
        buffer.reserve(Output::pieceSize + Output::pieceSize / 4);
    appendDocumentOpening(buffer, snapshot);
    for (qsizetype p = 0; p < snapshot.panes.size(); ++p) {
        const PaneDiskSnapshot &pane = snapshot.panes.at(p);
        if (p > 0)
            buffer.append(',');
        appendPaneOpening(buffer, pane);
        for (qsizetype t = 0; t < pane.conversation.size(); ++t) {
            const ConversationTurn &turn = pane.conversation.at(t);
            if (t > 0)
                buffer.append(',');
            const qint64 begin = out.position();
            if (!reuse || !reuse->putTurn(pane, turn, out))
                putTurn(out, turn);
            if (reuse)
                reuse->wroteTurn(pane, turn, begin, out.position());
            out.flushIfLarge();
        }
        appendPaneMiddle(buffer, pane);
        const qint64 linesBegin = out.position();
        const OutputLines &lines = pane.outputLines;
        const qsizetype reused = reuse && !lines.isEmpty() ? reuse->putLines(pane, out) : 0;
        for (qsizetype i = reused; i < lines.size(); ++i) {
            if (i > 0)
                buffer.append(',');
            appendOutputLine(buffer, lines, i);
            out.flushIfLarge();
        }
        if (reuse)
            reuse->wroteLines(pane, linesBegin, out.position());
        appendPaneClosing(buffer, pane);
    }
    appendDocumentClosing(buffer, snapshot);
    out.flush();
}

} // namespace nerim::panesEncoding

namespace nerim {

QByteArray PanesSnapshot::encode() const
{
    panesEncoding::ByteArrayOutput out;
    panesEncoding::encodeDocument(*this, out);
    return out.take();
}

} // namespace nerim
