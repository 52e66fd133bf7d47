// Emphasis, strong and strikethrough in inline Markdown: runs of markers
// collected with whether they may open or close, paired the way CommonMark
// pairs delimiter runs (the rule of three), and the atoms put together into
// the text and its styled stretches.
#include "ui/panes/InlineMarkdownParser.h"

namespace nerim::inline_markdown {

qsizetype Parser::delimiterRun(qsizetype i)
{
    const QChar marker = m_source[i];
    const qsizetype length = runLength(i, marker);
    if (marker == u'~' && length != 2) {
        addText(QStringView(m_source).sliced(i, length));
        return i + length;
    }
    // The start and end of the text count as white space.
    const QChar before = i > m_begin ? m_source[i - 1] : QChar(u'\n');
    const QChar after = i + length < m_end ? m_source[i + length] : QChar(u'\n');
    const bool leftFlanking =
        !after.isSpace() && (!isPunctuation(after) || before.isSpace() || isPunctuation(before));
    const bool rightFlanking =
        !before.isSpace() && (!isPunctuation(before) || after.isSpace() || isPunctuation(after));
    bool canOpen = leftFlanking;
    bool canClose = rightFlanking;
    if (marker == u'_') {
        canOpen = leftFlanking && (!rightFlanking || isPunctuation(before));
        canClose = rightFlanking && (!leftFlanking || isPunctuation(after));
    }
    flushText();
    m_atoms.push_back(Atom::markers(marker, int(length)));
    const qsizetype index = qsizetype(m_delimiters.size());
    m_delimiters.push_back(Delimiter{qsizetype(m_atoms.size() - 1), marker, int(length), canOpen, canClose, false,
                                     i, m_lastDelimiter, -1});
    if (m_lastDelimiter >= 0)
        m_delimiters[size_t(m_lastDelimiter)].next = index;
    m_lastDelimiter = index;
    return i + length;
}

void Parser::processEmphasis(qsizetype bottom, qsizetype closedAt, bool last)
{
    // The first delimiter still in play from `bottom` on.
    qsizetype first = -1;
    for (qsizetype d = m_lastDelimiter; d >= bottom; d = m_delimiters[size_t(d)].previous)
        first = d;
    // Where the search for an opener may stop, per closer kind: openers
    // below it were already found unusable for such a closer.
    std::array<qsizetype, 3 * 2 * 3> openersBottom;
    openersBottom.fill(bottom);
    for (qsizetype c = first; c >= 0; c = m_delimiters[size_t(c)].next) {
        Delimiter &closer = m_delimiters[size_t(c)];
        if (!closer.canClose)
            continue;
        while (!closer.removed) {
            const size_t key = size_t(markerIndex(closer.marker) * 6 + (closer.canOpen ? 3 : 0)
                                      + closer.originalCount % 3);
            qsizetype found = -1;
            for (qsizetype o = closer.previous; o >= openersBottom[key]; o = m_delimiters[size_t(o)].previous) {
                const Delimiter &opener = m_delimiters[size_t(o)];
                if (opener.marker != closer.marker || !opener.canOpen)
                    continue;
                if (closer.marker != u'~' && (opener.canClose || closer.canOpen)
                    && (opener.originalCount + closer.originalCount) % 3 == 0
                    && !(opener.originalCount % 3 == 0 && closer.originalCount % 3 == 0))
                    continue;
                found = o;
                break;
            }
            if (found < 0) {
                if (last && m_first)
                    m_reading->closers.append({closer.marker.unicode(), closer.originalCount, closer.canOpen,
                                               m_atoms[size_t(closer.atom)].count});
                openersBottom[key] = c;
                if (!closer.canOpen)
                    remove(c, -1);
                break;
            }
            Delimiter &opener = m_delimiters[size_t(found)];
            Atom &openerAtom = m_atoms[size_t(opener.atom)];
            Atom &closerAtom = m_atoms[size_t(closer.atom)];
            int used = 1;
            quint8 style = InlineMarkdown::emphasis;
            if (closer.marker == u'~') {
                used = 2;
                style = InlineMarkdown::strikethrough;
            } else if (openerAtom.count >= 2 && closerAtom.count >= 2) {
                used = 2;
                style = InlineMarkdown::strong;
            }
            m_styleRanges.push_back(StyleRange{opener.atom + 1, closer.atom, style});
            const qsizetype closerEnd = closer.position + closer.originalCount;
            // The pair holds the text between open, also when the opener
            // has markers left for another closer.
            holdOpen(opener.position, closerEnd);
            while (opener.next != c)
                remove(opener.next, closerEnd);
            openerAtom.count -= used;
            closerAtom.count -= used;
            if (openerAtom.count == 0)
                remove(found, closerEnd);
            if (closerAtom.count == 0)
                remove(c, closerEnd);
        }
    }
    // What is left from `bottom` on is the tail of the list.
    while (m_lastDelimiter >= bottom)
        remove(m_lastDelimiter, closedAt, last ? openHold() : Hold::closed);
}

void Parser::remove(qsizetype d, qsizetype closedAt, Hold hold)
{
    Delimiter &delimiter = m_delimiters[size_t(d)];
    if (delimiter.removed)
        return;
    delimiter.removed = true;
    if (delimiter.canOpen && closedAt >= 0) {
        holdOpen(delimiter.position, closedAt, hold);
        if (hold == Hold::open)
            m_reading->openers.append(
                {delimiter.position, delimiter.marker.unicode(), delimiter.originalCount, delimiter.canClose});
    }
    if (delimiter.previous >= 0)
        m_delimiters[size_t(delimiter.previous)].next = delimiter.next;
    if (delimiter.next >= 0)
        m_delimiters[size_t(delimiter.next)].previous = delimiter.previous;
    else
        m_lastDelimiter = delimiter.previous;
}

InlineMarkdown Parser::result() const
{
    // The styles of the pairs, counted in and out along the atoms (one
    // counter per style bit: a style may nest in itself).
    std::vector<std::array<int, 4>> changes(m_atoms.size() + 1, std::array<int, 4>{});
    for (const StyleRange &range : m_styleRanges) {
        const int bit = std::countr_zero(unsigned(range.style));
        ++changes[size_t(range.first)][size_t(bit)];
        --changes[size_t(range.last)][size_t(bit)];
    }
    std::array<int, 4> depth{};
    InlineMarkdown markdown;
    for (size_t a = 0; a < m_atoms.size(); ++a) {
        const Atom &atom = m_atoms[a];
        quint8 styles = atom.styles;
        for (size_t bit = 0; bit < depth.size(); ++bit) {
            depth[bit] += changes[a][bit];
            if (depth[bit] > 0)
                styles |= quint8(1u << bit);
        }
        const QString piece = atom.count > 0 ? QString(atom.count, atom.marker) : atom.text;
        if (piece.isEmpty())
            continue;
        const qsizetype start = markdown.text.size();
        markdown.text += piece;
        if (styles == 0 && atom.link.isEmpty())
            continue;
        if (!markdown.spans.isEmpty()) {
            InlineMarkdown::Span &last = markdown.spans.last();
            if (last.start + last.length == start && last.styles == styles && last.link == atom.link) {
                last.length += piece.size();
                continue;
            }
        }
        markdown.spans.append(InlineMarkdown::Span{start, piece.size(), styles, atom.link});
    }
    return markdown;
}

} // namespace nerim::inline_markdown
