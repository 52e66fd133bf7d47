#include "agents/AgentEventReader.h"

#include "foundation/Text.h"
#include "platform/OutputLineSplitter.h"

#include <QtAlgorithms>
#include <QtEndian>
#include <QVarLengthArray>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <utility>

namespace nerim {

namespace {

// A JSON string's value as UTF-8: the bytes between its quotes where it holds
// no escape (the common case: nothing is copied), else its decoded bytes.
struct JsonText {
    QByteArrayView raw;
    QByteArray decoded;
    bool escaped = false;

    QByteArrayView view() const { return escaped ? QByteArrayView(decoded) : raw; }
};

bool is(QByteArrayView text, const char *literal)
{
    const size_t size = std::strlen(literal);
    return size_t(text.size()) == size && std::memcmp(text.data(), literal, size) == 0;
}

// What the reader needs of one event.
struct Event {
    JsonText type;
    JsonText subtype;
    JsonText result;
    bool hasResult = false;
    bool isError = false;
    bool hasErrorField = false; // an "error" string on the event
    QVarLengthArray<JsonText, 1> errors;
    JsonText model;
    QVarLengthArray<JsonText, 2> texts; // the message's text blocks, in order
};

// A strict reader of one JSON text over its UTF-8 bytes, keeping only what
// `Event` names and checking everything else for well-formedness without
// decoding it: a tool call carrying a whole file costs one pass over its
// bytes. Any fault makes the whole line "not an event". Bytes that are not
// UTF-8 inside strings are let through (the decoded text shows U+FFFD).
class Scanner {
public:
    Scanner(const char *begin, const char *end) : m_p(begin), m_end(end) {}

    bool readEvent(Event &event)
    {
        skipSpace();
        if (!readObject([&](QByteArrayView key) { return readTopField(key, event); }))
            return false;
        skipSpace();
        return m_p == m_end;
    }

private:
    bool readTopField(QByteArrayView key, Event &event)
    {
        if (is(key, "type"))
            return readStringOrSkip(event.type);
        if (is(key, "subtype"))
            return readStringOrSkip(event.subtype);
        if (is(key, "result")) {
            if (peek() == '"') {
                event.hasResult = true;
                return readString(&event.result);
            }
            return skipValue();
        }
        if (is(key, "is_error")) {
            if (peek() == 't') {
                event.isError = true;
                return literal("true");
            }
            return skipValue();
        }
        if (is(key, "error")) {
            if (peek() == '"') {
                event.hasErrorField = true;
                return readString(nullptr);
            }
            return skipValue();
        }
        if (is(key, "errors") && peek() == '[') {
            return readArray([&] {
                if (peek() != '"')
                    return skipValue();
                JsonText error;
                if (!readString(&error))
                    return false;
                event.errors.append(std::move(error));
                return true;
            });
        }
        if (is(key, "message") && peek() == '{')
            return readObject([&](QByteArrayView field) { return readMessageField(field, event); });
        return skipValue();
    }

    bool readMessageField(QByteArrayView key, Event &event)
    {
        if (is(key, "model"))
            return readStringOrSkip(event.model);
        if (is(key, "content") && peek() == '[') {
            return readArray([&] {
                if (peek() != '{')
                    return skipValue();
                JsonText type, text;
                bool hasText = false;
                const bool ok = readObject([&](QByteArrayView field) {
                    if (is(field, "type"))
                        return readStringOrSkip(type);
                    if (is(field, "text") && peek() == '"') {
                        hasText = true;
                        return readString(&text);
                    }
                    // A tool call's input and a tool result's content are
                    // looked over, never decoded.
                    return skipValue();
                });
                if (ok && hasText && is(type.view(), "text"))
                    event.texts.append(std::move(text));
                return ok;
            });
        }
        return skipValue();
    }

    char peek()
    {
        skipSpace();
        return m_p < m_end ? *m_p : '\0';
    }

    void skipSpace()
    {
        while (m_p < m_end && (*m_p == ' ' || *m_p == '\t' || *m_p == '\n' || *m_p == '\r'))
            ++m_p;
    }

    bool expect(char c)
    {
        skipSpace();
        if (m_p >= m_end || *m_p != c)
            return false;
        ++m_p;
        return true;
    }

