#pragma once

#include "sessions/CanvasSessionHost.h"
#include "sessions/DeployCardSession.h"
#include "sessions/SystemAgentRuns.h"
#include "sessions/SystemAgentStepRecord.h"
#include "deploy/DeployConfig.h"
#include "deploy/DeployContext.h"
#include "deploy/DeployHistoryEntry.h"
#include "deploy/DeployMarkers.h"
#include "deploy/DeployHeldTokens.h"
#include "deploy/DeploySessionState.h"
#include "foundation/Timestamp.h"

#include <QCoro/QCoroTask>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <utility>

namespace nerim {

// The deploy flow of one canvas. A session of Nerim's Deploy agent runs in the
// Deploy system pane: it is briefed on the project and the chosen providers,
// and talks back through marker lines, on which the session asks the user for
// a token, a value, a review of the env vars or a domain through the cards of
// the deploy overlay, follows the build, and ends live, stuck or cancelled.
//
// Every answer to the agent (a token, a value, the reviewed variables, a
// domain) and every later operation on the live deploy (rollback, git, env
// vars) is a new run in the pane; an answer arriving mid-run starts when the
// run exits.
//
// Tokens and values never reach Nerim's own environment, a prompt, a pane, a
// file or a log line: a token is held here for its provider and laid over the
// environment of that provider's Deploy runs only (and no other child), also
// for the later operations on the live deploy, until the user cancels a
// deploy or the project closes; a secret or a custom value goes into the next
// run's environment only and is dropped when that run ends. Output of a run
// has every held value masked.
//
// An operation on the live deploy and the custom-domain step are flows of
// their own: while one runs, the agent's sign-in, token, build and secret
// markers bring the session back to that flow's phase, never into the steps
// of a deploy.
//
// Owned and hosted by the canvas controller; the views reach it through the
// controller's accessor. GUI thread only.
//
// What an agent reports is checked before it counts: a live address only when
// `isAcceptedLiveAddress` accepts it (a refused one ends the session stuck,
// saying so), a backend address or a deployment id only in a plain shape (else
// dropped with a log line), and a crafted id in the rollback prompt counts as
// none. The deploy context's files (.env, package.json) and the picker's seed
// are read through RegularFile on a worker thread, so a pipe or a device there
// is refused, never waited on; a .env over 1 MiB is not read and the checklist
// says so. An operation's run is given `buildOperationPrompt` (the change, the
// same rules and commands, the marker that ends it); in a new Deploy pane that
// is the session's briefing, kept whole for the runs that follow.
//
// A live deploy stays live. A redeploy, an operation, the Live menu's env-var
// card or the domain step that the user cancels (`cancel`, the one path of
// every card's close mark and of closing the Deploy pane; `closeDomainCard` is
// the same cancel in a domain phase) returns to the live (or
// customDomainVerified) phase it started from (`m_returnTo`), keeps the held
// tokens, and writes a history line of that step (outcome "cancelled", a
// reason naming it, timed from the step's start) and a pane line saying where
// the app still is; closing the project during a step does the same
// (`endForQuit`, from the canvas's teardown, before the panes are saved). A
// step on a live deploy that fails (a STUCK marker, an exit without a marker,
// a refusal or run cap, a start that fails) returns there too, with a pane
// line saying what failed and how to try again, and stays the session's
// failed step (`m_failedStep`), offered as the Live menu's first item ("Try
// the rollback again"…), which `retry` runs again below the transcript. A
// redeploy also goes on below what the pane showed (only the agent's
// conversation starts afresh). The git setting is saved only when a git change
// ends live. A project whose saved live address this user's deploy wrote
// opens live (`restoreLive`, read on the launcher's thread after the panes
// are restored; the restored Deploy pane becomes the session's), with the
// saved providers as the live deploy's (`liveProviders`), which every later
// step on it is recorded with, so every Roll back title has its providers and
// address. Each step that runs the agent is written down as it starts and
// ends (SystemAgentStepRecord, `.nerim/deploy-step.json`); a quit records it
// as interrupted at once. Only a record this Nerim wrote there counts at open
// (its own data folder vouches for it): any other offers no "Try … again",
// runs nothing and writes no history line, and the Deploy pane says it was
// set aside. The failed step stays offered until it is retried or another
// step ends: a card closed before it started anything leaves it. The
// env-var checklist's rows start from the saved `envDecisions` (a name
// without one on "send"). The saved settings are never read on the window's
// thread: the session keeps them as last read off it or as its own saves
// changed them (`m_config`).
//
// Seven files by job: DeploySession.cpp (held values, context, pane, the live
// deploy's lookups), DeploySessionSteps.cpp (beginning, retrying, cancelling,
// restoring), DeploySessionRuns.cpp (runs and output), DeploySessionMarkers.cpp
// (markers), DeploySessionCards.cpp (what the cards and the Live menu hand in),
// DeploySessionOperations.cpp (operations on the live deploy) and
// DeploySessionEnding.cpp (`finalize`, the history and saved settings, and the
// steps Nerim itself ends stuck).
class DeploySession : public QObject, public DeployCardSession, private SystemAgentFlow {
public:
    using Phase = DeploySessionState::Phase;

