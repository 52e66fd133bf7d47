// A repair session's rules with a scripted Repair agent: beginning and
// refusing, the agent's markers in stream order, its exits, secrets for .env,
// prompts the user types to the Repair pane, cancelling and closing the pane.
#include "RunAppFixture.h"

#include "agents/ClaudeCodeProvider.h"
#include "sessions/SystemAgentStepRecord.h"
#include "repair/DotEnvFile.h"
#include "repair/RepairPrompt.h"
#include "support/claude-standin/ClaudeStandin.h"

#include <QDirIterator>
#include <sys/stat.h>

using namespace nerim;
using namespace nerim::test;

namespace {

const QString askForKey = QStringLiteral(
    "[NERIM_REPAIR_ASK_SECRET]: OPENAI_API_KEY | It's the key from https://platform.openai.com/api-keys that lets "
    "the app talk to OpenAI.");

// Every file under the folder, read whole.
QByteArray everyFileUnder(const QString &folder)
{
    QByteArray all;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        all += readFile(it.next());
    return all;
}

} // namespace

class RepairSessionTest : public RepairTest {
protected:
    // A canvas whose last start failed at detection (the folder is empty), so a
    // session has something to work on.
    void openAfterADetectionError()
    {
        openWithRepairTimers();
        await(canvas->runApp());
        ASSERT_TRUE(canvas->repairSession().canBegin());
    }

    const Phase &phase() const { return canvas->repairSession().state().phase(); }
    QUuid session(int run) const { return provider->sessionIds().at(run - 1); }
};

TEST_F(RepairSessionTest, NothingToRepairMeansNoSessionAndASecondBeginIsRefused)
{
    openWithRepairTimers();
    LogCapture logs;
    EXPECT_FALSE(canvas->repairSession().canBegin());
    EXPECT_FALSE(canvas->repairSession().bannerCoordinator().isRepairable);
    await(canvas->repairSession().begin());
    EXPECT_TRUE(logs.contains(QStringLiteral("[Nerim repair] beginRepair: no crash context available \u2014 ignoring")));
    EXPECT_EQ(phase(), Phase::idle());
    EXPECT_TRUE(canvas->panes().isEmpty());

    await(canvas->runApp());
    EXPECT_EQ(canvas->repairSession().makeContext()->shellCommand, QStringLiteral("(no command \u2014 Nerim didn't run one)"));
    provider->enqueue(FakeAgentProvider::running());
    await(canvas->repairSession().begin());
    ASSERT_EQ(phase(), Phase::repairing(1));
    logs.clear();
    await(canvas->repairSession().begin());
    EXPECT_TRUE(logs.contains(QStringLiteral("[Nerim repair] beginRepair called while phase is active \u2014 ignoring")));
    EXPECT_EQ(provider->spawnCalls().size(), 1);
    EXPECT_EQ(canvas->panes().size(), 1);
    // Cancelling when nothing runs changes nothing.
    await(canvas->repairSession().cancel());
    EXPECT_EQ(phase(), Phase::cancelled());
    await(canvas->repairSession().cancel());
    EXPECT_EQ(historyLines(project).size(), 1);
}

TEST_F(RepairSessionTest, AStuckMarkerFollowedByTheExitIsRecordedOnceWithTheAgentsReason)
{
    openAfterADetectionError();
    provider->enqueue(FakeAgentProvider::events(
        {out(QStringLiteral("Looking at the project.")),
         out(QStringLiteral("> `[NERIM_REPAIR_STUCK]: The app needs a database I can't set up.`"))},
        0));
    await(canvas->repairSession().begin());
    AgentPaneState *pane = canvas->repairSession().pane();
    ASSERT_TRUE(settle(pane));

    EXPECT_EQ(phase(), Phase::stuck(QStringLiteral("The app needs a database I can't set up.")));
    // The pane says how it ended, in the agent's words.
    EXPECT_EQ(lineTexts(pane), (QStringList{QStringLiteral("Nerim is looking at the crash. Attempt 1 of 3."),
                                            QStringLiteral("Looking at the project."),
                                            QStringLiteral("[The repair stopped: The app needs a database I can't set "
                                                           "up. To start over, use \u201cTry again\u201d on the "
                                                           "preview's banner.]"),
                                            QStringLiteral("[Repair agent exited \u00b7 code 0]")}));
    EXPECT_EQ(pane->currentStdout().size(), 2);
    QStringList history = historyLines(project);
    ASSERT_EQ(history.size(), 1);
    EXPECT_EQ(historyEntry(history.first()).value(QStringLiteral("reason")).toString(),
              QStringLiteral("The app needs a database I can't set up."));

    // An agent that ends without a marker ends the session as silent.
    provider->enqueue(FakeAgentProvider::events(
        {out(QStringLiteral("Checking\u2026 TASK_COMPLETE:  Looked at the config.  "))}, 0));
    await(canvas->repairSession().begin());
    ASSERT_TRUE(settle(pane));
    EXPECT_EQ(phase(), Phase::stuck(QStringLiteral("The Repair agent finished without saying what happened.")));
    EXPECT_EQ(lineKinds(pane).at(1), OutputLine::Kind::taskComplete);
    EXPECT_EQ(lineTexts(pane).at(1), QStringLiteral("Looked at the config."));
    EXPECT_TRUE(lineTexts(pane).at(3).startsWith(
        QStringLiteral("[The repair stopped: The Repair agent finished without saying what happened.")));
    history = historyLines(project);
    ASSERT_EQ(history.size(), 2);
    EXPECT_EQ(historyEntry(history.last()).value(QStringLiteral("reason")).toString(),
              QStringLiteral("agent-exited-silent"));
}

