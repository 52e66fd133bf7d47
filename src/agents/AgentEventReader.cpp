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
    // A retry notice's numbers ("api_retry"): absent when missing, null or not whole.
    std::optional<qint64> attempt;
    std::optional<qint64> maxRetries;
    std::optional<qint64> errorStatus;
};

// A strict reader of one JSON text over its UTF-8 bytes, keeping only what
// `Event` names and checking everything else for well-formedness without
// decoding it: a tool call carrying a whole file costs one pass over its
// bytes. Any fault makes the whole line "not an event". Bytes that are not
// UTF-8 inside strings are let through (the decoded text shows U+FFFD).
//
// Each step takes the position it reads from and returns the position after
// what it read, or null on a fault: the position stays in a register through
// the whole scan. A value is read from its first byte (white space before it
// already skipped), which may be the end of the text.
class Scanner {
public:
    explicit Scanner(const char *end) : m_end(end) {}

    bool readEvent(const char *begin, Event &event)
    {
        const char *p = space(begin);
        if (at(p) != '{')
            return false;
        p = object(p, [&](QByteArrayView key, const char *value) { return topField(key, value, event); });
        return p && space(p) == m_end;
    }

private:
    const char *topField(QByteArrayView key, const char *p, Event &event)
    {
        if (is(key, "type"))
            return stringOrSkip(p, event.type);
        if (is(key, "subtype"))
            return stringOrSkip(p, event.subtype);
        if (is(key, "result")) {
            if (at(p) == '"') {
                event.hasResult = true;
                return string(p, &event.result);
            }
            return skipValue(p);
        }
        if (is(key, "is_error")) {
            if (at(p) == 't') {
                event.isError = true;
                return literal(p, "true");
            }
            return skipValue(p);
        }
        if (is(key, "error")) {
            if (at(p) == '"') {
                event.hasErrorField = true;
                return string(p, nullptr);
            }
            return skipValue(p);
        }
        if (is(key, "errors") && at(p) == '[') {
            return array(p, [&](const char *q) -> const char * {
                if (at(q) != '"')
                    return skipValue(q);
                JsonText error;
                q = string(q, &error);
                if (q)
                    event.errors.append(std::move(error));
                return q;
            });
        }
        if (is(key, "message") && at(p) == '{')
            return object(p, [&](QByteArrayView field, const char *q) { return messageField(field, q, event); });
        if (is(key, "attempt"))
            return wholeNumber(p, event.attempt);
        if (is(key, "max_retries"))
            return wholeNumber(p, event.maxRetries);
        if (is(key, "error_status"))
            return wholeNumber(p, event.errorStatus);
        return skipValue(p);
    }

    // Any value; when it is a whole number, `number` takes it.
    const char *wholeNumber(const char *p, std::optional<qint64> &number)
    {
        const char *end = skipValue(p);
        if (end && (at(p) == '-' || (at(p) >= '0' && at(p) <= '9'))) {
            bool ok = false;
            const qint64 value = QByteArrayView(p, end - p).toLongLong(&ok);
            if (ok)
                number = value;
        }
        return end;
    }

    const char *messageField(QByteArrayView key, const char *p, Event &event)
    {
        if (is(key, "model"))
            return stringOrSkip(p, event.model);
        if (is(key, "content") && at(p) == '[') {
            return array(p, [&](const char *q) -> const char * {
                if (at(q) != '{')
                    return skipValue(q);
                JsonText type, text;
                bool hasText = false;
                q = object(q, [&](QByteArrayView field, const char *r) -> const char * {
                    if (is(field, "type"))
                        return stringOrSkip(r, type);
                    if (is(field, "text") && at(r) == '"') {
                        hasText = true;
                        return string(r, &text);
                    }
                    // A tool call's input and a tool result's content are
                    // looked over, never decoded.
                    return skipValue(r);
                });
                if (q && hasText && is(type.view(), "text"))
                    event.texts.append(std::move(text));
                return q;
            });
        }
        return skipValue(p);
    }

    char at(const char *p) const { return p < m_end ? *p : '\0'; }

