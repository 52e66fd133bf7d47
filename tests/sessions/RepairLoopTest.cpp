// The repair loop end to end on real failing projects with a scripted Repair
// agent: the fix, the restart and its verdict, the record it leaves; and the
// restarts that never call back.
#include "RunAppFixture.h"

#include "foundation/UuidText.h"
#include "repair/RepairPrompt.h"

using namespace nerim;
using namespace nerim::test;

namespace {

// A launch command that fails the way a node server missing a package does.
const QString missingPackageCommand = QStringLiteral("echo \"Error: Cannot find module 'left-pad'\" && exit 1");

void saveLaunchCommand(const QString &project, const QString &command)
{
    LaunchOverride saved;
    saved.shellCommand = command;
    saved.writtenAt = QStringLiteral("2024-01-01T00:00:00Z");
    saved.save(project);
}

} // namespace

TEST_F(RepairTest, AFailingNodeServerIsFixedRestartedAndRecorded)
{
    if (!loginShellHas("node") || !loginShellHas("npm"))
        GTEST_SKIP() << "node and npm are not installed";
    writeNodeProjectMissingAModule();
    openWithRepairTimers();
    submit(QStringLiteral("run the app"));
    // The banner offers the repair once the crashed server has ended.
    ASSERT_TRUE(waitUntil([&] { return canvas->devServerRunner().status().is(DevServerStatus::Kind::stopped); }, 30000))
        << runnerOutput();
    ASSERT_TRUE(canvas->devServerRunner().lastFailure().has_value());
    const RepairBannerCoordinator banner = canvas->repairSession().bannerCoordinator();
    ASSERT_TRUE(banner.isRepairable);

    provider->enqueue(FakeAgentProvider::running({out(QStringLiteral("The server needs lib/greeting.js, which is missing."))}));
    banner.beginRepair();
    ASSERT_TRUE(waitUntil([&] { return canvas->repairSession().state().phase() == Phase::repairing(1); }));
    AgentPaneState *pane = canvas->repairSession().pane();
    ASSERT_NE(pane, nullptr);
    EXPECT_EQ(pane->agentName(), QStringLiteral("Repair"));
    EXPECT_EQ(pane->agentId(), QStringLiteral("nerim.repair"));
    EXPECT_TRUE(pane->isSystemPane());
    EXPECT_EQ(pane->paneNumber(), 0);

    // The agent is briefed with the failure, the command and the output.
    const std::optional<RepairContext> context = canvas->repairSession().state().context();
    ASSERT_TRUE(context.has_value());
    // A missing file of the project's own (`require('./lib/greeting')`) is no package to install.
    EXPECT_EQ(context->failureCategory, DetectedFailure::Category::nodemonCatchall);
    EXPECT_EQ(context->shellCommand, QStringLiteral("npm run start"));
    EXPECT_EQ(context->projectType, QStringLiteral("Node/npm project (npm run start)"));
    EXPECT_EQ(context->logTail, canvas->devServerRunner().recentOutput());
    ASSERT_EQ(provider->spawnCalls().size(), 1);
    EXPECT_EQ(provider->spawnCalls().first().role, AgentRole::code);
    EXPECT_TRUE(provider->spawnCalls().first().priorTurns.isEmpty());
    EXPECT_EQ(provider->spawnCalls().first().task, buildRepairPrompt(*context));

    // It writes the missing file and says the fix is in; its exit ends nothing.
    const QUuid session = provider->sessionIds().first();
    writeMissingModule();
    provider->yieldEvent(session, out(QStringLiteral("TASK_COMPLETE: Added the missing greeting module.")));
    provider->yieldEvent(session, out(QStringLiteral("[NERIM_READY_TO_RETRY]")));
    provider->finish(session, 0);

    ASSERT_TRUE(waitUntil([&] { return canvas->repairSession().state().phase() == Phase::fixed(); }, 30000)) << runnerOutput();
    const QUrl url = *canvas->devServerRunner().detectedURL();
    EXPECT_EQ(canvas->preview().addressBar(), url.toString());
    EXPECT_EQ(lineTexts(pane), (QStringList{QStringLiteral("Nerim is looking at the crash. Attempt 1 of 3."),
                                            QStringLiteral("The server needs lib/greeting.js, which is missing."),
                                            QStringLiteral("Added the missing greeting module."),
                                            QStringLiteral("Restarting your app\u2026"),
                                            QStringLiteral("[Repair agent exited \u00b7 code 0]"),
                                            QStringLiteral("Fixed. Your app is running at ") + url.toString() +
                                                QLatin1Char('.')}));
    EXPECT_EQ(lineKinds(pane).last(), OutputLine::Kind::taskComplete);
    // The marker is kept with the run's output, not shown.
    EXPECT_TRUE(pane->currentStdout().contains(QStringLiteral("[NERIM_READY_TO_RETRY]")));

    // Back to idle after the (shortened) pause, the preview without an error.
    ASSERT_TRUE(waitUntil([&] { return canvas->repairSession().state().phase() == Phase::idle(); }));
    EXPECT_FALSE(canvas->preview().hasVisibleError());

    const QStringList history = historyLines(project);
    ASSERT_EQ(history.size(), 1);
    const QJsonObject entry = historyEntry(history.first());
    EXPECT_EQ(entry.value(QStringLiteral("outcome")).toString(), QStringLiteral("fixed"));
    EXPECT_EQ(entry.value(QStringLiteral("category")).toString(), QStringLiteral("nodemonCatchall"));
    EXPECT_EQ(entry.value(QStringLiteral("attempts")).toInt(), 1);
    EXPECT_FALSE(entry.contains(QStringLiteral("reason")));

    ASSERT_TRUE(waitUntil([&] { return entryKinds(entries()).contains(QStringLiteral("repairSessionEnded")); }));
    const QList<ContextEntry> log = entries();
    const QStringList kinds = entryKinds(log);
    ASSERT_EQ(kinds.count(QStringLiteral("repairSessionStarted")), 1);
    ASSERT_EQ(kinds.count(QStringLiteral("repairSessionEnded")), 1);
    EXPECT_LT(kinds.indexOf(QStringLiteral("repairSessionStarted")), kinds.indexOf(QStringLiteral("repairSessionEnded")));
    const auto ended = std::get<ContextEntry::RepairSessionEnded>(log.at(kinds.indexOf(QStringLiteral("repairSessionEnded"))).payload());
    EXPECT_EQ(ended.outcome, ContextEntry::RepairSessionOutcome::fixed);
    EXPECT_EQ(ended.agentId, uuidText(pane->id()));
    EXPECT_EQ(ended.lastFailureCategory, QStringLiteral("nodemonCatchall"));
}