TEST_F(RepairSessionTest, ASpawnThatFailsEndsTheSessionStuck)
{
    openAfterADetectionError();
    provider->enqueue(FakeAgentProvider::failing(AgentError::binaryNotFound({QStringLiteral("/usr/bin/claude")})));
    await(canvas->repairSession().begin());
    EXPECT_EQ(phase(), Phase::stuck(QStringLiteral("The Repair agent couldn't start.")));
    AgentPaneState *pane = canvas->repairSession().pane();
    EXPECT_EQ(pane->status(), AgentStatus::error);
    const QStringList said = lineTexts(pane);
    ASSERT_GE(said.size(), 2);
    EXPECT_TRUE(said.at(said.size() - 2).startsWith(QStringLiteral("Couldn't start the Repair agent: binaryNotFound")));
    EXPECT_TRUE(said.last().startsWith(QStringLiteral("[The repair stopped: The Repair agent couldn't start.")));
    EXPECT_EQ(historyEntry(historyLines(project).first()).value(QStringLiteral("reason")).toString(),
              QStringLiteral("spawn-failed"));
}

TEST_F(RepairSessionTest, ABlankLaunchCommandIsRefusedAndTheAgentIsToldSo)
{
    openAfterADetectionError();
    provider->enqueue(FakeAgentProvider::running());
    provider->enqueue(FakeAgentProvider::running());
    await(canvas->repairSession().begin());
    AgentPaneState *pane = canvas->repairSession().pane();

    provider->yieldEvent(session(1), out(QStringLiteral("[NERIM_REPAIR_LAUNCH_OVERRIDE]: ``")));
    ASSERT_TRUE(waitUntil([&] {
        return lineTexts(pane).contains(QStringLiteral("[The Repair agent's launch command was empty \u2014 nothing was saved.]"));
    }));
    EXPECT_FALSE(QFileInfo::exists(LaunchOverride::filePath(project)));
    // The agent hears about it in a run of its own once this one ends; its
    // exit, with that run waiting, does not end the session.
    EXPECT_EQ(provider->spawnCalls().size(), 1);
    provider->finish(session(1), 0);
    ASSERT_TRUE(waitUntil([&] { return provider->spawnCalls().size() == 2; }));
    EXPECT_TRUE(provider->spawnCalls().at(1).task.startsWith(
        QStringLiteral("The launch command you printed was empty, so Nerim saved nothing.")));
    // That run counts as an attempt.
    EXPECT_EQ(phase(), Phase::repairing(2));
}

