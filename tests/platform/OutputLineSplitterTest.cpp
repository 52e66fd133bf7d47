// A child that prints without ever ending a line: its reader holds at most
// about a mebibyte, and every byte still arrives, in order.
#include "platform/OutputLineSplitter.h"

#include <QStringList>
#include <gtest/gtest.h>

using nerim::platform::OutputLineSplitter;

TEST(OutputLineSplitter, AnEndlessLineIsCutIntoBoundedPiecesWithAMarker)
{
    OutputLineSplitter splitter;
    QStringList lines;
    const auto collect = [&lines](QString line) { lines.append(std::move(line)); };

    // 3.5 MiB of "é" (two bytes each) in 64 KiB reads, then the end of the line.
    const QByteArray chunk = QByteArray("\xc3\xa9").repeated(32 * 1024);
    const int reads = 56;
    for (int i = 0; i < reads; ++i)
        splitter.feed(chunk, collect);
    ASSERT_EQ(lines.size(), 3);
    splitter.feed(QByteArray("tail\nnext\n"), collect);
    splitter.finish(collect);
    ASSERT_EQ(lines.size(), 5);

    const QString marker = OutputLineSplitter::cutMarker();
    QString joined;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(lines[i].endsWith(marker));
        const QString piece = lines[i].chopped(marker.size());
        // Cut on a character boundary, never past the limit.
        EXPECT_FALSE(piece.contains(QChar(0xFFFD)));
        EXPECT_LE(piece.toUtf8().size(), OutputLineSplitter::maxLineBytes);
        EXPECT_GT(piece.toUtf8().size(), OutputLineSplitter::maxLineBytes - 4);
        joined += piece;
    }
    EXPECT_FALSE(lines[3].endsWith(marker));
    joined += lines[3];
    EXPECT_EQ(joined, QString(QChar(0xE9)).repeated(reads * 32 * 1024) + QStringLiteral("tail"));
    EXPECT_EQ(lines[4], QStringLiteral("next"));
}

using nerim::platform::OutputLines;

namespace {

// The lines a splitter makes of `reads`, in a form that shows what became of each.
QStringList splitAll(OutputLineSplitter &splitter, const QList<QByteArray> &reads)
{
    OutputLines lines;
    for (const QByteArray &read : reads)
        splitter.split(read, lines);
    splitter.finish(lines);
    QStringList shown;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        switch (lines.form(i)) {
        case OutputLines::Form::whole: shown.append(QString::fromUtf8(lines.bytes(i))); break;
        case OutputLines::Form::cut: shown.append(QStringLiteral("cut:") + QString::fromUtf8(lines.bytes(i))); break;
        case OutputLines::Form::leftOut: shown.append(QStringLiteral("left out:%1").arg(lines.byteCount(i))); break;
        }
    }
    return shown;
}

} // namespace

// Readers that must see a line whole or not at all: a line past the limit is
// given up on as it grows (nothing of it is held) and reported once, by its
// whole size, when it ends; the lines around it are untouched, whether the long
// one arrives in one read or many, and whether the pipe's end finishes it.
TEST(OutputLineSplitter, ALineOverTheLimitIsLeftOutWholeAndReportedBySize)
{
    const auto leaveOut = [] { return OutputLineSplitter(true, 16, OutputLineSplitter::Overlong::leaveOut); };
    {
        OutputLineSplitter splitter = leaveOut();
        EXPECT_EQ(splitAll(splitter, {"before\n" + QByteArray(40, 'x') + "\nafter\n"}),
                  (QStringList{QStringLiteral("before"), QStringLiteral("left out:40"), QStringLiteral("after")}));
    }
    {
        OutputLineSplitter splitter = leaveOut();
        QList<QByteArray> reads{"before\nxxx"};
        for (int i = 0; i < 10; ++i)
            reads.append(QByteArray(7, 'x'));
        reads.append("x\r\nafter\rexactly-16-bytes\nseventeen-bytes!!\n");
        EXPECT_EQ(splitAll(splitter, reads),
                  (QStringList{QStringLiteral("before"), QStringLiteral("left out:74"), QStringLiteral("after"),
                               QStringLiteral("exactly-16-bytes"), QStringLiteral("left out:17")}));
    }
    {
        OutputLineSplitter splitter = leaveOut();
        EXPECT_EQ(splitAll(splitter, {"ok\n", QByteArray(10, 'y'), QByteArray(10, 'y')}),
                  (QStringList{QStringLiteral("ok"), QStringLiteral("left out:20")}));
    }
    // Cutting instead: a long line that arrives in one read is cut as well.
    OutputLineSplitter cutter(true, 16);
    EXPECT_EQ(splitAll(cutter, {QByteArray(40, 'z') + "\nend"}),
              (QStringList{QStringLiteral("cut:") + QString(16, QLatin1Char('z')),
                           QStringLiteral("cut:") + QString(16, QLatin1Char('z')), QString(8, QLatin1Char('z')),
                           QStringLiteral("end")}));
}

// Thousands of lines in one read, lone CRs among them, come out exactly as
// their terminators say.
TEST(OutputLineSplitter, ManyTerminatorsInOneReadSplitExactly)
{
    QByteArray read;
    QStringList expected;
    for (int i = 0; i < 3000; ++i) {
        const QByteArray line = "progress " + QByteArray::number(i);
        read += line + (i % 3 == 0 ? "\r" : i % 3 == 1 ? "\r\n" : "\n");
        expected.append(QString::fromUtf8(line));
    }
    OutputLineSplitter splitter;
    EXPECT_EQ(splitAll(splitter, {read.left(1000), read.mid(1000)}), expected);

    OutputLineSplitter keepCarriageReturns(false);
    EXPECT_EQ(splitAll(keepCarriageReturns, {"a\rb\r\nc\n"}), (QStringList{QStringLiteral("a\rb\r"), QStringLiteral("c")}));
}
