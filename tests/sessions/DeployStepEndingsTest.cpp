// How steps end, with a scripted Deploy agent: every step on a live deploy
// that fails (stuck, silent, stopped by Nerim) returns to the live deploy
// with a pane line and a history line, and "Try again" retries that step, in
// the session and after a restart; a step cut short by a quit or a kill is
// recorded as interrupted at the next open; the git setting is saved only
// when the git change went through.
#include "DeployFixture.h"

#include "persistence/IntentProcessorConstants.h"
#include "sessions/SystemAgentStepRecord.h"

#include <functional>

using namespace nerim;
using namespace nerim::test;
using Phase = DeploySessionState::Phase;

namespace {

const QString liveURL = QStringLiteral("https://shop.vercel.app");

enum class Step { rollback, envVars, domain, git, redeploy };
enum class Ending { stuck, silent, refusals };

struct StepCase {
    Step step;
    QString kind;      // the history's name of it
    QString named;     // the pane's
    Phase::Kind phase; // while it runs again
    bool startsRun;    // a retry starts a run at once (the env-var card waits for the user)
};

const QList<StepCase> steps{
    {Step::rollback, "rollback", "the rollback", Phase::Kind::runningOperation, true},
    {Step::envVars, "envVarUpdate", "the env-var update", Phase::Kind::envVarChecklist, false},
    {Step::domain, "domain", "adding the domain", Phase::Kind::customDomainVerifying, true},
    {Step::git, "gitConnect", "connecting to git", Phase::Kind::runningOperation, true},
    {Step::redeploy, "redeploy", "the redeploy", Phase::Kind::preparing, true},
};

class DeployStepEndingsTest : public DeployCanvasTest {
protected:
    void goLive()
    {
        provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_DEPLOY_DEPLOYMENT_ID] vercel | dpl_0")),
                                                     out(QStringLiteral("[NERIM_DEPLOY_LIVE] ") + liveURL)}));
        await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::redeploy));
        ASSERT_TRUE(waitUntil([&] { return phase() == Phase::live(liveURL, std::nullopt) && settle(canvas->deploySession().pane()); }));
        ASSERT_TRUE(waitUntil([&] {
            const std::optional<DeployConfig> config = DeployConfig::load(canvas->projectURL());
            return config && config->liveURL() == liveURL;
        }));
    }

    // Starts the step as the Live menu does.
    void start(Step step)
    {
        switch (step) {
        case Step::rollback: {
            DeployHistoryEntry point;
            point.timestamp = QStringLiteral("2026-12-07T10:00:00Z");
            point.providers = {QStringLiteral("vercel")};
            point.deploymentID = QStringLiteral("dpl_0");
            await(canvas->deploySession().beginRollback(point));
            break;
        }
        case Step::envVars:
            ASSERT_TRUE(canvas->deploySession().openEnvVarChecklist());
            await(canvas->deploySession().applyEnvVarChecklist({{QStringLiteral("API_URL"), QStringLiteral("send")}}));
            break;
        case Step::domain:
            ASSERT_TRUE(canvas->deploySession().openCustomDomainInput());
            await(canvas->deploySession().beginCustomDomain(QStringLiteral("shop.example.com")));
            break;
        case Step::git: await(canvas->deploySession().beginGitConnect(true)); break;
        case Step::redeploy: await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::redeploy)); break;
        }
    }

    // The step runs again: its phase (a redeploy's is any active one).
    static bool isUnderWay(const StepCase &step, const Phase &phase)
    {
        return phase.isActive() && (step.step == Step::redeploy || phase.kind() == step.phase);
    }

    QList<DeployHistoryEntry> history() const
    {
        SerialFileWriter::shared().flush();
        QList<DeployHistoryEntry> entries;
        for (const QByteArray &line : readFile(DeployHistoryEntry::historyPath(project)).split('\n'))
            if (!line.isEmpty())
                entries.append(DeployHistoryEntry::decode(line));
        return entries;
    }

    bool gitTicked() const
    {
        SerialFileWriter::shared().flush();
        const std::optional<DeployConfig> config = DeployConfig::loadFile(QUrl::fromLocalFile(project));
        return config && config->autoDeployOnPush == true;
    }

    void reopen()
    {
        await(canvas->teardown());
        SerialFileWriter::shared().flush();
        canvas.reset();
        openDeploy();
    }

    // As if Nerim were killed: the canvas goes without ending anything, and
    // what it wrote is found by the next Nerim process.
    void killAndReopen()
    {
        const QString shown = lineTexts(canvas->deploySession().pane()).last();
        ASSERT_TRUE(waitUntil([&] { return everythingUnderProject().contains(shown.toUtf8()); }));
        canvas.reset();
        SerialFileWriter::shared().flush();
        const QString path = SystemAgentStepRecord::path(project, QStringLiteral("deploy-step.json"));
        std::optional<SystemAgentStepRecord> record = SystemAgentStepRecord::decode(readFile(path));
        ASSERT_TRUE(record);
        record->instance = QStringLiteral("an earlier Nerim");
        // Written as that earlier Nerim wrote it, vouched for in the data folder.
        SystemAgentStepRecord::write(project, QStringLiteral("deploy-step.json"), *record);
        SerialFileWriter::shared().flush();
        openDeploy();
    }
};

} // namespace

