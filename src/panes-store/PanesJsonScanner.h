#pragma once

// The JSON scanning under the fast panes reader (PanesFastReader): the bytes
// of a document in memory or of a file read in pieces, and its tokens
// (objects, arrays, strings, numbers, ids), giving up with NotPlain on
// anything that is not plain JSON of the form this program writes. Included
// only by the fast reader.

#include "panes-store/PanesEncoding.h"
#include "foundation/Text.h"
#include "foundation/UuidText.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QUuid>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>

namespace nerim {

// The reader takes either a whole document in memory or a file it reads in
// pieces. From a file, no more is held than the piece being read and the one
// element (a transcript line, a turn, a small value) being decoded: before an
// element is decoded, its extent is found (`fillValue`) and read in whole, so
// the decoding itself never runs past what is held and may point into it.
// Held bytes move only between elements (`refill`), where nothing points into
// them; offsets into the file (`offset`) stay valid throughout.
class PanesJsonScanner {
public:
    // Thrown to give up on the quick path; never leaves the fast reader.
    struct NotPlain {};
    // Thrown when the file cannot be read on.
    struct ReadFailed {
        int error;
    };

    PanesJsonScanner(const char *begin, const char *end) : m_begin(begin), m_p(begin), m_end(end) {}

    explicit PanesJsonScanner(int fd) : m_fd(fd)
    {
        m_buffer.resize(pieceSize);
        m_begin = m_p = m_end = m_buffer.constData();
    }

protected:
    // What is read at a time. An element longer than that (a turn's long
    // answer) is held whole however long it is: whatever the writer wrote is
    // read back.
    static constexpr qsizetype pieceSize = 1024 * 1024;

    // Where the cursor is in the whole input.
    qint64 offset() const { return m_base + (m_p - m_begin); }

    // Reads more of the file behind what is held from the cursor on; false at
    // its end. Never inside an element being decoded (see `fillValue`).
    bool refill()
    {
        if (m_fd < 0 || m_eof || offset() < m_filledEnd)
            return false;
        const qsizetype kept = m_end - m_p;
        char *data = m_buffer.data();
        if (m_p != data) {
            m_base = offset();
            std::memmove(data, m_p, size_t(kept));
        }
        if (m_buffer.size() - kept < pieceSize) {
            m_buffer.resize(std::max(kept + pieceSize, m_buffer.size() + m_buffer.size() / 2));
            data = m_buffer.data();
        }
        qsizetype got = 0;
        for (;;) {
            const ssize_t n = ::read(m_fd, data + kept, size_t(m_buffer.size() - kept));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                throw ReadFailed{errno};
            got = n;
            break;
        }
        m_begin = m_p = data;
        m_end = data + kept + got;
        if (got == 0)
            m_eof = true;
        return got > 0;
    }

    // The byte `at` places after the cursor, reading more when it is not held
    // yet; -1 past the end of the input.
    int byteAt(qsizetype at)
    {
        while (m_end - m_p <= at) {
            if (!refill())
                return -1;
        }
        return static_cast<unsigned char>(m_p[at]);
    }