TEST_F(RepairSessionTest, ASecretLandsInDotEnvTheAgentGoesOnAndTheValueIsNeverSeen)
{
    LogCapture logs; // every log line of the test
    // Shell syntax of every kind (a value with both kinds of quote has no
    // form every .env reader reads back, and is refused).
    const QString secret = QStringLiteral("sk-live $5 \"off\" \\ `now` & (x) | y");
    openAfterADetectionError();
    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("Your app needs an OpenAI key to start.")),
                                                 out(askForKey)},
                                                0));
    await(canvas->repairSession().begin());
    AgentPaneState *pane = canvas->repairSession().pane();
    ASSERT_TRUE(settle(pane));
    // The agent's exit after its question ends nothing: the banner asks.
    EXPECT_EQ(phase(), Phase::awaitingSecret(QStringLiteral("OPENAI_API_KEY"),
                                             QStringLiteral("It's the key from https://platform.openai.com/api-keys "
                                                            "that lets the app talk to OpenAI."),
                                             1));
    EXPECT_EQ(phase().displayText(), QStringLiteral("Nerim needs OPENAI_API_KEY"));
    EXPECT_TRUE(lineTexts(pane).contains(
        QStringLiteral("Nerim needs a value for OPENAI_API_KEY. Paste it in the field on the banner above.")));

    // Another name than the one asked for is refused.
    await(canvas->repairSession().submitSecret(QStringLiteral("ANTHROPIC_API_KEY"), secret));
    EXPECT_TRUE(logs.contains(
        QStringLiteral("[Nerim repair] submitRepairSecret: name mismatch (ANTHROPIC_API_KEY vs OPENAI_API_KEY)")));
    EXPECT_FALSE(QFileInfo::exists(project + QStringLiteral("/.env")));

    // Pasted with a line break, through the banner.
    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_REPAIR_STUCK]: Done for now."))}, 0));
    canvas->repairSession().bannerCoordinator().submitSecret(secret + QStringLiteral("\r\n"));
    ASSERT_TRUE(waitUntil([&] { return provider->spawnCalls().size() == 2; }));
    const QString env = project + QStringLiteral("/.env");
    EXPECT_EQ(readFile(env), DotEnvFile::header.toUtf8() + "\nOPENAI_API_KEY=" +
                                 DotEnvFile::encodeValue(secret)->toUtf8() + "\n");
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(env).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_TRUE(lineTexts(pane).contains(QStringLiteral("[.env updated with OPENAI_API_KEY. Continuing.]")));
    const FakeAgentProvider::SpawnCall followUp = provider->spawnCalls().at(1);
    EXPECT_EQ(followUp.task, QStringLiteral("OK, `.env` updated with OPENAI_API_KEY. Continue."));
    ASSERT_EQ(followUp.priorTurns.size(), 1);
    EXPECT_EQ(followUp.priorTurns.first().userPrompt, provider->spawnCalls().first().task);
    ASSERT_TRUE(settle(pane));
    EXPECT_EQ(phase(), Phase::stuck(QStringLiteral("Done for now.")));

    // Nowhere else: log lines, pane lines, what the agents were given, the
    // project's data folder (history, activity log, panes).
    for (const QString &line : lineTexts(pane))
        EXPECT_FALSE(line.contains(QStringLiteral("sk-live"))) << line.toStdString();
    await(canvas->teardown());
    SerialFileWriter::shared().flush();
    for (const QString &line : logs.lines())
        EXPECT_FALSE(line.contains(QStringLiteral("sk-live"))) << line.toStdString();
    for (const FakeAgentProvider::SpawnCall &call : provider->spawnCalls()) {
        EXPECT_FALSE(call.task.contains(QStringLiteral("sk-live")));
        for (const ConversationTurn &turn : call.priorTurns)
            EXPECT_FALSE(turn.userPrompt.contains(QStringLiteral("sk-live")) ||
                         turn.agentResponse.contains(QStringLiteral("sk-live")));
    }
    EXPECT_TRUE(QFileInfo::exists(project + QStringLiteral("/.nerim/repair-history.jsonl")));
    EXPECT_FALSE(everyFileUnder(project + QStringLiteral("/.nerim")).contains("sk-live"));
}

TEST_F(RepairSessionTest, AWriteThatFailsIsToldToTheAgentInsteadOfTheValue)
{
    openAfterADetectionError();
    // .env leads out of the project: nothing is written there.
    const QString outside = makeTempDir(QStringLiteral("outside")) + QStringLiteral("/env");
    writeFile(outside, "");
    ASSERT_TRUE(QFile::link(outside, project + QStringLiteral("/.env")));
    provider->enqueue(FakeAgentProvider::events(
        {out(QStringLiteral("[NERIM_REPAIR_ASK_SECRET]: API_KEY | The key your app uses."))}, 0));
    await(canvas->repairSession().begin());
    AgentPaneState *pane = canvas->repairSession().pane();
    ASSERT_TRUE(settle(pane));
    ASSERT_EQ(phase().kind(), Phase::Kind::awaitingSecret);

    provider->enqueue(FakeAgentProvider::running());
    await(canvas->repairSession().submitSecret(QStringLiteral("API_KEY"), QStringLiteral("value-123")));
    ASSERT_TRUE(waitUntil([&] { return provider->spawnCalls().size() == 2; }));
    EXPECT_EQ(readFile(outside), QByteArray());
    EXPECT_EQ(phase(), Phase::repairing(1));
    const QString task = provider->spawnCalls().at(1).task;
    EXPECT_TRUE(task.startsWith(QStringLiteral("I couldn't write to .env: .env is a link to a file outside the project")))
        << task.toStdString();
    EXPECT_TRUE(task.endsWith(QStringLiteral(". Please decide whether to emit a stuck marker or try a different approach.")));
    EXPECT_TRUE(lineTexts(pane).last().startsWith(QStringLiteral("[failed to write .env: ")));
    EXPECT_EQ(lineKinds(pane).last(), OutputLine::Kind::stderr);
    EXPECT_FALSE(task.contains(QStringLiteral("value-123")));
}

