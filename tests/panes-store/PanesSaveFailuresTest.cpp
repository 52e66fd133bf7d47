// Saves that fail never stop the saves after them: a whole write without
// room leaves the change to the log, and what the load could not keep aside
// fails the saves (told) only until there is room to keep it.
#include "PanesTestSupport.h"
#include "TestEnvironment.h"
#include "panes-store/PanesChangeLog.h"
#include "panes-store/PanesLoadResult.h"
#include "panes-store/PanesSnapshotStore.h"
#include "foundation/SerialFileWriter.h"
#include "foundation/UuidText.h"
#include "persistence/FileCalls.h"

#include <QDir>
#include <QMutex>
#include <QScopeGuard>
#include <gtest/gtest.h>
#include <atomic>
#include <sys/stat.h>

using namespace nerim;
using namespace nerim::test;

namespace {

struct Project {
    Project() : folder(makeTempDir()), path(folder + QStringLiteral("/panes.json")) {}
    QString log() const { return panesChangeLog::pathFor(path); }
    QString folder;
    QString path;
};

// What the store's listener was told, in order.
struct Told {
    QMutex mutex;
    QList<PanesSaveEvent> events;
    void attach(PanesSnapshotStore &store)
    {
        store.setListener([this](const PanesSaveEvent &event) {
            QMutexLocker lock(&mutex);
            events.append(event);
        });
    }
    QList<PanesSaveEvent::Kind> kinds()
    {
        QMutexLocker lock(&mutex);
        QList<PanesSaveEvent::Kind> kinds;
        for (const PanesSaveEvent &event : std::as_const(events))
            kinds.append(event.kind);
        return kinds;
    }
};

void saveAndFlush(PanesSnapshotStore &store, const PanesSnapshot &snapshot,
                  PanesFoldBack foldBack = PanesFoldBack::whenDue)
{
    store.save(snapshot, foldBack);
    SerialFileWriter::shared().flush();
}

void addLines(AgentPaneState &pane, int count, const QString &tag)
{
    for (int i = 0; i < count; ++i)
        pane.appendLine(OutputLine::Kind::stdout, QStringLiteral("%1 line %2 of the run").arg(tag).arg(i));
}

} // namespace

// The disk has room for what a save appends but not for panes.json whole: a
// fold-back that finds no room leaves its change to the log, and the saves
// after it append too, with nothing reported lost and everything read back.
TEST(PanesSaveFailures, AFoldBackWithoutRoomLeavesTheSavesAppending)
{
    const panesChangeLog::detail::ScopedFoldMinimum smallFolds(1);
    Project project;
    Panes panes;
    panes.push_back(std::make_unique<AgentPaneState>(newUuid(), uuidText(newUuid()), QStringLiteral("Claude 1"), 1,
                                                     false, AgentRole::code, QString()));
    addLines(*panes[0], 2000, QStringLiteral("first"));
    PanesSnapshotStore store(project.path);
    Told told;
    told.attach(store);
    saveAndFlush(store, snapshotOf(panes, panes[0]->id(), std::nullopt));
    addLines(*panes[0], 10, QStringLiteral("small"));
    saveAndFlush(store, snapshotOf(panes, panes[0]->id(), std::nullopt));
    ASSERT_TRUE(QFile::exists(project.log()));
    const QByteArray file = readFile(project.path);
    const ino_t logInode = inodeOf(project.log());

    // Only the log can grow from here on.
    fileCalls::detail::setHook([logInode](fileCalls::Call call, int fd, const char *, qint64) {
        if (call != fileCalls::Call::write && call != fileCalls::Call::copy)
            return true;
        struct stat st {};
        return ::fstat(fd, &st) == 0 && st.st_ino == logInode;
    });
    const auto unhook = qScopeGuard([] { fileCalls::detail::setHook({}); });
    LogCapture logged;

    // A change larger than half the file is due to be folded back.
    addLines(*panes[0], 1500, QStringLiteral("second"));
    const PanesSnapshot folded = snapshotOf(panes, panes[0]->id(), std::nullopt);
    saveAndFlush(store, folded);
    EXPECT_TRUE(logged.contains(QStringLiteral("whole failed"))) << "the whole write was not tried";
    // Then small saves, as they come while an agent prints.
    for (int i = 0; i < 3; ++i) {
        addLines(*panes[0], 20, QStringLiteral("after %1").arg(i));
        saveAndFlush(store, snapshotOf(panes, panes[0]->id(), std::nullopt));
    }
    fileCalls::detail::setHook({});

    const PanesSnapshot last = snapshotOf(panes, panes[0]->id(), std::nullopt);
    EXPECT_EQ(readFile(project.path), file);
    EXPECT_EQ(inodeOf(project.log()), logInode);
    EXPECT_TRUE(readsAs(loadPanesSnapshot(project.path), last));
    EXPECT_TRUE(told.kinds().isEmpty()) << "a save that reached the disk was told as failed";
}

