// Cutting a run of agent output into chunks: never inside a code block,
// never losing a line, and the same chunks whether the run arrived at once or
// grew line by line.
#include "ui/panes/RunChunks.h"

#include <QStringList>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace nerim {
namespace {

QStringList texts(const QString &text, const QList<RunChunk> &chunks)
{
    QStringList result;
    for (const RunChunk &chunk : chunks)
        result.append(text.mid(chunk.start, chunk.end - chunk.start));
    return result;
}

QStringList numbered(const QString &prefix, int count)
{
    QStringList lines;
    for (int i = 1; i <= count; ++i)
        lines.append(prefix + QString::number(i));
    return lines;
}

TEST(RunChunks, ProseIsCutBetweenTwoNonBlankLinesAndLosesNothing)
{
    EXPECT_EQ(cutRunChunks(u"one line"_s), (QList<RunChunk>{{0, 8, 0}}));
    EXPECT_EQ(cutRunChunks(QString()), (QList<RunChunk>{{0, 0, 0}}));

    const QString text = numbered(u"line "_s, 30).join(u'\n');
    const QList<RunChunk> chunks = cutRunChunks(text);
    const QStringList parts = texts(text, chunks);
    ASSERT_EQ(parts.size(), 3);
    EXPECT_EQ(parts[0], numbered(u"line "_s, 12).join(u'\n'));
    EXPECT_EQ(parts.join(u'\n'), text);
    for (qsizetype i = 0; i + 1 < chunks.size(); ++i)
        EXPECT_EQ(chunks[i].gapAfter, 0);

    // A blank line beside the place puts the cut off; after 36 lines it is made anyway.
    QStringList spaced;
    for (int i = 1; i <= 50; ++i)
        spaced.append(i % 2 ? u"text %1"_s.arg(i) : QString());
    const QString airy = spaced.join(u'\n');
    const QStringList airyParts = texts(airy, cutRunChunks(airy));
    EXPECT_EQ(airyParts.join(u'\n'), airy);
    EXPECT_EQ(airyParts[0].count(u'\n') + 1, 36);
}

TEST(RunChunks, CodeBlocksStayWholeAndKeepTheirGap)
{
    QStringList lines = numbered(u"intro "_s, 12);
    lines.append(u"```js"_s);
    lines.append(numbered(u"code "_s, 40));
    lines.append(u"```"_s);
    lines.append(numbered(u"outro "_s, 3));
    const QString text = lines.join(u'\n');
    const QList<RunChunk> chunks = cutRunChunks(text);
    const QStringList parts = texts(text, chunks);
    ASSERT_EQ(parts.size(), 3);
    // Before the fence (the block starts a segment: the usual gap), the whole
    // block, then the rest.
    EXPECT_EQ(parts[0], numbered(u"intro "_s, 12).join(u'\n'));
    EXPECT_EQ(chunks[0].gapAfter, RunChunks::segmentGap);
    EXPECT_TRUE(parts[1].startsWith(u"```js\ncode 1\n"_s));
    EXPECT_TRUE(parts[1].endsWith(u"code 40\n```"_s));
    EXPECT_EQ(chunks[1].gapAfter, RunChunks::segmentGap);
    EXPECT_EQ(parts[2], numbered(u"outro "_s, 3).join(u'\n'));

    // A block still open at the end is never cut.
    const QString open = (QStringList{u"```"_s} + numbered(u"x"_s, 80)).join(u'\n');
    EXPECT_EQ(cutRunChunks(open).size(), 1);
    // A line feed after a carriage return does not end a line.
    const QString crlf = numbered(u"a"_s, 13).join(u"\r\n"_s) + u"\nb\nc"_s;
    EXPECT_EQ(cutRunChunks(crlf).size(), 1);
}

TEST(RunChunks, AGrowingRunIsCutAsTheWholeWouldBe)
{
    QStringList lines;
    for (int i = 0; i < 400; ++i) {
        if (i % 57 == 20)
            lines.append(u"```py"_s);
        else if (i % 57 == 40)
            lines.append(u"```"_s);
        else
            lines.append(i % 7 == 3 ? QString() : u"words %1"_s.arg(i));
    }
    const QString whole = lines.join(u'\n');
    const QList<RunChunk> atOnce = cutRunChunks(whole);

    // Line by line: keep the closed chunks, cut again from the open one.
    QList<RunChunk> grown{{0, 0, 0}};
    QString text;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        text += (i ? u"\n"_s : QString()) + lines[i];
        const RunChunk open = grown.takeLast();
        grown.append(cutRunChunks(text, open.start));
    }
    EXPECT_EQ(grown, atOnce);
    EXPECT_GT(atOnce.size(), 10);
}

} // namespace
} // namespace nerim
