#include "ui/panes/InlineMarkdown.h"

#include "ui/panes/PatternSyntax.h"

#include <QRegularExpression>
#include <QUrl>
#include <array>
#include <bit>
#include <optional>
#include <unordered_map>
#include <vector>

using namespace Qt::StringLiterals;

namespace nerim {

bool isOpenableLink(const QString &address)
{
    const QUrl url(address, QUrl::TolerantMode);
    if (!url.isValid())
        return false;
    const QString scheme = url.scheme().toLower();
    return (scheme == u"http" || scheme == u"https") && !url.host().isEmpty();
}

namespace {

bool isAsciiPunctuation(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 0x21 && u <= 0x2F) || (u >= 0x3A && u <= 0x40) || (u >= 0x5B && u <= 0x60)
        || (u >= 0x7B && u <= 0x7E);
}

bool isPunctuation(QChar c) { return isAsciiPunctuation(c) || c.isPunct() || c.isSymbol(); }

// One piece of the result: literal text, or a run of emphasis markers whose
// unmatched remainder (`count` characters) shows as text.
struct Atom {
    QString text;
    quint8 styles = 0;
    QString link;
    QChar marker;
    int count = 0;

    static Atom literal(QString text, quint8 styles = 0, QString link = {})
    {
        return Atom{std::move(text), styles, std::move(link), QChar(), 0};
    }
    static Atom markers(QChar marker, int count) { return Atom{{}, 0, {}, marker, count}; }
};

// The delimiters still in play form a doubly linked list (by index), so that
// removing the ones between a pair costs once per delimiter, not per pair.
struct Delimiter {
    qsizetype atom = 0;
    QChar marker;
    int originalCount = 0;
    bool canOpen = false;
    bool canClose = false;
    bool removed = false;
    qsizetype position = 0; // in the source
    qsizetype previous = -1;
    qsizetype next = -1;
};

struct Bracket {
    qsizetype atom = 0;
    qsizetype delimiterBottom = 0;
    bool image = false;
    qsizetype position = 0; // in the source
};

// A style given to the atoms [first, last) by a pair of markers.
struct StyleRange {
    qsizetype first = 0;
    qsizetype last = 0;
    quint8 style = 0;
};

struct LinkTail {
    QString destination;
    qsizetype end = 0; // just after the closing parenthesis
};

const QRegularExpression &uriAutolink()
{
    static const QRegularExpression expression =
        pattern::compile(QStringLiteral("<([A-Za-z][A-Za-z0-9+.\\-]{1,31}:[^<>\\x{00}-\\x{20}]*)>"));
    return expression;
}

const QRegularExpression &emailAutolink()
{
    static const QRegularExpression expression = pattern::compile(QStringLiteral(
        "<([a-zA-Z0-9.!#$%&'*+/=?^_`{|}~\\-]+@[a-zA-Z0-9](?:[a-zA-Z0-9\\-]{0,61}[a-zA-Z0-9])?"
        "(?:\\.[a-zA-Z0-9](?:[a-zA-Z0-9\\-]{0,61}[a-zA-Z0-9])?)*)>"));
    return expression;
}

// The inline part of CommonMark (with strikethrough as two tildes) over one
// paragraph, [begin, end) of the source: markers are collected in one pass,
// then paired the way CommonMark pairs delimiter runs; links are closed when
// their "]" is reached. The source has no lone surrogates. Every construct
// that opens also records the stretch of source it holds open.
class Parser {
public:
    // With `reading`, only what is held open is worked out, into it: the
    // paragraph is the text's first when it starts the text, and its last
    // when it reaches the text's end.
    Parser(const QString &source, qsizetype begin, qsizetype end, InlineMarkdownReading *reading)
        : m_source(source)
        , m_begin(begin)
        , m_end(end)
        , m_reading(reading)
        , m_first(reading && begin == 0)
        , m_last(reading && end == source.size())
    {
    }