TEST_F(RepairSessionTest, ASecretAskedForUnderANameDotEnvCannotHoldIsRefusedBeforeTheBannerAsks)
{
    LogCapture logs;
    openAfterADetectionError();
    const QString escaped = QStringLiteral("KEY\\x1b[31m");
    // The agent asks under a name carrying an escape sequence, then under one
    // that starts with a digit, and ends its run each time as it was told to.
    provider->enqueue(FakeAgentProvider::events(
        {out(QStringLiteral("[NERIM_REPAIR_ASK_SECRET]: KEY\x1b[31m | The key your app uses."))}, 0));
    provider->enqueue(FakeAgentProvider::events(
        {out(QStringLiteral("[NERIM_REPAIR_ASK_SECRET]: 1PASSWORD | The database password."))}, 0));
    provider->enqueue(FakeAgentProvider::running());
    await(canvas->repairSession().begin());
    AgentPaneState *pane = canvas->repairSession().pane();

    // No card: the agent is told at once and works on, in a run of its own.
    ASSERT_TRUE(waitUntil([&] { return provider->spawnCalls().size() == 3 && pane->status() == AgentStatus::working; }));
    // Each refusal's run counts as an attempt.
    EXPECT_EQ(phase(), Phase::repairing(3));
    const QString told = provider->spawnCalls().at(1).task;
    EXPECT_TRUE(told.startsWith(QStringLiteral("Nerim can't ask the user for \"") + escaped + QLatin1Char('"')))
        << told.toStdString();
    EXPECT_TRUE(told.contains(QStringLiteral("[NERIM_REPAIR_ASK_SECRET]")));
    EXPECT_TRUE(provider->spawnCalls().at(2).task.startsWith(QStringLiteral("Nerim can't ask the user for \"1PASSWORD\"")));
    const QStringList texts = lineTexts(pane);
    EXPECT_TRUE(texts.contains(QStringLiteral("[The Repair agent asked for a value named \"") + escaped +
                               QStringLiteral("\", which can't be a variable name in .env \u2014 Nerim asked it to "
                                              "correct the name.]")));
    for (const QString &text : texts)
        EXPECT_FALSE(text.contains(QChar(0x1b))) << text.toStdString();
    EXPECT_TRUE(logs.contains(QStringLiteral("[Nerim repair] ASK_SECRET refused: \"") + escaped + QLatin1Char('"')));
    for (const QString &line : logs.lines())
        EXPECT_FALSE(line.contains(QChar(0x1b))) << line.toStdString();

    // A value handed in anyway goes nowhere.
    canvas->repairSession().bannerCoordinator().submitSecret(QStringLiteral("value-123"));
    spinEventLoop();
    EXPECT_FALSE(QFileInfo::exists(project + QStringLiteral("/.env")));
    EXPECT_EQ(phase(), Phase::repairing(3));
}

