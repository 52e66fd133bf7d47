#pragma once

#include <QList>
#include <QString>
#include <utility>

namespace nerim {

// Agent text with its inline Markdown worked out: the plain text to show and
// the styled stretches of it. Only inline syntax counts (emphasis, strong,
// inline code, strikethrough, links, autolinks, backslash escapes); headings,
// lists, HTML and character entities stay literal text, and white space and
// line breaks are kept exactly. A marker without its partner is plain text.
// A stretch carries a link only for an http or https address: a link to any
// other scheme (file:, javascript:, nerim:…) shows its label as plain text.
// A link's "(address "title")" ends with its line: one its line does not
// close is plain text.
struct InlineMarkdown {
    enum Style : quint8 {
        emphasis = 1,
        strong = 2,
        code = 4,
        strikethrough = 8,
    };

    // A stretch of `text` (UTF-16 offsets) with its styles (a combination of
    // Style) and, when linked, the address it opens.
    struct Span {
        qsizetype start = 0;
        qsizetype length = 0;
        quint8 styles = 0;
        QString link;
        friend bool operator==(const Span &, const Span &) = default;
    };

    QString text;
    // In text order, never overlapping; only styled or linked stretches.
    QList<Span> spans;

    friend bool operator==(const InlineMarkdown &, const InlineMarkdown &) = default;
};

// Parses inline Markdown. Never fails: whatever is not Markdown stays text.
// Nothing reaches across a blank line (each paragraph is read on its own), and
// a lone UTF-16 surrogate shows as U+FFFD (without changing any offset).
// Linear in the text: pairs leave a linked list of atoms and delimiters once;
// each search that looks ahead is done once per paragraph (backtick strings
// listed by length in one pass, a link title's end remembered for every
// position a search passed, and a link closing the "["s still open for links
// by raising one floor); the text is cleared of lone surrogates once and then
// matched without a check per match. Rich text built from it escapes
// everything and links only http and https addresses.
InlineMarkdown inlineMarkdownText(const QString &source);

// The stretches [first, last) of `source` that an inline construct holds open:
// from an emphasis marker, a backtick string or a "[" to the end of what
// closes it (or, for one still open, to the end of its paragraph: more text
// could close it). A line break at p may cut the text into two parts parsed
// alone, reading exactly as the whole does, when no stretch has
// first < p < last; more text appended later never changes that.
QList<std::pair<qsizetype, qsizetype>> inlineMarkdownOpenRanges(const QString &source);

// What a text holds open, for reading a longer text in parts: where each
// inline construct holds the text open, what is still open at its end (that
// text appended later may close), and what in its first paragraph looks for
// an opener it did not find (that text in front of it may hold).
// Positions are UTF-16 offsets into the text.
struct InlineMarkdownReading {
    enum class Hold : quint8 {
        // Closed within the text (a pair, a code span, a link, a link's tail
        // read and refused).
        closed,
        // Open at the end of the text: nothing closed it yet.
        open,
        // Open to the end of a paragraph that a blank line ended: it reads as
        // text for good.
        ended,
    };
    struct Range {
        qsizetype first = 0;
        qsizetype last = 0;
        Hold hold = Hold::closed;
    };
    // In text order of `first`.
    QList<Range> ranges;

    // Still open at the end of the text (its last paragraph), in text order.
    struct Opener {
        qsizetype position = 0;
        char16_t marker = 0;
        int count = 0; // the length of its run of markers
        bool canClose = false;
    };
    QList<Opener> openers;
    // "[" and "![" nothing closed.
    QList<qsizetype> brackets;
    // Backtick strings no string of the same length closed: position, length.
    QList<std::pair<qsizetype, int>> codeRuns;
    // A "[" whose link tail was read to the end of the text: more text may
    // complete it. -1 when none.
    qsizetype pendingTail = -1;

    // In the first paragraph: runs of markers that close, found no opener
    // for all they hold, and would look on in front of the text.
    struct Closer {
        char16_t marker = 0;
        int count = 0; // the length of its run of markers
        bool canOpen = false;
        int left = 0;  // markers still unpaired
    };
    QList<Closer> closers;
    // "]" that found no "[" in the first paragraph.
    int unopenedBrackets = 0;
    // The lengths of all backtick strings in the first paragraph, each once.
    QList<int> backtickLengths;
    // Where the first paragraph ends when a blank line ends it; -1 otherwise.
    qsizetype firstParagraphEnd = -1;
};

// Reads `source` as inlineMarkdownText does, in one linear pass, keeping only
// what is held open and what could reach beyond the text.
InlineMarkdownReading readInlineMarkdown(const QString &source);

// How rich text draws inline code and links: a font family and a colour name
// ("#RRGGBB"); empty leaves Qt's default.
struct InlineMarkdownStyle {
    QString codeFamily;
    QString linkColor;
};

// Rich text (Qt's HTML subset) for a label set to Qt::RichText: every
// character of the text is escaped, white space and line breaks are kept, and
// only the spans become markup (links only for their http/https address).
QString inlineMarkdownRichText(const InlineMarkdown &markdown, const InlineMarkdownStyle &style = {});

// Whether a link address may be opened from agent text: http or https with a host.
bool isOpenableLink(const QString &address);

} // namespace nerim
