#pragma once

#include <QList>
#include <QString>

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
InlineMarkdown inlineMarkdownText(const QString &source);

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
