// A change of the focused or expanded pane alone is saved beside panes.json
// (in its change log), never by rewriting the transcripts. The view file
// (panes-view.json) that earlier versions wrote for such a change still
// counts, but only for the exact panes.json it was written for.
#include "PanesTestSupport.h"
#include "TestEnvironment.h"
#include "panes-store/PanesChangeLog.h"
#include "agents/AgentPaneState.h"
#include "agents/SavedPanes.h"
#include "panes-store/PanesSaver.h"
#include "panes-store/PanesSnapshot.h"
#include "panes-store/PanesSnapshotStore.h"
#include "panes-store/PanesLoadResult.h"
#include "panes-store/PanesViewFile.h"
#include "foundation/SerialFileWriter.h"
#include "foundation/UuidText.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSemaphore>
#include <gtest/gtest.h>
#include <memory>
#include <fcntl.h>
#include <sys/stat.h>
#include <vector>

using namespace nerim;
using namespace nerim::test;

namespace {

Panes makePanes(int count)
{
    Panes panes;
    for (int p = 1; p <= count; ++p) {
        auto pane = std::make_unique<AgentPaneState>(newUuid(), uuidText(newUuid()), QStringLiteral("Claude %1").arg(p),
                                                     p, false, AgentRole::code, QString());
        pane->beginTurn(QStringLiteral("build it"));
        for (int i = 0; i < 200; ++i) {
            pane->appendLine(OutputLine::Kind::stdout, QStringLiteral("pane %1 line %2 “é”").arg(p).arg(i));
            pane->appendStdoutToTurn(QStringLiteral("line %1").arg(i));
        }
        pane->closeTurn(QStringLiteral("Built."));
        panes.push_back(std::move(pane));
    }
    return panes;
}

Panes restore(const PanesSnapshot &snapshot)
{
    Panes panes;
    for (const PaneDiskSnapshot &pane : snapshot.panes)
        panes.emplace_back(restorePane(pane));
    return panes;
}

struct Layout {
    std::optional<QUuid> focused;
    std::optional<QUuid> expanded;
};

Layout layoutOf(const std::optional<PanesSnapshot> &snapshot)
{
    return snapshot ? Layout{snapshot->focusedPaneId, snapshot->expandedPaneId} : Layout{};
}

bool operator==(const Layout &a, const Layout &b) { return a.focused == b.focused && a.expanded == b.expanded; }

// A project folder with a panes.json saved whole by a store.
struct Project {
    Project() : folder(makeTempDir()), path(folder + QStringLiteral("/panes.json")), store(path) {}

    void save(const PanesSnapshot &snapshot)
    {
        store.save(snapshot);
        SerialFileWriter::shared().flush();
    }
    QString view() const { return PanesViewFile::pathFor(path); }
    QString log() const { return panesChangeLog::pathFor(path); }

    QString folder;
    QString path;
    PanesSnapshotStore store;
};

} // namespace

