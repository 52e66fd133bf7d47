// Nothing shown in a pane is lost around the saves: a save that fails is
// tried again until it works, with the pane told both times, and a second
// Nerim on a project the first holds shows it without writing into it.
#include "CanvasFixture.h"
#include "NumberedLines.h"
#include "panes-store/PanesSnapshot.h"
#include "panes-store/PanesLoadResult.h"
#include "foundation/SerialFileWriter.h"
#include "persistence/FileCalls.h"
#include "panes-store/PanesChangeLog.h"

#include <QDir>
#include <QProcess>
#include <QScopeGuard>
#include <QThread>
#include <atomic>
#include <cstring>

using namespace nerim;
using namespace nerim::test;

namespace {

std::optional<PanesSnapshot> savedPanes(const QString &project)
{
    SerialFileWriter::shared().flush();
    return readPanesFile(project + QStringLiteral("/.nerim/panes.json")).snapshot;
}

qsizetype countStartingWith(const QStringList &lines, const QString &start)
{
    return std::count_if(lines.begin(), lines.end(), [&](const QString &line) { return line.startsWith(start); });
}

} // namespace

// The disk fills while an agent prints and is freed after its last line: with
// no further output or click, every line the pane shows reaches the disk, and
// the pane said once that its history was not being saved, and once that it is again.
TEST_F(CanvasTest, AFullDiskDuringAStreamIsSavedOnceFreedWithNothingElseHappening)
{
    std::atomic<bool> diskFull{false};
    fileCalls::detail::setHook([&diskFull](fileCalls::Call, int, const char *, qint64) { return !diskFull.load(); });
    const auto unhook = qScopeGuard([] { fileCalls::detail::setHook({}); });

    CanvasServices saving = services();
    saving.panesOutputSaveDelay = std::chrono::milliseconds(20);
    saving.panesSaveRetryDelay = std::chrono::milliseconds(20);
    saving.panesSaveRetryCap = std::chrono::milliseconds(200);
    canvas = std::make_unique<ProjectCanvasViewModel>(QStringLiteral("project-id"), project, QStringLiteral("Project"),
                                                      provider, nullptr, saving);
    await(canvas->bootstrap());
    provider->enqueue(FakeAgentProvider::running());
    canvas->spawnAgents(1);
    ASSERT_EQ(canvas->panes().size(), 1);
    AgentPaneState *pane = canvas->panes().first();
    await(canvas->sendToPane(pane, QStringLiteral("print"), ContextEntry::PromptSource::text));
    const QUuid session = provider->sessionIds().first();
    for (int i = 0; i < 100; ++i)
        provider->yieldEvent(session, AgentOutput::stdoutLine(QStringLiteral("line %1").arg(i)));
    ASSERT_TRUE(waitUntil([&] { return savedPanes(project) && numberedLines(savedPanes(project)->panes.first()) == 100; }));

    diskFull = true;
    const QString notSaved = QStringLiteral("[This pane's history is not being saved: %1.")
                                 .arg(QString::fromLocal8Bit(std::strerror(EIO)));
    for (int i = 100; i < 3000; ++i) {
        provider->yieldEvent(session, AgentOutput::stdoutLine(QStringLiteral("line %1").arg(i)));
        if (i % 500 == 0)
            spinEventLoop(5); // saves made (and failed) while it prints
    }
    ASSERT_TRUE(waitUntil([&] { return countStartingWith(lineTexts(pane), notSaved) > 0; }));
    spinEventLoop(50); // retries that fail as well
    EXPECT_EQ(numberedLines(savedPanes(project)->panes.first()), 100);

    diskFull = false; // nothing else happens from here on
    ASSERT_TRUE(waitUntil(
        [&] {
            const std::optional<PanesSnapshot> saved = savedPanes(project);
            return saved && saved->panes.first().outputLines == pane->outputLines() &&
                   lineTexts(pane).contains(QStringLiteral("[This pane's history is being saved again.]"));
        },
        60000))
        << "what the pane shows did not reach the disk once it was freed";
    const QStringList lines = lineTexts(pane);
    EXPECT_EQ(numberedLines(savedPanes(project)->panes.first()), 3000);
    EXPECT_EQ(countStartingWith(lines, notSaved), 1);
    EXPECT_EQ(countStartingWith(lines, QStringLiteral("[This pane's history is being saved again.]")), 1);
    EXPECT_GT(lines.indexOf(QStringLiteral("[This pane's history is being saved again.]")),
              lines.indexOf(QStringLiteral("line 2999")));
}

