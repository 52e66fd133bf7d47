#include "ui/panes/MarkdownSegment.h"

#include "ui/panes/PatternSyntax.h"

#include <QRegularExpression>
#include <QStringView>

using namespace Qt::StringLiterals;

namespace nerim {

const QRegularExpression &MarkdownSegment::openFencePattern()
{
    static const QRegularExpression pattern = pattern::compile(u"^"_s + pattern::space + u"*```([a-zA-Z0-9_+.\\-]*)"_s
                                                               + pattern::space + u"*"_s + pattern::lineEnd);
    return pattern;
}

const QRegularExpression &MarkdownSegment::closeFencePattern()
{
    static const QRegularExpression pattern =
        pattern::compile(u"^"_s + pattern::space + u"*```"_s + pattern::space + u"*"_s + pattern::lineEnd);
    return pattern;
}

void MarkdownSegmenter::reset(QStringView text)
{
    m_segments.clear();
    m_inCode = false;
    m_proseOpen = false;
    m_codeLines = 0;
    takeLines(text);
}

bool MarkdownSegmenter::append(QStringView more)
{
    if (more.isEmpty())
        return true;
    if (more.front() != u'\n' || m_endsWithCarriageReturn)
        return false;
    takeLines(more.sliced(1));
    return true;
}

// A line feed breaks the text unless a carriage return comes right before it:
// CR LF is one user-perceived character, and no other character joins a line
// feed into a cluster.
void MarkdownSegmenter::takeLines(QStringView text)
{
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'\n' && (i == 0 || text[i - 1] != u'\r')) {
            takeLine(text.sliced(start, i - start));
            start = i + 1;
        }
    }
    takeLine(text.sliced(start));
    m_endsWithCarriageReturn = !text.isEmpty() && text.back() == u'\r';
}

void MarkdownSegmenter::takeLine(QStringView line)
{
    if (!m_inCode) {
        const QRegularExpressionMatch match = MarkdownSegment::openFencePattern().match(line);
        if (!match.hasMatch()) {
            if (m_proseOpen) {
                QString &text = std::get<MarkdownSegment::Prose>(m_segments.last().value).text;
                text += u'\n';
                text += line;
            } else {
                m_segments.append(MarkdownSegment::prose(line.toString()));
                m_proseOpen = true;
            }
            return;
        }
        const QString word = match.captured(1);
        m_segments.append(
            MarkdownSegment::code(word.isEmpty() ? std::nullopt : std::optional<QString>(word), QString(), false));
        m_inCode = true;
        m_proseOpen = false;
        m_codeLines = 0;
        return;
    }
    auto &code = std::get<MarkdownSegment::Code>(m_segments.last().value);
    if (MarkdownSegment::closeFencePattern().match(line).hasMatch()) {
        code.closed = true;
        m_inCode = false;
        return;
    }
    if (m_codeLines++ > 0)
        code.body += u'\n';
    code.body += line;
}

QList<MarkdownSegment> splitMarkdownSegments(const QString &text)
{
    MarkdownSegmenter segmenter;
    segmenter.reset(text);
    return segmenter.segments();
}

} // namespace nerim
