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
InlineMarkdown inlineMarkdownText(const QString &source);

// The stretches [first, last) of `source` that an inline construct holds open:
// from an emphasis marker, a backtick string or a "[" to the end of what
// closes it (or, for one still open, to the end of its paragraph: more text
// could close it). A line break at p may cut the text into two parts parsed
// alone, reading exactly as the whole does, when no stretch has
// first < p < last; more text appended later never changes that.
QList<std::pair<qsizetype, qsizetype>> inlineMarkdownOpenRanges(const QString &source);

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
