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
