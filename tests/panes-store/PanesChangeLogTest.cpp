// Saves append what changed to panes-changes.log beside panes.json; the load
// applies it to exactly the file it was written for, up to its first damaged
// record, and a fold-back writes the file whole again.
#include "PanesTestSupport.h"
#include "TestEnvironment.h"
#include "agents/AgentPaneState.h"
#include "agents/SavedPanes.h"
#include "panes-store/PanesChangeLog.h"
#include "panes-store/PanesSaver.h"
#include "panes-store/PanesSnapshot.h"
#include "panes-store/PanesSnapshotStore.h"
#include "panes-store/PanesLoadResult.h"
#include "foundation/SerialFileWriter.h"
#include "foundation/UuidText.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <sys/stat.h>
#include <vector>

using namespace nerim;
using namespace nerim::test;

namespace {

std::unique_ptr<AgentPaneState> newPane(int number)
{
    return std::make_unique<AgentPaneState>(newUuid(), uuidText(newUuid()), QStringLiteral("Claude %1").arg(number),
                                            number, false, AgentRole::code, QString());
}

struct Project {
    Project() : folder(makeTempDir()), path(folder + QStringLiteral("/panes.json")) {}
    QString log() const { return panesChangeLog::pathFor(path); }
    QString folder;
    QString path;
};

void saveAndFlush(PanesSnapshotStore &store, const PanesSnapshot &snapshot,
                  PanesFoldBack foldBack = PanesFoldBack::whenDue)
{
    store.save(snapshot, foldBack);
    SerialFileWriter::shared().flush();
}

// Three panes with a little transcript and a closed turn, saved whole, then
// three changes appended to the log: a new line, a closed turn, a rename and
// focus. Returns the snapshot after each record (the first is the file's).
std::vector<PanesSnapshot> fileWithThreeRecords(const Project &project, Panes &panes)
{
    for (int p = 1; p <= 3; ++p) {
        panes.push_back(newPane(p));
        panes.back()->beginTurn(QStringLiteral("start"));
        for (int i = 0; i < 20; ++i) {
            panes.back()->appendLine(OutputLine::Kind::stdout, QStringLiteral("pane %1 line %2").arg(p).arg(i));
            panes.back()->appendStdoutToTurn(QStringLiteral("line %1").arg(i));
        }
        panes.back()->closeTurn(QStringLiteral("Done."));
    }
    PanesSnapshotStore store(project.path);
    std::vector<PanesSnapshot> states;
    states.push_back(snapshotOf(panes, panes[0]->id(), std::nullopt));
    saveAndFlush(store, states.back());
    panes[1]->appendLine(OutputLine::Kind::stderr, QStringLiteral("a warning “é” 🚀"));
    states.push_back(snapshotOf(panes, panes[0]->id(), std::nullopt));
    saveAndFlush(store, states.back());
    panes[2]->beginTurn(QStringLiteral("again"));
    panes[2]->appendLine(OutputLine::Kind::stdout, QStringLiteral("answer"));
    panes[2]->appendStdoutToTurn(QStringLiteral("answer"));
    panes[2]->closeTurn(std::nullopt);
    states.push_back(snapshotOf(panes, panes[0]->id(), std::nullopt));
    saveAndFlush(store, states.back());
    panes[0]->setAgentName(QStringLiteral("Atlas"));
    states.push_back(snapshotOf(panes, panes[2]->id(), panes[2]->id()));
    saveAndFlush(store, states.back());
    return states;
}

} // namespace