// Three restarts that fail in the ways that reach no runner callback, or a
// generic one: detection fails, the server ends cleanly without an address,
// the server dies. The third ends the session at the retry cap.
TEST_F(RepairTest, RestartsThatNeverReportStillEndAndTheThirdFailureEndsStuck)
{
    openWithRepairTimers();
    await(canvas->runApp()); // an empty folder: nothing to start
    ASSERT_TRUE(canvas->lastLaunchAttemptDetectionError().has_value());
    provider->enqueue(FakeAgentProvider::running());
    provider->enqueue(FakeAgentProvider::running());
    provider->enqueue(FakeAgentProvider::running());
    await(canvas->repairSession().begin());
    ASSERT_EQ(canvas->repairSession().state().phase(), Phase::repairing(1));
    AgentPaneState *pane = canvas->repairSession().pane();
    const QString briefing = provider->spawnCalls().first().task;

    const auto retryWith = [&](int run) {
        const QUuid session = provider->sessionIds().at(run - 1);
        provider->yieldEvent(session, out(QStringLiteral("[NERIM_READY_TO_RETRY]")));
        provider->finish(session, 0);
    };
    const auto followUpStarted = [&](int runs) {
        return waitUntil([&] { return provider->spawnCalls().size() == runs && pane->status() == AgentStatus::working; });
    };

    // 1. Detection still finds nothing.
    retryWith(1);
    ASSERT_TRUE(waitUntil([&] { return canvas->repairSession().state().phase() == Phase::repairing(2); }));
    ASSERT_TRUE(followUpStarted(2));
    EXPECT_TRUE(lineTexts(pane).contains(QStringLiteral("That didn't work \u2014 trying again. Attempt 2 of 3.")));
    const FakeAgentProvider::SpawnCall second = provider->spawnCalls().at(1);
    EXPECT_EQ(second.role, AgentRole::code);
    EXPECT_TRUE(second.task.startsWith(QStringLiteral("Your previous fix didn't take. The app crashed again on the "
                                                      "retry with:\n    Your app crashed on startup.\n")))
        << second.task.toStdString();
    // The follow-up run gets the session so far, with the first prompt as it was sent.
    ASSERT_EQ(second.priorTurns.size(), 1);
    EXPECT_EQ(second.priorTurns.first().userPrompt, briefing);
    EXPECT_EQ(canvas->repairSession().state().context()->attempt, 2);

    // 2. A start command that ends at once, cleanly, printing no address.
    saveLaunchCommand(project, QStringLiteral("true"));
    retryWith(2);
    ASSERT_TRUE(waitUntil([&] { return canvas->repairSession().state().phase() == Phase::repairing(3); }, 20000));
    ASSERT_TRUE(followUpStarted(3));
    EXPECT_EQ(provider->spawnCalls().at(2).priorTurns.size(), 2);

    // 3. A start command that dies.
    saveLaunchCommand(project, QStringLiteral("sh -c 'exit 3'"));
    retryWith(3);
    ASSERT_TRUE(waitUntil([&] { return canvas->repairSession().state().phase().kind() == Phase::Kind::stuck; }, 20000));
    EXPECT_EQ(canvas->repairSession().state().phase(), Phase::stuck(QStringLiteral("Tried 3 fixes and the app still crashes.")));
    spinEventLoop();

    const QStringList history = historyLines(project);
    ASSERT_EQ(history.size(), 1);
    const QJsonObject entry = historyEntry(history.first());
    EXPECT_EQ(entry.value(QStringLiteral("outcome")).toString(), QStringLiteral("stuck"));
    EXPECT_EQ(entry.value(QStringLiteral("reason")).toString(), QStringLiteral("retry-cap-hit"));
    EXPECT_EQ(entry.value(QStringLiteral("attempts")).toInt(), 3);
    EXPECT_EQ(entry.value(QStringLiteral("category")).toString(), QStringLiteral("unknownProjectType"));
    EXPECT_EQ(provider->spawnCalls().size(), 3);
}

