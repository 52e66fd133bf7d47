#include "agents/AgentEventReader.h"

#include <QStringList>

namespace nerim {

namespace {

// What the reader needs of one event. Every event line is scanned once, in
// place: a full JSON document for a line of which only one or two strings
// matter would cost several times the rest of a line's way to its pane.
struct Event {
    QString type;
    QString subtype;
    QString result;
    bool hasResult = false;
    bool isError = false;
    bool hasErrorField = false; // an "error" string on the event
    QStringList errors;
    QString model;
    QList<QString> texts; // the message's text blocks, in order
};

// A strict reader of one JSON text over UTF-16, keeping only what `Event`
// names and checking the rest for well-formedness. Any fault makes the whole
// line "not an event".
class Scanner {
public:
    Scanner(const QChar *begin, const QChar *end) : m_p(begin), m_end(end) {}

    bool readEvent(Event &event)
    {
        skipSpace();
        if (!readObject([&](const QString &key) { return readTopField(key, event); }))
            return false;
        skipSpace();
        return m_p == m_end;
    }

private:
    bool readTopField(const QString &key, Event &event)
    {
        if (key == QLatin1String("type"))
            return readStringOrSkip(event.type);
        if (key == QLatin1String("subtype"))
            return readStringOrSkip(event.subtype);
        if (key == QLatin1String("result")) {
            if (peek() == u'"') {
                event.hasResult = true;
                return readString(&event.result);
            }
            return skipValue();
        }
        if (key == QLatin1String("is_error")) {
            if (peek() == u't') {
                event.isError = true;
                return literal(u"true");
            }
            return skipValue();
        }
        if (key == QLatin1String("error")) {
            if (peek() == u'"') {
                event.hasErrorField = true;
                return readString(nullptr);
            }
            return skipValue();
        }
        if (key == QLatin1String("errors") && peek() == u'[') {
            return readArray([&] {
                if (peek() != u'"')
                    return skipValue();
                QString error;
                if (!readString(&error))
                    return false;
                event.errors.append(std::move(error));
                return true;
            });
        }
        if (key == QLatin1String("message") && peek() == u'{')
            return readObject([&](const QString &field) { return readMessageField(field, event); });
        return skipValue();
    }

    bool readMessageField(const QString &key, Event &event)
    {
        if (key == QLatin1String("model"))
            return readStringOrSkip(event.model);
        if (key == QLatin1String("content") && peek() == u'[') {
            return readArray([&] {
                if (peek() != u'{')
                    return skipValue();
                QString type, text;
                bool hasText = false;
                const bool ok = readObject([&](const QString &field) {
                    if (field == QLatin1String("type"))
                        return readStringOrSkip(type);
                    if (field == QLatin1String("text") && peek() == u'"') {
                        hasText = true;
                        return readString(&text);
                    }
                    return skipValue();
                });
                if (ok && hasText && type == QLatin1String("text"))
                    event.texts.append(std::move(text));
                return ok;
            });
        }
        return skipValue();
    }

    char16_t peek()
    {
        skipSpace();
        return m_p < m_end ? m_p->unicode() : u'\0';
    }

    void skipSpace()
    {
        while (m_p < m_end) {
            const char16_t c = m_p->unicode();
            if (c != u' ' && c != u'\t' && c != u'\n' && c != u'\r')
                break;
            ++m_p;
        }
    }

    bool expect(char16_t c)
    {
        skipSpace();
        if (m_p >= m_end || m_p->unicode() != c)
            return false;
        ++m_p;
        return true;
    }

    // Calls `field(key)` with the reader at each member's value.
    template <typename F>
    bool readObject(F &&field)
    {
        if (!expect(u'{'))
            return false;
        if (peek() == u'}') {
            ++m_p;
            return true;
        }
        for (;;) {
            QString key;
            if (peek() != u'"' || !readString(&key) || !expect(u':') || !field(key))
                return false;
            const char16_t next = peek();
            if (m_p >= m_end)
                return false;
            ++m_p;
            if (next == u'}')
                return true;
            if (next != u',')
                return false;
        }
    }