TEST(PanesViewFile, NamedAfterItsPanesFileAndReadOnlyInItsOwnForm)
{
    EXPECT_EQ(PanesViewFile::pathFor(QStringLiteral("/p/.nerim/panes.json")), QStringLiteral("/p/.nerim/panes-view.json"));
    EXPECT_EQ(PanesViewFile::pathFor(QStringLiteral("/p/saved")), QStringLiteral("/p/saved-view.json"));

    const PanesViewFile view{{2049, 1ull << 63, 217000000, 1700000000123456789, -5}, newUuid(), std::nullopt};
    EXPECT_EQ(PanesViewFile::decode(view.encode()), view); // 64-bit values kept exactly
    EXPECT_FALSE(view.encode().contains("expandedPaneId"));

    const QString folder = makeTempDir();
    const QString good = folder + QStringLiteral("/good.json");
    ASSERT_TRUE(writeFile(good, view.encode()));
    EXPECT_EQ(PanesViewFile::read(good), view);
    EXPECT_FALSE(PanesViewFile::read(folder + QStringLiteral("/missing.json")));
    QByteArray asNumbers = view.encode();
    asNumbers.replace("\"2049\"", "2049");
    const QByteArray unknownVersion = QByteArray(view.encode()).replace("\"version\":1", "\"version\":2");
    const QByteArray padded = QByteArray(view.encode()).replace("\"2049\"", "\" 2049\"");
    for (const QByteArray &bad : {QByteArray("garbage"), QByteArray(), asNumbers, unknownVersion, padded,
                                  QByteArray(view.encode()).replace("panesFile", "file"), QByteArray(100000, ' ')}) {
        ASSERT_TRUE(writeFile(good, bad));
        EXPECT_FALSE(PanesViewFile::read(good)) << bad.left(200).toStdString();
    }
    // A link, even to a good file, and anything but a regular file.
    ASSERT_TRUE(writeFile(good, view.encode()));
    ASSERT_TRUE(QFile::link(good, folder + QStringLiteral("/link.json")));
    EXPECT_FALSE(PanesViewFile::read(folder + QStringLiteral("/link.json")));
    ASSERT_TRUE(QDir().mkpath(folder + QStringLiteral("/folder.json")));
    EXPECT_FALSE(PanesViewFile::read(folder + QStringLiteral("/folder.json")));
}

TEST(PanesViewFile, FocusExpandAndCollapseLeaveTheTranscriptFileAlone)
{
    Project project;
    const Panes panes = makePanes(3);
    const QUuid a = panes[0]->id(), b = panes[1]->id(), c = panes[2]->id();
    project.save(snapshotOf(panes, a, std::nullopt));
    ASSERT_TRUE(QFile::exists(project.path));
    EXPECT_FALSE(QFile::exists(project.view()));
    const QByteArray saved = readFile(project.path);
    const ino_t inode = inodeOf(project.path);
    qint64 logBefore = 0;

    // Focus, expand, focus another, collapse: each save leaves panes.json (and
    // its backup) as they were and appends a few hundred bytes to the log.
    for (const Layout &layout : {Layout{b, std::nullopt}, Layout{b, b}, Layout{c, b}, Layout{c, std::nullopt}}) {
        EXPECT_TRUE(project.store.save(snapshotOf(panes, layout.focused, layout.expanded)));
        SerialFileWriter::shared().flush();
        EXPECT_EQ(readFile(project.path), saved);
        EXPECT_EQ(inodeOf(project.path), inode);
        EXPECT_FALSE(QFile::exists(project.path + QStringLiteral(".backup")));
        EXPECT_FALSE(QFile::exists(project.view()));
        const qint64 logSize = QFile(project.log()).size();
        EXPECT_GT(logSize, logBefore);
        EXPECT_LT(logSize - logBefore, 1200); // three panes' names and numbers, no transcript
        logBefore = logSize;
        // Reopened (by both entry points): the new layout.
        EXPECT_TRUE(layoutOf(loadPanesSnapshot(project.path)) == layout);
        PanesSnapshotStore reopened(project.path);
        const std::optional<PanesSnapshot> loaded = reopened.load();
        EXPECT_TRUE(layoutOf(loaded) == layout);
        EXPECT_EQ(loaded->panes, snapshotOf(panes, a, std::nullopt).panes);
    }

    // After reopening the project, the first layout change is still only a
    // layout change: the store knows what the file it read holds.
    PanesSnapshotStore reopened(project.path);
    const Panes restored = restore(*reopened.load());
    EXPECT_TRUE(reopened.save(snapshotOf(restored, a, a)));
    SerialFileWriter::shared().flush();
    EXPECT_EQ(readFile(project.path), saved);
    EXPECT_EQ(inodeOf(project.path), inode);
    EXPECT_TRUE(layoutOf(loadPanesSnapshot(project.path)) == (Layout{a, a}));
}

