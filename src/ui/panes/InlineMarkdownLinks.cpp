// Links in inline Markdown: a "[" or "![" kept as a bracket, and at its "]"
// the link tail read ("(destination "title")"), its title's end found once
// per position; a link opens only for an http or https address. A link's
// tail ends with its line: one not closed there is text, so that no text
// further down can make a link of it.
#include "ui/panes/InlineMarkdownParser.h"

namespace nerim::inline_markdown {

qsizetype Parser::openBracket(qsizetype i, bool image)
{
    flushText();
    m_atoms.push_back(Atom::literal(image ? QStringLiteral("![") : QStringLiteral("[")));
    m_brackets.push_back(Bracket{qsizetype(m_atoms.size() - 1), qsizetype(m_delimiters.size()), image, i});
    return i + (image ? 2 : 1);
}

qsizetype Parser::closeBracket(qsizetype i)
{
    if (m_brackets.empty()) {
        if (m_first)
            ++m_reading->unopenedBrackets;
        addText(u']');
        return i + 1;
    }
    const Bracket bracket = m_brackets.back();
    m_brackets.pop_back();
    // A "[" below the floor was open when a link closed: links do not
    // nest, so it can no longer open one (an image still can).
    const bool active = bracket.image || qsizetype(m_brackets.size()) >= m_linkFloor;
    m_linkFloor = std::min(m_linkFloor, qsizetype(m_brackets.size()));
    m_reach = i + 1;
    const std::optional<LinkTail> tail = active ? linkTail(i + 1) : std::nullopt;
    if (!tail) {
        // Held open as far as the link's tail was read; a tail read to
        // the end may go on in more text.
        const bool toTheEnd = active && m_reach >= m_end;
        holdOpen(bracket.position, std::max(i + 1, m_reach), toTheEnd ? openHold() : Hold::closed);
        if (toTheEnd && m_last && m_reading->pendingTail < 0)
            m_reading->pendingTail = bracket.position;
        addText(u']');
        return i + 1;
    }
    holdOpen(bracket.position, tail->end);
    flushText();
    processEmphasis(bracket.delimiterBottom, tail->end, false);
    // An image shows its description as text; a link's label opens the
    // address only when it is a web address.
    const bool openable = !bracket.image && opens(tail->destination);
    if (openable) {
        for (qsizetype k = bracket.atom + 1; k < qsizetype(m_atoms.size()); ++k)
            m_atoms[size_t(k)].link = tail->destination;
    }
    m_atoms[size_t(bracket.atom)].text.clear();
    if (!bracket.image) {
        // Links do not nest: no "[" still open can open one any more. One
        // floor for all of them keeps this a step, not a walk of the stack.
        m_linkFloor = qsizetype(m_brackets.size());
    }
    return tail->end;
}

bool Parser::endsBareDestination(QChar c)
{
    const char16_t u = c.unicode();
    if (u < 0x80)
        return u <= 0x20 || u == 0x7F;
    return c.isSpace() || c.category() == QChar::Other_Control;
}

qsizetype Parser::skipSpace(qsizetype i) const
{
    while (i < m_end && (m_source[i] == u' ' || m_source[i] == u'\t'))
        ++i;
    return i;
}

std::optional<LinkTail> Parser::linkTail(qsizetype i)
{
    const qsizetype size = m_end;
    const auto none = [&]() -> std::optional<LinkTail> {
        m_reach = i;
        return std::nullopt;
    };
    if (i >= size || m_source[i] != u'(')
        return none();
    i = skipSpace(i + 1);
    QString destination;
    if (i < size && m_source[i] == u'<') {
        ++i;
        while (true) {
            if (i >= size || isLineBreak(m_source[i]) || m_source[i] == u'<')
                return none();
            if (m_source[i] == u'>') {
                ++i;
                break;
            }
            if (m_source[i] == u'\\' && i + 1 < size && isAsciiPunctuation(m_source[i + 1]))
                ++i;
            destination += m_source[i++];
        }
    } else {
        int depth = 0;
        // The address is taken in pieces between escapes.
        qsizetype piece = i;
        while (i < size) {
            const QChar c = m_source[i];
            if (endsBareDestination(c))
                break;
            if (c == u'\\' && i + 1 < size && isAsciiPunctuation(m_source[i + 1])) {
                destination += QStringView(m_source).sliced(piece, i - piece);
                destination += m_source[i + 1];
                i += 2;
                piece = i;
                continue;
            }
            if (c == u'(') {
                if (++depth > 32)
                    return none();
            } else if (c == u')') {
                if (depth == 0)
                    break;
                --depth;
            }
            ++i;
        }
        destination += QStringView(m_source).sliced(piece, i - piece);
        if (depth != 0)
            return none();
    }
    const qsizetype afterDestination = i;
    i = skipSpace(i);
    if (i > afterDestination && i < size
        && (m_source[i] == u'"' || m_source[i] == u'\'' || m_source[i] == u'(')) {
        const QChar close = m_source[i] == u'(' ? QChar(u')') : m_source[i];
        i = titleEnd(i + 1, close);
        if (i >= size || m_source[i] != close)
            return none();
        i = skipSpace(i + 1);
    }
    if (i >= size || m_source[i] != u')')
        return none();
    return LinkTail{destination, i + 1};
}

qsizetype Parser::titleEnd(qsizetype from, QChar close)
{
    std::vector<qsizetype> &known = m_titleEnds[close == u'"' ? 0 : close == u'\'' ? 1 : 2];
    if (known.empty())
        known.assign(size_t(m_end - m_begin), -1);
    m_titleWalk.clear();
    qsizetype p = from;
    qsizetype end = m_end;
    while (p < m_end) {
        if (known[size_t(p - m_begin)] >= 0) {
            end = known[size_t(p - m_begin)];
            break;
        }
        if (m_source[p] == close || isLineBreak(m_source[p])) {
            end = p;
            break;
        }
        m_titleWalk.push_back(p);
        p += (m_source[p] == u'\\' && p + 1 < m_end && isAsciiPunctuation(m_source[p + 1])) ? 2 : 1;
    }
    for (const qsizetype walked : m_titleWalk)
        known[size_t(walked - m_begin)] = end;
    return end;
}

} // namespace nerim::inline_markdown
