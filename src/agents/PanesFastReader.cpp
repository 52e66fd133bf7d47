#include "agents/PanesFastReader.h"

#include "foundation/Json.h"
#include "foundation/UuidText.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace nerim {

namespace {

// Thrown to give up on the quick path; never leaves this file.
struct NotPlain {};

class Reader {
public:
    Reader(const char *begin, const char *end) : m_p(begin), m_end(end) {}

    PanesSnapshot document()
    {
        PanesSnapshot snapshot;
        bool version = false, next = false, focused = false, expanded = false, panes = false;
        object([&](std::string_view key) {
            if (key == "version") {
                once(version);
                snapshot.version = integer<int>();
            } else if (key == "nextAgentNumber") {
                once(next);
                snapshot.nextAgentNumber = integer<qint64>();
            } else if (key == "focusedPaneId") {
                once(focused);
                snapshot.focusedPaneId = optionalUuid();
            } else if (key == "expandedPaneId") {
                once(expanded);
                snapshot.expandedPaneId = optionalUuid();
            } else if (key == "panes") {
                once(panes);
                array([&] { snapshot.panes.append(pane()); });
            } else {
                skipValue(0);
            }
        });
        if (!version || !next || !panes)
            throw NotPlain{};
        whitespace();
        if (m_p != m_end)
            throw NotPlain{};
        return snapshot;
    }

private:
    static void once(bool &seen)
    {
        if (seen)
            throw NotPlain{};
        seen = true;
    }