TEST(PanesViewFile, AWholeWriteCarriesTheCurrentLayoutAndMakesTheLogStale)
{
    Project project;
    const Panes panes = makePanes(2);
    const QUuid a = panes[0]->id(), b = panes[1]->id();
    project.save(snapshotOf(panes, a, std::nullopt));
    project.save(snapshotOf(panes, b, b));
    const QByteArray staleLog = readFile(project.log());
    ASSERT_FALSE(staleLog.isEmpty());

    // A renamed pane written whole (a fold-back): the whole file, holding
    // the layout of the moment.
    panes[0]->setAgentName(QStringLiteral("Atlas"));
    const PanesSnapshot renamed = snapshotOf(panes, a, b);
    {
        const panesChangeLog::detail::ScopedWholeWrites wholeWrites;
        project.save(renamed);
    }
    EXPECT_EQ(withoutDocumentId(readFile(project.path)), renamed.encode());
    EXPECT_FALSE(QFile::exists(project.log())); // stale, so removed
    EXPECT_EQ(loadPanesSnapshot(project.path), renamed);

    // The stale log put back (a copy restored from elsewhere): it names the
    // file that was replaced, so it is ignored.
    ASSERT_TRUE(writeFile(project.log(), staleLog));
    EXPECT_TRUE(layoutOf(loadPanesSnapshot(project.path)) == (Layout{a, b}));

    // And a layout change after it applies to the new file.
    const ino_t inode = inodeOf(project.path);
    project.save(snapshotOf(panes, b, std::nullopt));
    EXPECT_EQ(withoutDocumentId(readFile(project.path)), renamed.encode());
    EXPECT_EQ(inodeOf(project.path), inode);
    EXPECT_TRUE(layoutOf(loadPanesSnapshot(project.path)) == (Layout{b, std::nullopt}));
    // The backup is the file before the rename, untouched by the layout saves.
    EXPECT_EQ(PanesSnapshot::decode(readFile(project.path + QStringLiteral(".backup"))).panes.at(0).agentName,
              QStringLiteral("Claude 1"));
}

TEST(PanesViewFile, APanesFileChangedBehindNerimsBackIgnoresTheViewFile)
{
    Project project;
    const Panes panes = makePanes(2);
    const QUuid a = panes[0]->id(), b = panes[1]->id();
    const PanesSnapshot first = snapshotOf(panes, a, std::nullopt);
    project.save(first);
    project.save(snapshotOf(panes, b, b));
    ASSERT_TRUE(layoutOf(loadPanesSnapshot(project.path)) == (Layout{b, b}));

    // Rewritten in place with the same bytes (a copy tool, which also sets
    // the modification time it copies): its identity changed, so the layout
    // saved for it no longer counts.
    ASSERT_TRUE(writeFile(project.path, first.encode()));
    const struct timespec copied[2] = {{0, UTIME_OMIT}, {1700000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(project.path).constData(), copied, AT_SYMLINK_NOFOLLOW), 0);
    EXPECT_TRUE(layoutOf(loadPanesSnapshot(project.path)) == (Layout{a, std::nullopt}));

    // Replaced by an older copy without the second pane: the view file's
    // ids are not applied to it, and the next layout save writes Nerim's
    // panes back whole rather than amend a file it did not write.
    PanesSnapshot older = first;
    older.panes.removeLast();
    ASSERT_TRUE(writeFile(project.path, older.encode()));
    const std::optional<PanesSnapshot> read = loadPanesSnapshot(project.path);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->panes.size(), 1);
    EXPECT_TRUE(layoutOf(read) == (Layout{a, std::nullopt}));
    const PanesSnapshot current = snapshotOf(panes, a, a);
    EXPECT_TRUE(project.store.save(current));
    SerialFileWriter::shared().flush();
    EXPECT_EQ(withoutDocumentId(readFile(project.path)), current.encode());
}

