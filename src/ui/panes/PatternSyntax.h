#pragma once

#include <QRegularExpression>
#include <QString>
#include <QtGlobal>

// The agent-text patterns are written the way ICU reads regular expressions
// (white space, line ends and "." as ICU defines them). QRegularExpression
// (PCRE2) draws those lines slightly differently, so the few ICU classes the
// patterns use are spelled out here, and every pattern goes through one
// compile function. Matching never recurses per character, so one very long
// line cannot exhaust the stack.
namespace nerim::pattern {

// ICU's \s: tab, line feed, form feed, carriage return and every Unicode
// separator (Zs, Zl, Zp).
inline const QString space = QStringLiteral("[\\t\\n\\f\\r\\p{Z}]");

// ICU's line terminators: LF, VT, FF, CR, NEL, LS and PS.
inline const QString lineTerminator = QStringLiteral("[\\n\\x{0B}\\f\\r\\x{85}\\x{2028}\\x{2029}]");

// ICU's "." without the dot-all option: any character but a line terminator.
inline const QString notLineTerminator = QStringLiteral("[^\\n\\x{0B}\\f\\r\\x{85}\\x{2028}\\x{2029}]");

// ICU's "$" without the multi-line option: the end of the text, or just before
// a line terminator (or CR LF) that ends the text.
inline const QString lineEnd = QStringLiteral("(?=(?:\\r\\n|") + lineTerminator + QStringLiteral(")?\\z)");

// A pattern fixed in the source; failing to compile is a programming error.
inline QRegularExpression compile(const QString &source)
{
    QRegularExpression expression(source, QRegularExpression::UseUnicodePropertiesOption);
    if (!expression.isValid())
        qFatal("Invalid built-in pattern %s: %s", qPrintable(source), qPrintable(expression.errorString()));
    expression.optimize();
    return expression;
}

// A text any pattern can read: every lone UTF-16 surrogate (half of a pair
// without its other half) becomes U+FFFD, so the length and every offset stay
// the same. A text with a lone surrogate is not valid UTF-16, and a pattern
// never matches anywhere in it; once sanitised, the text can be matched with
// QRegularExpression::DontCheckSubjectStringMatchOption, which spares each
// match a check of the whole text.
inline QString withoutLoneSurrogates(const QString &text)
{
    const qsizetype size = text.size();
    const QChar *data = text.constData();
    QString result;
    for (qsizetype i = 0; i < size; ++i) {
        const QChar c = data[i];
        if (!c.isSurrogate())
            continue;
        if (c.isHighSurrogate() && i + 1 < size && data[i + 1].isLowSurrogate()) {
            ++i;
            continue;
        }
        if (result.isNull())
            result = text;
        result[i] = QChar(QChar::ReplacementCharacter);
    }
    return result.isNull() ? text : result;
}

// Matching options for a text that went through withoutLoneSurrogates.
inline constexpr QRegularExpression::MatchOptions checkedText = QRegularExpression::DontCheckSubjectStringMatchOption;

} // namespace nerim::pattern
