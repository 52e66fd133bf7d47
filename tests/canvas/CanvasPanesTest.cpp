// Panes: numbering, the cap, names, roles, closing, focus and panes.json.
#include "CanvasFixture.h"
#include "agents/SavedPanes.h"
#include "panes-store/PanesSnapshot.h"
#include "panes-store/PanesSnapshotStore.h"
#include "panes-store/PanesLoadResult.h"
#include "foundation/SerialFileWriter.h"
#include "foundation/UuidText.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

using namespace nerim;
using namespace nerim::test;

namespace {

AgentPaneState *systemPane(const QString &name, const QString &agentId)
{
    return new AgentPaneState(newUuid(), agentId, name, 0, true, AgentRole::unspecified, QString());
}

std::optional<PanesSnapshot> savedPanes(const QString &project)
{
    SerialFileWriter::shared().flush();
    return loadPanesSnapshot(project + QStringLiteral("/.nerim/panes.json"));
}

} // namespace

TEST_F(CanvasTest, SpawningNumbersPanesNeverReusesNumbersAndStopsAtTheCap)
{
    open();
    AgentPaneState *first = canvas->spawnPane(QStringLiteral("Landing page and its hero image"), AgentRole::designer);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->agentName(), QStringLiteral("Claude 1"));
    EXPECT_EQ(first->responsibility(), QStringLiteral("Landing page and its her"));
    EXPECT_EQ(lineTexts(first), QStringList{QStringLiteral("[Ready \u2014 type a task or hold the mic]")});
    EXPECT_EQ(canvas->focusedPaneId(), first->id());
    EXPECT_EQ(canvas->nextAgentNumber(), 2);
    EXPECT_EQ(feedback.cues.played, QList<SoundCueService::Cue>{SoundCueService::Cue::agentSpawned});
    std::optional<PanesSnapshot> saved = savedPanes(project);
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->version, 1);
    EXPECT_EQ(saved->panes.size(), 1);

    AgentPaneState *second = canvas->spawnPane(QString(), AgentRole::unspecified);
    AgentPaneState *third = canvas->spawnPane(QString(), AgentRole::unspecified);
    ASSERT_TRUE(second && third);
    EXPECT_EQ(canvas->spawnPane(QString(), AgentRole::unspecified), nullptr);
    EXPECT_EQ(canvas->nextAgentNumber(), 4);

    await(canvas->closePane(second->id()));
    AgentPaneState *fourth = canvas->spawnPane(QString(), AgentRole::unspecified);
    ASSERT_TRUE(fourth);
    EXPECT_EQ(fourth->paneNumber(), 4);
    EXPECT_EQ(fourth->agentName(), QStringLiteral("Claude 4"));
}

TEST_F(CanvasTest, SystemPanesCountTowardTheCapButAreAddedWithoutIt)
{
    open();
    canvas->spawnPane(QString(), AgentRole::unspecified);
    canvas->spawnPane(QString(), AgentRole::unspecified);
    canvas->appendPane(systemPane(QStringLiteral("Repair"), QStringLiteral("nerim.repair")));
    EXPECT_EQ(canvas->panes().size(), 3);
    EXPECT_EQ(canvas->spawnPane(QString(), AgentRole::unspecified), nullptr);
    // A system pane joins even a full canvas.
    canvas->appendPane(systemPane(QStringLiteral("Deploy"), QStringLiteral("nerim.deploy")));
    EXPECT_EQ(canvas->panes().size(), 4);
    EXPECT_EQ(canvas->nextAgentNumber(), 3);
}

