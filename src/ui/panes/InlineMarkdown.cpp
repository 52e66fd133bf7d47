// Inline Markdown read from agent text: the text with its styled stretches,
// and what a text holds open for reading a longer one in parts, each
// paragraph parsed on its own (InlineMarkdownParser.h).
#include "ui/panes/InlineMarkdown.h"

#include "ui/panes/InlineMarkdownParser.h"
#include "ui/panes/PatternSyntax.h"

#include <QUrl>
#include <algorithm>

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

using inline_markdown::Parser;

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

} // namespace nerim