// A torn change log whose unread part cannot be kept aside (the disk is
// full at the open): the saves fail and say why, touching nothing, until
// there is room; then the part is kept, the panes saved, and the recovery told.
TEST(PanesSaveFailures, ATornLogThatCannotBeKeptAsideFailsTheSavesUntilThereIsRoom)
{
    Project project;
    Panes panes;
    for (int p = 1; p <= 2; ++p) {
        panes.push_back(std::make_unique<AgentPaneState>(newUuid(), uuidText(newUuid()), QStringLiteral("Claude %1").arg(p),
                                                         p, false, AgentRole::code, QString()));
        addLines(*panes.back(), 30, QStringLiteral("pane %1").arg(p));
    }
    {
        PanesSnapshotStore first(project.path);
        saveAndFlush(first, snapshotOf(panes, panes[0]->id(), std::nullopt));
        addLines(*panes[1], 5, QStringLiteral("logged"));
        saveAndFlush(first, snapshotOf(panes, panes[0]->id(), std::nullopt));
    }
    QByteArray log = readFile(project.log());
    ASSERT_GT(log.size(), 40);
    log.chop(7); // the last record torn, as a power cut leaves it
    ASSERT_TRUE(writeFile(project.log(), log));
    const QByteArray file = readFile(project.path);

    std::atomic<bool> full{true};
    fileCalls::detail::setHook([&full](fileCalls::Call, int, const char *, qint64) { return !full.load(); });
    const auto unhook = qScopeGuard([] { fileCalls::detail::setHook({}); });
    PanesSnapshotStore store(project.path);
    Told told;
    told.attach(store);
    const std::optional<PanesSnapshot> loaded = store.load();
    ASSERT_TRUE(loaded);
    Panes restored;
    for (const PaneDiskSnapshot &pane : loaded->panes)
        restored.emplace_back(restorePane(pane));
    addLines(*restored[0], 50, QStringLiteral("while full"));
    for (int attempt = 0; attempt < 2; ++attempt)
        saveAndFlush(store, snapshotOf(restored, restored[0]->id(), std::nullopt), PanesFoldBack::later);
    ASSERT_EQ(told.kinds(), (QList{PanesSaveEvent::Kind::failed, PanesSaveEvent::Kind::failed}));
    EXPECT_TRUE(told.events.first().reason.contains(QStringLiteral("could not be kept aside")))
        << told.events.first().reason.toStdString();
    ASSERT_TRUE(store.saveFailure());
    EXPECT_EQ(readFile(project.path), file);
    EXPECT_EQ(readFile(project.log()), log);

    full = false; // the retry after room came back
    const PanesSnapshot saved = snapshotOf(restored, restored[0]->id(), std::nullopt);
    saveAndFlush(store, saved, PanesFoldBack::later);
    EXPECT_EQ(told.kinds().last(), PanesSaveEvent::Kind::recovered);
    EXPECT_FALSE(store.saveFailure());
    EXPECT_TRUE(readsAs(loadPanesSnapshot(project.path), saved));
    const QStringList aside =
        QDir(project.folder).entryList({QStringLiteral("panes-changes.log.unreadable-*")}, QDir::Files);
    ASSERT_EQ(aside.size(), 1);
    EXPECT_TRUE(readFile(project.folder + u'/' + aside.first()).endsWith(log.right(16)));
}