TEST_F(CanvasTest, RenamesAreCheckedTrimmedPersistedAndComeBackForTheirNumber)
{
    open();
    AgentPaneState *one = canvas->spawnPane(QString(), AgentRole::unspecified);
    AgentPaneState *two = canvas->spawnPane(QString(), AgentRole::unspecified);
    QObject scope; // the recording connection ends with this test's locals
    int nameChanges = 0;
    QObject::connect(two, &AgentPaneState::agentNameChanged, &scope, [&] { ++nameChanges; });

    const QString name32 = QString(31, QLatin1Char('a')) + QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467");
    canvas->renamePane(two->id(), name32); // 32 user-perceived characters
    EXPECT_EQ(two->agentName(), name32);
    canvas->renamePane(two->id(), name32 + QLatin1Char('b'));
    EXPECT_EQ(two->agentName(), name32);
    // Too long: refused with a line that says the limit.
    ASSERT_GT(two->outputLines().size(), 0);
    EXPECT_EQ(two->outputLines().last().text,
              QString::fromUtf8("That name is too long \u2014 an agent's name can have at most 32 characters."));
    canvas->renamePane(two->id(), QStringLiteral("  \n "));
    canvas->renamePane(two->id(), QStringLiteral("  Ada \n"));
    EXPECT_EQ(two->agentName(), QStringLiteral("Ada"));
    canvas->renamePane(two->id(), QStringLiteral("Ada"));
    EXPECT_EQ(nameChanges, 2);
    canvas->renamePane(newUuid(), QStringLiteral("Nobody"));
    EXPECT_EQ(one->agentName(), QStringLiteral("Claude 1"));

    SerialFileWriter::shared().flush();
    AgentNameMap names;
    loadAgentNames(project + QStringLiteral("/.nerim/agent-names.json"), names);
    EXPECT_EQ(names.value(2), QStringLiteral("Ada"));
    EXPECT_EQ(names.value(1), QStringLiteral("Claude 1"));

    // panes.json lost: numbering starts again, and number 2 gets its saved name.
    await(canvas->teardown());
    SerialFileWriter::shared().flush();
    QFile::remove(project + QStringLiteral("/.nerim/panes.json"));
    canvas.reset();
    open();
    EXPECT_TRUE(canvas->panes().isEmpty());
    canvas->spawnPane(QString(), AgentRole::unspecified);
    AgentPaneState *again = canvas->spawnPane(QString(), AgentRole::unspecified);
    EXPECT_EQ(again->paneNumber(), 2);
    EXPECT_EQ(again->agentName(), QStringLiteral("Ada"));
}

TEST_F(CanvasTest, ClosingMovesFocusResetsTargetAndExpansion)
{
    open();
    AgentPaneState *one = canvas->spawnPane(QString(), AgentRole::unspecified);
    AgentPaneState *two = canvas->spawnPane(QString(), AgentRole::unspecified);
    AgentPaneState *three = canvas->spawnPane(QString(), AgentRole::unspecified);
    const QUuid oneId = one->id();
    const QUuid twoId = two->id();
    const QUuid threeId = three->id();

    canvas->focusPane(twoId);
    canvas->toggleExpandedPane(twoId);
    canvas->selectPromptTarget(PromptTarget::pane(twoId));
    EXPECT_EQ(canvas->promptTarget(), PromptTarget::pane(twoId));
    await(canvas->closePane(twoId));
    EXPECT_EQ(canvas->focusedPaneId(), threeId); // the last pane left
    EXPECT_EQ(canvas->promptTarget(), PromptTarget::automatic());
    EXPECT_EQ(canvas->expandedPaneId(), std::nullopt);

    canvas->focusPane(oneId);
    await(canvas->closePane(threeId));
    EXPECT_EQ(canvas->focusedPaneId(), oneId); // not the focused one: focus stays
    await(canvas->closePane(oneId));
    EXPECT_EQ(canvas->focusedPaneId(), std::nullopt);
    EXPECT_TRUE(canvas->panes().isEmpty());
    EXPECT_TRUE(savedPanes(project)->panes.isEmpty());

    // A target naming a pane that is not open is not kept.
    canvas->selectPromptTarget(PromptTarget::pane(newUuid()));
    EXPECT_EQ(canvas->promptTarget(), PromptTarget::automatic());
}