// Random edits, each saved and read back by the production load: the load
// always gives the last snapshot; panes.json keeps its bytes and inode until
// a fold-back rewrites it, and the log is gone after each fold-back.
TEST(PanesChangeLog, RandomChangesReadBackExactlyAndTheFileChangesOnlyWhenFolded)
{
    Project project;
    // Folded back from 64 KiB on, so that small files reach fold-backs.
    const panesChangeLog::detail::ScopedFoldMinimum foldSooner(64 * 1024);
    std::mt19937 random(20240611);
    const auto roll = [&](int n) { return int(random() % unsigned(n)); };
    Panes panes;
    int number = 0;
    for (int p = 0; p < 2; ++p)
        panes.push_back(newPane(++number));
    auto store = std::make_unique<PanesSnapshotStore>(project.path);
    std::optional<QUuid> focused, expanded;
    saveAndFlush(*store, snapshotOf(panes, focused, expanded));
    QByteArray fileBytes = readFile(project.path);
    ino_t inode = inodeOf(project.path);
    int folds = 0, appends = 0, appendsPastFoldPoint = 0;

    for (int step = 0; step < 250; ++step) {
        const int what = roll(100);
        AgentPaneState *pane = panes.empty() ? nullptr : panes[size_t(roll(int(panes.size())))].get();
        if (what < 40 && pane) {
            // Lines, now and then a long one (so that the log fills up).
            const int count = 1 + roll(30);
            for (int i = 0; i < count; ++i) {
                const int length = roll(20) == 0 ? 4000 : 1 + roll(80);
                pane->appendLine(OutputLine::Kind(roll(5)), QString(length, QChar(u'a' + roll(26))) + QStringLiteral("\"\\\n é"));
            }
        } else if (what < 55 && pane) {
            pane->beginTurn(QStringLiteral("prompt %1").arg(step));
            pane->appendLine(OutputLine::Kind::stdout, QStringLiteral("answer %1").arg(step));
            pane->appendStdoutToTurn(QStringLiteral("answer %1").arg(step));
            pane->closeTurn(roll(2) ? std::optional<QString>(QStringLiteral("summary")) : std::nullopt);
        } else if (what < 62 && panes.size() < 5) {
            panes.push_back(newPane(++number));
        } else if (what < 67 && !panes.empty()) {
            const size_t at = size_t(roll(int(panes.size())));
            if (focused == panes[at]->id())
                focused.reset();
            if (expanded == panes[at]->id())
                expanded.reset();
            panes.erase(panes.begin() + qsizetype(at));
        } else if (what < 72 && panes.size() > 1) {
            std::swap(panes[0], panes[size_t(roll(int(panes.size())))]);
        } else if (what < 78 && pane) {
            pane->setAgentName(QStringLiteral("Name %1").arg(step));
        } else if (what < 82 && pane) {
            pane->setRole(AgentRole(roll(7)));
        } else if (what < 96 && pane) {
            focused = pane->id();
            expanded = roll(2) ? std::optional<QUuid>(pane->id()) : std::nullopt;
        } else {
            // The project closed and opened again: the saver goes on from what it read.
            const std::optional<PanesSnapshot> loaded = PanesSnapshotStore(project.path).load();
            store = std::make_unique<PanesSnapshotStore>(project.path);
            const std::optional<PanesSnapshot> reloaded = store->load();
            ASSERT_TRUE(loaded && reloaded);
            panes.clear();
            for (const PaneDiskSnapshot &saved : reloaded->panes)
                panes.emplace_back(restorePane(saved));
        }
        // Now and then saved as while agents print: such a save appends
        // even once a fold-back is due, which the next other save makes.
        const PanesFoldBack foldBack = roll(3) == 0 ? PanesFoldBack::later : PanesFoldBack::whenDue;
        const qint64 logBefore = QFileInfo(project.log()).size();
        const PanesSnapshot snapshot = snapshotOf(panes, focused, expanded);
        saveAndFlush(*store, snapshot, foldBack);

        PanesLoadResult read = readPanesFile(project.path);
        ASSERT_TRUE(read.snapshot) << step;
        read.snapshot->nextAgentNumber = snapshot.nextAgentNumber; // raised above the pane numbers on load
        ASSERT_EQ(*read.snapshot, snapshot) << step;
        EXPECT_FALSE(read.changeLogFault);
        if (inodeOf(project.path) != inode) {
            ++folds;
            EXPECT_EQ(foldBack, PanesFoldBack::whenDue) << step;
            inode = inodeOf(project.path);
            fileBytes = readFile(project.path);
            EXPECT_FALSE(QFile::exists(project.log())) << step;
        } else {
            ASSERT_EQ(readFile(project.path), fileBytes) << step; // untouched between fold-backs
            appends += QFile::exists(project.log());
            const qint64 foldPoint = std::max<qint64>(64 * 1024, QFileInfo(project.path).size() / 2);
            appendsPastFoldPoint += foldBack == PanesFoldBack::later &&
                                    QFileInfo(project.log()).size() > std::max(foldPoint, logBefore);
        }
    }
    EXPECT_GE(folds, 2);
    EXPECT_GE(appends, 120);
    EXPECT_GE(appendsPastFoldPoint, 1);
}