TEST_F(RepairSessionTest, APromptTypedToTheRepairPaneReachesTheAgentOnlyDuringASession)
{
    openAfterADetectionError();
    provider->enqueue(FakeAgentProvider::events({out(askForKey)}, 0));
    await(canvas->repairSession().begin());
    AgentPaneState *pane = canvas->repairSession().pane();
    ASSERT_TRUE(settle(pane));
    canvas->selectPromptTarget(PromptTarget::pane(pane->id()));

    provider->enqueue(FakeAgentProvider::running());
    const QString answer = QStringLiteral("I don't have that key. Can the app start without it?");
    submit(answer);
    EXPECT_EQ(canvas->inputPrompt(), QString());
    ASSERT_TRUE(waitUntil([&] { return provider->spawnCalls().size() == 2; }));
    EXPECT_EQ(provider->spawnCalls().at(1).task, answer);
    EXPECT_EQ(provider->spawnCalls().at(1).priorTurns.size(), 1);
    EXPECT_TRUE(lineTexts(pane).contains(answer));
    // The agent works again and may ask again.
    EXPECT_EQ(phase(), Phase::repairing(1));

    // While it works the pane is busy; the prompt stays.
    ASSERT_TRUE(waitUntil([&] { return pane->status() == AgentStatus::working; }));
    submit(QStringLiteral("also, hurry"));
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("also, hurry"));
    EXPECT_EQ(lineTexts(pane).last(), ProjectCanvasViewModel::busyLine(QStringLiteral("Repair")));

    // Once the session is over the pane is Nerim's own again.
    provider->yieldEvent(session(2), out(QStringLiteral("[NERIM_REPAIR_STUCK]: The app can't run without the key.")));
    provider->finish(session(2), 0);
    ASSERT_TRUE(settle(pane));
    submit(QStringLiteral("one more thing"));
    EXPECT_EQ(lineTexts(pane).last(), ProjectCanvasViewModel::systemPaneLine(QStringLiteral("Repair")));
    EXPECT_EQ(provider->spawnCalls().size(), 2);
}

TEST_F(RepairSessionTest, ClosingTheRepairPaneCancelsTheSessionFirst)
{
    openAfterADetectionError();
    provider->enqueue(FakeAgentProvider::running({out(QStringLiteral("Reading the logs."))}));
    await(canvas->repairSession().begin());
    AgentPaneState *pane = canvas->repairSession().pane();
    const QUuid paneId = pane->id();
    ASSERT_TRUE(waitUntil([&] { return pane->currentSession().has_value(); }));

    await(canvas->closePane(paneId));
    EXPECT_EQ(phase(), Phase::cancelled());
    EXPECT_EQ(canvas->repairSession().pane(), nullptr);
    EXPECT_TRUE(canvas->panes().isEmpty());
    EXPECT_EQ(provider->terminated(), QList<QUuid>{session(1)});
    const QStringList history = historyLines(project);
    ASSERT_EQ(history.size(), 1);
    EXPECT_EQ(historyEntry(history.first()).value(QStringLiteral("outcome")).toString(), QStringLiteral("cancelled"));
    EXPECT_EQ(historyEntry(history.first()).value(QStringLiteral("reason")).toString(),
              QStringLiteral("User cancelled the repair."));
    ASSERT_TRUE(waitUntil([&] { return entryKinds(entries()).contains(QStringLiteral("repairSessionEnded")); }));

    // Without a session the pane closes as any other.
    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_REPAIR_STUCK]: No idea."))}, 0));
    await(canvas->repairSession().begin());
    ASSERT_TRUE(settle(canvas->repairSession().pane()));
    await(canvas->closePane(canvas->repairSession().pane()->id()));
    EXPECT_EQ(phase(), Phase::stuck(QStringLiteral("No idea.")));
    EXPECT_EQ(historyLines(project).size(), 2);
}

// The follow-up is a new run of the real `claude` program (here its stand-in):
// its standard input holds the session so far and the follow-up, never the value.
TEST_F(RepairSessionTest, AFollowUpRunOfTheProgramGetsTheConversationAndTheFollowUp)
{
    const QString records = makeTempDir(QStringLiteral("records"));
    qputenv("CLAUDE_STANDIN_RECORD_STDIN", (records + QStringLiteral("/first")).toUtf8());
    claudeStandin::setCommands(QStringLiteral("out I need your API key.\nout ") + askForKey + QStringLiteral("\nexit 0"));
    ClaudeCodeProvider::Options options;
    options.resolveBinary = [] { return std::optional<QString>(claudeStandin::path()); };
    openWithRepairTimers(std::make_shared<ClaudeCodeProvider>(project, options));
    await(canvas->runApp());

    await(canvas->repairSession().begin());
    AgentPaneState *pane = canvas->repairSession().pane();
    ASSERT_TRUE(waitUntil([&] { return phase().kind() == Phase::Kind::awaitingSecret && !pane->streamConsumer(); }));

    qputenv("CLAUDE_STANDIN_RECORD_STDIN", (records + QStringLiteral("/second")).toUtf8());
    claudeStandin::setCommands(QStringLiteral("out Thanks, the key is in place.\nexit 0"));
    await(canvas->repairSession().submitSecret(QStringLiteral("OPENAI_API_KEY"), QStringLiteral("sk-standin-value")));
    // The second run ends without a marker while repairing: the session is over.
    ASSERT_TRUE(waitUntil([&] { return phase().kind() == Phase::Kind::stuck; }, 20000));

    const QString first = QString::fromUtf8(readFile(records + QStringLiteral("/first")));
    const QString second = QString::fromUtf8(readFile(records + QStringLiteral("/second")));
    const QString briefing = buildRepairPrompt(*canvas->repairSession().state().context());
    EXPECT_TRUE(first.contains(briefing));
    EXPECT_FALSE(first.contains(QStringLiteral("[PRIOR CONVERSATION")));
    const qsizetype prior = second.indexOf(QStringLiteral("[PRIOR CONVERSATION"));
    ASSERT_GE(prior, 0) << second.toStdString();
    EXPECT_GT(second.indexOf(briefing.left(200), prior), prior);
    EXPECT_TRUE(second.contains(QStringLiteral("I need your API key.")));
    EXPECT_GT(second.lastIndexOf(QStringLiteral("OK, `.env` updated with OPENAI_API_KEY. Continue.")), prior);
    EXPECT_FALSE(second.contains(QStringLiteral("sk-standin-value")));
    EXPECT_TRUE(lineTexts(pane).contains(QStringLiteral("Thanks, the key is in place.")));
}