TEST_F(CanvasTest, FocusingExpandingAndCollapsingKeepPanesJsonAndComeBackOnReopening)
{
    open();
    AgentPaneState *one = canvas->spawnPane(QString(), AgentRole::unspecified);
    AgentPaneState *two = canvas->spawnPane(QString(), AgentRole::unspecified);
    ASSERT_TRUE(one && two);
    const QUuid oneId = one->id();
    const QUuid twoId = two->id();
    const QString file = project + QStringLiteral("/.nerim/panes.json");
    SerialFileWriter::shared().flush();
    const QByteArray saved = readFile(file);
    const QFileInfo before(file);
    ASSERT_FALSE(saved.isEmpty());

    canvas->focusPane(oneId);
    canvas->toggleExpandedPane(twoId);
    canvas->toggleExpandedPane(twoId); // collapsed again
    canvas->toggleExpandedPane(oneId);
    SerialFileWriter::shared().flush();
    EXPECT_EQ(readFile(file), saved);
    EXPECT_EQ(QFileInfo(file).fileTime(QFileDevice::FileMetadataChangeTime),
              before.fileTime(QFileDevice::FileMetadataChangeTime));
    EXPECT_TRUE(QFile::exists(project + QStringLiteral("/.nerim/panes-changes.log")));

    reopen();
    EXPECT_EQ(readFile(file), saved); // leaving the project changed nothing else either
    ASSERT_EQ(canvas->panes().size(), 2);
    EXPECT_EQ(canvas->focusedPaneId(), oneId);
    EXPECT_EQ(canvas->expandedPaneId(), oneId);

    // A change of content is saved too, with the layout of the moment.
    canvas->toggleExpandedPane(oneId);
    canvas->renamePane(twoId, QStringLiteral("Atlas"));
    const std::optional<PanesSnapshot> renamed = savedPanes(project);
    ASSERT_TRUE(renamed);
    EXPECT_EQ(renamed->panes.at(1).agentName, QStringLiteral("Atlas"));
    EXPECT_EQ(renamed->focusedPaneId, oneId);
    EXPECT_EQ(renamed->expandedPaneId, std::nullopt);
    EXPECT_EQ(PanesSnapshot::decode(readFile(file)).expandedPaneId, std::nullopt);
}

TEST_F(CanvasTest, ClosingAWorkingPaneStopsItsAgentAndLogsOneUserKilledExit)
{
    open();
    AgentPaneState *idle = canvas->spawnPane(QString(), AgentRole::unspecified);
    await(canvas->closePane(idle->id()));

    provider->enqueue(FakeAgentProvider::running({AgentOutput::stdoutLine(QStringLiteral("working on it"))}));
    submit(QStringLiteral("make the header blue"));
    AgentPaneState *pane = canvas->panes().first();
    ASSERT_TRUE(waitUntil([&] { return pane->outputLines().last().text == QStringLiteral("working on it"); }));
    const QUuid session = pane->currentSession()->id;
    QPointer<AgentPaneState> guard(pane);
    await(canvas->closePane(pane->id()));

    EXPECT_EQ(provider->terminated(), QList<QUuid>{session});
    ASSERT_TRUE(waitUntil([&] { return entries().size() == 4; }));
    const QList<ContextEntry> log = entries();
    EXPECT_EQ(entryKinds(log).last(), QStringLiteral("agentExit"));
    const auto &exit = std::get<ContextEntry::AgentExit>(log.last().payload());
    EXPECT_EQ(exit.reason, ContextEntry::ExitReason::userKilled);
    EXPECT_EQ(exit.exitCode, 0);
    // The idle pane's close wrote nothing: projectOpened, the prompt, the spawn, the exit.
    EXPECT_EQ(entryKinds(log).count(QStringLiteral("agentExit")), 1);
    spinEventLoop();
    EXPECT_FALSE(guard); // released once closed
}