    InlineMarkdown run()
    {
        const qsizetype size = m_end;
        qsizetype i = m_begin;
        if (m_first)
            listBacktickLengths();
        while (i < size) {
            const QChar c = m_source[i];
            switch (c.unicode()) {
            case u'\\':
                if (i + 1 < size && isAsciiPunctuation(m_source[i + 1])) {
                    addText(m_source[i + 1]);
                    i += 2;
                } else {
                    addText(c);
                    ++i;
                }
                break;
            case u'`': i = codeSpan(i); break;
            case u'*':
            case u'_':
            case u'~': i = delimiterRun(i); break;
            case u'<': i = autolink(i); break;
            case u'[': i = openBracket(i, false); break;
            case u'!':
                if (i + 1 < size && m_source[i + 1] == u'[') {
                    i = openBracket(i, true);
                } else {
                    addText(c);
                    ++i;
                }
                break;
            case u']': i = closeBracket(i); break;
            default: {
                // Plain text up to the next character that may be markup,
                // taken in one piece.
                qsizetype next = i + 1;
                while (next < size && !mayBeMarkup(m_source[next]))
                    ++next;
                addText(QStringView(m_source).sliced(i, next - i));
                i = next;
                break;
            }
            }
        }
        flushText();
        // Whatever is still open stays open to the end: more text could close it.
        for (const Bracket &bracket : m_brackets) {
            holdOpen(bracket.position, m_end, openHold());
            if (m_last)
                m_reading->brackets.append(bracket.position);
        }
        processEmphasis(0, m_end, true);
        // Only the stretches held open were asked for: the text is not put together.
        return m_reading ? InlineMarkdown{} : result();
    }

private:
    // The characters `run` treats as (possibly) markup.
    static bool mayBeMarkup(QChar c)
    {
        switch (c.unicode()) {
        case u'\\':
        case u'`':
        case u'*':
        case u'_':
        case u'~':
        case u'<':
        case u'[':
        case u'!':
        case u']': return true;
        default: return false;
        }
    }

    // Whether a link's address opens: asked only when the text is wanted.
    bool opens(const QString &address) const { return !m_reading && isOpenableLink(address); }

    using Hold = InlineMarkdownReading::Hold;
    // What is open at the paragraph's end: open at the text's end, or ended
    // by a blank line.
    Hold openHold() const { return m_last ? Hold::open : Hold::ended; }

    void holdOpen(qsizetype from, qsizetype to, Hold hold = Hold::closed)
    {
        if (m_reading && (to > from + 1 || hold != Hold::closed))
            m_reading->ranges.append({from, to, hold});
    }

    void listBacktickLengths()
    {
        QList<int> &lengths = m_reading->backtickLengths;
        for (qsizetype j = m_begin; j < m_end;) {
            if (m_source[j] != u'`') {
                ++j;
                continue;
            }
            const int run = int(runLength(j, u'`'));
            if (!lengths.contains(run))
                lengths.append(run);
            j += run;
        }
    }

    // Text read as text. When only the stretches held open are asked for,
    // its characters are not kept: only that there was some.
    void addText(QChar c)
    {
        if (m_reading)
            m_pendingText = true;
        else
            m_pending += c;
    }
    void addText(QStringView text)
    {
        if (m_reading)
            m_pendingText = m_pendingText || !text.isEmpty();
        else
            m_pending += text;
    }

    void flushText()
    {
        if (m_reading) {
            if (m_pendingText)
                m_atoms.push_back(Atom::literal(QString()));
            m_pendingText = false;
            return;
        }
        if (m_pending.isEmpty())
            return;
        m_atoms.push_back(Atom::literal(m_pending));
        m_pending.clear();
    }

    qsizetype runLength(qsizetype i, QChar c) const
    {
        qsizetype end = i;
        while (end < m_end && m_source[end] == c)
            ++end;
        return end - i;
    }

    // A backtick string opens inline code that ends at the next backtick
    // string of the same length; without one it is literal text.
    qsizetype codeSpan(qsizetype i)
    {
        const qsizetype length = runLength(i, u'`');
        const qsizetype contentStart = i + length;
        if (const std::optional<qsizetype> j = backtickRunOfLength(length, contentStart)) {
            QString content = m_reading ? QString() : m_source.mid(contentStart, *j - contentStart);
            // One space on each side is padding, unless that is all there is.
            if (content.size() >= 2 && content.front() == u' ' && content.back() == u' '
                && content.count(u' ') != content.size())
                content = content.mid(1, content.size() - 2);
            flushText();
            m_atoms.push_back(Atom::literal(content, InlineMarkdown::code));
            holdOpen(i, *j + length);
            return *j + length;
        }
        holdOpen(i, m_end, openHold());
        if (m_last)
            m_reading->codeRuns.append({i, int(length)});
        addText(QStringView(m_source).sliced(i, length));
        return contentStart;
    }