    // Calls `element()` with the reader at each element.
    template <typename F>
    bool readArray(F &&element)
    {
        if (!expect(u'['))
            return false;
        if (peek() == u']') {
            ++m_p;
            return true;
        }
        for (;;) {
            if (!element())
                return false;
            const char16_t next = peek();
            if (m_p >= m_end)
                return false;
            ++m_p;
            if (next == u']')
                return true;
            if (next != u',')
                return false;
        }
    }

    bool readStringOrSkip(QString &out)
    {
        if (peek() == u'"')
            return readString(&out);
        return skipValue();
    }

    static int hexValue(char16_t c)
    {
        if (c >= u'0' && c <= u'9')
            return c - u'0';
        if (c >= u'a' && c <= u'f')
            return c - u'a' + 10;
        if (c >= u'A' && c <= u'F')
            return c - u'A' + 10;
        return -1;
    }

    // A string at the reader; into `out` unless it is null.
    bool readString(QString *out)
    {
        if (!expect(u'"'))
            return false;
        const QChar *start = m_p;
        // Plain run first: most strings have no escape at all.
        while (m_p < m_end) {
            const char16_t c = m_p->unicode();
            if (c == u'"') {
                if (out)
                    *out = QString(start, m_p - start);
                ++m_p;
                return true;
            }
            if (c == u'\\' || c < 0x20)
                break;
            ++m_p;
        }
        QString decoded;
        if (out) {
            decoded.reserve((m_end - start));
            decoded.append(start, m_p - start);
        }
        while (m_p < m_end) {
            const char16_t c = m_p->unicode();
            ++m_p;
            if (c == u'"') {
                if (out)
                    *out = std::move(decoded);
                return true;
            }
            if (c < 0x20)
                return false;
            if (c != u'\\') {
                if (out)
                    decoded.append(QChar(c));
                continue;
            }
            if (m_p >= m_end)
                return false;
            const char16_t e = m_p->unicode();
            ++m_p;
            char16_t value = 0;
            switch (e) {
            case u'"': value = u'"'; break;
            case u'\\': value = u'\\'; break;
            case u'/': value = u'/'; break;
            case u'b': value = u'\b'; break;
            case u'f': value = u'\f'; break;
            case u'n': value = u'\n'; break;
            case u'r': value = u'\r'; break;
            case u't': value = u'\t'; break;
            case u'u': {
                if (m_end - m_p < 4)
                    return false;
                int code = 0;
                for (int i = 0; i < 4; ++i) {
                    const int digit = hexValue(m_p[i].unicode());
                    if (digit < 0)
                        return false;
                    code = code * 16 + digit;
                }
                m_p += 4;
                value = static_cast<char16_t>(code);
                break;
            }
            default: return false;
            }
            if (out)
                decoded.append(QChar(value));
        }
        return false;
    }

    bool literal(std::u16string_view word)
    {
        skipSpace();
        if (static_cast<size_t>(m_end - m_p) < word.size())
            return false;
        for (size_t i = 0; i < word.size(); ++i)
            if (m_p[i].unicode() != word[i])
                return false;
        m_p += word.size();
        return true;
    }

    bool skipNumber()
    {
        const QChar *start = m_p;
        if (m_p < m_end && *m_p == u'-')
            ++m_p;
        const QChar *digits = m_p;
        while (m_p < m_end && m_p->unicode() >= u'0' && m_p->unicode() <= u'9')
            ++m_p;
        if (m_p == digits)
            return false;
        if (m_p < m_end && *m_p == u'.') {
            ++m_p;
            const QChar *fraction = m_p;
            while (m_p < m_end && m_p->unicode() >= u'0' && m_p->unicode() <= u'9')
                ++m_p;
            if (m_p == fraction)
                return false;
        }
        if (m_p < m_end && (*m_p == u'e' || *m_p == u'E')) {
            ++m_p;
            if (m_p < m_end && (*m_p == u'+' || *m_p == u'-'))
                ++m_p;
            const QChar *exponent = m_p;
            while (m_p < m_end && m_p->unicode() >= u'0' && m_p->unicode() <= u'9')
                ++m_p;
            if (m_p == exponent)
                return false;
        }
        return m_p > start;
    }