// The log cut at every byte of its last record gives the content as of the
// record before; a byte changed in a middle record, the content before that
// record. The load keeps what it could not read aside and cuts the log back to
// what it read, so the next save appends to a log that loads back whole.
TEST(PanesChangeLog, ATornOrDamagedRecordEndsTheLogAndIsKeptAside)
{
    Project project;
    Panes panes;
    const std::vector<PanesSnapshot> states = fileWithThreeRecords(project, panes);
    const QByteArray log = readFile(project.log());
    const QByteArray fileBytes = readFile(project.path);
    const auto loadedPanes = [&] {
        const std::optional<PanesSnapshot> loaded = loadPanesSnapshot(project.path);
        return loaded ? loaded->panes : QList<PaneDiskSnapshot>();
    };
    ASSERT_EQ(loadedPanes(), states[3].panes);
    ASSERT_EQ(loadPanesSnapshot(project.path)->focusedPaneId, states[3].focusedPaneId);

    // Where the last record starts: after the third frame (header, two records).
    qsizetype lastStart = 0;
    for (int frame = 0; frame < 3; ++frame) {
        const qsizetype lineEnd = log.indexOf('\n', lastStart);
        lastStart = lineEnd + 1 + log.mid(lastStart, lineEnd - lastStart).split(' ').first().toLongLong() + 1;
    }
    for (qsizetype cut = lastStart; cut < log.size(); ++cut) {
        ASSERT_TRUE(writeFile(project.log(), log.left(cut)));
        ASSERT_EQ(loadedPanes(), states[2].panes) << cut;
    }
    ASSERT_TRUE(writeFile(project.log(), log));
    ASSERT_EQ(loadedPanes(), states[3].panes);

    // A flipped byte in the middle record's transcript text.
    QByteArray damaged = log;
    const qsizetype at = damaged.indexOf("answer");
    ASSERT_GT(at, 0);
    damaged[at] = 'A';
    ASSERT_TRUE(writeFile(project.log(), damaged));
    LogCapture lines;
    PanesSnapshotStore store(project.path);
    const std::optional<PanesSnapshot> loaded = store.load();
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->panes, states[1].panes);
    EXPECT_TRUE(lines.lines().join(u'\n').contains(QStringLiteral("change 2 cannot be applied")))
        << lines.lines().join(u'\n').toStdString();
    // The changes that did not read are kept aside, whole, and the user is told.
    ASSERT_TRUE(store.loadNotice());
    EXPECT_TRUE(store.loadNotice()->startsWith(QStringLiteral("[Nerim couldn't read the last changes saved")))
        << store.loadNotice()->toStdString();
    const QStringList aside =
        QDir(project.folder).entryList({QStringLiteral("panes-changes.log.unreadable-*")}, QDir::Files);
    ASSERT_EQ(aside.size(), 1);
    EXPECT_TRUE(store.loadNotice()->contains(aside.first()));
    // Aside: the header and everything from the damaged record on; in place:
    // the header and the record that read.
    const qsizetype headerEnd = log.indexOf('\n', log.indexOf('\n') + 1) + 1;
    qsizetype secondStart = headerEnd;
    secondStart = log.indexOf('\n', secondStart) + 1 + log.mid(secondStart).split(' ').first().toLongLong() + 1;
    EXPECT_EQ(readFile(project.folder + u'/' + aside.first()), damaged.left(headerEnd) + damaged.mid(secondStart));
    EXPECT_EQ(readFile(project.log()), log.left(secondStart));

    // The next save appends to what was read: everything loads back.
    Panes restored;
    for (const PaneDiskSnapshot &pane : loaded->panes)
        restored.emplace_back(restorePane(pane));
    restored[0]->appendLine(OutputLine::Kind::stdout, QStringLiteral("after the damage"));
    const PanesSnapshot next = snapshotOf(restored, restored[1]->id(), std::nullopt);
    saveAndFlush(store, next);
    EXPECT_EQ(readFile(project.path), fileBytes);
    EXPECT_TRUE(QFile::exists(project.log()));
    EXPECT_EQ(loadPanesSnapshot(project.path)->panes, next.panes);
}

