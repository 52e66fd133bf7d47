#include "foundation/SerialFileWriter.h"
#include "repair/RepairHistoryEntry.h"
#include "PlantedFiles.h"
#include "TestEnvironment.h"
#include <QFileInfo>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

using namespace nerim;

namespace {

RepairHistoryEntry entry(int attempts, std::optional<QString> reason = std::nullopt)
{
    return RepairHistoryEntry{QStringLiteral("2026-12-07T08:15:00Z"), QStringLiteral("missingEnvVar"), attempts,
                              QStringLiteral("stuck"), std::move(reason), 42};
}

QString historyOf(const QString &project) { return RepairHistoryEntry::historyPath(project); }

} // namespace

TEST(RepairHistoryEntry, EncodesOneCompactLineWithKeysInFieldOrder)
{
    EXPECT_EQ(entry(2, QStringLiteral("The app needs \"DB_URL\"")).jsonLine(),
              QByteArray(R"({"timestamp":"2026-12-07T08:15:00Z","category":"missingEnvVar","attempts":2,)"
                         R"("outcome":"stuck","reason":"The app needs \"DB_URL\"","durationSec":42})"));
    const QByteArray withoutReason = entry(1).jsonLine();
    EXPECT_FALSE(withoutReason.contains("reason"));
    EXPECT_FALSE(withoutReason.contains('\n'));
    EXPECT_EQ(QJsonDocument::fromJson(withoutReason).object().value(QStringLiteral("durationSec")).toInt(), 42);
}

TEST(RepairHistoryEntry, AppendCreatesTheFileInTheDataFolderWithABackupOfThePreviousVersion)
{
    const QString project = test::makeTempDir(QStringLiteral("project"));
    const QUrl projectURL = QUrl::fromLocalFile(project);
    RepairHistoryEntry::append(entry(1), projectURL);
    SerialFileWriter::shared().flush();
    const QString path = project + QStringLiteral("/.nerim/repair-history.jsonl");
    EXPECT_EQ(historyOf(project), path);
    EXPECT_EQ(test::readFile(path), entry(1).jsonLine() + '\n');

    RepairHistoryEntry::append(entry(2, QStringLiteral("pane-lost")), projectURL);
    SerialFileWriter::shared().flush();
    EXPECT_EQ(test::readFile(path), entry(1).jsonLine() + '\n' + entry(2, QStringLiteral("pane-lost")).jsonLine() + '\n');
    EXPECT_EQ(test::readFile(path + QStringLiteral(".backup")), entry(1).jsonLine() + '\n');
}

TEST(RepairHistoryEntry, RapidAppendsAllLandInOrder)
{
    // The background writer replaces a queued snapshot by a newer one; history
    // lines are appends, so none of them may be lost that way.
    const QString project = test::makeTempDir(QStringLiteral("project"));
    QByteArray expected;
    for (int i = 1; i <= 60; ++i) {
        RepairHistoryEntry::append(entry(i), QUrl::fromLocalFile(project));
        expected += entry(i).jsonLine() + '\n';
    }
    SerialFileWriter::shared().flush();
    EXPECT_EQ(test::readFile(historyOf(project)), expected);
}

TEST(RepairHistoryEntry, DropsEmptyLinesAndCarriesForeignLinesAlong)
{
    const QString project = test::makeTempDir(QStringLiteral("project"));
    ASSERT_TRUE(test::writeFile(historyOf(project), "\n{\"old\":1}\n\n\nnot json at all\n\n"));
    RepairHistoryEntry::appendLines(historyOf(project), {entry(1).jsonLine()});
    EXPECT_EQ(test::readFile(historyOf(project)), "{\"old\":1}\nnot json at all\n" + entry(1).jsonLine() + '\n');
}

