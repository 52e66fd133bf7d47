#include "ui/panes/CodeBlockLook.h"

#include "ui/design/Strings.h"
#include "ui/panes/PatternSyntax.h"

#include <QRegularExpression>
#include <vector>

using namespace Qt::StringLiterals;

namespace nerim {

QString CodeBlockLook::displayLanguage(const std::optional<QString> &language)
{
    if (language) {
        const QString trimmed = language->trimmed();
        if (!trimmed.isEmpty())
            return trimmed.toLower();
    }
    return Strings::CodeBlock::defaultLanguage;
}

TokenColor CodeBlockLook::toneColor(Tone tone)
{
    return tone == Tone::string ? TokenColor{NmColor::success, 0.85} : TokenColor{NmColor::inkTertiary};
}

CodeBlockLook::CopyButton CodeBlockLook::copyButton(bool justCopied)
{
    if (justCopied)
        return {u"checkmark"_s, Strings::CodeBlock::copied, {NmColor::success}};
    return {u"doc.on.doc"_s, Strings::CodeBlock::copy, {NmColor::inkSecondary}};
}

const QSet<QString> &CodeBlockLook::slashCommentLanguages()
{
    static const QSet<QString> languages{
        u"swift"_s, u"javascript"_s, u"js"_s, u"jsx"_s, u"typescript"_s, u"ts"_s,
        u"tsx"_s, u"java"_s, u"c"_s, u"cpp"_s, u"c++"_s, u"cxx"_s,
        u"h"_s, u"hpp"_s, u"go"_s, u"rust"_s, u"rs"_s, u"kotlin"_s,
        u"kt"_s, u"scala"_s, u"dart"_s, u"csharp"_s, u"cs"_s, u"c#"_s,
        u"objc"_s, u"objectivec"_s, u"objective-c"_s, u"m"_s, u"groovy"_s, u"php"_s,
    };
    return languages;
}

const QSet<QString> &CodeBlockLook::hashCommentLanguages()
{
    static const QSet<QString> languages{
        u"python"_s, u"py"_s, u"ruby"_s, u"rb"_s, u"bash"_s, u"sh"_s, u"shell"_s,
        u"zsh"_s, u"fish"_s, u"yaml"_s, u"yml"_s, u"toml"_s, u"ini"_s, u"dockerfile"_s,
        u"makefile"_s, u"r"_s, u"perl"_s, u"pl"_s, u"conf"_s, u"cfg"_s,
    };
    return languages;
}

CodeBlockLook::CommentStyle CodeBlockLook::commentStyle(const std::optional<QString> &language)
{
    if (!language)
        return CommentStyle::none;
    const QString lowered = language->toLower();
    if (lowered.isEmpty())
        return CommentStyle::none;
    if (slashCommentLanguages().contains(lowered))
        return CommentStyle::slash;
    if (hashCommentLanguages().contains(lowered))
        return CommentStyle::hash;
    return CommentStyle::none;
}

namespace {

// A quoted string: the quote, then characters other than the quote, a
// backslash or a line feed, or a backslash and any character but a line end,
// then the closing quote. The pattern takes the longest run of such items
// possessively and makes the closing quote optional (group 1): a match with
// an empty group 1 is a quote with no closing quote on its line. That run is
// skipped as a whole, which gives the same strings as retrying from every
// later character (a quote inside the run is escaped, and the items after it
// are the same items, so it would fail at the same place), but in one pass
// over the text, and without a backtracking frame per character.
QRegularExpression quotedStringPattern(QChar quote)
{
    const QString q = quote == u'"' ? QStringLiteral("\"") : QStringLiteral("'");
    return pattern::compile(q + u"(?:[^"_s + q + u"\\\\\\n]|\\\\"_s + pattern::notLineTerminator + u")*+("_s
                            + q + u"?)"_s);
}

const QRegularExpression &doubleQuotedString()
{
    static const QRegularExpression expression = quotedStringPattern(u'"');
    return expression;
}

const QRegularExpression &singleQuotedString()
{
    static const QRegularExpression expression = quotedStringPattern(u'\'');
    return expression;
}

const QRegularExpression &slashComment()
{
    static const QRegularExpression expression = pattern::compile(QStringLiteral("//[^\\n]*"));
    return expression;
}

const QRegularExpression &hashComment()
{
    static const QRegularExpression expression = pattern::compile(QStringLiteral("#[^\\n]*"));
    return expression;
}

enum : quint8 { plain = 0, stringTone = 1, commentTone = 2 };

void paint(std::vector<quint8> &tones, const QString &source, const QRegularExpression &expression,
           quint8 tone, bool needsClosingQuote)
{
    QRegularExpressionMatchIterator matches =
        expression.globalMatch(source, 0, QRegularExpression::NormalMatch, pattern::checkedText);
    while (matches.hasNext()) {
        const QRegularExpressionMatch match = matches.next();
        if (needsClosingQuote && match.capturedLength(1) == 0)
            continue;
        const qsizetype end = match.capturedEnd(0);
        for (qsizetype i = match.capturedStart(0); i < end; ++i)
            tones[size_t(i)] = tone;
    }
}

} // namespace

QList<CodeBlockLook::Range> CodeBlockLook::highlightRanges(const QString &text,
                                                          const std::optional<QString> &language)
{
    // Checked once here, not by every match.
    const QString source = pattern::withoutLoneSurrogates(text);
    std::vector<quint8> tones(size_t(source.size()), plain);
    paint(tones, source, doubleQuotedString(), stringTone, true);
    paint(tones, source, singleQuotedString(), stringTone, true);
    switch (commentStyle(language)) {
    case CommentStyle::slash: paint(tones, source, slashComment(), commentTone, false); break;
    case CommentStyle::hash: paint(tones, source, hashComment(), commentTone, false); break;
    case CommentStyle::none: break;
    }

    QList<Range> ranges;
    qsizetype i = 0;
    const qsizetype size = source.size();
    while (i < size) {
        const quint8 tone = tones[size_t(i)];
        qsizetype end = i + 1;
        while (end < size && tones[size_t(end)] == tone)
            ++end;
        if (tone != plain)
            ranges.append(Range{i, end - i, tone == stringTone ? Tone::string : Tone::comment});
        i = end;
    }
    return ranges;
}

} // namespace nerim