    void whitespace()
    {
        while (m_p != m_end && (*m_p == ' ' || *m_p == '\n' || *m_p == '\r' || *m_p == '\t'))
            ++m_p;
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

    // Calls member(key) with the reader at each member's value.
    template <typename Member>
    void object(Member member)
    {
        if (!opensNonEmpty('{', '}'))
            return;
        for (;;) {
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
            const std::string_view key(start, size_t(m_p - start));
            ++m_p;
            expect(':');
            whitespace();
            member(key);
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
            return true;
        }
        return false;
    }

    static int hexDigit(char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    // A string value: plain ASCII is taken as it stands; escapes and UTF-8
    // are decoded, and anything out of the ordinary gives up.
    QString string()
    {
        expect('"');
        const char *start = m_p;
        while (m_p != m_end) {
            const unsigned char c = static_cast<unsigned char>(*m_p);
            if (c == '"') {
                QString text = QString::fromLatin1(start, m_p - start);
                ++m_p;
                return text;
            }
            if (c == '\\' || c < 0x20 || c >= 0x80)
                break;
            ++m_p;
        }
        if (m_p == m_end)
            throw NotPlain{};
        QString text;
        text.reserve((m_p - start) + 64);
        text.append(QLatin1StringView(start, m_p - start));
        while (m_p != m_end) {
            const unsigned char c = static_cast<unsigned char>(*m_p);
            if (c == '"') {
                ++m_p;
                return text;
            }
            if (c < 0x20)
                throw NotPlain{};
            if (c < 0x80 && c != '\\') {
                const char *run = m_p;
                while (m_p != m_end && static_cast<unsigned char>(*m_p) >= 0x20 &&
                       static_cast<unsigned char>(*m_p) < 0x80 && *m_p != '"' && *m_p != '\\')
                    ++m_p;
                text.append(QLatin1StringView(run, m_p - run));
                continue;
            }
            if (c == '\\') {
                if (m_end - m_p < 2)
                    throw NotPlain{};
                const char e = m_p[1];
                m_p += 2;
                switch (e) {
                case '"': text.append(QLatin1Char('"')); break;
                case '\\': text.append(QLatin1Char('\\')); break;
                case '/': text.append(QLatin1Char('/')); break;
                case 'b': text.append(QChar(0x8)); break;
                case 'f': text.append(QChar(0xC)); break;
                case 'n': text.append(QChar(0xA)); break;
                case 'r': text.append(QChar(0xD)); break;
                case 't': text.append(QChar(0x9)); break;
                case 'u': {
                    if (m_end - m_p < 4)
                        throw NotPlain{};
                    int unit = 0;
                    for (int i = 0; i < 4; ++i) {
                        const int d = hexDigit(m_p[i]);
                        if (d < 0)
                            throw NotPlain{};
                        unit = unit << 4 | d;
                    }
                    m_p += 4;
                    // One UTF-16 unit per escape, as the document reader keeps it.
                    text.append(QChar(char16_t(unit)));
                    break;
                }
                default: throw NotPlain{};
                }
                continue;
            }
            // UTF-8, strictly: no overlong forms, no surrogates, nothing above U+10FFFF.
            char32_t code = 0;
            int more = 0;
            unsigned char low = 0x80, high = 0xBF;
            if (c >= 0xC2 && c <= 0xDF) {
                code = c & 0x1F;
                more = 1;
            } else if (c >= 0xE0 && c <= 0xEF) {
                code = c & 0x0F;
                more = 2;
                if (c == 0xE0)
                    low = 0xA0;
                else if (c == 0xED)
                    high = 0x9F;
            } else if (c >= 0xF0 && c <= 0xF4) {
                code = c & 0x07;
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
                code = code << 6 | (b & 0x3F);
            }
            m_p += more + 1;
            if (code >= 0x10000) {
                text.append(QChar(QChar::highSurrogate(code)));
                text.append(QChar(QChar::lowSurrogate(code)));
            } else {
                text.append(QChar(char16_t(code)));
            }
        }
        throw NotPlain{};
    }

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
        if (const std::optional<QUuid> id = parseUuid(string()))
            return *id;
        throw NotPlain{};
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

    OutputLine line()
    {
        OutputLine line;
        bool id = false, kind = false, text = false;
        object([&](std::string_view key) {
            if (key == "id") {
                once(id);
                line.id = uuid();
            } else if (key == "kind") {
                once(kind);
                const std::optional<OutputLine::Kind> value = outputLineKindFromRaw(string());
                if (!value)
                    throw NotPlain{};
                line.kind = *value;
            } else if (key == "text") {
                once(text);
                line.text = string();
            } else {
                skipValue(0);
            }
        });
        if (!id || !kind || !text)
            throw NotPlain{};
        return line;
    }

    ConversationTurn turn()
    {
        ConversationTurn turn;
        bool id = false, prompt = false, response = false, summary = false, started = false, ended = false;
        object([&](std::string_view key) {
            if (key == "id") {
                once(id);
                turn.id = uuid();
            } else if (key == "userPrompt") {
                once(prompt);
                turn.userPrompt = string();
            } else if (key == "agentResponse") {
                once(response);
                turn.agentResponse = string();
            } else if (key == "taskCompleteSummary") {
                once(summary);
                if (!isNull())
                    turn.taskCompleteSummary = string();
            } else if (key == "startedAt") {
                once(started);
                turn.startedAt = Timestamp(number());
            } else if (key == "endedAt") {
                once(ended);
                if (!isNull())
                    turn.endedAt = Timestamp(number());
            } else {
                skipValue(0);
            }
        });
        if (!id || !prompt || !response || !started)
            throw NotPlain{};
        return turn;
    }

    PaneDiskSnapshot pane()
    {
        PaneDiskSnapshot pane;
        bool id = false, agentId = false, name = false, number = false, responsibility = false, lines = false,
             turns = false, system = false, role = false;
        object([&](std::string_view key) {
            if (key == "outputLines") {
                once(lines);
                array([&] { pane.outputLines.append(line()); });
            } else if (key == "conversation") {
                once(turns);
                array([&] { pane.conversation.append(turn()); });
            } else if (key == "id") {
                once(id);
                pane.id = uuid();
            } else if (key == "agentId") {
                once(agentId);
                pane.agentId = string();
            } else if (key == "agentName") {
                once(name);
                pane.agentName = string();
            } else if (key == "paneNumber") {
                once(number);
                pane.paneNumber = integer<int>();
            } else if (key == "responsibility") {
                once(responsibility);
                pane.responsibility = string();
            } else if (key == "isSystemPane") {
                // Lenient: anything but true reads as false.
                once(system);
                whitespace();
                if (m_end - m_p >= 4 && std::memcmp(m_p, "true", 4) == 0) {
                    m_p += 4;
                    pane.isSystemPane = true;
                } else {
                    skipValue(0);
                }
            } else if (key == "role") {
                // Lenient: anything but a known role's name reads as unspecified.
                once(role);
                whitespace();
                if (m_p != m_end && *m_p == '"')
                    pane.role = agentRoleFromRaw(string()).value_or(AgentRole::unspecified);
                else
                    skipValue(0);
            } else {
                skipValue(0);
            }
        });
        if (!id || !agentId || !name || !number || !responsibility || !lines || !turns)
            throw NotPlain{};
        return pane;
    }

    const char *m_p;
    const char *const m_end;
};

} // namespace

std::optional<PanesSnapshot> readPanesQuickly(const QByteArray &bytes)
{
    try {
        Reader reader(bytes.constData(), bytes.constData() + bytes.size());
        return reader.document();
    } catch (const NotPlain &) {
        return std::nullopt;
    }
}

} // namespace nerim