TEST(RepairHistoryEntry, HalvesTheLinesOnceWhenTheCapWouldBePassed)
{
    const QString project = test::makeTempDir(QStringLiteral("project"));
    const QString path = historyOf(project);
    const QByteArray newLine = entry(9).jsonLine();
    // 8 existing lines plus the new one; joined with 8 line feeds.
    const qint64 fixedPart = newLine.size() + 8;
    const qint64 perLine = (RepairHistoryEntry::sizeCap - fixedPart) / 8;
    QList<QByteArray> existing;
    qint64 used = fixedPart;
    for (int i = 0; i < 8; ++i) {
        const qint64 size = i < 7 ? perLine : RepairHistoryEntry::sizeCap - used;
        existing.append(QByteArray::number(i) + QByteArray(size - 1, 'x'));
        used += size;
    }
    const QByteArray atCap = existing.join('\n') + '\n';

    // Exactly at the cap after the append: written whole.
    ASSERT_TRUE(test::writeFile(path, atCap));
    {
        test::LogCapture log;
        RepairHistoryEntry::appendLines(path, {newLine});
        EXPECT_FALSE(log.contains(QStringLiteral("Rolled")));
    }
    QByteArray written = test::readFile(path);
    EXPECT_EQ(written.size(), RepairHistoryEntry::sizeCap + 1); // plus the final line feed
    EXPECT_EQ(written, atCap + newLine + '\n');

    // One byte more: the oldest 4 of 9 lines go, 5 stay, the new one last.
    existing[7].append('y');
    ASSERT_TRUE(test::writeFile(path, existing.join('\n') + '\n'));
    test::LogCapture log;
    RepairHistoryEntry::appendLines(path, {newLine});
    EXPECT_TRUE(log.contains(QStringLiteral(
        "[Nerim repair-history] Rolled repair-history.jsonl: dropped oldest 4 entries (file was over 1048576 bytes)")));
    written = test::readFile(path);
    const QList<QByteArray> kept = written.chopped(1).split('\n');
    ASSERT_EQ(kept.size(), 5);
    EXPECT_EQ(kept.first(), existing[4]);
    EXPECT_EQ(kept.last(), newLine);
}

TEST(RepairHistoryEntry, OnlyOneHalvingPerAppend)
{
    const QString project = test::makeTempDir(QStringLiteral("project"));
    const QString path = historyOf(project);
    // Two huge lines: after the halving the rest is still over the cap, and stays.
    const QByteArray huge(RepairHistoryEntry::sizeCap, 'h');
    ASSERT_TRUE(test::writeFile(path, huge + '\n' + huge + '\n'));
    RepairHistoryEntry::appendLines(path, {entry(1).jsonLine()});
    EXPECT_EQ(test::readFile(path), huge + '\n' + entry(1).jsonLine() + '\n');
}

TEST(RepairHistoryEntry, AStrayInvalidByteDoesNotCostTheHistory)
{
    const QString project = test::makeTempDir(QStringLiteral("project"));
    const QString path = historyOf(project);
    ASSERT_TRUE(test::writeFile(path, "{\"a\":1}\n{\"b\":\"\xff\"}\n{\"c\":3}\n"));
    RepairHistoryEntry::appendLines(path, {entry(1).jsonLine()});
    EXPECT_EQ(test::readFile(path),
              "{\"a\":1}\n{\"b\":\"\xef\xbf\xbd\"}\n{\"c\":3}\n" + entry(1).jsonLine() + '\n');
}

TEST(RepairHistoryEntry, AMissingProjectFolderIsNotBroughtBack)
{
    // The project folder is gone: no empty shell of it appears.
    const QString gone = test::makeTempDir(QStringLiteral("gone"));
    ASSERT_TRUE(QDir(gone).removeRecursively());
    {
        test::LogCapture log;
        RepairHistoryEntry::append(entry(1), QUrl::fromLocalFile(gone));
        SerialFileWriter::shared().flush();
        EXPECT_TRUE(log.contains(QStringLiteral("[Nerim repair-history] Failed to append entry at ") + historyOf(gone)));
    }
    EXPECT_FALSE(QFileInfo::exists(gone));

}