// Each step on the live deploy ends stuck, silent (no marker) and stopped by
// Nerim after refused requests: the session is back on the live deploy, the
// pane says what failed and how to try again, the history keeps the reason;
// "Try again" runs that same step again below the transcript.
TEST_F(DeployStepEndingsTest, EachFailedStepOnALiveDeployReturnsToItAndTryAgainRetriesIt)
{
    provideTools();
    openDeploy();
    ASSERT_NO_FATAL_FAILURE(goLive());
    for (const StepCase &step : steps) {
        for (const Ending ending : {Ending::stuck, Ending::silent, Ending::refusals}) {
            SCOPED_TRACE(step.kind.toStdString() + " ending " + std::to_string(static_cast<int>(ending)));
            QString reason;
            switch (ending) {
            case Ending::stuck:
                provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_DEPLOY_STUCK] The provider said no"))}));
                reason = QStringLiteral("The provider said no");
                break;
            case Ending::silent:
                provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("Looking around."))}));
                reason = QStringLiteral("agent-exited-silent");
                break;
            case Ending::refusals:
                for (int run = 0; run < 3; ++run)
                    provider->enqueue(FakeAgentProvider::events(
                        {out(QStringLiteral("[NERIM_DEPLOY_NEED_TOKEN] RAILWAY_TOKEN | to finish"))}));
                reason = QStringLiteral("refusal-cap-hit");
                break;
            }
            ASSERT_NO_FATAL_FAILURE(start(step.step));
            ASSERT_TRUE(waitUntil([&] { return !phase().isActive() && settle(canvas->deploySession().pane()); }));
            EXPECT_EQ(phase(), Phase::live(liveURL, std::nullopt));
            const QString title = QStringLiteral("Try %1 again").arg(step.named);
            EXPECT_EQ(canvas->deploySession().retryStepTitle(), title);
            const QStringList lines = lineTexts(canvas->deploySession().pane());
            const QStringList failures = lines.filter(QLatin1Char('[') + step.named.left(1).toUpper() +
                                                      step.named.mid(1) + QStringLiteral(" didn't finish: "));
            ASSERT_FALSE(failures.isEmpty()) << lines.join(QLatin1Char('\n')).toStdString();
            const QString said = failures.last();
            EXPECT_TRUE(said.contains(QStringLiteral("Your app is still live at ") + liveURL)) << said.toStdString();
            EXPECT_TRUE(said.contains(title)) << said.toStdString();
            // No provider is chosen on the way to a step on the live deploy:
            // the advice names only what the user can do there.
            EXPECT_FALSE(said.contains(QStringLiteral("when you deploy again"))) << said.toStdString();
            const DeployHistoryEntry last = history().last();
            EXPECT_EQ(last.kind, step.kind);
            EXPECT_EQ(last.outcome, QStringLiteral("stuck"));
            EXPECT_EQ(last.reason, reason);
            EXPECT_FALSE(gitTicked());

            // Try again: the same step, below what the pane showed.
            if (step.startsRun)
                provider->enqueue(FakeAgentProvider::running());
            const qsizetype spawned = provider->sessionIds().size();
            await(canvas->deploySession().retry());
            ASSERT_TRUE(waitUntil([&] { return isUnderWay(step, phase()); }));
            if (step.startsRun) {
                ASSERT_TRUE(waitUntil([&] { return provider->sessionIds().size() == spawned + 1; }));
            }
            EXPECT_EQ(lineTexts(canvas->deploySession().pane()).mid(0, lines.size()), lines);
            await(canvas->deploySession().cancel());
            ASSERT_EQ(phase(), Phase::live(liveURL, std::nullopt));
            // A retried step that started is no longer offered; the env-var
            // card closed before it started anything changes nothing.
            EXPECT_EQ(canvas->deploySession().retryStepTitle(),
                      step.startsRun ? std::nullopt : std::optional<QString>(title));
            if (!step.startsRun) {
                provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_DEPLOY_LIVE] ") + liveURL)}));
                await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::redeploy));
                ASSERT_TRUE(waitUntil([&] { return !phase().isActive() && settle(canvas->deploySession().pane()); }));
                EXPECT_EQ(canvas->deploySession().retryStepTitle(), std::nullopt);
            }
            ASSERT_TRUE(settle(canvas->deploySession().pane()));
        }
    }

    // After a restart the failed step is still the one "Try again" retries,
    // with the providers the project's records name.
    for (const StepCase &again : {steps.at(3), steps.at(4)}) {
        const Step step = again.step;
        provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("Looking around."))}));
        ASSERT_NO_FATAL_FAILURE(start(step));
        ASSERT_TRUE(waitUntil([&] { return !phase().isActive() && settle(canvas->deploySession().pane()); }));
        reopen();
        ASSERT_TRUE(waitUntil([&] { return phase() == Phase::live(liveURL, std::nullopt); }));
        ASSERT_TRUE(canvas->deploySession().retryStepTitle().has_value());
        const QStringList lines = lineTexts(canvas->deploySession().pane());
        logged.clear();
        provider->enqueue(FakeAgentProvider::running());
        await(canvas->deploySession().retry());
        ASSERT_TRUE(waitUntil([&] { return isUnderWay(again, phase()) && canvas->deploySession().pane()->currentSession(); }))
            << log().toStdString();
        if (step == Step::redeploy) {
            EXPECT_EQ(canvas->deploySession().state().context()->kind, DeployKind::redeploy);
            EXPECT_EQ(canvas->deploySession().state().context()->providersInOrder, QList<DeployProvider>{DeployProvider::vercel});
        }
        EXPECT_EQ(lineTexts(canvas->deploySession().pane()).mid(0, lines.size()), lines);
        // This time it goes through; only now is the git setting saved.
        provider->yieldEvent(lastSession(), out(step == Step::git ? QStringLiteral("[NERIM_DEPLOY_OPERATION_DONE] Connected")
                                                                   : QStringLiteral("[NERIM_DEPLOY_LIVE] ") + liveURL));
        ASSERT_TRUE(waitUntil([&] { return !phase().isActive(); }));
        provider->finish(lastSession(), 0);
        ASSERT_TRUE(settle(canvas->deploySession().pane()));
        EXPECT_EQ(phase(), Phase::live(liveURL, std::nullopt));
        EXPECT_EQ(canvas->deploySession().retryStepTitle(), std::nullopt);
    }
    ASSERT_TRUE(waitUntil([&] { return gitTicked(); }));
}