    // `toolsFolder`: where the providers' command-line tools are installed
    // (empty: "deploy-tools" in Nerim's data folder); `npmProgram`: the npm the
    // tool installer runs.
    DeploySession(CanvasSessionHost &host, QString toolsFolder, QString npmProgram);

    DeploySessionState &state() const override { return *m_state; }

    // Changes deploy-config.json (read, changed, revision + 1, written) on the
    // launcher's serial thread, so saves keep their order and never block the window.
    void saveConfig(std::function<void(DeployConfig &)> change);
    // The session's inputs for the project: shape from the last launch
    // command, the .env names, the package.json dependencies. The two files
    // are read off the GUI thread.
    QCoro::Task<DeployContext> makeContext(QList<DeployProvider> providers, DeployKind kind) const;
    // The pane the session records, when it is open.
    AgentPaneState *pane() const { return m_runs.pane(); }
    // Whether the running session works in this pane.
    bool isActiveIn(const QUuid &paneId) const { return m_runs.isActiveIn(paneId); }

    // `keepTranscript`: the new session goes on below what the pane showed
    // (a redeploy always does).
    QCoro::Task<> begin(QList<DeployProvider> providers, DeployKind kind, bool keepTranscript = false);
    // "Try again": a step on the live deploy that failed or was cut short is
    // retried as that step (its transcript kept); otherwise the deploy starts
    // again with the session's providers, else the project's saved ones.
    QCoro::Task<> retry();
    // The Live menu's item that retries the failed step ("Try the rollback
    // again"), while the session is back on its live deploy after it.
    std::optional<QString> retryStepTitle() const;
    // The user cancels what the session is doing (a card's close mark, the
    // Deploy pane closed): the run is stopped and the history gains a line of
    // that operation, outcome "cancelled", naming what was cancelled. A
    // redeploy, an operation, the env-var card or a domain step on a live
    // deploy returns to that live deploy (its Live menu and held tokens
    // stay); a first deploy ends cancelled.
    QCoro::Task<> cancel() override;
    // Opening the project: when the saved live address is one this user's own
    // deploy on this machine went live at, an idle session becomes live again
    // (read off the GUI thread; the restored Deploy pane, if any, is its pane).
    // It also finds a step an earlier Nerim never ended (a kill, a crash): a
    // history line and a pane line say it was interrupted, and a step on the
    // live deploy (like one that failed before the restart) can be tried again.
    QCoro::Task<> restoreLive();
    // Nerim closes the project while the session is active: the pane and the
    // history say what was interrupted (outcome "interrupted"); a step on the
    // live deploy returns to it and can be tried again after the restart.
    void endForQuit();
    // The file that records the step under way.
    static inline const QString stepFileName = QStringLiteral("deploy-step.json");

    // What the cards hand in (through DeployCardSession).
    QCoro::Task<> submitToken(QString name, QString value) override;
    QCoro::Task<> submitSecret(QString name, QString value) override;
    // Decisions per variable: "send", "skip" or "custom:" and a value.
    QCoro::Task<> applyEnvVarChecklist(QMap<QString, QString> decisions) override;
    QCoro::Task<> beginCustomDomain(QString domain) override;
    // The Live menu's env-var and domain items: switch a live session to the
    // phase whose card the Deploy pane shows. False (and nothing changes) when
    // there is no Deploy pane, no hosting provider or no live address.
    bool openEnvVarChecklist();
    bool openCustomDomainInput();
    // Whether the checklist now shown was opened from the Live menu for the live deploy.
    bool checklistFromLive() const override { return m_checklistFromLive.has_value(); }
    // The Live menu's Unpin: deploy-config.json loses its live address and
    // custom domain (nothing at all when there is no such file), and once that
    // is saved the session is reset to idle.
    void unpin();

    // A prompt the user typed to the Deploy pane while a session is active
    // goes to the Deploy agent, as a run of its own.
    bool isFollowUpTarget(const AgentPaneState *pane) const;
    QCoro::Task<> sendUserFollowUp(QString text);
    // The domain cards' close mark: in the domain step, the same as `cancel`
    // (back to the live deploy, the polling run stopped, the step recorded as
    // cancelled); nothing in any other phase.
    QCoro::Task<> closeDomainCard() override;

