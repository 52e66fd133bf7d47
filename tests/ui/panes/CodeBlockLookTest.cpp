#include "ui/panes/CodeBlockLook.h"

#include <QRandomGenerator>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace nerim {
namespace {

using Style = CodeBlockLook::CommentStyle;

TEST(CodeBlockLook, DisplayLanguageIsTrimmedLowerCaseOrCode)
{
    EXPECT_EQ(CodeBlockLook::displayLanguage(std::nullopt), u"code"_s);
    EXPECT_EQ(CodeBlockLook::displayLanguage(u""_s), u"code"_s);
    EXPECT_EQ(CodeBlockLook::displayLanguage(u" \t\n\u2003"_s), u"code"_s);
    EXPECT_EQ(CodeBlockLook::displayLanguage(u" TypeScript\n"_s), u"typescript"_s);
    EXPECT_EQ(CodeBlockLook::displayLanguage(u"C++"_s), u"c++"_s);
}

TEST(CodeBlockLook, CommentStyleLooksUpTheLowerCasedLanguage)
{
    const std::pair<std::optional<QString>, Style> cases[] = {
        {std::nullopt, Style::none}, {u""_s, Style::none},         {u"PHP"_s, Style::slash},
        {u"RB"_s, Style::hash},      {u"c#"_s, Style::slash},      {u"Objective-C"_s, Style::slash},
        {u"r"_s, Style::hash},       {u"dockerfile"_s, Style::hash}, {u"json"_s, Style::none},
        {u"html"_s, Style::none},    {u" js"_s, Style::none}, // not trimmed
    };
    for (const auto &[language, style] : cases)
        EXPECT_EQ(CodeBlockLook::commentStyle(language), style) << language.value_or(u"<none>"_s).toStdString();

    EXPECT_EQ(CodeBlockLook::slashCommentLanguages().size(), 30);
    EXPECT_EQ(CodeBlockLook::hashCommentLanguages().size(), 20);
    for (const QString &word : CodeBlockLook::slashCommentLanguages())
        EXPECT_FALSE(CodeBlockLook::hashCommentLanguages().contains(word)) << word.toStdString();
}

// The ranges as one character per source character: "s" string, "c" comment,
// "." plain. Also checks that ranges are ordered and disjoint.
std::string mask(const QString &source, const std::optional<QString> &language)
{
    std::string out(size_t(source.size()), '.');
    qsizetype previousEnd = 0;
    for (const CodeBlockLook::Range &range : CodeBlockLook::highlightRanges(source, language)) {
        EXPECT_GE(range.start, previousEnd);
        EXPECT_GT(range.length, 0);
        for (qsizetype i = range.start; i < range.start + range.length; ++i)
            out[size_t(i)] = range.tone == CodeBlockLook::Tone::string ? 's' : 'c';
        previousEnd = range.start + range.length;
    }
    return out;
}

struct HighlightCase {
    const char *name;
    QString source;
    std::optional<QString> language;
    std::string expected;
};

TEST(CodeBlockLook, HighlightsStringsThenComments)
{
    const HighlightCase cases[] = {
        {"escaped quote stays inside", uR"("a\"b" x)"_s, std::nullopt, "ssssss.."},
        {"unclosed quote resumes at the next character", u"a\"b\nc\"d\""_s, std::nullopt, ".....sss"},
        {"backslash before a line feed ends nothing", u"\"a\\\n\"b\""_s, std::nullopt, "....sss"},
        {"backslash before a carriage return is no escape", u"\"a\\\r\""_s, std::nullopt, "....."},
        {"apostrophes pair up on one line", u"don't won't"_s, std::nullopt, "...sssssss."},
        {"apostrophes do not pair across lines", u"don't\nwon't"_s, std::nullopt, "..........."},
        {"comment over the string inside it", uR"(x // "s")"_s, u"js"_s, "..cccccc"},
        {"string up to its slashes", uR"("a//b")"_s, u"ts"_s, "sscccc"},
        {"string up to its number sign", uR"('#x')"_s, u"python"_s, "sccc"},
        {"language case does not matter", u"# x"_s, u"PY"_s, "ccc"},
        {"php has slash comments only", u"# no\n// yes"_s, u"php"_s, ".....cccccc"},
        {"no language: strings only", uR"("s" // c # d)"_s, std::nullopt, "sss........."},
        {"unknown language: strings only", uR"("s" # c)"_s, u"json"_s, "sss...."},
        {"identical literals on two lines", u"\"x\"\n\"x\""_s, std::nullopt, "sss.sss"},
        {"comment runs to the line feed", u"a // b\nc"_s, u"go"_s, "..cccc.."},
        {"empty source", u""_s, u"js"_s, ""},
    };
    for (const HighlightCase &c : cases)
        EXPECT_EQ(mask(c.source, c.language), c.expected) << c.name;
}

// The quote passes as written: from each position find the next quote, read
// items up to a closing quote, and on failure try again one character later.
std::vector<bool> referenceQuotedStrings(const QString &s, QChar quote)
{
    const auto isLineEnd = [](QChar c) {
        return c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r' || c == QChar(0x85) || c == QChar(0x2028)
            || c == QChar(0x2029);
    };
    std::vector<bool> coloured(size_t(s.size()), false);
    qsizetype i = 0;
    while (i < s.size()) {
        if (s[i] != quote) {
            ++i;
            continue;
        }
        qsizetype j = i + 1;
        bool closed = false;
        while (j < s.size()) {
            if (s[j] == quote) {
                closed = true;
                break;
            }
            if (s[j] == u'\\') {
                if (j + 1 < s.size() && !isLineEnd(s[j + 1])) {
                    j += 2;
                    continue;
                }
                break;
            }
            if (s[j] == u'\n')
                break;
            ++j;
        }
        if (!closed) {
            ++i;
            continue;
        }
        for (qsizetype k = i; k <= j; ++k)
            coloured[size_t(k)] = true;
        i = j + 1;
    }
    return coloured;
}

TEST(CodeBlockLook, QuotedStringsMatchTheRetryEverywhereReading)
{
    // Short random texts over the characters that matter, compared with a
    // plain reading of the patterns.
    const QString alphabet = u"\"'\\\n\ra /#"_s;
    QRandomGenerator random(20240611);
    for (int round = 0; round < 20000; ++round) {
        QString source;
        const int length = random.bounded(14);
        for (int i = 0; i < length; ++i)
            source += alphabet[random.bounded(int(alphabet.size()))];
        const std::vector<bool> doubles = referenceQuotedStrings(source, u'"');
        const std::vector<bool> singles = referenceQuotedStrings(source, u'\'');
        std::string expected(size_t(source.size()), '.');
        for (size_t i = 0; i < expected.size(); ++i) {
            if (doubles[i] || singles[i])
                expected[i] = 's';
        }
        ASSERT_EQ(mask(source, std::nullopt), expected) << QString(source).replace(u'\n', u"\\n"_s).toStdString();
    }
}

TEST(CodeBlockLook, OneMegabyteLineOfQuotedText)
{
    const qsizetype megabyte = 1 << 20;
    // A closed string of plain characters, one made of escaped quotes, and an
    // unclosed one: each is one pass over the line.
    const QString plain = u'"' + QString(megabyte, u'a') + u'"';
    EXPECT_EQ(CodeBlockLook::highlightRanges(plain, u"js"_s),
              (QList<CodeBlockLook::Range>{{0, plain.size(), CodeBlockLook::Tone::string}}));

    QString escapes = u"'"_s;
    for (qsizetype i = 0; i < megabyte / 2; ++i)
        escapes += u"\\'"_s;
    escapes += u"' // end"_s;
    EXPECT_EQ(CodeBlockLook::highlightRanges(escapes, u"js"_s),
              (QList<CodeBlockLook::Range>{{0, escapes.size() - 7, CodeBlockLook::Tone::string},
                                           {escapes.size() - 6, 6, CodeBlockLook::Tone::comment}}));

    const QString unclosed = u'"' + u"\\\""_s.repeated(megabyte / 2);
    EXPECT_TRUE(CodeBlockLook::highlightRanges(unclosed, u"python"_s).isEmpty());
}

TEST(CodeBlockLook, ALoneSurrogateLeavesTheHighlightingOn)
{
    const QString source = u"a = \"x"_s + QChar(0xDC00) + u"\" // done"_s;
    const QList<CodeBlockLook::Range> ranges = CodeBlockLook::highlightRanges(source, u"js"_s);
    ASSERT_EQ(ranges.size(), 2);
    EXPECT_EQ(ranges[0].start, 4);
    EXPECT_EQ(ranges[0].length, 4);
    EXPECT_EQ(ranges[0].tone, CodeBlockLook::Tone::string);
    EXPECT_EQ(ranges[1].tone, CodeBlockLook::Tone::comment);
    EXPECT_EQ(ranges[1].start + ranges[1].length, source.size());
}

} // namespace
} // namespace nerim