    // Calls `field(key)` with the reader at each member's value.
    template <typename F>
    bool readObject(F &&field)
    {
        if (!expect('{'))
            return false;
        if (peek() == '}') {
            ++m_p;
            return true;
        }
        for (;;) {
            JsonText key;
            if (peek() != '"' || !readString(&key) || !expect(':') || !field(key.view()))
                return false;
            const char next = peek();
            if (m_p >= m_end)
                return false;
            ++m_p;
            if (next == '}')
                return true;
            if (next != ',')
                return false;
        }
    }

    // Calls `element()` with the reader at each element.
    template <typename F>
    bool readArray(F &&element)
    {
        if (!expect('['))
            return false;
        if (peek() == ']') {
            ++m_p;
            return true;
        }
        for (;;) {
            if (!element())
                return false;
            const char next = peek();
            if (m_p >= m_end)
                return false;
            ++m_p;
            if (next == ']')
                return true;
            if (next != ',')
                return false;
        }
    }

    bool readStringOrSkip(JsonText &out)
    {
        if (peek() == '"')
            return readString(&out);
        return skipValue();
    }

    // The first byte at or after `p` that a string cannot hold as it is: a
    // quote, a backslash or a control character. Sixteen bytes at a time
    // where the processor has SSE2, else eight (the lowest flagged byte of a
    // word is exactly the first such byte: a false flag can only sit above a
    // true one); most strings of an event end within the first block.
    static const char *plainRunEnd(const char *p, const char *end)
    {
#if defined(__SSE2__)
        const __m128i quote = _mm_set1_epi8('"');
        const __m128i backslash = _mm_set1_epi8('\\');
        const __m128i control = _mm_set1_epi8(0x1F);
        while (end - p >= 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
            const __m128i special = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                                 _mm_cmpeq_epi8(_mm_max_epu8(v, control), control));
            const int mask = _mm_movemask_epi8(special);
            if (mask != 0)
                return p + qCountTrailingZeroBits(static_cast<quint32>(mask));
            p += 16;
        }
#endif
        constexpr quint64 ones = 0x0101010101010101ULL;
        constexpr quint64 highs = 0x8080808080808080ULL;
        while (end - p >= 8) {
            const quint64 v = qFromLittleEndian<quint64>(p); // byte 0 lowest
            const quint64 quoteBytes = v ^ (ones * '"');
            const quint64 backslashBytes = v ^ (ones * '\\');
            const quint64 hit = (((quoteBytes - ones) & ~quoteBytes) | ((backslashBytes - ones) & ~backslashBytes) |
                                 ((v - ones * 0x20) & ~v)) &
                                highs;
            if (hit)
                return p + (qCountTrailingZeroBits(hit) >> 3);
            p += 8;
        }
        while (p < end) {
            const unsigned char c = static_cast<unsigned char>(*p);
            if (c == '"' || c == '\\' || c < 0x20)
                break;
            ++p;
        }
        return p;
    }

    static int hexValue(char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    // Four hex digits at `p`, or -1.
    static int hex4(const char *p, const char *end)
    {
        if (end - p < 4)
            return -1;
        int code = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = hexValue(p[i]);
            if (digit < 0)
                return -1;
            code = code * 16 + digit;
        }
        return code;
    }