    // The first backtick string of exactly `length` backticks that starts at
    // or after `from`. The paragraph's backtick strings are listed by length
    // in one pass when first needed; openers are met in text order, so each
    // list is walked forward once.
    std::optional<qsizetype> backtickRunOfLength(qsizetype length, qsizetype from)
    {
        if (!m_backtickRunsListed) {
            m_backtickRunsListed = true;
            for (qsizetype j = m_begin; j < m_end;) {
                if (m_source[j] != u'`') {
                    ++j;
                    continue;
                }
                const qsizetype run = runLength(j, u'`');
                m_backtickRuns[run].starts.push_back(j);
                j += run;
            }
        }
        const auto found = m_backtickRuns.find(length);
        if (found == m_backtickRuns.end())
            return std::nullopt;
        BacktickRuns &runs = found->second;
        while (runs.next < runs.starts.size() && runs.starts[runs.next] < from)
            ++runs.next;
        if (runs.next == runs.starts.size())
            return std::nullopt;
        return runs.starts[runs.next];
    }

    qsizetype delimiterRun(qsizetype i)
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

    // Characters that may follow the "<" of an autolink: a scheme's first
    // letter or a character of an e-mail address.
    static bool mayStartAutolink(QChar c)
    {
        const char16_t u = c.unicode();
        return u < 0x80 && (QChar::isLetterOrNumber(u) || QStringView(u".!#$%&'*+/=?^_`{|}~-").contains(c));
    }

    qsizetype autolink(qsizetype i)
    {
        if (i + 1 >= m_end || !mayStartAutolink(m_source[i + 1])) {
            addText(u'<');
            return i + 1;
        }
        for (const QRegularExpression *expression : {&uriAutolink(), &emailAutolink()}) {
            // Anchored, on a text checked once: the match reads only what it needs.
            const QRegularExpressionMatch match =
                expression->match(m_source, i, QRegularExpression::NormalMatch,
                                  QRegularExpression::AnchorAtOffsetMatchOption | pattern::checkedText);
            if (!match.hasMatch() || match.capturedEnd(0) > m_end)
                continue;
            const QString address = match.captured(1);
            flushText();
            m_atoms.push_back(Atom::literal(address, 0, opens(address) ? address : QString()));
            return match.capturedEnd(0);
        }
        addText(u'<');
        return i + 1;
    }

    qsizetype openBracket(qsizetype i, bool image)
    {
        flushText();
        m_atoms.push_back(Atom::literal(image ? QStringLiteral("![") : QStringLiteral("[")));
        m_brackets.push_back(Bracket{qsizetype(m_atoms.size() - 1), qsizetype(m_delimiters.size()), image, i});
        return i + (image ? 2 : 1);
    }

    qsizetype closeBracket(qsizetype i)
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

    // White space or a control character: the end of an address not in "<>".
    static bool endsBareDestination(QChar c)
    {
        const char16_t u = c.unicode();
        if (u < 0x80)
            return u <= 0x20 || u == 0x7F;
        return c.isSpace() || c.category() == QChar::Other_Control;
    }

    // Spaces and tabs, and at most one line break.
    qsizetype skipSpace(qsizetype i) const
    {
        bool lineBreakSeen = false;
        while (i < m_end) {
            const QChar c = m_source[i];
            if (c == u' ' || c == u'\t') {
                ++i;
            } else if ((c == u'\n' || c == u'\r') && !lineBreakSeen) {
                lineBreakSeen = true;
                i += (c == u'\r' && i + 1 < m_end && m_source[i + 1] == u'\n') ? 2 : 1;
            } else {
                break;
            }
        }
        return i;
    }