    static bool isSpace(int c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

    // Makes sure the value that starts after any white space at the cursor is
    // held whole, with the byte that ends a number or literal: its syntax is
    // only followed far enough to find its end (strings, nesting), the
    // decoding checks the rest. Nothing to do for a document in memory.
    void fillValue()
    {
        if (m_fd < 0 || offset() < m_filledEnd)
            return;
        qsizetype at = 0;
        int c = byteAt(at);
        while (isSpace(c))
            c = byteAt(++at);
        if (c < 0)
            return;
        const auto endString = [&] {
            // `at` is on the opening quote.
            ++at;
            for (;;) {
                const char *p = m_p + at;
                while (p < m_end && *p != '"' && *p != '\\')
                    ++p;
                if (p >= m_end) {
                    if (p == m_end)
                        at = p - m_p;
                    if (!refill())
                        return false;
                    continue;
                }
                at = p - m_p;
                if (*p == '\\') {
                    at += 2;
                    continue;
                }
                ++at;
                return true;
            }
        };
        if (c == '"') {
            endString();
        } else if (c == '{' || c == '[') {
            int depth = 0;
            for (; c >= 0; c = byteAt(at)) {
                if (c == '"') {
                    if (!endString())
                        break;
                    continue;
                }
                ++at;
                if (c == '{' || c == '[') {
                    ++depth;
                } else if (c == '}' || c == ']') {
                    if (--depth == 0)
                        break;
                }
            }
        } else {
            while (c >= 0 && c != ',' && c != '}' && c != ']' && !isSpace(c))
                c = byteAt(++at);
        }
        m_filledEnd = offset() + at;
    }

    static void once(bool &seen)
    {
        if (seen)
            throw NotPlain{};
        seen = true;
    }

    // Steps over white space, reading more of a file between elements.
    void whitespace()
    {
        for (;;) {
            const char *from = m_p;
            while (m_p != m_end && (*m_p == ' ' || *m_p == '\n' || *m_p == '\r' || *m_p == '\t'))
                ++m_p;
            if (m_p != from)
                m_canonical = false;
            if (m_p != m_end || !refill())
                return;
        }
    }

    void expect(char c)
    {
        whitespace();
        if (m_p == m_end || *m_p != c)
            throw NotPlain{};
        ++m_p;
    }

    bool peekIs(char c)
    {
        whitespace();
        return m_p != m_end && *m_p == c;
    }

    // Reads `open`; false (with `close` read too) when the object or array is empty.
    bool opensNonEmpty(char open, char close)
    {
        expect(open);
        if (!peekIs(close))
            return true;
        ++m_p;
        return false;
    }

    // Calls member(key) with the reader at each member's value. The values
    // of the keys in `streamed` (large arrays) are read from a file element by
    // element; every other value is held whole first.
    template <typename Member>
    void object(Member member, std::initializer_list<std::string_view> streamed = {})
    {
        if (!opensNonEmpty('{', '}'))
            return;
        for (;;) {
            fillValue();
            expect('"');
            const char *start = m_p;
            while (m_p != m_end && *m_p != '"') {
                const unsigned char c = static_cast<unsigned char>(*m_p);
                if (c == '\\' || c < 0x20 || c >= 0x80)
                    throw NotPlain{}; // keys are plain ASCII in this format
                ++m_p;
            }
            if (m_p == m_end)
                throw NotPlain{};
            // Kept apart: reading on to the value may move the held bytes.
            const std::string key(start, size_t(m_p - start));
            ++m_p;
            expect(':');
            whitespace();
            if (std::find(streamed.begin(), streamed.end(), std::string_view(key)) == streamed.end())
                fillValue();
            member(std::string_view(key));
            if (!another('}'))
                return;
        }
    }

    template <typename Element>
    void array(Element element)
    {
        if (!opensNonEmpty('[', ']'))
            return;
        for (;;) {
            whitespace();
            element();
            if (!another(']'))
                return;
        }
    }

    // After a member or element: true when a "," says another follows, false
    // at the `close` that ends the object or array.
    bool another(char close)
    {
        whitespace();
        if (m_p == m_end)
            throw NotPlain{};
        if (*m_p == ',') {
            ++m_p;
            return true;
        }
        if (*m_p == close) {
            ++m_p;
            return false;
        }
        throw NotPlain{};
    }

    bool isNull()
    {
        whitespace();
        if (m_end - m_p >= 4 && std::memcmp(m_p, "null", 4) == 0) {
            m_p += 4;
            m_canonical = false; // written as an absent key
            return true;
        }
        return false;
    }

    // Checks one UTF-8 sequence at the cursor, strictly (no overlong forms,
    // no surrogates, nothing above U+10FFFF), and steps over it.
    void utf8Sequence()
    {
        const unsigned char c = static_cast<unsigned char>(*m_p);
        int more = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            more = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            more = 2;
            if (c == 0xE0)
                low = 0xA0;
            else if (c == 0xED)
                high = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3;
            if (c == 0xF0)
                low = 0x90;
            else if (c == 0xF4)
                high = 0x8F;
        } else {
            throw NotPlain{};
        }
        if (m_end - m_p <= more)
            throw NotPlain{};
        for (int i = 1; i <= more; ++i) {
            const unsigned char b = static_cast<unsigned char>(m_p[i]);
            if (b < (i == 1 ? low : 0x80) || b > (i == 1 ? high : 0xBF))
                throw NotPlain{};
        }
        m_p += more + 1;
    }

    // Steps over bytes that stand for themselves in a string (valid UTF-8,
    // no quote, backslash or control character).
    void plainRun()
    {
        while (m_p != m_end) {
            const unsigned char c = static_cast<unsigned char>(*m_p);
            if (c < 0x80) {
                if (c < 0x20 || c == '"' || c == '\\')
                    return;
                ++m_p;
            } else {
                utf8Sequence();
            }
        }
    }