    const char *space(const char *p) const
    {
        // Compact JSON has no white space between tokens: one test for the
        // usual case (every white-space byte is at most a space).
        while (p < m_end && static_cast<unsigned char>(*p) <= ' ' &&
               (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r'))
            ++p;
        return p;
    }

    // An object at `p`; calls `field(key, value)` with each member's value.
    template <typename F>
    const char *object(const char *p, F &&field)
    {
        p = space(p + 1);
        if (at(p) == '}')
            return p + 1;
        for (;;) {
            if (at(p) != '"')
                return nullptr;
            JsonText key;
            p = string(p, &key);
            if (!p)
                return nullptr;
            p = space(p);
            if (at(p) != ':')
                return nullptr;
            p = field(key.view(), space(p + 1));
            bool more = false;
            if (p)
                p = separator(p, '}', more);
            if (!more)
                return p;
        }
    }

    // An array at `p`; calls `element(p)` at each element.
    template <typename F>
    const char *array(const char *p, F &&element)
    {
        p = space(p + 1);
        if (at(p) == ']')
            return p + 1;
        for (;;) {
            p = element(p);
            bool more = false;
            if (p)
                p = separator(p, ']', more);
            if (!more)
                return p;
        }
    }

    // After a member or an element: past the comma and the space after it
    // when another one follows (`more`), past `close` when none does; null
    // on anything else.
    const char *separator(const char *p, char close, bool &more) const
    {
        p = space(p);
        if (p == m_end)
            return nullptr;
        const char next = *p++;
        more = next == ',';
        if (more)
            return space(p);
        return next == close ? p : nullptr;
    }

    const char *stringOrSkip(const char *p, JsonText &out)
    {
        if (at(p) == '"')
            return string(p, &out);
        return skipValue(p);
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

    // Four hex digits at `p`, or -1.
    static int hex4(const char *p, const char *end)
    {
        if (end - p < 4)
            return -1;
        int code = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = text::hexDigitValue(p[i]);
            if (digit < 0)
                return -1;
            code = code * 16 + digit;
        }
        return code;
    }

    // A string at `p` (its opening quote); into `out` unless it is null. A
    // string without escapes (nearly all of them) is found in one vectorised
    // pass and nothing is copied; one with escapes is decoded apart.
    const char *string(const char *p, JsonText *out)
    {
        const char *start = p + 1;
        const char *stop = plainRunEnd(start, m_end);
        if (Q_LIKELY(stop < m_end && *stop == '"')) {
            if (out)
                out->raw = QByteArrayView(start, stop - start);
            return stop + 1;
        }
        return escapedString(start, stop, out);
    }

    // The rest of a string that starts at `start`, from `p`, its first byte
    // that is not plain text (or its end).
    Q_NEVER_INLINE const char *escapedString(const char *start, const char *p, JsonText *out)
    {
        QByteArray decoded;
        if (out)
            decoded.append(start, p - start);
        while (p < m_end) {
            const char c = *p;
            if (c == '"') {
                if (out) {
                    out->decoded = std::move(decoded);
                    out->escaped = true;
                }
                return p + 1;
            }
            if (c != '\\') {
                if (static_cast<unsigned char>(c) < 0x20)
                    return nullptr;
                const char *run = p;
                p = plainRunEnd(p, m_end);
                if (out)
                    decoded.append(run, p - run);
                continue;
            }
            if (m_end - p < 2)
                return nullptr;
            const char e = p[1];
            p += 2;
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
                const int code = hex4(p, m_end);
                if (code < 0)
                    return nullptr;
                p += 4;
                char32_t scalar = char32_t(code);
                if (code >= 0xD800 && code <= 0xDBFF) {
                    // A pair is one character; a half on its own is none.
                    const int low = m_end - p >= 6 && p[0] == '\\' && p[1] == 'u' ? hex4(p + 2, m_end) : -1;
                    if (low >= 0xDC00 && low <= 0xDFFF) {
                        scalar = 0x10000 + ((char32_t(code) - 0xD800) << 10) + (char32_t(low) - 0xDC00);
                        p += 6;
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
            default: return nullptr;
            }
            if (out)
                decoded.append(value);
        }
        return nullptr;
    }

    const char *literal(const char *p, const char *word) const
    {
        const size_t size = std::strlen(word);
        if (size_t(m_end - p) < size || std::memcmp(p, word, size) != 0)
            return nullptr;
        return p + size;
    }

    static bool isDigit(char c) { return c >= '0' && c <= '9'; }

    // -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?: no leading zeros,
    // no bare point, no plus sign.
    const char *number(const char *p) const
    {
        if (p < m_end && *p == '-')
            ++p;
        if (p >= m_end || !isDigit(*p))
            return nullptr;
        if (*p == '0') {
            ++p;
        } else {
            while (p < m_end && isDigit(*p))
                ++p;
        }
        if (p < m_end && *p == '.') {
            ++p;
            if (p >= m_end || !isDigit(*p))
                return nullptr;
            while (p < m_end && isDigit(*p))
                ++p;
        }
        if (p < m_end && (*p == 'e' || *p == 'E')) {
            ++p;
            if (p < m_end && (*p == '+' || *p == '-'))
                ++p;
            if (p >= m_end || !isDigit(*p))
                return nullptr;
            while (p < m_end && isDigit(*p))
                ++p;
        }
        return p;
    }

    // Any value at `p`, checked and passed over; nested at most `maxDepth`
    // deep.
    const char *skipValue(const char *p)
    {
        if (++m_depth > maxDepth)
            return nullptr;
        const char *after = nullptr;
        switch (at(p)) {
        case '"': after = string(p, nullptr); break;
        case '{': after = object(p, [this](QByteArrayView, const char *q) { return skipValue(q); }); break;
        case '[': after = array(p, [this](const char *q) { return skipValue(q); }); break;
        case 't': after = literal(p, "true"); break;
        case 'f': after = literal(p, "false"); break;
        case 'n': after = literal(p, "null"); break;
        default: after = number(p); break;
        }
        --m_depth;
        return after;
    }

    static constexpr int maxDepth = 512;
    const char *const m_end;
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
    Scanner scanner(end);
    return scanner.readEvent(first, event) && !event.type.view().isEmpty();
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
        out.append(AgentOutput::pieceOfLine(std::move(text), standardError));
        offset = cuts[piece];
    }
}

} // namespace

QString AgentEventReader::retryStatusText(std::optional<qint64> attempt, std::optional<qint64> maxRetries,
                                          std::optional<qint64> errorStatus)
{
    const QString why = errorStatus ? QStringLiteral("AI service error %1").arg(*errorStatus)
                                    : QStringLiteral("AI service not answering");
    QString next = QStringLiteral("trying again");
    if (attempt && maxRetries)
        next += QStringLiteral(" (attempt %1 of %2)").arg(*attempt).arg(*maxRetries);
    else if (attempt)
        next += QStringLiteral(" (attempt %1)").arg(*attempt);
    return why + QStringLiteral(" \u2014 ") + next + QStringLiteral("\u2026");
}

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
        // Plain text is shown as any text is: a long line in pieces.
        appendShownLine(line, false, out);
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
    if (is(type, "system") && is(event.subtype.view(), "api_retry")) {
        // The program could not get an answer and tries again by itself: the
        // pane says so instead of looking stuck while it waits.
        out.append(AgentOutput::statusLine(retryStatusText(event.attempt, event.maxRetries, event.errorStatus)));
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
