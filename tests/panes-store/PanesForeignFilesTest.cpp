// Saves change only the project's own files: a hard-linked copy of the project
// reads back as it was made, and what another writer put in place of the
// saver's files is kept aside and told, never written over.
#include "PanesTestSupport.h"
#include "TestEnvironment.h"
#include "panes-store/PanesSaver.h"
#include "panes-store/PanesSnapshotStore.h"
#include "panes-store/PanesLoadResult.h"
#include "foundation/SerialFileWriter.h"
#include "foundation/UuidText.h"

#include <QDir>
#include <QMap>
#include <QMutex>
#include <QProcess>
#include <gtest/gtest.h>

using namespace nerim;
using namespace nerim::test;

namespace {

void flush() { SerialFileWriter::shared().flush(); }

std::unique_ptr<AgentPaneState> newPane(int number)
{
    return std::make_unique<AgentPaneState>(newUuid(), uuidText(newUuid()), QStringLiteral("Claude %1").arg(number),
                                            number, false, AgentRole::code, QString());
}

void print(AgentPaneState &pane, const QString &prefix, int count)
{
    for (int i = 0; i < count; ++i)
        pane.appendLine(OutputLine::Kind::stdout, QStringLiteral("%1 %2").arg(prefix).arg(i));
}

// Every file under `folder` by its path within it, with its bytes.
QMap<QString, QByteArray> filesUnder(const QString &folder)
{
    QMap<QString, QByteArray> files;
    const QDir dir(folder);
    for (const QString &name : dir.entryList(QDir::Files | QDir::Hidden))
        files.insert(name, readFile(dir.filePath(name)));
    return files;
}

QStringList namesLike(const QString &folder, const QString &pattern)
{
    return QDir(folder).entryList({pattern}, QDir::Files | QDir::Hidden);
}

// What a store's saves tell.
struct Told {
    QMutex mutex;
    QList<PanesSaveEvent> events;
    std::function<void(const PanesSaveEvent &)> listener()
    {
        return [this](const PanesSaveEvent &event) {
            QMutexLocker lock(&mutex);
            events.append(event);
        };
    }
};

} // namespace

// `cp -al` makes a snapshot whose files are the original's: appends to the
// change log, cutting a damaged log back and whole writes in the original
// leave the copy's files as they were.
TEST(PanesForeignFiles, AHardLinkedCopyStaysAsItWasWhenTheOriginalSaves)
{
    const QString root = makeTempDir(QStringLiteral("projects"));
    const QString original = root + QStringLiteral("/original");
    ASSERT_TRUE(QDir().mkpath(original + QStringLiteral("/.nerim")));
    const QString path = original + QStringLiteral("/.nerim/panes.json");

    Panes panes;
    panes.push_back(newPane(1));
    {
        PanesSnapshotStore store(path);
        store.load();
        print(*panes[0], QStringLiteral("before"), 50);
        store.save(snapshotOf(panes, panes[0]->id(), std::nullopt));
        flush();
        print(*panes[0], QStringLiteral("logged"), 50);
        store.save(snapshotOf(panes, panes[0]->id(), std::nullopt));
        flush();
    }
    ASSERT_TRUE(QFile::exists(panesChangeLog::pathFor(path))) << "the second save appends to the change log";
    const PanesSnapshot atCopy = snapshotOf(panes, panes[0]->id(), std::nullopt);

    const QString copy = root + QStringLiteral("/snapshot");
    ASSERT_EQ(QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-al"), original, copy}), 0);

    // A torn record at the log's end: the next load cuts the log back to its
    // last good record, which must not cut the copy's.
    {
        QFile log(panesChangeLog::pathFor(path));
        ASSERT_TRUE(log.open(QIODevice::Append));
        log.write("17 0000");
    }
    const QMap<QString, QByteArray> copiedTorn = filesUnder(copy + QStringLiteral("/.nerim"));
    {
        PanesSnapshotStore store(path);
        EXPECT_TRUE(readsAs(store.load(), atCopy));
        print(*panes[0], QStringLiteral("after"), 30);
        store.save(snapshotOf(panes, panes[0]->id(), std::nullopt));
        flush();
        const panesChangeLog::detail::ScopedWholeWrites whole;
        print(*panes[0], QStringLiteral("whole"), 30);
        store.save(snapshotOf(panes, panes[0]->id(), std::nullopt));
        flush();
    }
    EXPECT_TRUE(readsAs(loadPanesSnapshot(path), snapshotOf(panes, panes[0]->id(), std::nullopt)));
    // (The torn bytes were written through the shared file, so the copy has them too; no save changed it since.)
    EXPECT_EQ(filesUnder(copy + QStringLiteral("/.nerim")), copiedTorn);
}

// A file put in place of the saver's own (a second writer, a backup put
// back) is moved aside under a name of its own and told, once; the saver's
// panes go in its place; nothing piles up.
TEST(PanesForeignFiles, AnotherWritersFileIsKeptAsideAndToldBeforeTheSaveReplacesIt)
{
    const QString folder = makeTempDir(QStringLiteral("project")) + QStringLiteral("/.nerim");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString path = folder + QStringLiteral("/panes.json");

    Panes ours;
    ours.push_back(newPane(1));
    Told told;
    PanesSnapshotStore store(path);
    store.setListener(told.listener());
    store.load();
    print(*ours[0], QStringLiteral("ours"), 40);
    store.save(snapshotOf(ours, std::nullopt, std::nullopt));
    flush();
    print(*ours[0], QStringLiteral("ours logged"), 10);
    store.save(snapshotOf(ours, std::nullopt, std::nullopt));
    flush();
    EXPECT_TRUE(told.events.isEmpty());

    // Another writer saves its own panes whole over the file.
    Panes theirs;
    theirs.push_back(newPane(7));
    print(*theirs[0], QStringLiteral("theirs"), 25);
    const PanesSnapshot theirSnapshot = snapshotOf(theirs, std::nullopt, std::nullopt);
    savePanesSnapshot(path, theirSnapshot);
    flush();

    print(*ours[0], QStringLiteral("ours again"), 10);
    const PanesSnapshot latest = snapshotOf(ours, std::nullopt, std::nullopt);
    store.save(latest);
    flush();
    EXPECT_TRUE(readsAs(loadPanesSnapshot(path), latest));
    const QStringList kept = namesLike(folder, QStringLiteral("panes.json.other-*"));
    ASSERT_EQ(kept.size(), 1);
    EXPECT_TRUE(readsAs(loadPanesSnapshot(folder + QLatin1Char('/') + kept.first()), theirSnapshot));
    ASSERT_EQ(told.events.size(), 1);
    EXPECT_EQ(told.events.first().kind, PanesSaveEvent::Kind::keptAside);
    EXPECT_TRUE(told.events.first().kept.contains(kept.first()));

    // The saver's own file is its own again: the next saves keep nothing more aside.
    for (int round = 0; round < 3; ++round) {
        print(*ours[0], QStringLiteral("round %1").arg(round), 5);
        store.save(snapshotOf(ours, std::nullopt, std::nullopt));
        flush();
    }
    EXPECT_EQ(told.events.size(), 1);
    EXPECT_EQ(namesLike(folder, QStringLiteral("panes.json.other-*")).size(), 1);
    EXPECT_TRUE(readsAs(loadPanesSnapshot(path), snapshotOf(ours, std::nullopt, std::nullopt)));
}