TEST_F(RepairSessionTest, TheRepairPaneIsReusedAcrossSessionsAndRestarts)
{
    openAfterADetectionError();
    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_REPAIR_STUCK]: Not yet."))}, 0));
    await(canvas->repairSession().begin());
    ASSERT_TRUE(settle(canvas->repairSession().pane()));
    const QUuid id = canvas->repairSession().pane()->id();

    // Restored from panes.json, the same pane takes the next session.
    reopen();
    ASSERT_EQ(canvas->panes().size(), 1);
    await(canvas->runApp());
    provider->enqueue(FakeAgentProvider::running());
    await(canvas->repairSession().begin());
    EXPECT_EQ(phase(), Phase::repairing(1));
    EXPECT_EQ(canvas->panes().size(), 1);
    ASSERT_NE(canvas->repairSession().pane(), nullptr);
    EXPECT_EQ(canvas->repairSession().pane()->id(), id);
    EXPECT_EQ(canvas->repairSession().state().repairPaneID(), id);
}

// The first attempt says it is ready and keeps running; the restart fails, so
// the second attempt waits for it. Whatever the first attempt prints then (a
// stuck marker, another ready marker) is shown but changes nothing: the
// second attempt runs once the first has exited, and its own marker counts.
TEST_F(RepairSessionTest, AnEarlierAttemptStillRunningCannotEndTheSessionTheNextAttemptIsDueFor)
{
    openAfterADetectionError();
    provider->enqueue(FakeAgentProvider::running({out(QStringLiteral("Fixed the start script. [NERIM_READY_TO_RETRY]"))}));
    provider->enqueue(FakeAgentProvider::running());
    await(canvas->repairSession().begin());
    AgentPaneState *pane = canvas->repairSession().pane();
    // The restart of the empty folder fails at once: attempt 2 is due, behind attempt 1.
    ASSERT_TRUE(waitUntil([&] { return phase() == Phase::repairing(2); }));
    // The agent's sentence stays, then what Nerim does with its marker.
    const QStringList said = lineTexts(pane);
    ASSERT_GE(said.size(), 3);
    EXPECT_EQ(said.mid(1, 2), (QStringList{QStringLiteral("Fixed the start script."),
                                           QStringLiteral("Restarting your app\u2026")}));
    ASSERT_EQ(provider->sessionIds().size(), 1);
    ASSERT_TRUE(provider->isRunning(session(1)));

    provider->yieldEvent(session(1), out(QStringLiteral("[NERIM_REPAIR_STUCK]: attempt one gives up")));
    provider->yieldEvent(session(1), out(QStringLiteral("[NERIM_READY_TO_RETRY]")));
    spinEventLoop();
    EXPECT_EQ(phase(), Phase::repairing(2));
    // Its markers are not shown as if they counted; the pane says once that they don't.
    EXPECT_FALSE(lineTexts(pane).join(QLatin1Char('\n')).contains(QStringLiteral("NERIM_")));
    EXPECT_EQ(lineTexts(pane).count(
                  QStringLiteral("[The Repair agent's earlier run reported after Nerim had moved on; that changes nothing.]")),
              1);

    provider->finish(session(1), 0);
    ASSERT_TRUE(waitUntil([&] { return provider->sessionIds().size() == 2 && pane->currentSession(); }));
    EXPECT_EQ(phase(), Phase::repairing(2));
    provider->yieldEvent(session(2), out(QStringLiteral("[NERIM_REPAIR_STUCK]: attempt two gives up")));
    ASSERT_TRUE(waitUntil([&] { return phase().kind() == Phase::Kind::stuck; }));
    EXPECT_EQ(phase().reason(), QStringLiteral("attempt two gives up"));
    provider->finish(session(2), 0);
    ASSERT_TRUE(settle(pane));
}