// A log counts for the panes.json whose document id it names, whatever file
// holds it, and is read and written only as a regular file of its own.
TEST(PanesChangeLog, TheLogFollowsTheFileItNamesNeverALink)
{
    Project project;
    Panes panes;
    const std::vector<PanesSnapshot> states = fileWithThreeRecords(project, panes);
    const QByteArray fileBytes = readFile(project.path);

    // panes.json replaced by the same bytes (a copy put back): the same file
    // by its id, so the log still applies.
    ASSERT_TRUE(QFile::remove(project.path));
    ASSERT_TRUE(writeFile(project.path, fileBytes));
    EXPECT_EQ(loadPanesSnapshot(project.path)->panes, states[3].panes);

    // A link in the log's place, even to a log that would count, is not followed...
    Project other;
    Panes otherPanes;
    (void)fileWithThreeRecords(other, otherPanes);
    const QByteArray otherLog = readFile(other.log());
    ASSERT_TRUE(QFile::remove(other.log()));
    const QString elsewhere = makeTempDir() + QStringLiteral("/planted.log");
    ASSERT_TRUE(writeFile(elsewhere, otherLog));
    ASSERT_TRUE(QFile::link(elsewhere, other.log()));
    PanesSnapshotStore store(other.path);
    const std::optional<PanesSnapshot> loaded = store.load();
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->panes.at(0).agentName, QStringLiteral("Claude 1")); // the rename was in the log
    // ...nor written through: the next append replaces the link with a log of its own.
    Panes restored;
    for (const PaneDiskSnapshot &pane : loaded->panes)
        restored.emplace_back(restorePane(pane));
    restored[0]->appendLine(OutputLine::Kind::stdout, QStringLiteral("one more"));
    const PanesSnapshot next = snapshotOf(restored, std::nullopt, std::nullopt);
    saveAndFlush(store, next);
    EXPECT_EQ(readFile(elsewhere), otherLog);
    EXPECT_FALSE(QFileInfo(other.log()).isSymLink());
    EXPECT_EQ(loadPanesSnapshot(other.path)->panes, next.panes);

    // A log written for the backup (a crash before the file that replaced it
    // took its changes) applies to the backup when that is what is restored.
    Project third;
    Panes thirdPanes;
    (void)fileWithThreeRecords(third, thirdPanes);
    thirdPanes[0]->setAgentName(QStringLiteral("Bea"));
    {
        const panesChangeLog::detail::ScopedWholeWrites wholeWrites;
        PanesSnapshotStore whole(third.path);
        saveAndFlush(whole, snapshotOf(thirdPanes, std::nullopt, std::nullopt));
    }
    const PanesSnapshot inBackup = PanesSnapshot::decode(readFile(third.path + QStringLiteral(".backup")));
    ASSERT_TRUE(inBackup.documentId);
    thirdPanes[1]->appendLine(OutputLine::Kind::stdout, QStringLiteral("saved after the backup"));
    const PanesSnapshot later = snapshotOf(thirdPanes, std::nullopt, std::nullopt);
    QByteArray planted = panesChangeLog::encodeHeader(*inBackup.documentId);
    planted += *panesChangeLog::encodeRecord(*inBackup.documentId, inBackup, later, 1 << 20);
    ASSERT_TRUE(writeFile(third.log(), planted));
    ASSERT_TRUE(writeFile(third.path, "{ torn"));
    const PanesLoadResult read = readPanesFile(third.path);
    ASSERT_TRUE(read.snapshot);
    EXPECT_TRUE(read.restoredFromBackup);
    EXPECT_EQ(read.snapshot->panes, later.panes);
}

namespace {

// Lines encoded ahead, as a test lays them out: the pieces of each pane by id.
class PlantedAhead final : public panesChangeLog::LinesAhead {
public:
    QHash<QUuid, QList<panesChangeLog::EncodedLines>> pieces;
    mutable int taken = 0;

    std::optional<panesChangeLog::EncodedLines> at(const QUuid &paneId, const OutputLines &, qsizetype first,
                                                   qsizetype) const override
    {
        for (const panesChangeLog::EncodedLines &piece : pieces.value(paneId)) {
            if (piece.first == first) {
                ++taken;
                return piece;
            }
        }
        return std::nullopt;
    }
};

} // namespace