    // A string at the reader; into `out` unless it is null.
    bool readString(JsonText *out)
    {
        if (!expect('"'))
            return false;
        const char *start = m_p;
        m_p = plainRunEnd(m_p, m_end);
        if (m_p < m_end && *m_p == '"') {
            if (out)
                out->raw = QByteArrayView(start, m_p - start);
            ++m_p;
            return true;
        }
        QByteArray decoded;
        if (out)
            decoded.append(start, m_p - start);
        while (m_p < m_end) {
            const char c = *m_p;
            if (c == '"') {
                ++m_p;
                if (out) {
                    out->decoded = std::move(decoded);
                    out->escaped = true;
                }
                return true;
            }
            if (c != '\\') {
                if (static_cast<unsigned char>(c) < 0x20)
                    return false;
                const char *run = m_p;
                m_p = plainRunEnd(m_p, m_end);
                if (out)
                    decoded.append(run, m_p - run);
                continue;
            }
            if (m_end - m_p < 2)
                return false;
            const char e = m_p[1];
            m_p += 2;
            char value = 0;
            switch (e) {
            case '"': value = '"'; break;
            case '\\': value = '\\'; break;
            case '/': value = '/'; break;
            case 'b': value = '\b'; break;
            case 'f': value = '\f'; break;
            case 'n': value = '\n'; break;
            case 'r': value = '\r'; break;
            case 't': value = '\t'; break;
            case 'u': {
                const int code = hex4(m_p, m_end);
                if (code < 0)
                    return false;
                m_p += 4;
                char32_t scalar = char32_t(code);
                if (code >= 0xD800 && code <= 0xDBFF) {
                    // A pair is one character; a half on its own is none.
                    const int low = m_end - m_p >= 6 && m_p[0] == '\\' && m_p[1] == 'u' ? hex4(m_p + 2, m_end) : -1;
                    if (low >= 0xDC00 && low <= 0xDFFF) {
                        scalar = 0x10000 + ((char32_t(code) - 0xD800) << 10) + (char32_t(low) - 0xDC00);
                        m_p += 6;
                    } else {
                        scalar = 0xFFFD;
                    }
                } else if (code >= 0xDC00 && code <= 0xDFFF) {
                    scalar = 0xFFFD;
                }
                if (out)
                    text::appendUtf8(decoded, scalar);
                continue;
            }
            default: return false;
            }
            if (out)
                decoded.append(value);
        }
        return false;
    }

    bool literal(const char *word)
    {
        skipSpace();
        const size_t size = std::strlen(word);
        if (size_t(m_end - m_p) < size || std::memcmp(m_p, word, size) != 0)
            return false;
        m_p += size;
        return true;
    }

    static bool isDigit(char c) { return c >= '0' && c <= '9'; }

    // -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?: no leading zeros,
    // no bare point, no plus sign.
    bool skipNumber()
    {
        const char *p = m_p;
        if (p < m_end && *p == '-')
            ++p;
        if (p >= m_end || !isDigit(*p))
            return false;
        if (*p == '0') {
            ++p;
        } else {
            while (p < m_end && isDigit(*p))
                ++p;
        }
        if (p < m_end && *p == '.') {
            ++p;
            if (p >= m_end || !isDigit(*p))
                return false;
            while (p < m_end && isDigit(*p))
                ++p;
        }
        if (p < m_end && (*p == 'e' || *p == 'E')) {
            ++p;
            if (p < m_end && (*p == '+' || *p == '-'))
                ++p;
            if (p >= m_end || !isDigit(*p))
                return false;
            while (p < m_end && isDigit(*p))
                ++p;
        }
        m_p = p;
        return true;
    }

    bool skipValue()
    {
        if (++m_depth > maxDepth)
            return false;
        bool ok = false;
        switch (peek()) {
        case '{': ok = readObject([this](QByteArrayView) { return skipValue(); }); break;
        case '[': ok = readArray([this] { return skipValue(); }); break;
        case '"': ok = readString(nullptr); break;
        case 't': ok = literal("true"); break;
        case 'f': ok = literal("false"); break;
        case 'n': ok = literal("null"); break;
        default: ok = skipNumber(); break;
        }
        --m_depth;
        return ok;
    }