TEST(RepairHistoryEntry, AHistoryThatCannotBeReadIsLeftAsItIs)
{
    const QString project = test::makeTempDir(QStringLiteral("project"));
    const QString path = historyOf(project);
    // Something that exists at the path but cannot be read as a file.
    ASSERT_TRUE(QDir().mkpath(path));
    ASSERT_TRUE(test::writeFile(path + QStringLiteral("/keep"), "x"));
    test::LogCapture log;
    RepairHistoryEntry::appendLines(path, {entry(1).jsonLine()});
    EXPECT_TRUE(log.contains(QStringLiteral("[Nerim repair-history] Failed to append entry at ") + path +
                             QStringLiteral(": the existing file can't be read")));
    EXPECT_TRUE(QFileInfo(path).isDir());
    EXPECT_EQ(test::readFile(path + QStringLiteral("/keep")), "x");
    EXPECT_FALSE(QFileInfo::exists(path + QStringLiteral(".backup")));
}

TEST(RepairHistoryEntry, PlantedFilesAreNeitherWrittenThroughNorCopiedIn)
{
    // Links at the backup and the temporary names: replaced, never written through.
    const QString project = test::makeTempDir(QStringLiteral("project"));
    const QString path = historyOf(project);
    const test::PlantedLinks links(test::writerNames(path, path + QStringLiteral(".backup")).mid(1));
    for (int i = 1; i <= 3; ++i)
        RepairHistoryEntry::appendLines(path, {entry(i).jsonLine()});
    links.expectOutsideUntouched();
    EXPECT_EQ(test::readFile(path), entry(1).jsonLine() + '\n' + entry(2).jsonLine() + '\n' + entry(3).jsonLine() + '\n');

    // A link or a pipe in the history's own place: nothing is read from it
    // (no private text is copied into the project), nothing waits, it stays.
    for (const bool pipe : {false, true}) {
        const QString planted = historyOf(test::makeTempDir(QStringLiteral("project")));
        QString outside;
        if (pipe) {
            ASSERT_TRUE(test::plantFifo(planted));
        } else {
            outside = test::plantLinkToOutsideFile(planted, "{\"private\":1}\n");
        }
        test::LogCapture log;
        RepairHistoryEntry::appendLines(planted, {entry(1).jsonLine()});
        EXPECT_TRUE(log.contains(QStringLiteral("[Nerim repair-history] Failed to append entry at ") + planted +
                                 QStringLiteral(": the existing file can't be read (it is ")));
        EXPECT_FALSE(QFileInfo(planted).isFile() && !QFileInfo(planted).isSymLink());
        EXPECT_FALSE(QFileInfo::exists(planted + QStringLiteral(".backup")));
        if (!pipe) {
            EXPECT_EQ(test::readFile(outside), QByteArray("{\"private\":1}\n"));
        }
    }
}

TEST(RepairHistoryEntry, ADataFolderLinkedOutOfTheProjectIsSetAsideNotWrittenTo)
{
    const QString project = test::makeTempDir(QStringLiteral("project"));
    const QString elsewhere = test::makeTempDir(QStringLiteral("elsewhere"));
    ASSERT_TRUE(test::writeFile(elsewhere + QStringLiteral("/repair-history.jsonl"), "{\"theirs\":1}\n"));
    ASSERT_TRUE(test::plantLink(project + QStringLiteral("/.nerim"), elsewhere));
    test::LogCapture log;
    RepairHistoryEntry::append(entry(1), QUrl::fromLocalFile(project));
    SerialFileWriter::shared().flush();
    EXPECT_TRUE(log.contains(QStringLiteral("[Nerim memory] Set aside %1/.nerim, a symbolic link to %2")
                                 .arg(project, elsewhere)));
    EXPECT_TRUE(QFileInfo(project + QStringLiteral("/.nerim/repair-history.jsonl")).isFile());
    EXPECT_EQ(QDir(elsewhere).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList{"repair-history.jsonl"});
    EXPECT_EQ(test::readFile(elsewhere + QStringLiteral("/repair-history.jsonl")), QByteArray("{\"theirs\":1}\n"));
}