TEST_F(CanvasTest, RestoringTakesEveryPaneAndRepairsFocusAndExpansion)
{
    PanesSnapshot snapshot;
    snapshot.nextAgentNumber = 9;
    snapshot.focusedPaneId = newUuid();  // names no pane
    snapshot.expandedPaneId = newUuid(); // names no pane
    for (int i = 1; i <= 5; ++i) {
        PaneDiskSnapshot pane;
        pane.id = newUuid();
        pane.agentId = uuidText(newUuid());
        pane.agentName = QStringLiteral("Claude %1").arg(i);
        pane.paneNumber = i;
        pane.outputLines = {OutputLine::make(OutputLine::Kind::stdout, QStringLiteral("line %1").arg(i))};
        snapshot.panes.append(pane);
    }
    ASSERT_TRUE(writeFile(project + QStringLiteral("/.nerim/panes.json"), snapshot.encode()));

    open();
    ASSERT_EQ(canvas->panes().size(), 5);
    EXPECT_EQ(canvas->nextAgentNumber(), 9);
    EXPECT_EQ(canvas->focusedPaneId(), snapshot.panes.last().id);
    EXPECT_EQ(canvas->expandedPaneId(), std::nullopt);
    for (AgentPaneState *pane : canvas->panes())
        EXPECT_EQ(pane->status(), AgentStatus::idle);
    EXPECT_EQ(lineTexts(canvas->panes().at(2)), QStringList{QStringLiteral("line 3")});
}

TEST_F(CanvasTest, ATurnInFlightIsLeftOutOfThePanesFileButItsPromptLineStays)
{
    open();
    provider->enqueue(FakeAgentProvider::running());
    submit(QStringLiteral("long job"));
    AgentPaneState *pane = canvas->panes().first();
    ASSERT_EQ(pane->status(), AgentStatus::working);
    canvas->focusPane(pane->id()); // saves
    const std::optional<PanesSnapshot> saved = savedPanes(project);
    ASSERT_TRUE(saved);
    EXPECT_TRUE(saved->panes.first().conversation.isEmpty());
    EXPECT_TRUE(saved->panes.first().outputLines.contains(pane->outputLines().at(1)));
    EXPECT_EQ(saved->panes.first().outputLines.at(1).text, QStringLiteral("long job"));
}

TEST_F(CanvasTest, TeardownStopsBusyPanesAndTheNextOpenRestoresThemIdle)
{
    open();
    provider->enqueue(FakeAgentProvider::running());
    provider->enqueue(FakeAgentProvider::running());
    canvas->spawnAgents(2);
    ASSERT_EQ(canvas->panes().size(), 2);
    for (AgentPaneState *pane : canvas->panes())
        await(canvas->sendToPane(pane, QStringLiteral("work"), ContextEntry::PromptSource::text));
    const std::shared_ptr<ProjectContextActor> memory = canvas->contextActor();

    await(canvas->teardown());
    EXPECT_EQ(provider->terminated().size(), 2);
    EXPECT_TRUE(canvas->panes().isEmpty());
    EXPECT_EQ(canvas->focusedPaneId(), std::nullopt);
    const QList<ContextEntry> log = logEntries(*memory);
    int killed = 0;
    for (const ContextEntry &entry : log)
        if (const auto *exit = std::get_if<ContextEntry::AgentExit>(&entry.payload()))
            killed += exit->reason == ContextEntry::ExitReason::userKilled && exit->exitCode == 0;
    EXPECT_EQ(killed, 2);
    await(canvas->teardown()); // a second teardown changes nothing

    canvas.reset();
    open();
    ASSERT_EQ(canvas->panes().size(), 2);
    for (AgentPaneState *pane : canvas->panes())
        EXPECT_EQ(pane->status(), AgentStatus::idle);
}