    // Four hex digits at the cursor, as one UTF-16 unit; upper-case letters
    // are no form this program writes.
    char16_t hexUnit()
    {
        if (m_end - m_p < 4)
            throw NotPlain{};
        int unit = 0;
        for (int i = 0; i < 4; ++i) {
            const int d = text::hexDigitValue(m_p[i]);
            if (d < 0)
                throw NotPlain{};
            if (m_p[i] >= 'A' && m_p[i] <= 'F')
                m_canonical = false;
            unit = unit << 4 | d;
        }
        m_p += 4;
        return char16_t(unit);
    }

    // A string value in the form a transcript holds text (OutputLines::utf8):
    // a view of the input when the string has no escapes, else of text decoded
    // into a scratch buffer, valid until the next string. Escapes are read as
    // the document reader reads them, one UTF-16 unit each (a pair of escaped
    // surrogates is one character). Anything this program would write another
    // way (other escapes, upper-case hex digits) makes the input not canonical.
    QByteArrayView heldString()
    {
        expect('"');
        const char *start = m_p;
        plainRun();
        if (m_p == m_end)
            throw NotPlain{};
        if (*m_p == '"')
            return QByteArrayView(start, m_p++ - start);
        m_scratch.resize(0);
        m_scratch.append(start, m_p - start);
        while (m_p != m_end) {
            const unsigned char c = static_cast<unsigned char>(*m_p);
            if (c == '"') {
                ++m_p;
                return QByteArrayView(m_scratch);
            }
            if (c != '\\') {
                const char *run = m_p;
                plainRun();
                if (m_p == run)
                    throw NotPlain{}; // a control character
                m_scratch.append(run, m_p - run);
                continue;
            }
            if (m_end - m_p < 2)
                throw NotPlain{};
            const char e = m_p[1];
            m_p += 2;
            switch (e) {
            case '"': m_scratch.append('"'); break;
            case '\\': m_scratch.append('\\'); break;
            case '/':
                m_scratch.append('/');
                m_canonical = false;
                break;
            case 'b': m_scratch.append('\x08'); break;
            case 'f': m_scratch.append('\x0C'); break;
            case 'n': m_scratch.append('\n'); break;
            case 'r': m_scratch.append('\r'); break;
            case 't': m_scratch.append('\t'); break;
            case 'u': {
                const char16_t unit = hexUnit();
                if (QChar::isHighSurrogate(unit) && m_end - m_p >= 6 && m_p[0] == '\\' && m_p[1] == 'u') {
                    const char *back = m_p;
                    m_p += 2;
                    const char16_t next = hexUnit();
                    if (QChar::isLowSurrogate(next)) {
                        // Written as the character itself by this program.
                        m_canonical = false;
                        text::appendUtf8(m_scratch, QChar::surrogateToUcs4(unit, next));
                        break;
                    }
                    m_p = back;
                }
                const bool shortForm = unit == 0x8 || unit == 0x9 || unit == 0xA || unit == 0xC || unit == 0xD;
                if (!QChar::isSurrogate(unit) && (unit >= 0x20 || shortForm))
                    m_canonical = false;
                text::appendUtf8(m_scratch, unit);
                break;
            }
            default: throw NotPlain{};
            }
        }
        throw NotPlain{};
    }

    QString string() { return transcriptText::decode(heldString()); }

    // A number token, read as the document reader reads it (a double).
    double number()
    {
        whitespace();
        const char *start = m_p;
        if (m_p != m_end && *m_p == '-')
            ++m_p;
        if (m_p == m_end)
            throw NotPlain{};
        if (*m_p == '0') {
            ++m_p;
        } else if (*m_p >= '1' && *m_p <= '9') {
            while (m_p != m_end && *m_p >= '0' && *m_p <= '9')
                ++m_p;
        } else {
            throw NotPlain{};
        }
        if (m_p != m_end && *m_p == '.') {
            ++m_p;
            const char *digits = m_p;
            while (m_p != m_end && *m_p >= '0' && *m_p <= '9')
                ++m_p;
            if (m_p == digits)
                throw NotPlain{};
        }
        if (m_p != m_end && (*m_p == 'e' || *m_p == 'E')) {
            ++m_p;
            if (m_p != m_end && (*m_p == '+' || *m_p == '-'))
                ++m_p;
            const char *digits = m_p;
            while (m_p != m_end && *m_p >= '0' && *m_p <= '9')
                ++m_p;
            if (m_p == digits)
                throw NotPlain{};
        }
        double value = 0;
        const auto [end, error] = std::from_chars(start, m_p, value);
        if (error != std::errc() || end != m_p || !std::isfinite(value))
            throw NotPlain{};
        if (m_canonical) {
            m_number.resize(0);
            panesEncoding::appendNumber(m_number, value);
            if (QByteArrayView(m_number) != QByteArrayView(start, m_p - start))
                m_canonical = false;
        }
        return value;
    }

