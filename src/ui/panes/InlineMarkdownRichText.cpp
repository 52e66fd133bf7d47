// Inline Markdown as rich text for a label: every character escaped, white
// space kept, only the styled and linked stretches made markup.
#include "ui/panes/InlineMarkdown.h"

using namespace Qt::StringLiterals;

namespace nerim {

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