    // "(destination "title")" right after a "]". A tail that is not one
    // leaves in m_reach where the reading stopped.
    std::optional<LinkTail> linkTail(qsizetype i)
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
                if (i >= size || m_source[i] == u'\n' || m_source[i] == u'<')
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
            if (i >= size)
                return none();
            i = skipSpace(i + 1);
        }
        if (i >= size || m_source[i] != u')')
            return none();
        return LinkTail{destination, i + 1};
    }

    // Where a link title that starts at `from` ends: the first `close` not
    // escaped by a backslash, or the end of the paragraph. Every "](x (" of a
    // paragraph looks for its title's end, so each position's answer is kept
    // (the scan from a position goes on exactly as the scan from where it
    // leads), and the paragraph is read once per kind of title however many
    // titles start in it.
    qsizetype titleEnd(qsizetype from, QChar close)
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
            if (m_source[p] == close) {
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

    static int markerIndex(QChar marker) { return marker == u'*' ? 0 : marker == u'_' ? 1 : 2; }

    // Pairs the markers from `bottom` on: each closer with the nearest opener
    // of its kind that CommonMark allows (the rule of three for "*" and "_"),
    // styling everything between them. Markers left over stay text.
    // Each pair styles the atoms between its markers by a range, not atom by
    // atom, and delimiters leave the list once: the pairing is linear.
    // `closedAt` is where the markers still open at the end stop being open;
    // `last` is the paragraph's own pairing, after every link in it closed.
    void processEmphasis(qsizetype bottom, qsizetype closedAt, bool last)
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

    // Takes delimiter `d` out of play; an opener was held open up to `closedAt`.
    // Its own links stay, so a walk forward from it goes on.
    void remove(qsizetype d, qsizetype closedAt, Hold hold = Hold::closed)
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

    InlineMarkdown result() const
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

    const QString &m_source;
    const qsizetype m_begin;
    const qsizetype m_end;
    InlineMarkdownReading *m_reading = nullptr;
    const bool m_first = false;
    const bool m_last = false;
    QString m_pending;
    bool m_pendingText = false;
    std::vector<Atom> m_atoms;
    std::vector<Delimiter> m_delimiters;
    qsizetype m_lastDelimiter = -1;
    std::vector<StyleRange> m_styleRanges;
    qsizetype m_reach = 0;
    std::vector<Bracket> m_brackets;
    // Brackets at this index of m_brackets and above may still open a link.
    qsizetype m_linkFloor = 0;
    struct BacktickRuns {
        std::vector<qsizetype> starts;
        size_t next = 0;
    };
    std::unordered_map<qsizetype, BacktickRuns> m_backtickRuns;
    bool m_backtickRunsListed = false;
    // Per kind of title ('"', "'", "("): for each position of the paragraph,
    // where a title read from there ends, or -1 while unknown.
    std::array<std::vector<qsizetype>, 3> m_titleEnds;
    std::vector<qsizetype> m_titleWalk;
};

// Calls `paragraph(begin, end)` for each paragraph of `source` and
// `blank(begin, end)` for each blank line between them (white space only,
// with its line break), in text order, together covering the whole text.
template <typename Paragraph, typename Blank>
void forEachParagraph(const QString &source, Paragraph paragraph, Blank blank)
{
    const qsizetype size = source.size();
    qsizetype paragraphStart = 0;
    qsizetype lineStart = 0;
    while (lineStart < size) {
        qsizetype lineEnd = source.indexOf(u'\n', lineStart);
        if (lineEnd < 0)
            break; // the last line has no break to end a paragraph with
        bool isBlank = true;
        for (qsizetype i = lineStart; isBlank && i < lineEnd; ++i) {
            const QChar c = source[i];
            isBlank = c == u' ' || c == u'\t' || c == u'\r';
        }
        if (isBlank) {
            if (lineStart > paragraphStart)
                paragraph(paragraphStart, lineStart);
            blank(lineStart, lineEnd + 1);
            paragraphStart = lineEnd + 1;
        }
        lineStart = lineEnd + 1;
    }
    if (paragraphStart < size)
        paragraph(paragraphStart, size);
}

} // namespace