// An agent that asks again and again for a value under a name Nerim refuses
// uses up the attempts: each refusal's run counts, and the session ends stuck
// instead of starting runs without end.
TEST_F(RepairSessionTest, RefusedRequestsUseUpTheAttemptsInsteadOfLooping)
{
    openAfterADetectionError();
    for (int i = 0; i < 10; ++i)
        provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_REPAIR_ASK_SECRET]: 1BAD | again"))}, 0));
    await(canvas->repairSession().begin());
    ASSERT_TRUE(waitUntil([&] { return phase().kind() == Phase::Kind::stuck; }));
    const int cap = canvas->repairSession().state().context()->retryCap;
    EXPECT_EQ(provider->spawnCalls().size(), cap);
    spinEventLoop(50);
    EXPECT_EQ(provider->spawnCalls().size(), cap);
    EXPECT_TRUE(lineTexts(canvas->repairSession().pane()).contains(QStringLiteral("Attempt %1 of %1.").arg(cap)));
    ASSERT_TRUE(settle(canvas->repairSession().pane()));
}

// An agent that keeps printing an empty launch command while the banner waits
// for a secret, or while the app restarts for a retry, gets two answers; the
// third ends the session stuck with a line saying what it did and what the
// user can do, and no further run starts.
TEST_F(RepairSessionTest, AnEmptyLaunchCommandRepeatedEndsTheSessionInEveryPhase)
{
    openAfterADetectionError();
    const AgentOutput empty = out(QStringLiteral("[NERIM_REPAIR_LAUNCH_OVERRIDE]: ``"));
    struct Case {
        const char *name;
        AgentOutput first; // puts the session into the phase in which the refusals come
        Phase::Kind during;
    };
    const QList<Case> cases{{"banner waits", out(askForKey), Phase::Kind::awaitingSecret},
                            {"app restarts", out(QStringLiteral("[NERIM_READY_TO_RETRY]")), Phase::Kind::retryingApp}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.during == Phase::Kind::retryingApp) {
            // The restart runs a start command that gives no address for a while.
            LaunchOverride saved;
            saved.shellCommand = QStringLiteral("sleep 30");
            saved.writtenAt = QStringLiteral("2024-01-01T00:00:00Z");
            saved.save(project);
        }
        const qsizetype before = provider->spawnCalls().size();
        provider->enqueue(FakeAgentProvider::running({c.first}));
        // Two scripted follow-ups: a fourth run, were one started, would find
        // none and exit without a word, which ends differently.
        provider->enqueue(FakeAgentProvider::events({empty}));
        provider->enqueue(FakeAgentProvider::events({empty}));
        await(canvas->repairSession().retryFromScratch());
        ASSERT_TRUE(waitUntil([&] { return phase().kind() == c.during; }));
        const QUuid first = provider->sessionIds().last();
        provider->yieldEvent(first, empty);
        provider->finish(first, 0);
        ASSERT_TRUE(waitUntil([&] { return phase().kind() == Phase::Kind::stuck && settle(canvas->repairSession().pane()); }));
        spinEventLoop(50);
        EXPECT_EQ(provider->spawnCalls().size() - before, 3);
        EXPECT_TRUE(phase().reason().contains(QLatin1String("empty launch command"))) << phase().reason().toStdString();
        EXPECT_TRUE(lineTexts(canvas->repairSession().pane())
                        .filter(QStringLiteral("[The repair stopped: ") + phase().reason())
                        .size() == 1);
        EXPECT_TRUE(historyLines(project).last().contains(QLatin1String("refusal-cap-hit")));
    }
}

