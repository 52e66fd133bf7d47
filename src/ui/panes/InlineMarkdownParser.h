#pragma once

// The inline Markdown parser the files of InlineMarkdown share and nothing
// outside them needs: the pieces it collects (text, marker runs, brackets,
// styled stretches) and the parser over one paragraph. Scanning the text,
// code spans and autolinks are in InlineMarkdownParser.cpp, links in
// InlineMarkdownLinks.cpp, pairing emphasis and putting the result together
// in InlineMarkdownEmphasis.cpp.

#include "ui/panes/InlineMarkdown.h"

#include <QChar>
#include <QString>
#include <QStringView>
#include <array>
#include <optional>
#include <unordered_map>
#include <vector>

namespace nerim::inline_markdown {

inline bool isAsciiPunctuation(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 0x21 && u <= 0x2F) || (u >= 0x3A && u <= 0x40) || (u >= 0x5B && u <= 0x60)
        || (u >= 0x7B && u <= 0x7E);
}

inline bool isPunctuation(QChar c) { return isAsciiPunctuation(c) || c.isPunct() || c.isSymbol(); }

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

    InlineMarkdown run();

private:
    // The characters `run` treats as (possibly) markup.
    static bool mayBeMarkup(QChar c);

    // Whether a link's address opens: asked only when the text is wanted.
    bool opens(const QString &address) const { return !m_reading && isOpenableLink(address); }

    using Hold = InlineMarkdownReading::Hold;
    // What is open at the paragraph's end: open at the text's end, or ended
    // by a blank line.
    Hold openHold() const { return m_last ? Hold::open : Hold::ended; }

    void holdOpen(qsizetype from, qsizetype to, Hold hold = Hold::closed);

    void listBacktickLengths();

    // Text read as text. When only the stretches held open are asked for,
    // its characters are not kept: only that there was some.
    void addText(QChar c);
    void addText(QStringView text);

    void flushText();

    qsizetype runLength(qsizetype i, QChar c) const;

    // A backtick string opens inline code that ends at the next backtick
    // string of the same length; without one it is literal text.
    qsizetype codeSpan(qsizetype i);

    // The first backtick string of exactly `length` backticks that starts at
    // or after `from`. The paragraph's backtick strings are listed by length
    // in one pass when first needed; openers are met in text order, so each
    // list is walked forward once.
    std::optional<qsizetype> backtickRunOfLength(qsizetype length, qsizetype from);

    qsizetype delimiterRun(qsizetype i);

    // Characters that may follow the "<" of an autolink: a scheme's first
    // letter or a character of an e-mail address.
    static bool mayStartAutolink(QChar c);

    qsizetype autolink(qsizetype i);

    qsizetype openBracket(qsizetype i, bool image);

    qsizetype closeBracket(qsizetype i);

    // White space or a control character: the end of an address not in "<>".
    static bool endsBareDestination(QChar c);

    // Spaces and tabs (a link's tail never goes on past its line).
    qsizetype skipSpace(qsizetype i) const;

    static bool isLineBreak(QChar c) { return c == u'\n' || c == u'\r'; }

    // "(destination "title")" right after a "]". A tail that is not one
    // leaves in m_reach where the reading stopped.
    std::optional<LinkTail> linkTail(qsizetype i);

    // Where a link title that starts at `from` ends: the first `close` not
    // escaped by a backslash; else where its line (or the paragraph) ends. Every "](x (" of a
    // paragraph looks for its title's end, so each position's answer is kept
    // (the scan from a position goes on exactly as the scan from where it
    // leads), and the paragraph is read once per kind of title however many
    // titles start in it.
    qsizetype titleEnd(qsizetype from, QChar close);

    static int markerIndex(QChar marker) { return marker == u'*' ? 0 : marker == u'_' ? 1 : 2; }

    // Pairs the markers from `bottom` on: each closer with the nearest opener
    // of its kind that CommonMark allows (the rule of three for "*" and "_"),
    // styling everything between them. Markers left over stay text.
    // Each pair styles the atoms between its markers by a range, not atom by
    // atom, and delimiters leave the list once: the pairing is linear.
    // `closedAt` is where the markers still open at the end stop being open;
    // `last` is the paragraph's own pairing, after every link in it closed.
    void processEmphasis(qsizetype bottom, qsizetype closedAt, bool last);

    // Takes delimiter `d` out of play; an opener was held open up to `closedAt`.
    // Its own links stay, so a walk forward from it goes on.
    void remove(qsizetype d, qsizetype closedAt, Hold hold = Hold::closed);

    InlineMarkdown result() const;

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

} // namespace nerim::inline_markdown
