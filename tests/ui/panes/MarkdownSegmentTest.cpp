#include "ui/panes/MarkdownSegment.h"

#include <cctype>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace nerim {

// Readable failures: segments print as prose("…") / code(lang, "…", closed).
void PrintTo(const MarkdownSegment &segment, std::ostream *out)
{
    if (const auto *prose = segment.asProse()) {
        *out << "prose(\"" << prose->text.toStdString() << "\")";
        return;
    }
    const auto *code = segment.asCode();
    *out << "code(" << (code->language ? code->language->toStdString() : "<none>") << ", \""
         << code->body.toStdString() << "\", " << (code->closed ? "closed" : "open") << ")";
}

namespace {

MarkdownSegment P(const char *text) { return MarkdownSegment::prose(QString::fromUtf8(text)); }
MarkdownSegment C(std::optional<QString> language, const char *body, bool closed)
{
    return MarkdownSegment::code(std::move(language), QString::fromUtf8(body), closed);
}
const std::nullopt_t none = std::nullopt;

struct SplitCase {
    const char *name;
    const char *text;
    QList<MarkdownSegment> expected;
};

void PrintTo(const SplitCase &c, std::ostream *out) { *out << c.name; }

class SplitMarkdownSegments : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitMarkdownSegments, YieldsSegmentsInTextOrder)
{
    const SplitCase &c = GetParam();
    EXPECT_EQ(splitMarkdownSegments(QString::fromUtf8(c.text)), c.expected) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitMarkdownSegments,
    ::testing::Values(
        SplitCase{"empty", "", {P("")}},
        SplitCase{"no fence", "# Title\n*a* and `b`\n\n- item", {P("# Title\n*a* and `b`\n\n- item")}},
        SplitCase{"trailing line feed kept in prose", "hello\n", {P("hello\n")}},
        SplitCase{"trailing line feed after a block", "```\nx\n```\n", {C(none, "x", true), P("")}},
        SplitCase{"bare fence alone", "```", {C(none, "", false)}},
        SplitCase{"two bare fences", "```\n```", {C(none, "", true)}},
        SplitCase{"prose code prose",
                  "before\n```swift\nlet x = 1\n```\nafter",
                  {P("before"), C(u"swift"_s, "let x = 1", true), P("after")}},
        SplitCase{"adjacent blocks", "```a\n1\n```\n```b\n2\n```",
                  {C(u"a"_s, "1", true), C(u"b"_s, "2", true)}},
        SplitCase{"one empty line between blocks", "```\n1\n```\n\n```\n2\n```",
                  {C(none, "1", true), P(""), C(none, "2", true)}},
        SplitCase{"two empty lines between blocks", "```\n1\n```\n\n\n```\n2\n```",
                  {C(none, "1", true), P("\n"), C(none, "2", true)}},
        SplitCase{"unclosed block keeps the final empty line", "```py\nprint(1)\n",
                  {C(u"py"_s, "print(1)\n", false)}},
        SplitCase{"nested opening fence is body", "```md\n```js\nx\n```\n",
                  {C(u"md"_s, "```js\nx", true), P("")}},
        SplitCase{"indented fences, body indentation kept", "  ```js  \n    indented\n\t```\t\nend",
                  {C(u"js"_s, "    indented", true), P("end")}},
        SplitCase{"not an opening fence", "``` js\n```c#\n```js x\n````\n~~~\nend",
                  {P("``` js\n```c#\n```js x\n````\n~~~\nend")}},
        SplitCase{"not a closing fence", "```\n``` js\n```c#\n````\n~~~\n```",
                  {C(none, "``` js\n```c#\n````\n~~~", true)}},
        SplitCase{"language keeps case and punctuation", "```C++\n```\n```Objective-C\n```",
                  {C(u"C++"_s, "", true), C(u"Objective-C"_s, "", true)}},
        SplitCase{"CR LF is not a line break", "a\r\n```\r\nb\r\n```\r\n", {P("a\r\n```\r\nb\r\n```\r\n")}},
        SplitCase{"CR LF text that is one fence line", "```\r\n", {C(none, "", false)}},
        SplitCase{"white space is ICU's class", "```\xC2\xA0\n\xE2\x80\x83```\n```\v \nx",
                  {C(none, "", true), P("```\v \nx")}},
        SplitCase{"a trailing line terminator ends the line", "```js\xC2\x85\nx\n```",
                  {C(u"js"_s, "x", true)}}),
    [](const ::testing::TestParamInfo<SplitCase> &info) {
        // The case's words in CamelCase, as the test's name.
        std::string name;
        bool upper = true;
        for (const char *c = info.param.name; *c; ++c) {
            if (!std::isalnum(static_cast<unsigned char>(*c))) {
                upper = true;
                continue;
            }
            name += upper ? char(std::toupper(static_cast<unsigned char>(*c))) : *c;
            upper = false;
        }
        return name;
    });

TEST(SplitMarkdownSegmentsInvariants, EveryNonFenceLineIsKeptInOrder)
{
    // Joining the payload lines back gives the text without its fence lines.
    const QString text = u"intro\n\n```sh\n  echo 'x'\n\n```\nmid\n```\ntail\n"_s;
    QStringList lines;
    for (const MarkdownSegment &segment : splitMarkdownSegments(text)) {
        if (const auto *prose = segment.asProse())
            lines << prose->text;
        else
            lines << segment.asCode()->body;
    }
    EXPECT_EQ(lines.join(u'\n'), u"intro\n\n  echo 'x'\n\nmid\ntail\n"_s);
}

TEST(SplitMarkdownSegmentsInvariants, OneMegabyteLineOfQuotedText)
{
    const QString line = u'"' + QString(1 << 20, u'x') + u"\\\""_s + QString(1 << 10, u'y');
    const QList<MarkdownSegment> segments = splitMarkdownSegments(u"```js\n"_s + line + u"\n```"_s);
    ASSERT_EQ(segments.size(), 1);
    EXPECT_EQ(segments[0], MarkdownSegment::code(u"js"_s, line, true));
}

TEST(SplitMarkdownSegmentsInvariants, GrowingLineByLineGivesTheWholeTextsSegments)
{
    const QStringList lines{u"intro"_s, u"```js"_s, u"a();"_s, u""_s, u"b(\r);"_s, u"```"_s, u"after"_s,
                            u""_s,      u"```"_s,   u"open"_s};
    MarkdownSegmenter segmenter;
    QString text;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString more = (i ? u"\n"_s : QString()) + lines[i];
        text += more;
        if (i == 0)
            segmenter.reset(text);
        else
            ASSERT_TRUE(segmenter.append(more));
        EXPECT_EQ(segmenter.segments(), splitMarkdownSegments(text)) << i;
    }
    // More for the last line, or a line feed that completes a CR, is not a new line.
    EXPECT_FALSE(segmenter.append(u"x"_s));
    MarkdownSegmenter cr;
    cr.reset(u"a\r"_s);
    EXPECT_FALSE(cr.append(u"\nb"_s));
}

} // namespace
} // namespace nerim