    // Operations on the live deploy.
    QCoro::Task<> beginRollback(DeployHistoryEntry entry);
    QCoro::Task<> beginGitConnect(bool enable);

    // Names of the tokens held for Deploy runs (values are never handed out).
    QStringList tokenNames() const;
    // Whether a name may be set in a Deploy run's environment.
    static bool isAllowedVariableName(const QString &name);
    // Leaving the project: the pasted tokens and values live no longer than the canvas.
    void forgetHeldValues();

private:
    using Snapshot = DeploySessionState::TerminalSnapshot;
    // Why a run is asked for.
    enum class RunFor {
        step,   // the agent goes on with the session's step (counted against the runs one step may start)
        answer, // the user's answer to what the running agent asked: it takes over from that run (counted)
        user,   // a prompt the user typed (not counted)
    };
    // What the agent asked for that Nerim refused.
    enum class Refused { token, secret };

    // What the pane's first turn shows in place of the long briefing.
    static inline const QString shownBriefing = QStringLiteral("(Nerim's deploy briefing)");

    static void logDeploy(const QString &text);
    static std::optional<DeployProvider> firstHosting(const QList<DeployProvider> &providers);
    static QStringList providerNames(const QList<DeployProvider> &providers);
    QString toolsFolder() const;
    // The live deploy to come back to after a domain step or an operation.
    std::optional<Snapshot> liveSnapshot() const;
    // The live address as the Live menu knows it: the live phase's, the
    // verified domain's, else the saved custom domain or frontend address
    // (only as this user's own deploy or verification saved it).
    std::optional<QString> liveURL() const;
    // The live phase to come back to: the session's own when it is live,
    // else the saved live deploy's.
    std::optional<Phase> livePhaseNow() const;
    // What the session is doing, for the lines saying it was cancelled:
    // "the rollback", "the redeploy", "the deploy"…
    QString activityName() const;
    // Reads the saved settings on the launcher's thread (after the saves
    // queued there) and keeps them unless this session changed them meanwhile.
    QCoro::Task<std::optional<DeployConfig>> readConfig();
    // Changes this user's own record of the project's deploys (off the window's thread).
    void recordOwn(std::function<void(DeployOwnRecord &)> change, const QString &what);
    // Appends a history line; a deployment that went live joins this user's record.
    void appendHistory(const DeployHistoryEntry &entry);
    // Redeploy's providers: the session's, else the saved ones, else Vercel.
    QList<DeployProvider> redeployProviders() const;
    // The provider whose token a run started now is given.
    std::optional<DeployProvider> runProvider() const;
    // Publishes whether a run goes or waits in the Deploy pane.
    void updateRunGoing();
    // Ends the hold on the values meant for the next runs, and with
    // `tokensToo` on the tokens as well.
    void dropHeldValues(bool tokensToo);
    // The phase of the operation or the custom-domain step under way (also
    // while the agent waits for a token or a value on the way); nothing during
    // a deploy.
    std::optional<Phase> flowPhase() const;
    // Writes the history line of a session that went live while its run went
    // on, with the deployment id the run printed after its live address (if any).
    void writeLiveEntryAwaitingID();
    bool openLiveCard(const Phase &live);
    QCoro::Task<> installTools(QList<DeployProvider> providers, quint64 serial);
    // Ends the session in a terminal phase: history line, activity log, and on
    // live the saved settings.
    // A step on the live deploy that fails or is interrupted returns to that
    // deploy, with a pane line saying what failed and how to try again.
    void finalize(const Phase &phase, const std::optional<QString> &reason, bool interrupted = false);
    // The step under way is written down (see SystemAgentStepRecord).
    void recordStep(SystemAgentStepRecord record);
    // What a step is called in the pane's lines: "the rollback", "connecting to git"…
    static QString stepName(const SystemAgentStepRecord &record);
    QCoro::Task<> retryStep(SystemAgentStepRecord step);
    // Starts a run of the agent now, or after the running one ends. Once the
    // step has asked for as many runs as one step may start, the session ends
    // stuck instead.
    void sendFollowUp(const QString &text, RunFor why = RunFor::step);
    // Counts the run about to be asked for; false (and the session ended stuck) past the limit.
    bool countRun();
    QCoro::Task<> startRun(QString task, bool firstRun, bool typedByUser = false);
    // Answers a request Nerim refused with `reply`; after a few refusals in one
    // step the session ends stuck with a line saying what was refused and what
    // the user can do.
    void answerRefusal(Refused what, const QString &name, const QString &reply);
    // Nerim ends the step stuck: the pane and the pill say why (`key`: the history's reason).
    void stopStuck(const QString &reason, const QString &key);
    // The providers of the live deploy: those it went live with in this
    // session or was restored with, else the saved ones, else the session's.
    QList<DeployProvider> liveProviders() const;