TEST_F(CanvasTest, AliasesPreferCustomNamesAndTheLowestNumberedRole)
{
    open();
    AgentPaneState *one = canvas->spawnPane(QString(), AgentRole::designer);
    AgentPaneState *two = canvas->spawnPane(QString(), AgentRole::designer);
    AgentPaneState *three = canvas->spawnPane(QString(), AgentRole::backend);
    Q_UNUSED(one);
    canvas->renamePane(three->id(), QStringLiteral("CLAUDE 3")); // still the default form
    PaneNameTable aliases = canvas->paneNameAliases();
    EXPECT_EQ(aliases.value(QStringLiteral("designer")), 1);
    EXPECT_EQ(aliases.value(QStringLiteral("backend")), 3);
    EXPECT_FALSE(aliases.contains(QStringLiteral("claude 3")));

    canvas->renamePane(two->id(), QStringLiteral("Designer"));
    aliases = canvas->paneNameAliases();
    EXPECT_EQ(aliases.value(QStringLiteral("designer")), 2);

    // System panes are never addressed.
    await(canvas->closePane(three->id()));
    canvas->appendPane(systemPane(QStringLiteral("Repair"), QStringLiteral("nerim.repair")));
    EXPECT_FALSE(canvas->paneNameAliases().contains(QStringLiteral("repair")));
    EXPECT_FALSE(canvas->paneNumbers().contains(0));
}

TEST_F(CanvasTest, TeardownSavesEveryLineThePanesShowEvenWhileAgentsKeepPrinting)
{
    open();
    provider->enqueue(FakeAgentProvider::running());
    provider->enqueue(FakeAgentProvider::running());
    canvas->spawnAgents(2);
    ASSERT_EQ(canvas->panes().size(), 2);
    for (AgentPaneState *pane : canvas->panes())
        await(canvas->sendToPane(pane, QStringLiteral("work"), ContextEntry::PromptSource::text));
    // Output arrives for both agents just as the project closes; stopping
    // the first agent lets the event loop run before the second is stopped.
    QHash<QUuid, QList<OutputLine>> shown;
    for (AgentPaneState *pane : canvas->panes()) {
        shown.insert(pane->id(), pane->outputLines());
        QObject::connect(pane, &AgentPaneState::outputLinesChanged, pane,
                         [&shown, pane] { shown.insert(pane->id(), pane->outputLines()); });
    }
    for (const QUuid &session : provider->sessionIds())
        for (int i = 0; i < 5; ++i)
            provider->yieldEvent(session, AgentOutput::stdoutLine(QStringLiteral("late line %1").arg(i)));

    await(canvas->teardown());
    SerialFileWriter::shared().flush();
    const std::optional<PanesSnapshot> saved = savedPanes(project);
    ASSERT_TRUE(saved);
    ASSERT_EQ(saved->panes.size(), 2);
    for (const PaneDiskSnapshot &pane : saved->panes)
        EXPECT_EQ(pane.outputLines, shown.value(pane.id)) << "panes.json differs from what the pane showed";
}