TEST(PanesViewFile, AViewFileThatIsGarbageALinkOrNamesAnotherPaneIsIgnored)
{
    Project project;
    const Panes panes = makePanes(2);
    const QUuid a = panes[0]->id(), b = panes[1]->id();
    project.save(snapshotOf(panes, a, std::nullopt));
    const Layout own{a, std::nullopt};
    const AtomicFileWriter::FileIdentity identity = *AtomicFileWriter::FileIdentity::of(project.path);
    const auto loadsWith = [&](const Layout &layout) {
        PanesSnapshotStore store(project.path);
        const std::optional<PanesSnapshot> loaded = store.load();
        EXPECT_TRUE(loaded && layoutOf(loaded) == layout);
        EXPECT_FALSE(store.loadNotice()); // never a fault of the load
    };

    // Made for this very file, so it counts...
    ASSERT_TRUE(writeFile(project.view(), PanesViewFile{identity, b, b}.encode()));
    loadsWith({b, b});
    // ...but not when it names a pane the file does not hold.
    ASSERT_TRUE(writeFile(project.view(), PanesViewFile{identity, newUuid(), std::nullopt}.encode()));
    loadsWith(own);
    ASSERT_TRUE(writeFile(project.view(), PanesViewFile{identity, b, newUuid()}.encode()));
    loadsWith(own);
    ASSERT_TRUE(writeFile(project.view(), "{\"version\":1,\"focusedPaneId\":\"not a uuid\"}"));
    loadsWith(own);
    ASSERT_TRUE(writeFile(project.view(), QByteArray("\x00\xff garbage", 10)));
    loadsWith(own);

    // A link to a view file that would count is not followed...
    const QString elsewhere = makeTempDir() + QStringLiteral("/view.json");
    const QByteArray planted = PanesViewFile{identity, b, b}.encode();
    ASSERT_TRUE(writeFile(elsewhere, planted));
    ASSERT_TRUE(QFile::remove(project.view()));
    ASSERT_TRUE(QFile::link(elsewhere, project.view()));
    loadsWith(own);
    // ...nor written through: the save replaces the link.
    project.save(snapshotOf(panes, b, std::nullopt));
    EXPECT_EQ(readFile(elsewhere), planted);
    EXPECT_FALSE(QFileInfo(project.view()).isSymLink());
    loadsWith({b, std::nullopt});
}

TEST(PanesViewFile, ARestoreFromTheBackupIgnoresTheViewFile)
{
    Project project;
    const Panes panes = makePanes(2);
    const QUuid a = panes[0]->id(), b = panes[1]->id();
    project.save(snapshotOf(panes, a, std::nullopt));
    panes[1]->setAgentName(QStringLiteral("Bea"));
    {
        const panesChangeLog::detail::ScopedWholeWrites wholeWrites;
        project.save(snapshotOf(panes, a, std::nullopt)); // the first file is now the backup
    }
    // A view file made for the backup's identity.
    const auto backupIdentity = AtomicFileWriter::FileIdentity::of(project.path + QStringLiteral(".backup"));
    ASSERT_TRUE(backupIdentity);
    ASSERT_TRUE(writeFile(project.view(), PanesViewFile{*backupIdentity, b, b}.encode()));
    ASSERT_TRUE(writeFile(project.path, "{ torn"));

    const PanesLoadResult read = readPanesFile(project.path);
    ASSERT_TRUE(read.snapshot);
    EXPECT_TRUE(read.restoredFromBackup);
    EXPECT_TRUE(layoutOf(read.snapshot) == (Layout{a, std::nullopt}));
}