TEST_F(RepairTest, ARestartThatNeverGivesAnAddressFailsWhenTheWatchdogRunsOut)
{
    retryWatchdog = std::chrono::milliseconds(300);
    openWithRepairTimers();
    await(canvas->runApp());
    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_READY_TO_RETRY]"))}, 0));
    provider->enqueue(FakeAgentProvider::running());
    saveLaunchCommand(project, QStringLiteral("sleep 30"));
    await(canvas->repairSession().begin());

    ASSERT_TRUE(waitUntil([&] { return canvas->repairSession().state().phase() == Phase::retryingApp(1); }));
    ASSERT_TRUE(waitUntil([&] { return canvas->repairSession().state().phase() == Phase::repairing(2); }));
    // The watchdog leaves the server going (on a loaded machine it may not
    // have reported its start yet when 300 ms are up).
    const DevServerStatus status = canvas->devServerRunner().status();
    EXPECT_TRUE(status.is(DevServerStatus::Kind::running) || status.is(DevServerStatus::Kind::starting));
    ASSERT_TRUE(waitUntil([&] { return provider->spawnCalls().size() == 2; }));
    EXPECT_TRUE(provider->spawnCalls().at(1).task.contains(QStringLiteral("Your app crashed on startup.")));
}

TEST_F(RepairTest, ARestartWhoseServerCannotBeLaunchedFails)
{
    DevServerRunner::Options options;
    options.shell = project + QStringLiteral("/no-such-shell");
    devServerOptions = options;
    openWithRepairTimers();
    await(canvas->runApp());
    ASSERT_TRUE(canvas->lastLaunchAttemptDetectionError().has_value());
    writeFile(project + QStringLiteral("/index.html"), "<p>site</p>");
    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_READY_TO_RETRY]"))}, 0));
    provider->enqueue(FakeAgentProvider::running());
    await(canvas->repairSession().begin());

    ASSERT_TRUE(waitUntil([&] { return canvas->repairSession().state().phase() == Phase::repairing(2); }));
    EXPECT_TRUE(canvas->devServerRunner().status().is(DevServerStatus::Kind::failed));
    EXPECT_TRUE(waitUntil([&] { return provider->spawnCalls().size() == 2; }));
}

