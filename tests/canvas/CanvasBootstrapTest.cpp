// Opening a project (the start-up load), the output mode, and the prompt draft.
#include "CanvasFixture.h"
#include "persistence/AppStateActor.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

using namespace nerim;
using namespace nerim::test;

namespace {

QString draftFile(const QString &project)
{
    return project + QStringLiteral("/.nerim/draft.txt");
}

} // namespace

TEST_F(CanvasTest, AFreshProjectOpensReadyAndEmpty)
{
    ASSERT_FALSE(QFileInfo::exists(project + QStringLiteral("/.nerim")));
    open();
    EXPECT_EQ(canvas->bootstrapStatus(), ProjectCanvasViewModel::BootstrapStatus::ready());
    EXPECT_TRUE(canvas->contextActor());
    EXPECT_TRUE(canvas->panes().isEmpty());
    EXPECT_EQ(canvas->nextAgentNumber(), 1);
    EXPECT_EQ(canvas->inputPrompt(), QString());
    EXPECT_EQ(canvas->outputMode(), AppState::OutputMode::verbose);
    EXPECT_TRUE(canvas->plan().steps().isEmpty());
    EXPECT_TRUE(QFileInfo(project + QStringLiteral("/.nerim")).isDir());
    // No saved model choice: the current Sonnet model, which is what the agent is given.
    EXPECT_EQ(canvas->modelPreference().choice(), ModelChoice::sonnet46);
    provider->enqueue(FakeAgentProvider::events({}, 0));
    submit(QStringLiteral("hello"));
    ASSERT_EQ(provider->spawnCalls().size(), 1);
    EXPECT_EQ(provider->spawnCalls().first().model, ModelChoice::sonnet46);
    EXPECT_EQ(modelId(provider->spawnCalls().first().model), QStringLiteral("claude-sonnet-4-6"));
}

TEST_F(CanvasTest, ASavedModelChoiceIsKeptEvenForTheOlderModel)
{
    writeFile(project + QStringLiteral("/.nerim/model.json"), R"({"choice":"sonnet45"})");
    open();
    EXPECT_EQ(canvas->modelPreference().choice(), ModelChoice::sonnet45);
}

TEST_F(CanvasTest, AnUnreadableMemoryFailsTheOpeningButTheRestIsRestored)
{
    {
        open();
        canvas->spawnPane(QString(), AgentRole::code);
        await(canvas->teardown());
        SerialFileWriter::shared().flush();
        canvas.reset();
    }
    writeFile(project + QStringLiteral("/.nerim/context.json"), "{broken");
    writeFile(project + QStringLiteral("/.nerim/context.json.bak"), "also broken");
    writeFile(draftFile(project), "half a thought");
    writeFile(project + QStringLiteral("/.nerim/plan.json"),
              R"({"goal":"Bakery","steps":[{"id":"0F8FAD5B-D9CB-469F-A165-70867728950E","title":"Hero","detail":"","status":"pending"}],"conversation":[]})");
    open();
    EXPECT_EQ(canvas->bootstrapStatus().kind(), ProjectCanvasViewModel::BootstrapStatus::Kind::failed);
    EXPECT_TRUE(canvas->bootstrapStatus().message().contains(QStringLiteral("context.json")))
        << canvas->bootstrapStatus().message().toStdString();
    EXPECT_FALSE(canvas->contextActor());
    EXPECT_EQ(canvas->panes().size(), 1);
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("half a thought"));
    EXPECT_EQ(canvas->plan().goal(), QStringLiteral("Bakery"));

    // Without the memory, agents still run; nothing is logged and nothing reported.
    provider->enqueue(FakeAgentProvider::events({AgentOutput::stdoutLine(QStringLiteral("TASK_COMPLETE: ok"))}, 0));
    submit(QStringLiteral("go"));
    ASSERT_TRUE(settle(canvas->panes().first()));
    EXPECT_TRUE(provider->spawnCalls().first().recentEntries.isEmpty());
    for (const OutputLine &line : canvas->panes().first()->outputLines())
        EXPECT_FALSE(line.text.startsWith(QStringLiteral("[memory:")));

    // A canvas whose memory failed writes nothing into the project.
    const QByteArray panesBefore = [&] {
        QFile file(project + QStringLiteral("/.nerim/panes.json"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }();
    canvas->spawnPane(QString(), AgentRole::code);
    await(canvas->teardown());
    SerialFileWriter::shared().flush();
    QFile after(project + QStringLiteral("/.nerim/panes.json"));
    ASSERT_TRUE(after.open(QIODevice::ReadOnly));
    EXPECT_EQ(after.readAll(), panesBefore);
}

TEST_F(CanvasTest, TheOutputModeComesFromTheAppStateAndIsSavedThere)
{
    const QString support = makeTempDir(QStringLiteral("support"));
    std::shared_ptr<AppStateActor> appState = await(AppStateActor::load(support));
    await(appState->setOutputMode(AppState::OutputMode::summary));

    canvas = std::make_unique<ProjectCanvasViewModel>(QStringLiteral("p"), project, QStringLiteral("P"), provider,
                                                      nullptr, services());
    canvas->setAppStateActor(appState);
    await(canvas->bootstrap());
    EXPECT_EQ(canvas->outputMode(), AppState::OutputMode::summary);

    await(canvas->setOutputMode(AppState::OutputMode::notification));
    EXPECT_EQ(await(appState->state()).preferences.outputMode, AppState::OutputMode::notification);
    // Another project's canvas starts from the new mode, read back from app.json.
    std::shared_ptr<AppStateActor> reloaded = await(AppStateActor::load(support));
    ProjectCanvasViewModel other(QStringLiteral("q"), makeTempDir(QStringLiteral("other")), QStringLiteral("Q"),
                                 provider, nullptr, services());
    other.setAppStateActor(reloaded);
    await(other.bootstrap());
    EXPECT_EQ(other.outputMode(), AppState::OutputMode::notification);
    await(other.teardown());

    // Without an actor the mode changes for this canvas only.
    ProjectCanvasViewModel alone(QStringLiteral("r"), makeTempDir(QStringLiteral("alone")), QStringLiteral("R"),
                                 provider, nullptr, services());
    await(alone.setOutputMode(AppState::OutputMode::summary));
    EXPECT_EQ(alone.outputMode(), AppState::OutputMode::summary);
}

TEST_F(CanvasTest, DraftsAreRestoredExactlyOnlyWhenTheyAreNonEmptyUTF8)
{
    writeFile(draftFile(project), "   ");
    open();
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("   "));

    writeFile(draftFile(project), "");
    reopen();
    EXPECT_EQ(canvas->inputPrompt(), QString());

    writeFile(draftFile(project), "line one  \n  line two\t \n");
    reopen();
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("line one  \n  line two\t \n"));

    writeFile(draftFile(project), QByteArray("caf\xC3", 4));
    canvas->setInputPrompt(QString());
    reopen();
    EXPECT_EQ(canvas->inputPrompt(), QString());
    EXPECT_TRUE(QFile::exists(draftFile(project))); // left for the next save
}