TEST(PanesViewFile, QueuedSavesKeepTheirOrderAndTheNewestContentIsWritten)
{
    // Every save here writes the file whole (as a fold-back of the change log does).
    const panesChangeLog::detail::ScopedWholeWrites wholeWrites;
    Project project;
    const Panes panes = makePanes(2);
    const QUuid a = panes[0]->id(), b = panes[1]->id();
    project.save(snapshotOf(panes, a, std::nullopt));

    // In quick succession, as the writer gets to them: a layout change, a
    // content change, a layout change.
    project.store.save(snapshotOf(panes, b, std::nullopt));
    panes[0]->appendLine(OutputLine::Kind::stdout, QStringLiteral("one more line"));
    project.store.save(snapshotOf(panes, b, b));
    project.store.save(snapshotOf(panes, a, b));
    SerialFileWriter::shared().flush();
    const PanesSnapshot last = snapshotOf(panes, a, b);
    EXPECT_EQ(withoutDocumentId(readFile(project.path)), last.encode());
    EXPECT_EQ(loadPanesSnapshot(project.path), last);

    // The same with the writer busy, so that all three wait together: the
    // newest snapshot wins and carries the content change with it.
    for (int round = 0; round < 2; ++round) {
        QSemaphore started, release;
        SerialFileWriter::shared().submit(project.path, [&] {
            started.release();
            release.acquire();
        });
        started.acquire();
        const QByteArray before = readFile(project.path);
        project.store.save(snapshotOf(panes, b, std::nullopt));
        panes[1]->appendLine(OutputLine::Kind::stdout, QStringLiteral("round %1").arg(round));
        project.store.save(snapshotOf(panes, b, std::nullopt));
        project.store.save(snapshotOf(panes, round ? b : a, a));
        EXPECT_EQ(readFile(project.path), before); // nothing written on this thread
        release.release();
        SerialFileWriter::shared().flush();
        const PanesSnapshot newest = snapshotOf(panes, round ? b : a, a);
        EXPECT_EQ(withoutDocumentId(readFile(project.path)), newest.encode());
        EXPECT_EQ(loadPanesSnapshot(project.path), newest);
    }
}

TEST(PanesViewFile, AFailedLayoutSaveIsRetriedByTheNextSave)
{
    Project project;
    const Panes panes = makePanes(1);
    const QUuid a = panes[0]->id();
    project.save(snapshotOf(panes, a, std::nullopt));
    const QByteArray saved = readFile(project.path);

    // A folder in the change log's place: the append fails.
    ASSERT_TRUE(QDir().mkpath(project.log() + QStringLiteral("/inside")));
    EXPECT_TRUE(project.store.save(snapshotOf(panes, a, a)));
    SerialFileWriter::shared().flush();
    EXPECT_TRUE(layoutOf(loadPanesSnapshot(project.path)) == (Layout{a, std::nullopt}));

    ASSERT_TRUE(QDir(project.log()).removeRecursively());
    EXPECT_TRUE(project.store.save(snapshotOf(panes, a, a))); // the same snapshot, not skipped
    SerialFileWriter::shared().flush();
    // After a failed append the file is written whole: the log's end could be torn.
    EXPECT_NE(readFile(project.path), saved);
    EXPECT_EQ(withoutDocumentId(readFile(project.path)), snapshotOf(panes, a, a).encode());
    EXPECT_TRUE(layoutOf(loadPanesSnapshot(project.path)) == (Layout{a, a}));
}

TEST(PanesViewFile, TheStrictReaderAppliesItForTheFileItReadOnly)
{
    // A panes.json the quick reader leaves to the strict one (a key repeated by hand).
    Project project;
    const Panes panes = makePanes(2);
    const QUuid a = panes[0]->id(), b = panes[1]->id();
    const PanesSnapshot snapshot = snapshotOf(panes, a, std::nullopt);
    QByteArray edited = snapshot.encode();
    ASSERT_TRUE(edited.startsWith("{\""));
    edited.insert(1, "\"version\":1,");
    ASSERT_TRUE(writeFile(project.path, edited));
    const auto identity = AtomicFileWriter::FileIdentity::of(project.path);
    ASSERT_TRUE(identity);
    ASSERT_FALSE(readPanesFile(project.path).layout); // not read by the quick reader
    ASSERT_TRUE(writeFile(project.view(), PanesViewFile{*identity, b, b}.encode()));
    EXPECT_TRUE(layoutOf(loadPanesSnapshot(project.path)) == (Layout{b, b}));

    AtomicFileWriter::FileIdentity other = *identity;
    other.changedNs += 1;
    ASSERT_TRUE(writeFile(project.view(), PanesViewFile{other, b, b}.encode()));
    EXPECT_TRUE(layoutOf(loadPanesSnapshot(project.path)) == (Layout{a, std::nullopt}));
}
