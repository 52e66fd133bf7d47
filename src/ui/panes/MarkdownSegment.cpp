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

namespace {

QString joined(const QList<QStringView> &lines)
{
    qsizetype size = lines.isEmpty() ? 0 : lines.size() - 1;
    for (const QStringView &line : lines)
        size += line.size();
    QString text;
    text.reserve(size);
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (i > 0)
            text += u'\n';
        text += lines[i];
    }
    return text;
}

} // namespace

QList<MarkdownSegment> splitMarkdownSegments(const QString &text)
{
    const QRegularExpression &openFence = MarkdownSegment::openFencePattern();
    const QRegularExpression &closeFence = MarkdownSegment::closeFencePattern();

    QList<MarkdownSegment> result;
    QList<QStringView> proseLines;
    QList<QStringView> codeLines;
    bool inCode = false;
    std::optional<QString> language;

    const auto takeLine = [&](QStringView line) {
        if (!inCode) {
            const QRegularExpressionMatch match = openFence.match(line);
            if (!match.hasMatch()) {
                proseLines.append(line);
                return;
            }
            const QString word = match.captured(1);
            if (!proseLines.isEmpty()) {
                result.append(MarkdownSegment::prose(joined(proseLines)));
                proseLines.clear();
            }
            language = word.isEmpty() ? std::nullopt : std::optional<QString>(word);
            inCode = true;
            return;
        }
        if (!closeFence.match(line).hasMatch()) {
            codeLines.append(line);
            return;
        }
        result.append(MarkdownSegment::code(language, joined(codeLines), true));
        codeLines.clear();
        language.reset();
        inCode = false;
    };

    // A line feed breaks the text unless a carriage return comes right before
    // it: CR LF is one user-perceived character, and no other character joins
    // a line feed into a cluster.
    const QStringView view(text);
    qsizetype start = 0;
    for (qsizetype i = 0; i < view.size(); ++i) {
        if (view[i] == u'\n' && (i == 0 || view[i - 1] != u'\r')) {
            takeLine(view.sliced(start, i - start));
            start = i + 1;
        }
    }
    takeLine(view.sliced(start));

    if (!proseLines.isEmpty())
        result.append(MarkdownSegment::prose(joined(proseLines)));
    if (inCode)
        result.append(MarkdownSegment::code(language, joined(codeLines), false));
    return result;
}

} // namespace nerim