// A flood is saved in pieces of about `panesOutputSaveBytes` as it streams,
// without waiting for the output timer, and those saves and the quit's only
// append to the change log even once a fold-back into panes.json is due; the
// log read back holds every line shown, and the next save that may fold does.
TEST_F(CanvasTest, AFloodIsSavedInPiecesAndTheQuitOnlyAppendsWhatIsLeft)
{
    const panesChangeLog::detail::ScopedFoldMinimum foldEarly(1);
    CanvasServices flooding = services();
    flooding.panesOutputSaveDelay = std::chrono::hours(1);
    constexpr qint64 piece = 4096;
    flooding.panesOutputSaveBytes = piece;
    canvas = std::make_unique<ProjectCanvasViewModel>(QStringLiteral("project-id"), project, QStringLiteral("Project"),
                                                      provider, nullptr, flooding);
    await(canvas->bootstrap());
    provider->enqueue(FakeAgentProvider::running());
    canvas->spawnAgents(1);
    ASSERT_EQ(canvas->panes().size(), 1);
    AgentPaneState *pane = canvas->panes().first();
    await(canvas->sendToPane(pane, QStringLiteral("print"), ContextEntry::PromptSource::text));
    SerialFileWriter::shared().flush();
    const QString path = project + QStringLiteral("/.nerim/panes.json");
    const QByteArray wholeBefore = readFile(path);
    ASSERT_FALSE(wholeBefore.isEmpty());

    const QString text = QStringLiteral("printing line %1 ") + QString(80, QLatin1Char('x'));
    const qsizetype before = pane->outputLines().size();
    constexpr int lines = 500; // about ten pieces
    for (int i = 0; i < lines; ++i)
        provider->yieldEvent(provider->sessionIds().first(), AgentOutput::stdoutLine(text.arg(i)));
    ASSERT_TRUE(waitUntil([&] { return pane->outputLines().size() >= before + lines; }));
    const QList<OutputLine> shown = pane->outputLines();

    // Saved while streaming: all but less than one piece of text.
    std::optional<PanesSnapshot> saved = savedPanes(project);
    ASSERT_TRUE(saved);
    ASSERT_EQ(saved->panes.size(), 1);
    const OutputLines &streamed = saved->panes.first().outputLines;
    qint64 unsaved = 0;
    for (qsizetype i = streamed.size(); i < shown.size(); ++i)
        unsaved += shown.at(i).text.toUtf8().size();
    EXPECT_LT(unsaved, piece);
    EXPECT_GT(streamed.size(), before + lines / 2);
    EXPECT_EQ(readFile(path), wholeBefore) << "panes.json was written whole while output streamed";

    await(canvas->teardown());
    // What was shown, and the line saying the close stopped the task.
    saved = savedPanes(project);
    ASSERT_TRUE(saved);
    const QList<OutputLine> atQuit = saved->panes.first().outputLines.toList();
    ASSERT_EQ(atQuit.size(), shown.size() + 1);
    EXPECT_EQ(atQuit.mid(0, shown.size()), shown);
    EXPECT_EQ(atQuit.last().text, taskStoppedByCloseLine);
    EXPECT_EQ(readFile(path), wholeBefore) << "the quit wrote panes.json whole";

    // The next open's first save folds the log back.
    PanesSnapshotStore store(path);
    std::optional<PanesSnapshot> reopened = store.load();
    ASSERT_TRUE(reopened);
    store.save(*reopened);
    saved = savedPanes(project);
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->panes.first().outputLines, atQuit);
    EXPECT_NE(readFile(path), wholeBefore);
    EXPECT_FALSE(QFile::exists(panesChangeLog::pathFor(path)));
}

// An unreadable panes.json is set aside, never saved over, and the pane area
// says so: in the pane restored from the backup, or in the first pane opened.
TEST_F(CanvasTest, AnUnreadablePanesFileIsSetAsideAndTheUserIsTold)
{
    const QString path = project + QStringLiteral("/.nerim/panes.json");
    const QByteArray damaged = "{\"version\":1,\"panes\":[{\"id\":";
    ASSERT_TRUE(writeFile(path, damaged));

    open();
    EXPECT_TRUE(canvas->panes().isEmpty());
    AgentPaneState *pane = canvas->spawnPane(QString(), AgentRole::unspecified);
    ASSERT_NE(pane, nullptr);
    const QStringList lines = lineTexts(pane);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines.last().startsWith(QStringLiteral("[Nerim couldn't read this project's saved panes (")));
    EXPECT_TRUE(lines.last().contains(QStringLiteral("panes.json.unreadable-"))) << lines.last().toStdString();
    EXPECT_EQ(pane->outputLines().last().kind, OutputLine::Kind::system);
    // Told once: the next pane opens as any pane does.
    EXPECT_EQ(lineTexts(canvas->spawnPane(QString(), AgentRole::unspecified)).size(), 1);

    SerialFileWriter::shared().flush();
    const QStringList aside =
        QDir(project + QStringLiteral("/.nerim")).entryList({QStringLiteral("panes.json.unreadable-*")}, QDir::Files);
    ASSERT_EQ(aside.size(), 1);
    EXPECT_EQ(readFile(project + QStringLiteral("/.nerim/") + aside.first()), damaged);
    EXPECT_EQ(savedPanes(project)->panes.size(), 2);
}