// Two Nerims on one project: the one that opened it first keeps saving every
// line it prints; the second says the project is in use, shows what is saved
// and writes nothing into the project's data folder, whatever it does.
TEST_F(CanvasTest, ASecondNerimSaysTheProjectIsInUseAndNeverWritesOverTheFirst)
{
    const QString data = project + QStringLiteral("/.nerim");
    QProcess first;
    first.setProgram(QStringLiteral(NERIM_CANVAS_STREAMING_HELPER));
    first.setArguments({project, QStringLiteral("50")});
    first.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    first.start();
    const auto stopping = qScopeGuard([&] {
        first.kill();
        first.waitForFinished(30000);
    });
    ASSERT_TRUE(first.waitForStarted(30000));
    auto printedSoFar = [&first, output = QByteArray()]() mutable -> qint64 {
        output += first.readAll();
        const qsizetype end = output.lastIndexOf("\n");
        const qsizetype start = output.lastIndexOf("streamed ", end);
        return start < 0 ? 0 : output.mid(start + 9, end - start - 9).toLongLong();
    };
    while (printedSoFar() < 500 || !savedPanes(project))
        ASSERT_TRUE(first.waitForReadyRead(60000)) << "the first Nerim stopped printing";

    // The second Nerim, in this process.
    open();
    EXPECT_TRUE(canvas->isOpenElsewhere());
    ASSERT_FALSE(canvas->panes().isEmpty()) << "the saved panes are shown";
    EXPECT_EQ(lineTexts(canvas->focusedPane()).last(), ProjectCanvasViewModel::openElsewhereLine());
    // It is used as any canvas is: none of it reaches the disk.
    provider->enqueue(FakeAgentProvider::running());
    AgentPaneState *mine = canvas->spawnPane(QStringLiteral("second"), AgentRole::code);
    ASSERT_NE(mine, nullptr);
    await(canvas->sendToPane(mine, QStringLiteral("print"), ContextEntry::PromptSource::text));
    for (int i = 0; i < 200; ++i)
        provider->yieldEvent(provider->sessionIds().last(), AgentOutput::stdoutLine(QStringLiteral("second %1").arg(i)));
    canvas->renamePane(mine->id(), QStringLiteral("Mine"));
    canvas->setInputPrompt(QStringLiteral("a draft"));
    canvas->scheduleDraftSave();
    spinEventLoop(50);
    await(canvas->teardown());

    // Every line the first printed is saved, and nothing of the second is there.
    const qint64 printed = printedSoFar();
    qint64 onDisk = 0;
    for (int waited = 0; (onDisk = numberedLines(savedPanes(project)->panes.last())) < printed; waited += 50) {
        ASSERT_LT(waited, 120000) << "the first Nerim's lines stopped reaching the disk";
        QThread::msleep(50);
        printedSoFar();
    }
    first.kill();
    ASSERT_TRUE(first.waitForFinished(30000));
    const std::optional<PanesSnapshot> saved = savedPanes(project);
    ASSERT_TRUE(saved);
    EXPECT_GE(numberedLines(saved->panes.last()), printed);
    for (const PaneDiskSnapshot &pane : saved->panes)
        EXPECT_NE(pane.responsibility, QStringLiteral("second"));
    EXPECT_TRUE(QDir(data).entryList({QStringLiteral("*.other-*"), QStringLiteral("*.unreadable-*")}).isEmpty());
    EXPECT_FALSE(QFile::exists(data + QStringLiteral("/agent-names.json")));
    EXPECT_FALSE(QFile::exists(data + QStringLiteral("/draft.txt")));

    // Once the first is gone, the project is this process's to write.
    canvas.reset();
    open();
    EXPECT_FALSE(canvas->isOpenElsewhere());
    EXPECT_TRUE(canvas->canWriteProjectData());
}

// What the open tells about a file it set aside is saved with the panes at
// once: a kill right after the open does not lose it.
TEST_F(CanvasTest, TheNoticeAboutASetAsideFileIsOnDiskRightAfterTheOpen)
{
    const QString path = project + QStringLiteral("/.nerim/panes.json");
    open();
    ASSERT_NE(canvas->spawnPane(QString(), AgentRole::unspecified), nullptr);
    await(canvas->teardown());
    canvas.reset();
    SerialFileWriter::shared().flush();
    ASSERT_TRUE(QFile::copy(path, path + QStringLiteral(".backup")));
    ASSERT_TRUE(writeFile(path, "{\"version\":1,\"panes\":["));

    open(); // and, as far as the files know, killed here
    ASSERT_EQ(canvas->panes().size(), 1);
    const QString notice = lineTexts(canvas->panes().first()).last();
    EXPECT_TRUE(notice.contains(QStringLiteral("panes.json.unreadable-"))) << notice.toStdString();
    const std::optional<PanesSnapshot> saved = savedPanes(project);
    ASSERT_TRUE(saved);
    ASSERT_EQ(saved->panes.size(), 1);
    EXPECT_EQ(saved->panes.first().outputLines.toList().last().text, notice);
}