// Inline Markdown never reaches across a blank line: each paragraph is parsed
// on its own, so a stray marker holds nothing open past its paragraph.
InlineMarkdown inlineMarkdownText(const QString &input)
{
    const QString source = pattern::withoutLoneSurrogates(input);
    InlineMarkdown markdown;
    const auto add = [&](InlineMarkdown piece) {
        const qsizetype offset = markdown.text.size();
        markdown.text += piece.text;
        for (InlineMarkdown::Span &span : piece.spans) {
            span.start += offset;
            markdown.spans.append(std::move(span));
        }
    };
    forEachParagraph(
        source, [&](qsizetype begin, qsizetype end) { add(Parser(source, begin, end, nullptr).run()); },
        [&](qsizetype begin, qsizetype end) { markdown.text += QStringView(source).sliced(begin, end - begin); });
    return markdown;
}

InlineMarkdownReading readInlineMarkdown(const QString &input)
{
    const QString source = pattern::withoutLoneSurrogates(input);
    InlineMarkdownReading reading;
    forEachParagraph(
        source,
        [&](qsizetype begin, qsizetype end) {
            if (begin > 0 && reading.firstParagraphEnd < 0)
                reading.firstParagraphEnd = 0;
            Parser(source, begin, end, &reading).run();
        },
        [&](qsizetype begin, qsizetype) {
            if (reading.firstParagraphEnd < 0)
                reading.firstParagraphEnd = begin;
        });
    // Openers are let go from the last one back, and a paragraph's ranges in
    // the order its constructs close.
    std::sort(reading.openers.begin(), reading.openers.end(),
              [](const auto &a, const auto &b) { return a.position < b.position; });
    std::stable_sort(reading.ranges.begin(), reading.ranges.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    return reading;
}

QList<std::pair<qsizetype, qsizetype>> inlineMarkdownOpenRanges(const QString &input)
{
    QList<std::pair<qsizetype, qsizetype>> ranges;
    for (const InlineMarkdownReading::Range &range : readInlineMarkdown(input).ranges)
        if (range.last > range.first + 1)
            ranges.append({range.first, range.last});
    return ranges;
}

QString inlineMarkdownRichText(const InlineMarkdown &markdown, const InlineMarkdownStyle &style)
{
    const auto escaped = [](QStringView text) { return text.toString().toHtmlEscaped(); };
    // Style values go inside a quoted attribute: keep them to what a family
    // name or a colour name needs.
    const auto cssValue = [](QString value) {
        value.remove(u'\'').remove(u'"').remove(u';').remove(u'<').remove(u'>').remove(u'&');
        return value;
    };
    const QString family = cssValue(style.codeFamily);
    const QString linkColor = cssValue(style.linkColor);

    QString html = QStringLiteral("<span style=\"white-space: pre-wrap;\">");
    qsizetype position = 0;
    const QStringView text(markdown.text);
    for (const InlineMarkdown::Span &span : markdown.spans) {
        html += escaped(text.sliced(position, span.start - position));
        QString open;
        QString close;
        if (!span.link.isEmpty() && isOpenableLink(span.link)) {
            open += u"<a href=\""_s + span.link.toHtmlEscaped() + u"\""_s;
            if (!linkColor.isEmpty())
                open += u" style=\"color: "_s + linkColor + u";\""_s;
            open += u'>';
            close.prepend(u"</a>");
        }
        if (span.styles & InlineMarkdown::strong) {
            open += u"<b>";
            close.prepend(u"</b>");
        }
        if (span.styles & InlineMarkdown::emphasis) {
            open += u"<i>";
            close.prepend(u"</i>");
        }
        if (span.styles & InlineMarkdown::strikethrough) {
            open += u"<s>";
            close.prepend(u"</s>");
        }
        if ((span.styles & InlineMarkdown::code) && !family.isEmpty()) {
            open += u"<span style=\"font-family: '"_s + family + u"';\">"_s;
            close.prepend(u"</span>");
        }
        html += open + escaped(text.sliced(span.start, span.length)) + close;
        position = span.start + span.length;
    }
    html += escaped(text.sliced(position));
    html += u"</span>";
    return html;
}

} // namespace nerim
