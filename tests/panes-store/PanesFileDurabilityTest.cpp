// panes.json kept through what happens to long projects and their files: any
// size the writer writes is read back, a file that cannot be read is set
#include "PanesTestSupport.h"
// aside rather than saved over, and the saver copies from the previous file
// only what is exactly what it wrote.
#include "TestEnvironment.h"
#include "panes-store/PanesChangeLog.h"
#include "agents/AgentPaneState.h"
#include "agents/SavedPanes.h"
#include "panes-store/PanesFastReader.h"
#include "panes-store/PanesSaver.h"
#include "panes-store/PanesSnapshot.h"
#include "panes-store/PanesSnapshotStore.h"
#include "foundation/Json.h"
#include "foundation/RegularFile.h"
#include "foundation/SerialFileWriter.h"
#include "foundation/UuidText.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QThread>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace nerim;
using namespace nerim::test;
using Kind = OutputLine::Kind;

namespace {

PaneDiskSnapshot emptyPane(int number)
{
    PaneDiskSnapshot pane;
    pane.id = newUuid();
    pane.agentId = uuidText(newUuid());
    pane.agentName = QStringLiteral("Claude %1").arg(number);
    pane.paneNumber = number;
    pane.role = AgentRole::code;
    return pane;
}

ConversationTurn closedTurn(const QUuid &id, const QString &prompt, const QString &answer)
{
    ConversationTurn turn;
    turn.id = id;
    turn.userPrompt = prompt;
    turn.agentResponse = answer;
    turn.startedAt = Timestamp(800000000.25);
    turn.endedAt = Timestamp(800000010.5);
    return turn;
}

// The quick reader of a file in pieces, as the store reads it.
std::optional<PanesSnapshot> readInPieces(const QString &path, PanesFileLayout *layout)
{
    const int fd = RegularFile::open(path);
    EXPECT_GE(fd, 0);
    std::optional<PanesSnapshot> snapshot = readPanesQuickly(fd, layout);
    ::close(fd);
    return snapshot;
}

QStringList setAside(const QString &path)
{
    const QFileInfo info(path);
    return info.dir().entryList({info.fileName() + QStringLiteral(".unreadable-*")}, QDir::Files);
}

// Waits until a change made now gets another change time than the file at
// `path` has: file systems stamp changes from a clock that moves in ticks.
void waitForTheNextChangeTime(const QString &path)
{
    struct stat file {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &file), 0);
    const QString probe = path + QStringLiteral(".probe");
    for (;;) {
        ASSERT_TRUE(writeFile(probe, "x"));
        struct stat now {};
        ASSERT_EQ(::stat(QFile::encodeName(probe).constData(), &now), 0);
        if (now.st_ctim.tv_sec != file.st_ctim.tv_sec || now.st_ctim.tv_nsec != file.st_ctim.tv_nsec)
            break;
        QThread::msleep(1);
    }
    QFile::remove(probe);
}

} // namespace