// Requests Nerim grants cost a run each too: an agent that asks for a secret
// again after every answer stops at the runs one session may start, and says so.
TEST_F(RepairSessionTest, ASessionThatKeepsAskingStopsAtItsRunLimit)
{
    openAfterADetectionError();
    for (int i = 0; i < 30; ++i)
        provider->enqueue(FakeAgentProvider::events({out(askForKey)}, 0));
    await(canvas->repairSession().begin());
    int answered = 0;
    while (answered < 30) {
        ASSERT_TRUE(waitUntil([&] {
            return (phase().kind() == Phase::Kind::awaitingSecret || !phase().isActive()) && settle(canvas->repairSession().pane());
        }));
        if (!phase().isActive())
            break;
        await(canvas->repairSession().submitSecret(QStringLiteral("OPENAI_API_KEY"), QStringLiteral("sk-%1").arg(answered)));
        ++answered;
    }
    ASSERT_EQ(phase().kind(), Phase::Kind::stuck);
    EXPECT_LT(answered, 30);
    EXPECT_EQ(provider->spawnCalls().size(), answered);
    EXPECT_EQ(phase().reason(),
              QStringLiteral("Nerim stopped the repair after %1 runs of the Repair agent. Try again to start afresh.")
                  .arg(provider->spawnCalls().size()));
    EXPECT_TRUE(historyLines(project).last().contains(QLatin1String("run-cap-hit")));
}

// A quit and a kill during a repair: the next open shows a line in the Repair
// pane and a history entry saying the repair was interrupted, once, and the
// pane is not left saying the agent is at work.
TEST_F(RepairSessionTest, AQuitOrAKillDuringARepairIsRecordedAsInterruptedAtTheNextOpen)
{
    for (const bool kill : {false, true}) {
        SCOPED_TRACE(kill ? "kill" : "quit");
        project = makeTempDir(QStringLiteral("project"));
        openAfterADetectionError();
        provider->enqueue(FakeAgentProvider::running({out(QStringLiteral("Reading the start script."))}));
        await(canvas->repairSession().begin());
        ASSERT_TRUE(waitUntil([&] { return lineTexts(canvas->repairSession().pane()).contains(QStringLiteral("Reading the start script.")); }));
        if (kill) {
            // As if Nerim were killed: nothing ends, and the next Nerim process finds what it wrote.
            ASSERT_TRUE(waitUntil([&] {
                SerialFileWriter::shared().flush();
                return everyFileUnder(project).contains("Reading the start script.");
            }));
            canvas.reset();
            SerialFileWriter::shared().flush();
            const QString path = SystemAgentStepRecord::path(project, QStringLiteral("repair-step.json"));
            std::optional<SystemAgentStepRecord> record = SystemAgentStepRecord::decode(readFile(path));
            ASSERT_TRUE(record);
            record->instance = QStringLiteral("an earlier Nerim");
            // Written as that earlier Nerim wrote it, vouched for in the data folder.
            SystemAgentStepRecord::write(project, QStringLiteral("repair-step.json"), *record);
            SerialFileWriter::shared().flush();
            openWithRepairTimers();
        } else {
            reopen();
        }
        const QString said = kill ? QStringLiteral("Nerim stopped unexpectedly during the repair, so it didn't finish.")
                                  : QStringLiteral("Nerim was closed during the repair, so it didn't finish.");
        ASSERT_TRUE(waitUntil([&] { return historyLines(project).size() == 1; }));
        const QJsonObject entry = historyEntry(historyLines(project).first());
        EXPECT_EQ(entry.value(QStringLiteral("outcome")).toString(), QStringLiteral("interrupted"));
        EXPECT_EQ(entry.value(QStringLiteral("reason")).toString(), said);
        EXPECT_EQ(entry.value(QStringLiteral("category")).toString(), QStringLiteral("unknownProjectType"));
        ASSERT_EQ(canvas->panes().size(), 1);
        ASSERT_TRUE(waitUntil([&] { return lineTexts(canvas->panes().first()).last().startsWith(QLatin1Char('[') + said); }));
        EXPECT_EQ(phase(), Phase::idle());

        reopen();
        spinEventLoop();
        EXPECT_EQ(historyLines(project).size(), 1);
        await(canvas->teardown());
        canvas.reset();
    }

    // A running record Nerim did not write (one the folder came with) is no
    // interrupted repair: no history line; it is set aside and the pane says so.
    SerialFileWriter::shared().flush();
    const QString path = SystemAgentStepRecord::path(project, QStringLiteral("repair-step.json"));
    SystemAgentStepRecord planted;
    planted.instance = QStringLiteral("a Nerim on another machine");
    planted.step = QStringLiteral("repair");
    writeFile(path, planted.encode());
    openWithRepairTimers();
    ASSERT_TRUE(waitUntil([&] {
        return !canvas->panes().isEmpty() &&
               lineTexts(canvas->panes().first()).last().startsWith(QStringLiteral("[Nerim found a step record it didn't write"));
    }));
    spinEventLoop();
    EXPECT_EQ(historyLines(project).size(), 1);
    EXPECT_FALSE(QFileInfo::exists(path));
}