    static constexpr int maxDepth = 512;
    const char *m_p;
    const char *m_end;
    int m_depth = 0;
};

// The event of a line, or nothing for a line that is not one.
bool parseEvent(QByteArrayView line, Event &event)
{
    // Cheap test first: every event starts with a brace.
    const char *begin = line.data();
    const char *end = begin + line.size();
    const char *first = begin;
    while (first < end && (*first == ' ' || *first == '\t'))
        ++first;
    if (first == end || *first != '{')
        return false;
    Scanner scanner(first, end);
    return scanner.readEvent(event) && !event.type.view().isEmpty();
}

AgentOutput shownLine(QString text, bool standardError)
{
    return standardError ? AgentOutput::stderrLine(std::move(text)) : AgentOutput::stdoutLine(std::move(text));
}

// One line of shown text; a line too long for one piece goes out in pieces,
// each one led by "(part K of N) " and all but the last ending with the cut
// notice.
void appendShownLine(QByteArrayView line, bool standardError, QList<AgentOutput> &out)
{
    constexpr qsizetype limit = AgentEventReader::maxShownLineBytes;
    if (line.size() <= limit) {
        out.append(shownLine(platform::OutputLines::decode(line), standardError));
        return;
    }
    QList<qsizetype> cuts; // where each piece ends
    for (qsizetype offset = 0; offset < line.size();) {
        qsizetype cut = std::min(limit, line.size() - offset);
        // Never inside a UTF-8 character.
        for (int back = 0; back < 3 && offset + cut < line.size() &&
                           (static_cast<unsigned char>(line[offset + cut]) & 0xC0) == 0x80;
             ++back)
            --cut;
        offset += cut;
        cuts.append(offset);
    }
    qsizetype offset = 0;
    for (qsizetype piece = 0; piece < cuts.size(); ++piece) {
        const bool last = piece + 1 == cuts.size();
        QString text = QStringLiteral("(part %1 of %2) ").arg(piece + 1).arg(cuts.size()) +
                       platform::OutputLines::decode(line.sliced(offset, cuts[piece] - offset));
        if (!last)
            text += AgentEventReader::cutNotice();
        out.append(shownLine(std::move(text), standardError));
        offset = cuts[piece];
    }
}

} // namespace

QString AgentEventReader::cutNotice()
{
    return QStringLiteral(" \u2026 (cut: the line is longer than %1)")
        .arg(platform::OutputLines::sizeText(maxShownLineBytes));
}

void AgentEventReader::showText(QByteArrayView text, bool standardError, QList<AgentOutput> &out)
{
    if (text.isEmpty())
        return;
    // Cut into lines the way plain-text output is cut.
    const char *data = text.data();
    const qsizetype size = text.size();
    platform::LineEndFinder ends(data, size, true);
    qsizetype start = 0;
    for (qsizetype end; (end = ends.next(start)) >= 0;) {
        appendShownLine(text.sliced(start, end - start), standardError, out);
        start = end + 1;
        if (data[end] == '\r' && start < size && data[start] == '\n')
            ++start;
    }
    if (start < size)
        appendShownLine(text.sliced(start), standardError, out);
    // Only a failure is compared with what was shown last.
    if (standardError)
        m_lastShown = text.toByteArray();
    else
        m_lastShown.clear();
    m_lastShownWasError = standardError;
    m_shownAny = true;
}

void AgentEventReader::readLine(QByteArrayView line, QList<AgentOutput> &out)
{
    Event event;
    if (!parseEvent(line, event)) {
        out.append(AgentOutput::stdoutLine(platform::OutputLines::decode(line)));
        return;
    }
    const QByteArrayView type = event.type.view();
    if (is(type, "assistant")) {
        // The program's own messages name no real model and mark the failure.
        const bool synthetic = is(event.model.view(), "<synthetic>") || event.hasErrorField;
        for (const JsonText &text : std::as_const(event.texts))
            showText(text.view(), synthetic, out);
        return;
    }
    if (is(type, "result")) {
        const QByteArrayView subtype = event.subtype.view();
        const bool failed = event.isError || (!subtype.isEmpty() && !is(subtype, "success"));
        QByteArray text = event.result.view().toByteArray();
        if (failed) {
            if (text.isEmpty()) {
                // A failure without a message of its own: its error list, or its kind.
                if (!event.errors.isEmpty()) {
                    for (qsizetype i = 0; i < event.errors.size(); ++i) {
                        if (i > 0)
                            text.append('\n');
                        text.append(event.errors.at(i).view());
                    }
                } else {
                    text = "The agent stopped: " + (subtype.isEmpty() ? QByteArray("error") : subtype.toByteArray());
                }
            }
            if (!(m_lastShownWasError && text == m_lastShown))
                showText(text, true, out);
        } else if (!m_shownAny) {
            showText(text, false, out);
        }
        return;
    }
    // "system", "user" (tool results), and anything newer: nothing to show.
}

void AgentEventReader::readLeftOut(QList<AgentOutput> &out)
{
    out.append(AgentOutput::stderrLine(
        QStringLiteral("[An agent message over %1 was left out]").arg(platform::OutputLines::sizeText(maxEventBytes))));
}

} // namespace nerim