// Lines and turns of every size around the reader's pieces (a mebibyte),
// written as this program writes them, indented by another program and with
// escapes it would not write: read in pieces, the file gives what it gives
// read whole, with the same parts found where they lie.
TEST(PanesFileDurability, ElementsAcrossPieceBoundariesReadAsTheWholeFile)
{
    QRandomGenerator random(7);
    PanesSnapshot snapshot;
    snapshot.nextAgentNumber = 3;
    for (int p = 1; p <= 2; ++p) {
        PaneDiskSnapshot pane = emptyPane(p);
        for (int i = 0; i < 40; ++i) {
            const int size = int(random.bounded(1, 300 * 1024));
            QString text = QStringLiteral("%1 \"é\" \\ 😀 \t").arg(i) + QString(size, QLatin1Char('x'));
            if (i % 7 == 0)
                text += QChar(0xD800); // a lone surrogate, escaped in the file
            pane.outputLines.append(OutputLine::make(i % 5 == 0 ? Kind::stderr : Kind::stdout, text));
        }
        for (int t = 0; t < 4; ++t)
            pane.conversation.append(closedTurn(newUuid(), QStringLiteral("prompt %1").arg(t),
                                                QString(int(random.bounded(1, 1200 * 1024)), QLatin1Char('r'))));
        snapshot.panes.append(pane);
    }
    const QByteArray written = snapshot.encode();
    ASSERT_GT(written.size(), 5 * 1024 * 1024);
    QByteArray indented = QJsonDocument::fromJson(written).toJson(QJsonDocument::Indented);
    QByteArray escaped = written;
    escaped.replace("\"kind\":\"stderr\"", "\"kind\":\"\\u0073tderr\"");

    for (const QByteArray &bytes : {written, indented, escaped}) {
        const QString path = makeTempDir() + QStringLiteral("/panes.json");
        ASSERT_TRUE(writeFile(path, bytes));
        PanesFileLayout whole;
        PanesFileLayout pieces;
        const std::optional<PanesSnapshot> fromMemory = readPanesQuickly(bytes, &whole);
        const std::optional<PanesSnapshot> fromFile = readInPieces(path, &pieces);
        ASSERT_TRUE(fromMemory);
        ASSERT_TRUE(fromFile);
        EXPECT_EQ(*fromFile, snapshot);
        ASSERT_EQ(pieces.panes.size(), whole.panes.size());
        for (const PaneDiskSnapshot &pane : snapshot.panes) {
            const PanesFileLayout::Pane &a = whole.panes[pane.id];
            const PanesFileLayout::Pane &b = pieces.panes[pane.id];
            EXPECT_EQ(a.lineCount, b.lineCount);
            EXPECT_EQ(a.lines.begin, b.lines.begin);
            EXPECT_EQ(a.lines.end, b.lines.end);
            EXPECT_EQ(a.turns.size(), b.turns.size());
            for (auto turn = a.turns.cbegin(); turn != a.turns.cend(); ++turn) {
                EXPECT_EQ(turn->range.begin, b.turns.value(turn.key()).range.begin);
                EXPECT_EQ(turn->range.end, b.turns.value(turn.key()).range.end);
            }
        }
    }
    // Every line of the file as written is found as this program writes it.
    PanesFileLayout layout;
    const QString path = makeTempDir() + QStringLiteral("/panes.json");
    ASSERT_TRUE(writeFile(path, written));
    ASSERT_TRUE(readInPieces(path, &layout));
    EXPECT_EQ(layout.panes[snapshot.panes.at(0).id].lineCount, 40);

    // A file cut short anywhere is not taken, in pieces as whole.
    for (const qsizetype cut : {qsizetype(1), written.size() / 3, written.size() - 1}) {
        ASSERT_TRUE(writeFile(path, written.left(cut)));
        EXPECT_FALSE(readInPieces(path, nullptr)) << cut;
    }
}

// What the writer writes, it reads back at any size: a project of several
// hundred megabytes of transcript opens with every line, and saving it again
// copies what is unchanged. (The file is several times the most Nerim reads
// of any file whole.)
TEST(PanesFileDurability, AFileOfSeveralHundredMegabytesIsReadBackWhole)
{
    // Every save here writes the file whole (as a fold-back of the change log does).
    const panesChangeLog::detail::ScopedWholeWrites wholeWrites;
    const QString path = makeTempDir() + QStringLiteral("/panes.json");
    PanesSnapshot snapshot;
    snapshot.nextAgentNumber = 4;
    const QByteArray chunk = QByteArrayLiteral("Long answer \"quoted\" \xC3\xA9 \xF0\x9F\x98\x80 ") +
                             QByteArray(512 * 1024, '.');
    for (int p = 1; p <= 3; ++p) {
        PaneDiskSnapshot pane = emptyPane(p);
        for (int i = 0; i < 200; ++i)
            pane.outputLines.appendUtf8(Kind::stdout, QByteArray::number(p * 1000 + i) + chunk, newUuid());
        pane.outputLines.append(OutputLine::make(Kind::system, QStringLiteral("[Claude %1 exited · code 0]").arg(p)));
        pane.conversation.append(closedTurn(newUuid(), QStringLiteral("go"), QStringLiteral("done")));
        snapshot.panes.append(pane);
    }
    snapshot.focusedPaneId = snapshot.panes.last().id;
    {
        PanesSnapshotStore store(path);
        ASSERT_TRUE(store.save(snapshot));
        SerialFileWriter::shared().flush();
    }
    const qint64 size = QFileInfo(path).size();
    EXPECT_GT(size, 300LL * 1024 * 1024);

    PanesSnapshotStore reopened(path);
    LogCapture log;
    const std::optional<PanesSnapshot> loaded = reopened.load();
    ASSERT_TRUE(loaded) << log.lines().join(u'\n').toStdString();
    EXPECT_FALSE(reopened.loadNotice());
    EXPECT_TRUE(log.lines().isEmpty()) << log.lines().join(u'\n').toStdString();
    ASSERT_EQ(loaded->panes.size(), 3);
    EXPECT_EQ(loaded->focusedPaneId, snapshot.focusedPaneId);
    for (qsizetype p = 0; p < 3; ++p) {
        const PaneDiskSnapshot &read = loaded->panes.at(p);
        const PaneDiskSnapshot &written = snapshot.panes.at(p);
        EXPECT_EQ(read.id, written.id);
        EXPECT_EQ(read.conversation, written.conversation);
        ASSERT_EQ(read.outputLines.size(), written.outputLines.size());
        for (qsizetype i = 0; i < read.outputLines.size(); ++i) {
            ASSERT_EQ(read.outputLines.id(i), written.outputLines.id(i));
            ASSERT_EQ(read.outputLines.kind(i), written.outputLines.kind(i));
            ASSERT_TRUE(read.outputLines.utf8(i) == written.outputLines.utf8(i)) << p << " " << i;
        }
    }
    EXPECT_EQ(loaded->panes.last().outputLines.at(200).text, QStringLiteral("[Claude 3 exited · code 0]"));

    // One more line in the last pane, saved: the file grows by that line.
    PanesSnapshot grown = *loaded;
    const OutputLine more = OutputLine::make(Kind::stdout, QStringLiteral("one more"));
    grown.panes.last().outputLines.append(more);
    ASSERT_TRUE(reopened.save(grown));
    SerialFileWriter::shared().flush();
    PanesSnapshot one;
    one.panes = {emptyPane(9)};
    const qint64 withoutLine = one.encode().size();
    one.panes.first().outputLines.append(more);
    EXPECT_EQ(QFileInfo(path).size(), size + (one.encode().size() - withoutLine) + 1); // and a comma
}