// An older panes.json put back while the project is idle (a backup restored)
// is not taken for the one Nerim wrote: the quit's save, with nothing new to
// save, writes every line shown and keeps the older file aside.
TEST_F(CanvasTest, AnOlderPanesFilePutBackWhileIdleLosesNothingAtQuit)
{
    const QString path = project + QStringLiteral("/.nerim/panes.json");
    CanvasServices saving = services();
    saving.panesOutputSaveDelay = std::chrono::milliseconds(20);
    const QUuid session = openWithPrintingPane(saving);
    AgentPaneState *pane = canvas->panes().first();
    const auto print = [&](int from, int to) {
        for (int i = from; i < to; ++i)
            provider->yieldEvent(session, AgentOutput::stdoutLine(QStringLiteral("line %1").arg(i)));
        ASSERT_TRUE(waitUntil([&] { return savedPanes(project) && numberedLines(savedPanes(project)->panes.first()) == to; }));
    };
    print(0, 100);
    const QByteArray older = readFile(path);
    print(100, 1000);
    // A rename saves with the change log due to be folded back: the file is written whole.
    const panesChangeLog::detail::ScopedFoldMinimum smallFolds(1);
    canvas->renamePane(pane->id(), QStringLiteral("Printer"));
    ASSERT_TRUE(waitUntil([&] { return !readFile(path).startsWith(older.left(60)); }));

    // Put back once no save is running (one copying from the file as it is
    // replaced in place is another case), and idle from here on.
    SerialFileWriter::shared().flush();
    ASSERT_TRUE(writeFile(path, older));
    spinEventLoop(20);
    await(canvas->teardown());
    canvas.reset();

    const std::optional<PanesSnapshot> saved = savedPanes(project);
    ASSERT_TRUE(saved);
    EXPECT_EQ(numberedLines(saved->panes.first()), 1000);
    const QStringList kept = QDir(project + QStringLiteral("/.nerim")).entryList({QStringLiteral("panes.json.other-*")});
    ASSERT_EQ(kept.size(), 1);
    EXPECT_EQ(readFile(project + QStringLiteral("/.nerim/") + kept.first()), older);
}

// The project's .nerim swapped for an empty folder while the project is open:
// the panes write nothing into the new one, say once that they are not being
// saved, keep every line on screen, and save them all once the folder is back.
TEST_F(CanvasTest, APanesSaveWritesNothingIntoADataFolderPutInPlaceOfTheOpenOne)
{
    const QString data = project + QStringLiteral("/.nerim");
    CanvasServices saving = services();
    saving.panesOutputSaveDelay = std::chrono::milliseconds(20);
    saving.panesSaveRetryDelay = std::chrono::milliseconds(20);
    saving.panesSaveRetryCap = std::chrono::milliseconds(100);
    const QUuid session = openWithPrintingPane(saving);
    AgentPaneState *pane = canvas->panes().first();
    for (int i = 0; i < 100; ++i)
        provider->yieldEvent(session, AgentOutput::stdoutLine(QStringLiteral("line %1").arg(i)));
    ASSERT_TRUE(waitUntil([&] { return savedPanes(project) && numberedLines(savedPanes(project)->panes.first()) == 100; }));

    ASSERT_TRUE(QDir(project).rename(QStringLiteral(".nerim"), QStringLiteral(".nerim-moved")));
    ASSERT_TRUE(QDir(project).mkdir(QStringLiteral(".nerim")));
    for (int i = 100; i < 300; ++i)
        provider->yieldEvent(session, AgentOutput::stdoutLine(QStringLiteral("line %1").arg(i)));
    const QString notSaved =
        QStringLiteral("[This pane's history is not being saved: this project's .nerim folder was moved or replaced.");
    ASSERT_TRUE(waitUntil([&] { return countStartingWith(lineTexts(pane), notSaved) > 0; }));
    spinEventLoop(30); // retries, refused as well
    SerialFileWriter::shared().flush();
    EXPECT_EQ(QDir(data).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
              QStringList());
    EXPECT_EQ(countStartingWith(lineTexts(pane), QStringLiteral("line ")), 300);

    // The folder back in its place: the retries save every line shown.
    ASSERT_TRUE(QDir(data).removeRecursively());
    ASSERT_TRUE(QDir(project).rename(QStringLiteral(".nerim-moved"), QStringLiteral(".nerim")));
    ASSERT_TRUE(waitUntil(
        [&] {
            const std::optional<PanesSnapshot> saved = savedPanes(project);
            return saved && saved->panes.first().outputLines == pane->outputLines();
        },
        30000));
    EXPECT_EQ(numberedLines(savedPanes(project)->panes.first()), 300);
    EXPECT_EQ(countStartingWith(lineTexts(pane), notSaved), 1);
}