// A record takes lines encoded ahead only where they are exactly the lines it
// holds (same storage, from its first new line, not past its last), and its
// bytes are those of the record encoded whole either way.
TEST(PanesChangeLog, LinesEncodedAheadGiveTheBytesOfTheRecordEncodedWhole)
{
    Panes panes;
    for (int p = 1; p <= 4; ++p) {
        panes.push_back(newPane(p));
        for (int i = 0; i < 5; ++i)
            panes.back()->appendLine(OutputLine::Kind::stdout, QStringLiteral("pane %1 before %2").arg(p).arg(i));
    }
    const PanesSnapshot from = snapshotOf(panes, panes[0]->id(), std::nullopt);
    for (int p = 0; p < 4; ++p) {
        for (int i = 0; i < 30; ++i)
            panes[p]->appendLine(i % 3 ? OutputLine::Kind::stdout : OutputLine::Kind::stderr,
                                 QStringLiteral("after %1 “\"\\\t\x01” 🚀 %2").arg(i).arg(QString(i, u'x')));
    }
    const PanesSnapshot to = snapshotOf(panes, panes[1]->id(), std::nullopt);
    const QUuid document = newUuid();
    const QByteArray whole = *panesChangeLog::encodeRecord(document, from, to, 1 << 20);

    using panesChangeLog::EncodedLines;
    PlantedAhead ahead;
    const auto lines = [&](int p) { return to.panes.at(p).outputLines; };
    // Pane 1: all its new lines, in two pieces, one grown from two.
    EncodedLines first = EncodedLines::of(lines(0), 5, 12);
    first.extend(EncodedLines::of(lines(0), 12, 20));
    ahead.pieces[panes[0]->id()] = {first, EncodedLines::of(lines(0), 20, 35)};
    // Pane 2: the first new lines only; the rest is encoded by the record.
    ahead.pieces[panes[1]->id()] = {EncodedLines::of(lines(1), 5, 9)};
    // Pane 3: the same lines in storage of their own: never taken.
    ahead.pieces[panes[2]->id()] = {EncodedLines::of(lines(2).mid(0), 5, 35)};
    // Pane 4: a piece from a line that is not its first new one, and one past its end.
    OutputLines longer = lines(3);
    longer.append(OutputLine::Kind::stdout, QStringLiteral("printed after the snapshot"), newUuid());
    ahead.pieces[panes[3]->id()] = {EncodedLines::of(lines(3), 6, 35), EncodedLines::of(longer, 5, 36)};

    const std::optional<panesChangeLog::Record> record =
        panesChangeLog::encodeRecordPieces(document, from, to, 1 << 20, &ahead);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->joined(), whole);
    EXPECT_EQ(record->size, whole.size());
    EXPECT_GT(record->pieces.size(), 3) << "the pieces encoded ahead are written as they are";

    // Too large with the pieces counted in, as without them.
    const qint64 limit = whole.size() - 1;
    EXPECT_FALSE(panesChangeLog::encodeRecordPieces(document, from, to, limit, &ahead));
}

// While an agent prints, the saver encodes its new lines ahead of the saves
// that take them; whatever that thread has done when a save comes, the file
// and its log read back as every snapshot saved.
TEST(PanesChangeLog, SavesWhileLinesAreEncodedAheadReadBackExactly)
{
    const Project project;
    std::mt19937 random(20261208);
    Panes panes;
    for (int p = 1; p <= 3; ++p)
        panes.push_back(newPane(p));
    PanesSnapshotStore store(project.path);
    saveAndFlush(store, snapshotOf(panes, panes[0]->id(), std::nullopt));
    ASSERT_TRUE(store.load());
    PanesSnapshot last;
    for (int round = 0; round < 40; ++round) {
        for (int batch = 0; batch < 5; ++batch) {
            AgentPaneState &pane = *panes[random() % panes.size()];
            const int count = 1 + int(random() % 200);
            for (int i = 0; i < count; ++i)
                pane.appendLine(OutputLine::Kind::stdout, QStringLiteral("round %1 line %2 %3")
                                                              .arg(round)
                                                              .arg(i)
                                                              .arg(QString(int(random() % 40), u'é')));
            store.encodeAhead(pane.id(), pane.outputLines());
        }
        if (round % 7 == 3) {
            // A run ends: a closed turn, a new transcript for one pane.
            panes[round % 3]->beginTurn(QStringLiteral("task"));
            panes[round % 3]->appendStdoutToTurn(QStringLiteral("answer"));
            panes[round % 3]->closeTurn(QStringLiteral("done"));
        }
        last = snapshotOf(panes, panes[round % 3]->id(), std::nullopt);
        store.save(last, PanesFoldBack::later);
        if (round % 5 == 0)
            SerialFileWriter::shared().flush();
    }
    SerialFileWriter::shared().flush();
    EXPECT_TRUE(QFileInfo::exists(project.log())) << "the changes were appended";
    EXPECT_TRUE(readsAs(PanesSnapshotStore(project.path).load(), last));
}