// The Live menu keeps a failed step's "Try … again" until that step is
// retried or another step ends: the env-var and domain cards opened and
// closed unchanged leave it offered (also after a restart), and the retry
// then runs the step.
TEST_F(DeployStepEndingsTest, ACardClosedUnchangedKeepsTheFailedStepsRetry)
{
    provideTools();
    openDeploy();
    ASSERT_NO_FATAL_FAILURE(goLive());
    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_DEPLOY_STUCK] The provider said no"))}));
    ASSERT_NO_FATAL_FAILURE(start(Step::git));
    ASSERT_TRUE(waitUntil([&] { return !phase().isActive() && settle(canvas->deploySession().pane()); }));
    const QString title = QStringLiteral("Try connecting to git again");
    ASSERT_EQ(canvas->deploySession().retryStepTitle(), title);
    const qsizetype spawned = provider->sessionIds().size();

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "in the session" : "after a restart");
        ASSERT_TRUE(canvas->deploySession().openEnvVarChecklist());
        EXPECT_EQ(canvas->deploySession().retryStepTitle(), std::nullopt);
        await(canvas->deploySession().cancel());
        ASSERT_EQ(phase(), Phase::live(liveURL, std::nullopt));
        EXPECT_EQ(canvas->deploySession().retryStepTitle(), title);
        ASSERT_TRUE(canvas->deploySession().openCustomDomainInput());
        await(canvas->deploySession().closeDomainCard());
        ASSERT_EQ(phase(), Phase::live(liveURL, std::nullopt));
        EXPECT_EQ(canvas->deploySession().retryStepTitle(), title);
        EXPECT_EQ(provider->sessionIds().size(), spawned);
        if (round == 0) {
            reopen();
            ASSERT_TRUE(waitUntil([&] { return canvas->deploySession().retryStepTitle() == title; }));
        }
    }
    provider->enqueue(FakeAgentProvider::running());
    await(canvas->deploySession().retry());
    ASSERT_TRUE(waitUntil([&] { return phase().kind() == Phase::Kind::runningOperation && provider->sessionIds().size() == spawned + 1; }))
        << log().toStdString();
}