    template <typename Int>
    Int integer()
    {
        if (const std::optional<Int> value = json::exactInteger<Int>(number()))
            return *value;
        throw NotPlain{};
    }

    QUuid uuid()
    {
        const QByteArrayView text = heldString();
        if (text.size() == 36) {
            QUuid id;
            bool upper = true;
            if (parseUuidBytes(text.data(), id, upper)) {
                if (!upper)
                    m_canonical = false;
                return id;
            }
        }
        throw NotPlain{};
    }

    // The canonical form's 36 characters (either letter case; `upper` tells
    // whether every letter was upper-case).
    static bool parseUuidBytes(const char *text, QUuid &id, bool &upper)
    {
        uchar bytes[16];
        int at = 0;
        for (int i = 0; i < 36;) {
            if (i == 8 || i == 13 || i == 18 || i == 23) {
                if (text[i] != '-')
                    return false;
                ++i;
                continue;
            }
            const int high = text::hexDigitValue(text[i]);
            const int low = text::hexDigitValue(text[i + 1]);
            if (high < 0 || low < 0)
                return false;
            if ((text[i] >= 'a' && text[i] <= 'f') || (text[i + 1] >= 'a' && text[i + 1] <= 'f'))
                upper = false;
            bytes[at++] = uchar(high << 4 | low);
            i += 2;
        }
        id = QUuid::fromRfc4122(QByteArrayView(reinterpret_cast<const char *>(bytes), 16));
        return true;
    }

    // A UUID when the value is one, else nothing (whatever it is).
    std::optional<QUuid> lenientUuid()
    {
        whitespace();
        if (m_p == m_end || *m_p != '"') {
            skipValue(0);
            return std::nullopt;
        }
        const QByteArrayView text = heldString();
        QUuid id;
        bool upper = true;
        if (text.size() != 36 || !parseUuidBytes(text.data(), id, upper))
            return std::nullopt;
        return id;
    }

    std::optional<QUuid> optionalUuid()
    {
        if (isNull())
            return std::nullopt;
        return uuid();
    }

    void skipValue(int depth)
    {
        if (depth > 64)
            throw NotPlain{};
        whitespace();
        if (m_p == m_end)
            throw NotPlain{};
        switch (*m_p) {
        case '{': object([&](std::string_view) { skipValue(depth + 1); }); return;
        case '[': array([&] { skipValue(depth + 1); }); return;
        case '"': (void)string(); return;
        case 't': literal("true"); return;
        case 'f': literal("false"); return;
        case 'n': literal("null"); return;
        default: (void)number();
        }
    }

    void literal(const char *word)
    {
        const size_t size = std::strlen(word);
        if (size_t(m_end - m_p) < size || std::memcmp(m_p, word, size) != 0)
            throw NotPlain{};
        m_p += size;
    }


    // Reads `literal` when the input goes on with it.
    bool take(std::string_view literal)
    {
        if (size_t(m_end - m_p) < literal.size() || std::memcmp(m_p, literal.data(), literal.size()) != 0)
            return false;
        m_p += literal.size();
        return true;
    }

    const char *m_begin = nullptr;
    const char *m_p = nullptr;
    const char *m_end = nullptr;
    // Reading a file: its descriptor (else -1), what is held of it, the offset
    // of the first byte held, whether its end was reached, and the end of the
    // element held whole last.
    int m_fd = -1;
    QByteArray m_buffer;
    qint64 m_base = 0;
    bool m_eof = false;
    qint64 m_filledEnd = 0;
    // Whether what was read since this was last set is as this program
    // writes it.
    bool m_canonical = true;
    QByteArray m_scratch;
    QByteArray m_number;
};

} // namespace nerim
