// Leaving and opening under hostile or changing conditions: a pane closing
// while the canvas is left, planted files at draft.txt, a linked data folder,
// a project folder that has gone, and typing before the saved draft arrives.
#include "CanvasFixture.h"
#include "panes-store/PanesSnapshot.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <sys/stat.h>

using namespace nerim;
using namespace nerim::test;

TEST_F(CanvasTest, LeavingWhileAPaneClosesStopsEveryAgentOnce)
{
    open();
    provider->enqueue(FakeAgentProvider::running());
    provider->enqueue(FakeAgentProvider::running());
    canvas->spawnAgents(2);
    ASSERT_EQ(canvas->panes().size(), 2);
    for (AgentPaneState *pane : canvas->panes())
        await(canvas->sendToPane(pane, QStringLiteral("work"), ContextEntry::PromptSource::text));
    const std::shared_ptr<ProjectContextActor> memory = canvas->contextActor();

    // The user clicks × on the second working pane and leaves at once: the
    // close deletes that pane while the teardown waits for the first one.
    QCoro::Task<> closing = canvas->closePane(canvas->panes().last()->id());
    await(canvas->teardown());
    await(std::move(closing));

    EXPECT_EQ(provider->terminated().size(), 2);
    EXPECT_TRUE(canvas->panes().isEmpty());
    int killed = 0;
    for (const ContextEntry &entry : logEntries(*memory))
        if (const auto *exit = std::get_if<ContextEntry::AgentExit>(&entry.payload()))
            killed += exit->reason == ContextEntry::ExitReason::userKilled;
    EXPECT_EQ(killed, 2);
}

namespace {

QString draftFile(const QString &project) { return project + QStringLiteral("/.nerim/draft.txt"); }

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

TEST_F(CanvasTest, APlantedLinkPipeOrDeviceAtTheDraftIsNeitherReadNorWrittenThrough)
{
    ASSERT_TRUE(QDir().mkpath(project + QStringLiteral("/.nerim")));
    const QString outside = makeTempDir(QStringLiteral("outside")) + QStringLiteral("/notes.txt");
    writeFile(outside, "someone else's text");

    // A link to a file outside: not shown, and typing replaces the link instead of writing through it.
    ASSERT_TRUE(QFile::link(outside, draftFile(project)));
    open();
    EXPECT_EQ(canvas->inputPrompt(), QString());
    canvas->setInputPrompt(QStringLiteral("my own words"));
    canvas->scheduleDraftSave();
    ASSERT_TRUE(waitUntil([&] { return !canvas->hasPendingDraftSave(); }));
    SerialFileWriter::shared().flush();
    EXPECT_EQ(contentOf(outside), QByteArray("someone else's text"));
    EXPECT_FALSE(QFileInfo(draftFile(project)).isSymLink());
    EXPECT_EQ(contentOf(draftFile(project)), QByteArray("my own words"));

    // Clearing the prompt removes the link itself, never what it leads to.
    canvas->setInputPrompt(QString());
    reopen();
    QFile::remove(draftFile(project));
    ASSERT_TRUE(QFile::link(outside, draftFile(project)));
    canvas->clearPromptDraft();
    SerialFileWriter::shared().flush();
    EXPECT_FALSE(QFileInfo(draftFile(project)).isSymLink());
    EXPECT_EQ(contentOf(outside), QByteArray("someone else's text"));

    // A link to an endless device and a named pipe: the opening ends, with an empty prompt.
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), draftFile(project)));
    reopen();
    EXPECT_EQ(canvas->bootstrapStatus().kind(), ProjectCanvasViewModel::BootstrapStatus::Kind::ready);
    EXPECT_EQ(canvas->inputPrompt(), QString());

    QFile::remove(draftFile(project));
    ASSERT_EQ(::mkfifo(QFile::encodeName(draftFile(project)).constData(), 0600), 0);
    await(canvas->teardown());
    SerialFileWriter::shared().flush();
    canvas = std::make_unique<ProjectCanvasViewModel>(QStringLiteral("project-id"), project, QStringLiteral("Project"),
                                                      provider, nullptr, services());
    QCoro::Task<> booting = canvas->bootstrap();
    ASSERT_TRUE(waitUntil([&] {
        return canvas->bootstrapStatus().kind() != ProjectCanvasViewModel::BootstrapStatus::Kind::loading;
    }));
    await(std::move(booting));
    EXPECT_EQ(canvas->inputPrompt(), QString());
}