    // The agent's runs (SystemAgentFlow).
    bool isActive() const override { return m_state->phase().isActive(); }
    bool isPreparing() const override { return m_state->phase().kind() == Phase::Kind::preparing; }
    QString phaseDescription() const override { return m_state->phase().debugDescription(); }
    bool isWaitingForUser() const override;
    std::optional<QUuid> paneId() const override { return m_state->deployPaneID(); }
    void setPaneId(const QUuid &id) override { m_state->setDeployPaneID(id); }
    void handleStdoutLine(const QString &line, AgentPaneState *pane) override;
    // A secret or a custom value was for that run only.
    void handleRunOver() override;
    void handleNotStarted(AgentPaneState *pane, NotStarted why) override;
    void handleRunEnded(AgentPaneState *pane, bool inSessionPane) override;
    // Output of a Deploy run with every held value masked.
    QString shownOutput(const QString &text) const override;
    bool isMarkerLine(const QString &line) const override { return DeployMarkers::parse(line).has_value(); }
    void handleSignal(const DeployMarkers::Signal &signal, AgentPaneState *pane);
    // The Deploy pane for a value a card hands in: only in the `expected`
    // phase and for the variable the agent asked for (else a log line), and
    // only while the pane is open.
    AgentPaneState *paneForValue(Phase::Kind expected, const QString &name, const QString &operation,
                                 const QString &valueKind) const;
    // A name that may not be set in a Deploy run's environment (and a log line saying so).
    static bool refusesVariable(const QString &name);
    // The providers whose token variables the agent may ask for.
    QList<DeployProvider> sessionProviders() const;
    QCoro::Task<> beginOperation(ProviderTask task, DeployProvider provider, Snapshot snapshot);

    CanvasSessionHost &m_host;
    const QString m_toolsFolder;
    const QString m_npmProgram;
    DeploySessionState *m_state;
    SystemAgentRuns m_runs;

    // The tokens the user pasted, by provider: each given to that provider's
    // runs only (never to Nerim's own environment, nor another child's).
    DeployRuns::HeldTokens m_tokens;
    // Values for the next Deploy run only (a secret, "custom:" checklist values),
    // and those of the run in progress, dropped when it ends.
    QHash<QString, QString> m_nextRunValues;
    QHash<QString, QString> m_runValues;
    // Values of a run still going after its session ended, masked until it exits.
    QStringList m_maskedUntilRunEnds;
    std::optional<std::pair<DeployProvider, QString>> m_pendingDeploymentID;
    // The history line of a session that went live without a deployment id
    // while its run still goes: written when a DEPLOYMENT_ID marker of that
    // run names one, or when the run is over. `rollbackPoint`: the session
    // made a deployment (not a git, env-var or domain change).
    struct LiveEntry {
        DeployHistoryEntry entry;
        bool rollbackPoint = true;
    };
    std::optional<LiveEntry> m_liveEntryAwaitingID;
    // The operation on the live deploy this session carries out: its
    // runningOperation phase (task, provider and the live deploy it returns to).
    std::optional<Phase> m_operation;
    // The custom domain being added: its customDomainVerifying phase as it
    // stands (the live deploy, the domain the user typed, the records reported for it).
    std::optional<Phase> m_domainFlow;
    // The checklist was opened from the Live menu: its answer updates the live deploy.
    std::optional<Snapshot> m_checklistFromLive;
    // The live deploy (its live or customDomainVerified phase) that a
    // cancelled redeploy, operation, checklist or domain step returns to.
    std::optional<Phase> m_returnTo;
    // The providers the live deploy went live with (or the project opened live with).
    QList<DeployProvider> m_liveProviders;
    // The step under way as written down, and the step on the live deploy
    // that failed (or was cut short), which "Try again" retries.
    std::optional<SystemAgentStepRecord> m_step;
    std::optional<SystemAgentStepRecord> m_failedStep;
    // It was read from the project's folder at open: only what this user's
    // own records vouch for is retried from it (see retryStep).
    bool m_failedStepFromDisk = false;
    // Bumped by every context read, so only the latest one lands.
    quint64 m_contextReads = 0;
    // The project's saved deploy settings (with this user's own record
    // attached) as this session knows them, so the window never waits on the
    // file: read off the window's thread at open, at each deploy's start and
    // when the env-var card opens, and changed here as each save of this
    // session's is queued. Bumped by every such change, so a read begun
    // before it does not land.
    std::optional<DeployConfig> m_config;
    quint64 m_configChanges = 0;
    // The tool installs of the session being prepared stop when it goes.
    QPointer<QObject> m_installStopper;
};

} // namespace nerim