// A file that cannot be read is moved aside before anything is saved, the
// user is told where it went, and the backup, when readable, restores the panes.
TEST(PanesFileDurability, AnUnreadableFileIsSetAsideAndNeverSavedOver)
{
    // Every save here writes the file whole (as a fold-back of the change log does).
    const panesChangeLog::detail::ScopedWholeWrites wholeWrites;
    const QByteArray damaged = "{\"version\":1,\"panes\":[{\"id\":";
    PanesSnapshot good;
    good.nextAgentNumber = 2;
    good.panes = {emptyPane(1)};
    good.panes.first().outputLines.append(OutputLine::make(Kind::stdout, QStringLiteral("kept")));

    for (const bool withBackup : {false, true}) {
        SCOPED_TRACE(withBackup ? "with a backup" : "without a backup");
        const QString path = makeTempDir() + QStringLiteral("/panes.json");
        ASSERT_TRUE(writeFile(path, damaged));
        if (withBackup) {
            ASSERT_TRUE(writeFile(AtomicFileWriter::backupPathFor(path), good.encode()));
        }
        PanesSnapshotStore store(path);
        LogCapture log;
        const std::optional<PanesSnapshot> loaded = store.load();
        EXPECT_EQ(loaded.has_value(), withBackup);
        if (withBackup) {
            EXPECT_EQ(loaded->panes, good.panes);
        }
        const QStringList aside = setAside(path);
        ASSERT_EQ(aside.size(), 1);
        const QString asidePath = QFileInfo(path).dir().filePath(aside.first());
        EXPECT_EQ(readFile(asidePath), damaged);
        EXPECT_FALSE(QFileInfo::exists(path));
        ASSERT_TRUE(store.loadNotice());
        EXPECT_TRUE(store.loadNotice()->startsWith(QStringLiteral("[Nerim couldn't read this project's saved panes (")));
        EXPECT_TRUE(store.loadNotice()->contains(aside.first())) << store.loadNotice()->toStdString();
        EXPECT_EQ(store.loadNotice()->contains(QStringLiteral("restored them from their backup")), withBackup);
        EXPECT_TRUE(log.contains(QStringLiteral("[Nerim panes] moved ")));

        // Saves go on around it: the file set aside stays as it was.
        PanesSnapshot next = loaded.value_or(PanesSnapshot{});
        next.panes.append(emptyPane(2));
        ASSERT_TRUE(store.save(next));
        SerialFileWriter::shared().flush();
        ASSERT_TRUE(store.save(good));
        SerialFileWriter::shared().flush();
        EXPECT_EQ(readFile(asidePath), damaged);
        EXPECT_EQ(withoutDocumentId(readFile(path)), good.encode());
        EXPECT_EQ(setAside(path).size(), 1);

        // A file that reads is not moved, and tells nothing.
        PanesSnapshotStore again(path);
        EXPECT_TRUE(again.load());
        EXPECT_FALSE(again.loadNotice());
        EXPECT_EQ(setAside(path).size(), 1);
    }
}

