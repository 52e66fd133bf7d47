// What users and their tools do to a project folder (copies that keep the
// times, moves to another file system, `chmod`, `touch`, hard links, a
// restored backup, a damaged byte, a record cut short): the change log stays
// with the panes.json it was written for, and every change saved is read
// back, or the log is kept aside and the pane in focus is told.
#include "PanesTestSupport.h"
#include "TestEnvironment.h"
#include "agents/AgentPaneState.h"
#include "agents/SavedPanes.h"
#include "panes-store/PanesChangeLog.h"
#include "panes-store/PanesSnapshot.h"
#include "panes-store/PanesSnapshotStore.h"
#include "panes-store/PanesLoadResult.h"
#include "foundation/SerialFileWriter.h"
#include "foundation/UuidText.h"
#include "persistence/AtomicFileWriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace nerim;
using namespace nerim::test;

namespace {

void flush() { SerialFileWriter::shared().flush(); }

bool runTool(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// A project's data folder whose panes.json was written whole and whose change
// log holds the changes saved since: a long run, a rename, a focus change.
struct Saved {
    QString folder;
    QString path() const { return folder + QStringLiteral("/panes.json"); }
    QString log() const { return panesChangeLog::pathFor(path()); }
    Panes panes;
    PanesSnapshot whole; // as panes.json holds it
    PanesSnapshot last;  // with the log's changes
};

Saved savedProject()
{
    Saved saved;
    saved.folder = makeTempDir();
    for (int p = 1; p <= 2; ++p)
        saved.panes.push_back(std::make_unique<AgentPaneState>(newUuid(), uuidText(newUuid()),
                                                               QStringLiteral("Claude %1").arg(p), p, false,
                                                               AgentRole::code, QString()));
    PanesSnapshotStore store(saved.path());
    saved.whole = snapshotOf(saved.panes, saved.panes[0]->id(), std::nullopt);
    store.save(saved.whole);
    flush();
    AgentPaneState &pane = *saved.panes[1];
    pane.beginTurn(QStringLiteral("write the page"));
    for (int i = 0; i < 400; ++i) {
        const QString line = QStringLiteral("answer line %1").arg(i);
        pane.appendLine(OutputLine::Kind::stdout, line);
        pane.appendStdoutToTurn(line);
        if (i % 100 == 99) {
            store.save(snapshotOf(saved.panes, saved.panes[0]->id(), std::nullopt));
            flush();
        }
    }
    pane.closeTurn(QStringLiteral("Wrote the page."));
    saved.panes[0]->setAgentName(QStringLiteral("Atlas"));
    saved.last = snapshotOf(saved.panes, saved.panes[1]->id(), std::nullopt);
    store.save(saved.last);
    flush();
    return saved;
}

struct Reopened {
    std::optional<PanesSnapshot> panes;
    std::optional<QString> notice;
};

Reopened reopen(const QString &path)
{
    PanesSnapshotStore store(path);
    Reopened reopened;
    reopened.panes = store.load();
    reopened.notice = store.loadNotice();
    return reopened;
}

// Opened, one more line saved, opened again: everything is there.
void savesOn(const QString &path, const PanesSnapshot &expected)
{
    PanesSnapshotStore store(path);
    const std::optional<PanesSnapshot> loaded = store.load();
    ASSERT_TRUE(readsAs(loaded, expected));
    Panes panes;
    for (const PaneDiskSnapshot &pane : loaded->panes)
        panes.emplace_back(restorePane(pane));
    panes[0]->appendLine(OutputLine::Kind::system, QStringLiteral("saved after"));
    const PanesSnapshot next = snapshotOf(panes, expected.focusedPaneId, std::nullopt);
    store.save(next);
    flush();
    EXPECT_TRUE(readsAs(reopen(path).panes, next));
}

QStringList filesAside(const QString &folder, const QString &pattern)
{
    return QDir(folder).entryList({pattern}, QDir::Files);
}

} // namespace

// Copies that keep times and modes, `chmod`, `chown`, `touch` and a hard link change
// the file's identity on disk but not the id inside it: the log applies, and
// the saves after it go on appending (the file is not written whole).
TEST(PanesCopies, CopiesModesTimesAndLinksKeepTheLogWithItsFile)
{
    const Saved saved = savedProject();
    ASSERT_TRUE(QFile::exists(saved.log()));
    // The document id is one more root key: the strict reader (and readers
    // that do not know it) read the file as before.
    const QByteArray file = readFile(saved.path());
    ASSERT_TRUE(file.startsWith("{\"documentId\":\""));
    EXPECT_EQ(PanesSnapshot::fromJson(QJsonDocument::fromJson(file).object()), saved.whole);
    EXPECT_EQ(PanesSnapshot::fromJson(QJsonDocument::fromJson(withoutDocumentId(file)).object()), saved.whole);
    ASSERT_FALSE(readsAs(loadPanesSnapshot(saved.path()), saved.whole)); // the log holds changes

    struct Case {
        const char *name;
        std::function<QString(const QString &folder)> apply; // returns the folder to open
    };
    const QList<Case> cases = {
        {"cp -a of the folder",
         [](const QString &folder) {
             const QString copy = makeTempDir() + QStringLiteral("/copy");
             EXPECT_TRUE(runTool(QStringLiteral("cp"), {QStringLiteral("-a"), folder, copy}));
             return copy;
         }},
        {"chmod", [](const QString &folder) {
             EXPECT_TRUE(runTool(QStringLiteral("chmod"), {QStringLiteral("600"), folder + QStringLiteral("/panes.json")}));
             EXPECT_TRUE(runTool(QStringLiteral("chmod"), {QStringLiteral("g+w"), folder + QStringLiteral("/panes-changes.log")}));
             return folder;
         }},
        {"chown (to the same owner: a new change time all the same)",
         [](const QString &folder) {
             const QString owner = QStringLiteral("%1:%2").arg(::getuid()).arg(::getgid());
             EXPECT_TRUE(runTool(QStringLiteral("chown"), {QStringLiteral("-R"), owner, folder}));
             return folder;
         }},
        {"touch", [](const QString &folder) {
             EXPECT_TRUE(runTool(QStringLiteral("touch"), {folder + QStringLiteral("/panes.json")}));
             EXPECT_TRUE(runTool(QStringLiteral("touch"), {QStringLiteral("-d"), QStringLiteral("2001-01-01"),
                                                           folder + QStringLiteral("/panes-changes.log")}));
             return folder;
         }},
        {"a hard link", [](const QString &folder) {
             EXPECT_TRUE(runTool(QStringLiteral("ln"), {folder + QStringLiteral("/panes.json"),
                                                        makeTempDir() + QStringLiteral("/backup-of-panes.json")}));
             return folder;
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // Each on a copy of its own, so that one case does not feed the next.
        const QString own = makeTempDir() + QStringLiteral("/data");
        ASSERT_TRUE(runTool(QStringLiteral("cp"), {QStringLiteral("-a"), saved.folder, own}));
        const QString folder = c.apply(own);
        const QString path = folder + QStringLiteral("/panes.json");
        const QByteArray fileBefore = readFile(path);
        const Reopened reopened = reopen(path);
        EXPECT_TRUE(readsAs(reopened.panes, saved.last));
        EXPECT_FALSE(reopened.notice) << reopened.notice->toStdString();
        savesOn(path, saved.last);
        EXPECT_EQ(readFile(path), fileBefore); // appended to the log, not written whole
    }
}

// Moved to another file system (a new device and inode for both files).
TEST(PanesCopies, AMoveToAnotherFileSystemKeepsTheLogWithItsFile)
{
    const Saved saved = savedProject();
    struct stat here {}, there {};
    const QString shm = QStringLiteral("/dev/shm");
    if (::stat(QFile::encodeName(saved.folder).constData(), &here) != 0 ||
        ::stat(QFile::encodeName(shm).constData(), &there) != 0 || here.st_dev == there.st_dev ||
        !QFileInfo(shm).isWritable())
        GTEST_SKIP() << "no second file system to move to (/dev/shm is missing or on the same one)";
    const QString moved = shm + QStringLiteral("/nerim-panes-move-%1").arg(::getpid());
    QDir(moved).removeRecursively();
    ASSERT_TRUE(runTool(QStringLiteral("mv"), {saved.folder, moved}));
    const QString path = moved + QStringLiteral("/panes.json");
    const Reopened reopened = reopen(path);
    EXPECT_TRUE(readsAs(reopened.panes, saved.last));
    EXPECT_FALSE(reopened.notice);
    savesOn(path, saved.last);
    QDir(moved).removeRecursively();
}

// A log left by the earlier version names panes.json by where and when it was
// written rather than by an id inside it. A copy that keeps the times, or a
// move, still finds it, by the file's size and modification time; a file
// touched since is not known for the same, and its log is kept aside.
TEST(PanesCopies, ALogOfTheEarlierFormFollowsItsFileWhileItsTimesAreKept)
{
    const Saved saved = savedProject();
    // The same records behind a header of the earlier form.
    const QByteArray log = readFile(saved.log());
    const qsizetype headerLine = log.indexOf('\n');
    ASSERT_GT(headerLine, 0);
    const qint64 headerLength = log.left(log.indexOf(' ')).toLongLong();
    const QByteArray records = log.mid(headerLine + 1 + headerLength + 1);
    const std::optional<AtomicFileWriter::FileIdentity> identity = AtomicFileWriter::FileIdentity::of(saved.path());
    ASSERT_TRUE(identity);
    ASSERT_TRUE(writeFile(saved.log(), panesChangeLog::encodeLegacyHeader(*identity) + records));
    ASSERT_TRUE(readsAs(reopen(saved.path()).panes, saved.last));

    const QString copy = makeTempDir() + QStringLiteral("/copy");
    ASSERT_TRUE(runTool(QStringLiteral("cp"), {QStringLiteral("-a"), saved.folder, copy}));
    const Reopened copied = reopen(copy + QStringLiteral("/panes.json"));
    EXPECT_TRUE(readsAs(copied.panes, saved.last));
    EXPECT_FALSE(copied.notice);

    const QString touched = makeTempDir() + QStringLiteral("/touched");
    ASSERT_TRUE(runTool(QStringLiteral("cp"), {QStringLiteral("-a"), saved.folder, touched}));
    ASSERT_TRUE(runTool(QStringLiteral("touch"), {QStringLiteral("-d"), QStringLiteral("2001-01-01"),
                                                  touched + QStringLiteral("/panes.json")}));
    const Reopened reopened = reopen(touched + QStringLiteral("/panes.json"));
    EXPECT_TRUE(readsAs(reopened.panes, saved.whole));
    ASSERT_TRUE(reopened.notice);
    EXPECT_EQ(filesAside(touched, QStringLiteral("panes-changes.log.other-*")).size(), 1);
}

// An older panes.json put back without its log (a restored backup, a
// checkout of the data folder): the log, written for the file that came
// after it, is never applied nor removed; it is kept aside, and said so.
TEST(PanesCopies, ARestoredOlderFileKeepsTheNewerLogAsideAndSaysSo)
{
    Saved saved = savedProject();
    const QString backup = makeTempDir() + QStringLiteral("/panes.json");
    ASSERT_TRUE(QFile::copy(saved.path(), backup));
    // Written whole since (a fold-back), with a change in its new log.
    {
        PanesSnapshotStore store(saved.path());
        ASSERT_TRUE(store.load());
        {
            const panesChangeLog::detail::ScopedWholeWrites whole;
            store.save(saved.last);
            flush();
        }
        saved.panes[0]->appendLine(OutputLine::Kind::stdout, QStringLiteral("in the newer log"));
        saved.last = snapshotOf(saved.panes, saved.panes[1]->id(), std::nullopt);
        store.save(saved.last);
        flush();
    }
    const QByteArray newerLog = readFile(saved.log());
    ASSERT_FALSE(newerLog.isEmpty());

    ASSERT_TRUE(QFile::remove(saved.path()));
    ASSERT_TRUE(QFile::copy(backup, saved.path()));
    const Reopened reopened = reopen(saved.path());
    EXPECT_TRUE(readsAs(reopened.panes, saved.whole)); // the restored file alone
    const QStringList aside = filesAside(saved.folder, QStringLiteral("panes-changes.log.other-*"));
    ASSERT_EQ(aside.size(), 1);
    EXPECT_EQ(readFile(saved.folder + u'/' + aside.first()), newerLog);
    EXPECT_FALSE(QFile::exists(saved.log()));
    ASSERT_TRUE(reopened.notice);
    EXPECT_TRUE(reopened.notice->startsWith(QStringLiteral("[Nerim found changes saved for another version")))
        << reopened.notice->toStdString();
    EXPECT_TRUE(reopened.notice->contains(aside.first()));
    // Saving goes on from the restored file; what was kept aside stays.
    savesOn(saved.path(), saved.whole);
    EXPECT_EQ(readFile(saved.folder + u'/' + aside.first()), newerLog);
}

// A damaged byte in the log's header: its records still say which file they
// amend, so every change is read; the next save writes the file whole.
TEST(PanesCopies, ADamagedHeaderByteLosesNoChange)
{
    const Saved saved = savedProject();
    QByteArray log = readFile(saved.log());
    // A byte of the header's document id, then (on another copy) of its length.
    for (const qsizetype at : {log.indexOf("documentId") + 20, qsizetype(0)}) {
        SCOPED_TRACE(at);
        const QString own = makeTempDir() + QStringLiteral("/data");
        ASSERT_TRUE(runTool(QStringLiteral("cp"), {QStringLiteral("-a"), saved.folder, own}));
        QByteArray damaged = log;
        damaged[at] = damaged[at] == '7' ? '8' : '7';
        ASSERT_TRUE(writeFile(own + QStringLiteral("/panes-changes.log"), damaged));
        const Reopened reopened = reopen(own + QStringLiteral("/panes.json"));
        EXPECT_TRUE(readsAs(reopened.panes, saved.last));
        savesOn(own + QStringLiteral("/panes.json"), saved.last);
    }
}

// A record cut short (a kill in the middle of an append), and Nerim ends
// before it saves again: the records before it are read at every open, and
// what could not be read is kept aside once, with a notice.
TEST(PanesCopies, ATornRecordWithNoSaveAfterItKeepsTheRecordsBefore)
{
    Saved saved = savedProject();
    const PanesSnapshot before = saved.last;
    PanesSnapshotStore store(saved.path());
    ASSERT_TRUE(store.load());
    saved.panes[0]->appendLine(OutputLine::Kind::stdout, QStringLiteral("the line in flight"));
    store.save(snapshotOf(saved.panes, saved.panes[1]->id(), std::nullopt));
    flush();
    QByteArray log = readFile(saved.log());
    ASSERT_TRUE(writeFile(saved.log(), log.left(log.size() - 20)));

    const Reopened first = reopen(saved.path());
    EXPECT_TRUE(readsAs(first.panes, before));
    ASSERT_TRUE(first.notice);
    EXPECT_TRUE(first.notice->startsWith(QStringLiteral("[Nerim couldn't read the last changes saved")));
    EXPECT_EQ(filesAside(saved.folder, QStringLiteral("panes-changes.log.unreadable-*")).size(), 1);
    // No save: opened again, the same panes, nothing more to tell.
    const Reopened second = reopen(saved.path());
    EXPECT_TRUE(readsAs(second.panes, before));
    EXPECT_FALSE(second.notice);
    EXPECT_EQ(filesAside(saved.folder, QStringLiteral("panes-changes.log.unreadable-*")).size(), 1);
    savesOn(saved.path(), before);
}

// A frame length of nineteen digits (more than a 64-bit integer holds) ends
// the log where it stands, like any damaged frame.
TEST(PanesCopies, AFrameLengthBeyondSixtyFourBitsIsADamagedFrame)
{
    const Saved saved = savedProject();
    const QByteArray log = readFile(saved.log());
    for (const QByteArray &line : {QByteArray("9999999999999999999 00000000\n"),
                                   QByteArray("18446744073709551617 0000000\n"), QByteArray("999999999999999999 0\n")}) {
        const QString own = makeTempDir() + QStringLiteral("/data");
        ASSERT_TRUE(runTool(QStringLiteral("cp"), {QStringLiteral("-a"), saved.folder, own}));
        ASSERT_TRUE(writeFile(own + QStringLiteral("/panes-changes.log"), log + line + QByteArray(64, 'x')));
        const Reopened reopened = reopen(own + QStringLiteral("/panes.json"));
        EXPECT_TRUE(readsAs(reopened.panes, saved.last));
        ASSERT_TRUE(reopened.notice);
        savesOn(own + QStringLiteral("/panes.json"), saved.last);
    }
}