TEST_F(RepairTest, AProjectWithNothingToStartEndsFixedOnceItsCommandIsSaved)
{
    LogCapture log;
    openWithRepairTimers();
    await(canvas->runApp());
    const QString command = QStringLiteral("echo \"This project has nothing to start automatically.\"");
    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("It's a folder of documents.")),
                                                 out(QStringLiteral("[NERIM_REPAIR_LAUNCH_OVERRIDE]: ") + command),
                                                 out(QStringLiteral("[NERIM_READY_TO_RETRY]"))},
                                                0));
    await(canvas->repairSession().begin());
    AgentPaneState *pane = canvas->repairSession().pane();

    ASSERT_TRUE(waitUntil([&] { return canvas->repairSession().state().phase() == Phase::fixed(); }, 20000));
    const std::optional<LaunchOverride> saved = LaunchOverride::load(project);
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ(saved->shellCommand, command);
    EXPECT_EQ(saved->description, QStringLiteral("Starting your app"));
    // The restart ran the saved command: it was saved before the start looked.
    EXPECT_EQ(canvas->lastAttemptedLaunchPlan()->shellCommand, command);
    const QStringList texts = lineTexts(pane);
    EXPECT_TRUE(texts.contains(QStringLiteral("[Nerim saved the launch command to `.nerim/launch-override.json`.]")));
    EXPECT_EQ(texts.last(), QStringLiteral("This project has nothing to start, so there's no app to run."));
    const QStringList history = historyLines(project);
    ASSERT_EQ(history.size(), 1);
    EXPECT_EQ(historyEntry(history.first()).value(QStringLiteral("outcome")).toString(), QStringLiteral("fixed"));

    // The log lines of the loop, word for word.
    const QStringList lines = log.lines();
    for (const QString &expected :
         {QStringLiteral("[Nerim repair] LAUNCH_OVERRIDE received: ") + command,
          QStringLiteral("[Nerim repair] READY_TO_RETRY received (attempt 1) \u2014 re-running app"),
          QStringLiteral("[Nerim repair] finalize \u2192 fixed")})
        EXPECT_TRUE(lines.contains(expected)) << expected.toStdString() << "\n" << lines.join(QLatin1Char('\n')).toStdString();
}

// A saved launch command clears the remembered plan; the failure it was saved
// for can still be repaired, with the saved command as what was run.
TEST_F(RepairTest, AfterASavedLaunchCommandTheBannerAndTheContextStillAgree)
{
    saveLaunchCommand(project, missingPackageCommand);
    openWithRepairTimers();
    await(canvas->runApp());
    ASSERT_TRUE(waitUntil([&] { return canvas->devServerRunner().lastFailure().has_value(); })) << runnerOutput();
    provider->enqueue(FakeAgentProvider::running());
    await(canvas->repairSession().begin());
    AgentPaneState *pane = canvas->repairSession().pane();
    const QUuid session = provider->sessionIds().first();

    // Wrapped in a code span, as agents write commands; saved without it.
    provider->yieldEvent(session, out(QStringLiteral("[NERIM_REPAIR_LAUNCH_OVERRIDE]: `npm run dev:web`")));
    const QString confirmation = QStringLiteral("[Nerim saved the launch command to `.nerim/launch-override.json`.]");
    ASSERT_TRUE(waitUntil([&] { return lineTexts(pane).contains(confirmation); }));
    EXPECT_EQ(LaunchOverride::load(project)->shellCommand, QStringLiteral("npm run dev:web"));
    EXPECT_FALSE(canvas->lastAttemptedLaunchPlan().has_value());
    EXPECT_FALSE(canvas->lastLaunchAttemptDetectionError().has_value());

    provider->yieldEvent(session, out(QStringLiteral("[NERIM_REPAIR_STUCK]: I need to know which folder holds the web app.")));
    provider->finish(session, 0);
    ASSERT_TRUE(waitUntil([&] { return canvas->repairSession().state().phase().kind() == Phase::Kind::stuck; }));

    EXPECT_TRUE(canvas->repairSession().canBegin());
    EXPECT_TRUE(canvas->repairSession().bannerCoordinator().isRepairable);
    const std::optional<RepairContext> context = canvas->repairSession().makeContext();
    ASSERT_TRUE(context.has_value());
    EXPECT_EQ(context->shellCommand, QStringLiteral("npm run dev:web"));
    EXPECT_EQ(context->projectType, QStringLiteral("Node/npm project (npm run dev:web)"));
    EXPECT_EQ(context->failureCategory, DetectedFailure::Category::missingNodeDependency);

    // "Try again" begins afresh in the same pane.
    provider->enqueue(FakeAgentProvider::running());
    canvas->repairSession().bannerCoordinator().retryRepairFromScratch();
    ASSERT_TRUE(waitUntil([&] { return canvas->repairSession().state().phase() == Phase::repairing(1); }));
    EXPECT_EQ(canvas->panes().size(), 1);
    EXPECT_EQ(canvas->repairSession().pane(), pane);
    EXPECT_EQ(lineTexts(pane), QStringList{QStringLiteral("Nerim is looking at the crash. Attempt 1 of 3.")});
    EXPECT_TRUE(provider->spawnCalls().at(1).task.contains(QStringLiteral("npm run dev:web")));
    // Its predecessor's agent had already stopped; nothing was left to end.
    EXPECT_TRUE(provider->terminated().isEmpty());
}