// Two turns of one pane with the same id, sizes and dates but other words (a
// merged or hand-edited file): both are read, and the first save after
// opening keeps both as they were. Likewise two panes with one id.
TEST(PanesFileDurability, TurnsAndPanesSharingAnIdAreEachKeptBySaves)
{
    const QString path = makeTempDir() + QStringLiteral("/panes.json");
    const QUuid turnId = newUuid();
    const QUuid soloId = newUuid();
    PaneDiskSnapshot pane = emptyPane(1);
    pane.outputLines.append(OutputLine::make(Kind::stdout, QStringLiteral("line")));
    pane.conversation = {closedTurn(turnId, QStringLiteral("first prompt"), QStringLiteral("first answer")),
                         closedTurn(turnId, QStringLiteral("other prompt"), QStringLiteral("other answer")),
                         closedTurn(soloId, QStringLiteral("solo  prompt"), QStringLiteral("solo  answer"))};
    // A second pane of the same id, with a turn of the same id and sizes as
    // the first pane's last one.
    PaneDiskSnapshot twin = pane;
    twin.outputLines = OutputLines();
    twin.outputLines.append(OutputLine::make(Kind::stdout, QStringLiteral("twin")));
    twin.conversation = {closedTurn(soloId, QStringLiteral("twin  prompt"), QStringLiteral("twin  answer"))};
    PanesSnapshot snapshot;
    snapshot.nextAgentNumber = 2;
    snapshot.panes = {pane, twin};
    const QByteArray original = snapshot.encode();
    ASSERT_TRUE(writeFile(path, original));

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "the file as read" : "the file as saved");
        PanesSnapshotStore store(path);
        const std::optional<PanesSnapshot> loaded = store.load();
        ASSERT_TRUE(loaded);
        ASSERT_EQ(loaded->panes.size(), 2);
        ASSERT_EQ(loaded->panes.first().conversation.size(), 3);
        EXPECT_EQ(loaded->panes.first().conversation.at(0).userPrompt, QStringLiteral("first prompt"));
        EXPECT_EQ(loaded->panes.first().conversation.at(1).userPrompt, QStringLiteral("other prompt"));
        EXPECT_EQ(loaded->panes.last().conversation.first().userPrompt, QStringLiteral("twin  prompt"));

        // Restored as the canvas restores panes, and saved with one more line.
        std::vector<std::unique_ptr<AgentPaneState>> panes;
        PanesSnapshot again;
        again.nextAgentNumber = loaded->nextAgentNumber;
        for (const PaneDiskSnapshot &saved : loaded->panes) {
            panes.emplace_back(restorePane(saved));
            again.panes.append(snapshotOfPane(*panes.back()));
        }
        ASSERT_TRUE(store.save(again));
        SerialFileWriter::shared().flush();
        const QByteArray saved = readFile(path);
        EXPECT_EQ(withoutDocumentId(saved), again.encode());
        EXPECT_EQ(PanesSnapshot::decode(saved).panes, loaded->panes);
    }
}

// A file changed in place behind the saver's back, at the same size and with
// its modification time put back, is not copied from: its change time, which
// no one can put back, tells the saver.
TEST(PanesFileDurability, AFileRewrittenInPlaceWithItsTimePutBackIsNotCopied)
{
    const QString path = makeTempDir() + QStringLiteral("/panes.json");
    auto pane = std::make_unique<AgentPaneState>(newUuid(), uuidText(newUuid()), QStringLiteral("Claude 1"), 1, false,
                                                 AgentRole::code, QString());
    for (int i = 0; i < 50; ++i)
        pane->appendLine(Kind::stdout, QStringLiteral("original line %1").arg(i));
    const auto snapshotNow = [&] {
        PanesSnapshot snapshot;
        snapshot.nextAgentNumber = 2;
        snapshot.panes = {snapshotOfPane(*pane)};
        return snapshot;
    };
    PanesSnapshotStore store(path);
    ASSERT_TRUE(store.save(snapshotNow()));
    SerialFileWriter::shared().flush();

    struct stat before {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &before), 0);
    waitForTheNextChangeTime(path);
    // Rewritten in place: the same inode and size, one line's words changed.
    QByteArray bytes = readFile(path);
    const qsizetype at = bytes.indexOf("original line 7\"");
    ASSERT_GT(at, 0);
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        ASSERT_TRUE(file.seek(at));
        ASSERT_EQ(file.write("ORIGINAL"), 8);
    }
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
    struct stat after {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &after), 0);
    ASSERT_EQ(after.st_ino, before.st_ino);
    ASSERT_EQ(after.st_size, before.st_size);
    ASSERT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);

    // Written whole (a file edited in place keeps its document id, so a save
    // would otherwise append to its change log).
    const panesChangeLog::detail::ScopedWholeWrites wholeWrites;
    pane->appendLine(Kind::stdout, QStringLiteral("one more"));
    const PanesSnapshot snapshot = snapshotNow();
    ASSERT_TRUE(store.save(snapshot));
    SerialFileWriter::shared().flush();
    const QByteArray saved = readFile(path);
    EXPECT_EQ(withoutDocumentId(saved), snapshot.encode());
    EXPECT_FALSE(saved.contains("ORIGINAL"));
}