    bool skipValue()
    {
        if (++m_depth > maxDepth)
            return false;
        bool ok = false;
        switch (peek()) {
        case u'{': ok = readObject([this](const QString &) { return skipValue(); }); break;
        case u'[': ok = readArray([this] { return skipValue(); }); break;
        case u'"': ok = readString(nullptr); break;
        case u't': ok = literal(u"true"); break;
        case u'f': ok = literal(u"false"); break;
        case u'n': ok = literal(u"null"); break;
        default: ok = skipNumber(); break;
        }
        --m_depth;
        return ok;
    }

    static constexpr int maxDepth = 512;
    const QChar *m_p;
    const QChar *m_end;
    int m_depth = 0;
};

// The event of a line, or nothing for a line that is not one.
bool parseEvent(const QString &line, Event &event)
{
    // Cheap test first: every event starts with a brace.
    const QChar *begin = line.constData();
    const QChar *end = begin + line.size();
    const QChar *first = begin;
    while (first < end && (*first == u' ' || *first == u'\t'))
        ++first;
    if (first == end || *first != u'{')
        return false;
    Scanner scanner(first, end);
    return scanner.readEvent(event) && !event.type.isEmpty();
}

} // namespace

void AgentEventReader::appendLines(const QString &text, bool standardError, QList<AgentOutput> &out)
{
    const auto make = [standardError](QString line) {
        return standardError ? AgentOutput::stderrLine(std::move(line)) : AgentOutput::stdoutLine(std::move(line));
    };
    const QChar *data = text.constData();
    const qsizetype size = text.size();
    qsizetype start = 0;
    for (qsizetype i = 0; i < size; ++i) {
        const char16_t c = data[i].unicode();
        if (c != u'\n' && c != u'\r')
            continue;
        out.append(make(QString(data + start, i - start)));
        if (c == u'\r' && i + 1 < size && data[i + 1] == QLatin1Char('\n'))
            ++i;
        start = i + 1;
    }
    if (start == 0 && size > 0) {
        out.append(make(text)); // one line: shares the text, no copy
        return;
    }
    if (start < size)
        out.append(make(QString(data + start, size - start)));
}

void AgentEventReader::showText(const QString &text, bool standardError, QList<AgentOutput> &out)
{
    if (text.isEmpty())
        return;
    appendLines(text, standardError, out);
    m_lastShown = text;
    m_lastShownWasError = standardError;
    m_shownAny = true;
}

void AgentEventReader::readLine(const QString &line, QList<AgentOutput> &out)
{
    Event event;
    if (!parseEvent(line, event)) {
        out.append(AgentOutput::stdoutLine(line));
        return;
    }
    if (event.type == QLatin1String("assistant")) {
        // The program's own messages name no real model and mark the failure.
        const bool synthetic = event.model == QLatin1String("<synthetic>") || event.hasErrorField;
        for (const QString &text : std::as_const(event.texts))
            showText(text, synthetic, out);
        return;
    }
    if (event.type == QLatin1String("result")) {
        const bool failed = event.isError || (!event.subtype.isEmpty() && event.subtype != QLatin1String("success"));
        QString text = event.result;
        if (failed) {
            if (text.isEmpty()) {
                // A failure without a message of its own: its error list, or its kind.
                text = !event.errors.isEmpty() ? event.errors.join(QLatin1Char('\n'))
                                               : QStringLiteral("The agent stopped: %1")
                                                     .arg(event.subtype.isEmpty() ? QStringLiteral("error") : event.subtype);
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

} // namespace nerim