TEST_F(CanvasTest, TypingIsSavedOnceAfterAPauseAndClearingRemovesTheDraft)
{
    open();
    for (const QString &text : {QStringLiteral("h"), QStringLiteral("he"), QStringLiteral("hel"),
                                QStringLiteral("hell"), QStringLiteral("hello")}) {
        canvas->setInputPrompt(text);
        canvas->scheduleDraftSave();
    }
    // Nothing is written before the pause has passed.
    SerialFileWriter::shared().flush();
    EXPECT_FALSE(QFile::exists(draftFile(project)));
    ASSERT_TRUE(waitUntil([&] { return !canvas->hasPendingDraftSave(); }));
    SerialFileWriter::shared().flush();
    EXPECT_EQ(readFile(draftFile(project)), QByteArray("hello"));

    canvas->setInputPrompt(QStringLiteral("  "));
    canvas->scheduleDraftSave();
    ASSERT_TRUE(waitUntil([&] { return !canvas->hasPendingDraftSave(); }));
    SerialFileWriter::shared().flush();
    EXPECT_EQ(readFile(draftFile(project)), QByteArray("  "));

    canvas->setInputPrompt(QString());
    canvas->scheduleDraftSave();
    ASSERT_TRUE(waitUntil([&] { return !canvas->hasPendingDraftSave(); }));
    SerialFileWriter::shared().flush();
    EXPECT_FALSE(QFile::exists(draftFile(project)));
}

TEST_F(CanvasTest, AVoiceTranscriptJoinsThePromptWithOneSpace)
{
    open();
    canvas->insertTranscript(QStringLiteral("  add a footer \n"));
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("add a footer"));
    canvas->insertTranscript(QStringLiteral("in blue"));
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("add a footer in blue"));
    canvas->setInputPrompt(QStringLiteral("make it "));
    canvas->insertTranscript(QStringLiteral("bigger"));
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("make it bigger"));
    EXPECT_TRUE(canvas->hasPendingDraftSave());
    canvas->insertTranscript(QStringLiteral("   "));
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("make it bigger"));

    // The Plans draft takes it while its field has the focus.
    canvas->plan().setIsVisible(true);
    canvas->plan().setDraftFieldFocused(true);
    canvas->insertTranscript(QStringLiteral("a loyalty card"));
    EXPECT_EQ(canvas->plan().draftVision(), QStringLiteral("a loyalty card"));
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("make it bigger"));

    // Without a transcriber, dictation says so.
    await(canvas->startVoiceInput());
    EXPECT_EQ(canvas->voiceState(), VoiceState::error(voiceInputUnavailableMessage()));
    await(canvas->stopVoiceInput());
    EXPECT_EQ(canvas->voiceState(), VoiceState::idle());
}

TEST_F(CanvasTest, RunnerReportsReachThePreviewOnlyWhileTheCanvasLives)
{
    open();
    canvas->devServerRunner().onFailureDetected(
        DetectedFailure{DetectedFailure::Category::portInUse, QStringLiteral("Port 3000 is taken"), QString(), {}});
    EXPECT_EQ(canvas->preview().error(), QStringLiteral("Port 3000 is taken"));
    EXPECT_TRUE(canvas->preview().isVisible());
    canvas->preview().hide();
    canvas->devServerRunner().onURLDetected(QUrl(QStringLiteral("http://localhost:3000")));
    EXPECT_TRUE(canvas->preview().isVisible());
    ASSERT_TRUE(canvas->preview().pendingNavigation());

    // A callback kept past the canvas does nothing.
    const auto failure = canvas->devServerRunner().onFailureDetected;
    await(canvas->teardown());
    canvas.reset();
    failure(DetectedFailure{DetectedFailure::Category::portInUse, QStringLiteral("x"), QStringLiteral("y"), {}});
}