// A quit and a kill, each during a first deploy and during a git change on the
// live deploy: the next open shows a line and a history entry for the
// interrupted step (once), and the git setting was never ticked.
TEST_F(DeployStepEndingsTest, AQuitOrAKillDuringAStepIsRecordedAsInterruptedAtTheNextOpen)
{
    for (const bool kill : {false, true}) {
        SCOPED_TRACE(kill ? "kill" : "quit");
        project = makeTempDir(QStringLiteral("project"));
        provideTools();
        openDeploy();
        const QString ended = kill ? QStringLiteral("Nerim stopped unexpectedly during %1.")
                                   : QStringLiteral("Nerim was closed during %1.");

        provider->enqueue(FakeAgentProvider::running({out(QStringLiteral("Checking whether Vercel is signed in."))}));
        await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::fresh));
        ASSERT_TRUE(waitUntil([&] {
            return lineTexts(canvas->deploySession().pane()).contains(QStringLiteral("Checking whether Vercel is signed in."));
        }));
        if (kill) {
            ASSERT_NO_FATAL_FAILURE(killAndReopen());
        } else {
            reopen();
        }
        ASSERT_TRUE(waitUntil([&] { return history().size() == 1; }));
        DeployHistoryEntry last = history().last();
        EXPECT_EQ(last.kind, QStringLiteral("fresh"));
        EXPECT_EQ(last.outcome, QStringLiteral("interrupted"));
        EXPECT_EQ(last.reason, ended.arg(QStringLiteral("the deploy")));
        AgentPaneState *pane = nullptr;
        ASSERT_TRUE(waitUntil([&] {
            for (AgentPaneState *candidate : canvas->panes())
                if (candidate->agentName() == QLatin1String("Deploy"))
                    pane = candidate;
            return pane && lineTexts(pane).last().contains(ended.arg(QStringLiteral("the deploy")).chopped(1));
        }));
        EXPECT_FALSE(phase().isActive());

        ASSERT_NO_FATAL_FAILURE(goLive());
        provider->enqueue(FakeAgentProvider::running({out(QStringLiteral("Linking the repository."))}));
        await(canvas->deploySession().beginGitConnect(true));
        ASSERT_TRUE(waitUntil([&] { return lineTexts(canvas->deploySession().pane()).contains(QStringLiteral("Linking the repository.")); }));
        const qsizetype lines = history().size();
        if (kill) {
            ASSERT_NO_FATAL_FAILURE(killAndReopen());
        } else {
            reopen();
        }
        ASSERT_TRUE(waitUntil([&] { return phase() == Phase::live(liveURL, std::nullopt) && history().size() == lines + 1; }));
        last = history().last();
        EXPECT_EQ(last.kind, QStringLiteral("gitConnect"));
        EXPECT_EQ(last.outcome, QStringLiteral("interrupted"));
        EXPECT_EQ(last.reason, ended.arg(QStringLiteral("connecting to git")));
        const QString said = lineTexts(canvas->deploySession().pane()).last();
        EXPECT_TRUE(said.contains(QStringLiteral("Your app is still live at ") + liveURL)) << said.toStdString();
        EXPECT_TRUE(said.contains(QStringLiteral("Try connecting to git again"))) << said.toStdString();
        EXPECT_EQ(canvas->deploySession().retryStepTitle(), QStringLiteral("Try connecting to git again"));
        EXPECT_FALSE(gitTicked());

        // Opened once more, nothing is recorded twice.
        reopen();
        ASSERT_TRUE(waitUntil([&] { return phase() == Phase::live(liveURL, std::nullopt); }));
        EXPECT_EQ(history().size(), lines + 1);
        await(canvas->teardown());
        canvas.reset();
    }
}