TEST_F(CanvasTest, ALinkedDataFolderIsSetAsideToldAndNothingIsWrittenThrough)
{
    const QString elsewhere = makeTempDir(QStringLiteral("elsewhere"));
    ASSERT_TRUE(QFile::link(elsewhere, project + QStringLiteral("/.nerim")));
    open();
    EXPECT_EQ(canvas->bootstrapStatus().kind(), ProjectCanvasViewModel::BootstrapStatus::Kind::ready);
    EXPECT_FALSE(QFileInfo(project + QStringLiteral("/.nerim")).isSymLink());

    // The canvas is used: panes, names, roles, focus, a draft, and leaving.
    AgentPaneState *pane = canvas->spawnPane(QString(), AgentRole::unspecified);
    ASSERT_TRUE(pane);
    // The first pane opened says what was set aside.
    EXPECT_TRUE(lineTexts(pane).join(QLatin1Char('\n')).contains(QStringLiteral("This project's .nerim was a link to %1").arg(elsewhere)));
    canvas->renamePane(pane->id(), QStringLiteral("Builder"));
    canvas->setPaneRole(pane->id(), AgentRole::code);
    canvas->spawnPane(QString(), AgentRole::unspecified);
    canvas->focusPane(pane->id());
    canvas->setInputPrompt(QStringLiteral("half a thought"));
    canvas->scheduleDraftSave();
    await(canvas->teardown());
    SerialFileWriter::shared().flush();

    EXPECT_EQ(QDir(elsewhere).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
              QStringList());
    EXPECT_EQ(QDir(project).entryList({QStringLiteral(".nerim.link-*")}, QDir::AllEntries | QDir::Hidden | QDir::System).size(),
              1);
}

TEST_F(CanvasTest, AMissingProjectFolderStartsNothingAndIsNeverMadeAgain)
{
    const QString gone = project + QStringLiteral("/gone");
    canvas = std::make_unique<ProjectCanvasViewModel>(QStringLiteral("project-id"), gone, QStringLiteral("Gone"),
                                                      provider, nullptr, services());
    await(canvas->bootstrap());
    EXPECT_EQ(canvas->bootstrapStatus().kind(), ProjectCanvasViewModel::BootstrapStatus::Kind::failed);
    EXPECT_TRUE(canvas->isProjectFolderMissing());

    AgentPaneState *pane = canvas->spawnPane(QString(), AgentRole::unspecified);
    ASSERT_TRUE(pane);
    provider->enqueue(FakeAgentProvider::events({}, 0));
    await(canvas->sendToPane(pane, QStringLiteral("build it"), ContextEntry::PromptSource::text));
    EXPECT_TRUE(provider->spawnCalls().isEmpty());
    EXPECT_EQ(lineTexts(pane).last(), ProjectCanvasViewModel::projectFolderMissingLine());
    EXPECT_EQ(pane->status(), AgentStatus::idle);

    await(canvas->runApp());
    EXPECT_FALSE(canvas->preview().isVisible());
    EXPECT_FALSE(canvas->repairSession().canBegin());
    await(canvas->repairSession().begin());
    EXPECT_FALSE(canvas->repairSession().state().phase().isActive());

    canvas->setInputPrompt(QStringLiteral("typed"));
    canvas->scheduleDraftSave();
    await(canvas->teardown());
    SerialFileWriter::shared().flush();
    EXPECT_FALSE(QFileInfo::exists(gone));
}

TEST_F(CanvasTest, AProjectFolderDeletedWhileOpenIsNeverMadeAgain)
{
    const QString folder = project + QStringLiteral("/site");
    ASSERT_TRUE(QDir().mkpath(folder));
    canvas = std::make_unique<ProjectCanvasViewModel>(QStringLiteral("project-id"), folder, QStringLiteral("Site"),
                                                      provider, nullptr, services());
    await(canvas->bootstrap());
    ASSERT_EQ(canvas->bootstrapStatus(), ProjectCanvasViewModel::BootstrapStatus::ready());

    // The folder goes away (deleted, or its disk unmounted) while the canvas is open;
    // every save that follows (panes, names, draft, activity log) and leaving find it gone.
    ASSERT_TRUE(QDir(folder).removeRecursively());
    AgentPaneState *pane = canvas->spawnPane(QStringLiteral("Site"), AgentRole::designer);
    ASSERT_TRUE(pane);
    canvas->renamePane(pane->id(), QStringLiteral("Builder"));
    canvas->setInputPrompt(QStringLiteral("typed"));
    canvas->scheduleDraftSave();
    await(canvas->teardown());
    SerialFileWriter::shared().flush();
    EXPECT_FALSE(QFileInfo::exists(folder));
}

