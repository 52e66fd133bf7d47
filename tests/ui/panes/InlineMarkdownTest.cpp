#include "ui/panes/InlineMarkdown.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace nerim {
namespace {

// The result in a compact notation: each span as «styles:text» with the
// letters e (emphasis), s (strong), c (code), x (strikethrough) and, for a
// link, "->address" after the styles.
std::string describe(const InlineMarkdown &markdown)
{
    QString out;
    qsizetype position = 0;
    for (const InlineMarkdown::Span &span : markdown.spans) {
        out += markdown.text.mid(position, span.start - position);
        QString styles;
        if (span.styles & InlineMarkdown::emphasis)
            styles += u'e';
        if (span.styles & InlineMarkdown::strong)
            styles += u's';
        if (span.styles & InlineMarkdown::code)
            styles += u'c';
        if (span.styles & InlineMarkdown::strikethrough)
            styles += u'x';
        if (!span.link.isEmpty())
            styles += u"->"_s + span.link;
        out += u"«"_s + styles + u':' + markdown.text.mid(span.start, span.length) + u"»"_s;
        position = span.start + span.length;
    }
    out += markdown.text.mid(position);
    return out.toStdString();
}

struct InlineCase {
    QString source;
    std::string expected;
};

void expectAll(std::initializer_list<InlineCase> cases)
{
    for (const InlineCase &c : cases)
        EXPECT_EQ(describe(inlineMarkdownText(c.source)), c.expected) << c.source.toStdString();
}

TEST(InlineMarkdown, EmphasisStrongAndStrikethrough)
{
    expectAll({
        {u"*em* and **strong** and _em_ and __strong__"_s, "«e:em» and «s:strong» and «e:em» and «s:strong»"},
        {u"***both***"_s, "«es:both»"},
        {u"**bold *and em* bold**"_s, "«s:bold »«es:and em»«s: bold»"},
        {u"~~gone~~ but ~one~ stays"_s, "«x:gone» but ~one~ stays"},
        {u"2*3*4"_s, "2«e:3»4"},
        {u"a * b * c"_s, "a * b * c"},
        {u"snake_case_name and __init__"_s, "snake_case_name and «s:init»"},
        {u"**unclosed and *half"_s, "**unclosed and *half"},
        {u"**a*"_s, "*«e:a»"},
        {u"*a **b*"_s, "*a *«e:b»"},
    });
}

TEST(InlineMarkdown, CodeSpansAndEscapes)
{
    expectAll({
        {u"run `npm *start*` now"_s, "run «c:npm *start*» now"},
        {u"``a ` b``"_s, "«c:a ` b»"},
        {u"` padded `"_s, "«c:padded»"},
        {u"`unclosed and `` mismatched"_s, "`unclosed and `` mismatched"},
        {u"\\*not em\\* \\` \\a"_s, "*not em* ` \\a"},
    });
}

TEST(InlineMarkdown, KeepsWhiteSpaceAndBlockSyntax)
{
    expectAll({
        {u"  two  spaces\n\n\tand a tab  \n"_s, "  two  spaces\n\n\tand a tab  \n"},
        {u"# Heading\n- item\n> quote\n1. one"_s, "# Heading\n- item\n> quote\n1. one"},
        {u"*across\nlines*"_s, "«e:across\nlines»"},
    });
}

TEST(InlineMarkdown, LinksOnlyForWebAddresses)
{
    expectAll({
        {u"see [the site](https://example.com/a_b) now"_s, "see «->https://example.com/a_b:the site» now"},
        {u"[*x*](http://a.b/c?d=(1) \"title\")"_s, "«e->http://a.b/c?d=(1):x»"},
        {u"<https://example.com/x>"_s, "«->https://example.com/x:https://example.com/x»"},
        {u"[pair](nerim://pair?token=x)"_s, "pair"},
        {u"[p](file:///etc/passwd) [j](javascript:alert(1)) <nerim://pair?token=y>"_s,
         "p j nerim://pair?token=y"},
        {u"<mailto:a@b.c> <someone@example.com>"_s, "mailto:a@b.c someone@example.com"},
        {u"![diagram](https://example.com/d.png)"_s, "diagram"},
        {u"[a [b](https://x.io)](https://y.io)"_s, "[a «->https://x.io:b»](https://y.io)"},
        {u"[broken](https://x.io and [no link]"_s, "[broken](https://x.io and [no link]"},
        // Escaped brackets belong to the address; white space or a control
        // character, ASCII or not, ends it.
        {u"[a](https://x.io/a\\)b\\(c) z"_s, "«->https://x.io/a)b(c:a» z"},
        {u"[a](https://x.io/\u00A0b)"_s, "[a](https://x.io/\u00A0b)"},
        {u"[a](https://x.io/\u0085b) [c](https://x.io/\u007Fd)"_s, "[a](https://x.io/\u0085b) [c](https://x.io/\u007Fd)"},
        // A link's tail ends with its line; a link label may span lines.
        {u"[a](https://x.io\n) [b](\nhttps://x.io)"_s, "[a](https://x.io\n) [b](\nhttps://x.io)"},
        {u"[a](https://x.io \"t\nu\")\n[b\nc](https://y.io 't')"_s,
         "[a](https://x.io \"t\nu\")\n«->https://y.io:b\nc»"},
    });
}

TEST(InlineMarkdown, HtmlAndEntitiesStayLiteral)
{
    expectAll({
        {u"<b>bold</b> <img src=x> &amp; &lt;"_s, "<b>bold</b> <img src=x> &amp; &lt;"},
    });
}

TEST(InlineMarkdown, RichTextEscapesEverything)
{
    // Neither the text nor the style values can open a tag.
    const QString html =
        inlineMarkdownRichText(inlineMarkdownText(u"<img src=x> **<b>x</b>** [a](https://e.com/?q=\"><script>)"_s),
                               {u"Mono\"><img src=y>"_s, u"red;\"><img src=z>"_s});
    EXPECT_FALSE(html.contains(u"<img"_s));
    EXPECT_FALSE(html.contains(u"<script"_s));
    EXPECT_FALSE(html.contains(u"<b>x"_s));
}

TEST(InlineMarkdown, NothingReachesAcrossABlankLine)
{
    expectAll({
        {u"*a\n\nb*"_s, "*a\n\nb*"},
        {u"`one\n  \ntwo`"_s, "`one\n  \ntwo`"},
        {u"**a\nb**\n\n*c*"_s, "«s:a\nb»\n\n«e:c»"},
        {u"[a\n\n](https://x.org)"_s, "[a\n\n](https://x.org)"},
        {u"\n\n*a*\n"_s, "\n\n«e:a»\n"},
    });
}

TEST(InlineMarkdown, DeeplyNestedEmphasisPairsUp)
{
    QString source;
    for (int i = 0; i < 2000; ++i)
        source += u"*a "_s;
    for (int i = 0; i < 2000; ++i)
        source += u"a* "_s;
    const InlineMarkdown markdown = inlineMarkdownText(source);
    EXPECT_EQ(markdown.text.count(u'*'), 0);
    ASSERT_FALSE(markdown.spans.isEmpty());
    EXPECT_EQ(markdown.spans.first().styles, InlineMarkdown::emphasis);
    // Pairs still nest as CommonMark pairs them.
    expectAll({{u"*a **b *c* d** e*"_s, "«e:a »«es:b c d»«e: e»"}});
}

// Constructs that look far ahead for their end (a link's title, a backtick
// string's partner, a "[" that a later link closes for links) read as
// CommonMark reads them, also when a paragraph holds thousands of them: each
// such search reads the paragraph once, not once per construct (the times
// are in bench/panes).
TEST(InlineMarkdown, ConstructsThatLookAheadReadTheSameInLongParagraphs)
{
    expectAll({
        {u"[a](https://x.io (t \\) x)) z"_s, "«->https://x.io:a» z"},
        {u"[a](https://x.io (t) [b](https://y.io (u))"_s, "[a](https://x.io (t) «->https://y.io:b»"},
        {u"[a](https://x.io (t [b](https://y.io \"u\") c"_s, "[a](https://x.io (t «->https://y.io:b» c"},
        {u"`` a ` b ``"_s, "«c:a ` b»"},
        {u"\\``x`"_s, "`«c:x»"},
        {u"` `` `` `"_s, "«c:`` ``»"},
        {u"```x`` y```"_s, "«c:x`` y»"},
        {u"`a``b`"_s, "«c:a``b»"},
        {u"[[[a](https://x.io) [b](https://y.io)"_s, "[[«->https://x.io:a» «->https://y.io:b»"},
        {u"[x [a](https://x.io)](https://y.io) [c](https://z.io)"_s,
         "[x «->https://x.io:a»](https://y.io) «->https://z.io:c»"},
        {u"![[a](https://x.io)](https://y.io/i.png)"_s, "«->https://x.io:a»"},
        {u"[[a](https://x.io)] [b](https://y.io)"_s, "[«->https://x.io:a»] «->https://y.io:b»"},
    });
    EXPECT_EQ(inlineMarkdownOpenRanges(u"[a](https://x.io (t) [b](https://y.io (u))"_s),
              (QList<std::pair<qsizetype, qsizetype>>{{0, 21}, {21, 42}}));

    // Thousands of unclosed titles stay text, held open to the paragraph's end.
    QString titles;
    for (int i = 0; i < 3000; ++i)
        titles += u"[](a ("_s;
    EXPECT_EQ(describe(inlineMarkdownText(titles)), titles.toStdString());
    const QString closed = titles + u"[b](https://y.io \"t\")"_s;
    EXPECT_EQ(describe(inlineMarkdownText(closed)), titles.toStdString() + "«->https://y.io:b»");
    const auto ranges = inlineMarkdownOpenRanges(titles);
    ASSERT_EQ(ranges.size(), 3000);
    EXPECT_EQ(ranges.first(), std::make_pair(qsizetype(0), titles.size()));

    // Backtick strings of every length, none closed, then one that is.
    QString ticks;
    for (int length = 2; length <= 200; ++length)
        ticks += QString(length, u'`') + u" x "_s;
    EXPECT_EQ(describe(inlineMarkdownText(ticks + u"`y`"_s)), ticks.toStdString() + "«c:y»");

    // Many "[" left open, then many links: each link still opens.
    QString brackets(5000, u'[');
    std::string expected(5000, '[');
    for (int i = 0; i < 500; ++i) {
        brackets += u"[a](https://x.io) "_s;
        expected += "«->https://x.io:a» ";
    }
    EXPECT_EQ(describe(inlineMarkdownText(brackets)), expected);
}

// A lone surrogate (half of a pair) is not valid UTF-16: it shows as U+FFFD
// and the rest of the text keeps its links and highlighting.
TEST(InlineMarkdown, ALoneSurrogateTurnsNothingOff)
{
    const QString lone = QString(QChar(0xD800));
    const InlineMarkdown markdown = inlineMarkdownText(u"bad "_s + lone + u" see <https://example.com> *now*"_s);
    EXPECT_EQ(describe(markdown),
              "bad \xEF\xBF\xBD see «->https://example.com:https://example.com» «e:now»");
    // A whole pair is kept.
    const QString pair = u"\U0001F600"_s;
    EXPECT_EQ(inlineMarkdownText(pair + u"*x*"_s).text, pair + u"x"_s);
}

} // namespace
} // namespace nerim