// The step record is in the project's folder, where anyone may write (a
// clone, a copy from another machine, a hand edit). Nerim's own record, read
// back after a restart, still offers its retry; any record Nerim did not
// write (planted failed or running, a step Nerim never writes, its own record
// edited, its own record once its vouching in Nerim's data folder is damaged)
// offers nothing, starts nothing and writes no history line: it is set aside
// and the Deploy pane says so once.
TEST_F(DeployStepEndingsTest, APlantedStepRecordMakesNoStepOfItsOwn)
{
    provideTools();
    openDeploy();
    ASSERT_NO_FATAL_FAILURE(goLive());
    const QString path = SystemAgentStepRecord::path(project, QStringLiteral("deploy-step.json"));
    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("Looking around."))}));
    await(canvas->deploySession().beginGitConnect(false));
    ASSERT_TRUE(waitUntil([&] { return !phase().isActive() && settle(canvas->deploySession().pane()); }));
    const QString ownRetry = QStringLiteral("Try disconnecting from git again");
    ASSERT_EQ(canvas->deploySession().retryStepTitle(), ownRetry);
    const auto close = [&] {
        await(canvas->teardown());
        SerialFileWriter::shared().flush();
        canvas.reset();
    };
    close();
    const QByteArray own = readFile(path);
    const QString notice = QStringLiteral("Nerim found a step record it didn't write");
    const auto notices = [&] { return lineTexts(canvas->deploySession().pane()).filter(notice).size(); };

    // Nerim's own record after the restart.
    openDeploy();
    ASSERT_TRUE(waitUntil([&] { return canvas->deploySession().retryStepTitle() == ownRetry; }));
    EXPECT_EQ(notices(), 0);
    close();

    SystemAgentStepRecord failedGit;
    failedGit.state = SystemAgentStepRecord::State::failed;
    failedGit.instance = QStringLiteral("someone else");
    failedGit.step = QStringLiteral("gitConnect");
    failedGit.enable = false;
    SystemAgentStepRecord running;
    running.instance = QStringLiteral("a Nerim on another machine");
    running.step = QStringLiteral("redeploy");
    running.providers = {QStringLiteral("vercel")};
    SystemAgentStepRecord unknown = failedGit;
    unknown.step = QStringLiteral("publishEverything");
    QByteArray edited = own;
    edited.replace("\"state\": \"failed\"", "\"state\": \"running\"");
    ASSERT_NE(edited, own);
    const QDir vouches(QDir(IntentProcessorConstants::appSupportDirectory()).filePath(QStringLiteral("step-records")));
    const QList<std::pair<const char *, std::function<void()>>> planted{
        {"a planted failed step", [&] { writeFile(path, failedGit.encode()); }},
        {"a planted running step", [&] { writeFile(path, running.encode()); }},
        {"a step Nerim never writes", [&] { writeFile(path, unknown.encode()); }},
        {"Nerim's own record edited", [&] { writeFile(path, edited); }},
        {"Nerim's own record, its vouching damaged",
         [&] {
             writeFile(path, own);
             const QStringList files = vouches.entryList(QDir::Files);
             ASSERT_FALSE(files.isEmpty());
             for (const QString &name : files)
                 writeFile(vouches.filePath(name), QByteArray("{\"digests\": [\"") + QByteArray(70000, 'f'));
         }},
    };
    qsizetype said = 0;
    for (const auto &[what, plant] : planted) {
        SCOPED_TRACE(what);
        ASSERT_NO_FATAL_FAILURE(plant());
        const qsizetype lines = history().size();
        const qsizetype spawned = provider->sessionIds().size();
        openDeploy();
        ASSERT_TRUE(waitUntil([&] { return phase() == Phase::live(liveURL, std::nullopt); }));
        spinEventLoop();
        EXPECT_EQ(notices(), said + 1);
        EXPECT_EQ(canvas->deploySession().retryStepTitle(), std::nullopt);
        EXPECT_EQ(history().size(), lines);
        EXPECT_EQ(provider->sessionIds().size(), spawned);
        EXPECT_FALSE(QFileInfo::exists(path));
        // Said once: opened again, nothing more.
        close();
        openDeploy();
        ASSERT_TRUE(waitUntil([&] { return phase() == Phase::live(liveURL, std::nullopt); }));
        spinEventLoop();
        EXPECT_EQ(notices(), ++said);
        EXPECT_EQ(history().size(), lines);
        close();
    }
}