TEST_F(CanvasTest, TypingBeforeTheSavedDraftArrivesWinsAndIsSaved)
{
    writeFile(draftFile(project), "the old draft");
    canvas = std::make_unique<ProjectCanvasViewModel>(QStringLiteral("project-id"), project, QStringLiteral("Project"),
                                                      provider, nullptr, services());
    QCoro::Task<> booting = canvas->bootstrap();
    canvas->setInputPrompt(QStringLiteral("new words"));
    canvas->scheduleDraftSave();
    await(std::move(booting));
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("new words"));
    ASSERT_TRUE(waitUntil([&] { return !canvas->hasPendingDraftSave(); }));
    SerialFileWriter::shared().flush();
    EXPECT_EQ(contentOf(draftFile(project)), QByteArray("new words"));
}

TEST_F(CanvasTest, APaneNameWithAPlaceholderIsShownAsTypedInEveryLine)
{
    open();
    AgentPaneState *pane = canvas->spawnPane(QString(), AgentRole::unspecified);
    canvas->renamePane(pane->id(), QStringLiteral("Build %1"));
    provider->enqueue(FakeAgentProvider::events({AgentOutput::stdoutLine(QStringLiteral("done"))}, 0));
    submit(QStringLiteral("make it"));
    ASSERT_TRUE(settle(pane));
    const QStringList texts = lineTexts(pane);
    EXPECT_TRUE(std::any_of(texts.begin(), texts.end(), [](const QString &text) {
        return text.startsWith(QStringLiteral("[Build %1 spawned \u00b7 pid ")) && !text.contains(QStringLiteral("%2"));
    })) << texts.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(texts.contains(QStringLiteral("[Build %1 exited \u00b7 code 0]"))) << texts.join(QLatin1Char('\n')).toStdString();
}

// Leaving detaches each pane's run before stopping its process: the stopped
// process's own exit is never handled as a run that ended by itself.
TEST_F(CanvasTest, LeavingRecordsOnlyTheUsersStopForEachRunningAgent)
{
    open();
    for (int i = 0; i < 2; ++i) {
        FakeAgentProvider::Script script = FakeAgentProvider::running();
        script.terminateWaitsForExit = true;
        provider->enqueue(script);
    }
    canvas->spawnAgents(2);
    for (AgentPaneState *pane : canvas->panes())
        await(canvas->sendToPane(pane, QStringLiteral("work"), ContextEntry::PromptSource::text));
    const QList<AgentPaneState *> panes = canvas->panes();
    const std::shared_ptr<ProjectContextActor> memory = canvas->contextActor();

    await(canvas->teardown());
    spinEventLoop();
    QStringList exits;
    for (const ContextEntry &entry : logEntries(*memory))
        if (const auto *exit = std::get_if<ContextEntry::AgentExit>(&entry.payload()))
            exits.append(QStringLiteral("%1/%2").arg(rawValue(exit->reason), QString::number(exit->exitCode)));
    EXPECT_EQ(exits, (QStringList{QStringLiteral("userKilled/0"), QStringLiteral("userKilled/0")}));
}

TEST_F(CanvasTest, TheSavedFocusAndExpansionComeBack)
{
    open();
    canvas->spawnAgents(3);
    const QUuid middle = canvas->panes().at(1)->id();
    const QUuid first = canvas->panes().at(0)->id();
    canvas->toggleExpandedPane(first);
    canvas->focusPane(middle);
    ASSERT_EQ(canvas->focusedPaneId(), middle);
    ASSERT_EQ(canvas->expandedPaneId(), first);

    reopen();
    ASSERT_EQ(canvas->panes().size(), 3);
    EXPECT_EQ(canvas->focusedPaneId(), middle);
    EXPECT_EQ(canvas->expandedPaneId(), first);
}
