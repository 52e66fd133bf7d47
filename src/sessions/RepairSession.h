#pragma once

#include "sessions/CanvasSessionHost.h"
#include "sessions/RepairBannerCoordinator.h"
#include "sessions/SystemAgentRuns.h"
#include "sessions/SystemAgentStepRecord.h"
#include "foundation/Timestamp.h"
#include "launcher/DevServerRunner.h"
#include "launcher/LaunchOverride.h"
#include "repair/RepairContext.h"
#include "repair/RepairSessionState.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <chrono>
#include <optional>

namespace nerim {

// The repair loop of one canvas. When the user's app failed to start, a
// session of Nerim's Repair agent runs in the Repair system pane: it is given
// the failure, its output and the project, and talks back through marker
// lines, on which the loop restarts the app and judges the result, asks the
// user for a secret for .env, saves a start command, or ends stuck. Each
// session ends once, in the repair history and the activity log.
//
// Every follow-up to the agent (after a failed restart, after a secret, a
// prompt the user types to the Repair pane) is a new run in the pane. An
// agent's exit ends the session only while it is preparing or repairing:
// after its ready or ask-secret marker the agent's exit is expected. A
// follow-up run has role `code`, the session's completed turns as prior
// conversation with the first prompt restored, and the follow-up as its task.
// A stuck ending adds a pane line with the reason and how to start over; the
// ready marker's sentence around it stays in the pane. Closing the Repair
// pane cancels an active session first.
//
// Markers are acted on in stream order by the consumer itself (a stuck marker
// before the exit is what the history records). The ready marker restarts the
// app through `runApp`, and the retry always ends in a verdict: the runner's
// callbacks, or a detection error, a failed launch or an exit with neither
// address nor failure (judged from the runner's status), or the watchdog
// (`CanvasServices::repairRetryWatchdog`, 120 s). A clean exit of an `echo`
// command the agent saved in this session is the "nothing to start" fix.
//
// `canBegin()` is the banner's `isRepairable` and the condition of
// `makeContext`; after the agent saved a start command the context uses that
// command's plan. `bannerCoordinator()` gives the banner its closures (begin,
// cancel, retry from scratch, submit secret), each holding the session (and
// so the controller's lifetime) weakly.
//
// Owned and hosted by the canvas controller; the views reach it through the
// controller's accessor. GUI thread only.
class RepairSession : public QObject, private SystemAgentFlow {
public:
    RepairSession(CanvasSessionHost &host, std::chrono::milliseconds fixedToIdleDelay,
                  std::chrono::milliseconds retryWatchdog);

    RepairSessionState &state() const { return *m_state; }

    // Whether there is a failed start a session can work on: the runner's last
    // classified failure with the plan that was run (or the launch command the
    // agent saved since), or the last detection error. The banner's "Ask Nerim
    // to fix this" and `makeContext` both follow it.
    bool canBegin() const;
    std::optional<RepairContext> makeContext() const;
    // The banner's closures, each holding this session weakly.
    RepairBannerCoordinator bannerCoordinator();
    // The Repair pane of the current (or last) session, when it is open.
    AgentPaneState *pane() const { return m_runs.pane(); }

    QCoro::Task<> begin();
    QCoro::Task<> cancel();
    // Nerim closes the project during a session: the pane and the history
    // say the repair was interrupted.
    void endForQuit();
    // Opening the project: a session an earlier Nerim never ended (a kill, a
    // crash) gets its history line and a pane line saying it was interrupted.
    QCoro::Task<> restoreInterrupted();
    // The file that records the session under way.
    static inline const QString stepFileName = QStringLiteral("repair-step.json");
    // After a session ended: forget it, begin afresh.
    QCoro::Task<> retryFromScratch();
    QCoro::Task<> submitSecret(QString name, QString value);

    // Whether a prompt aimed at this pane goes to the running session.
    bool isFollowUpTarget(const AgentPaneState *pane) const;
    // Hands a prompt the user typed to the agent (the prompt was taken).
    QCoro::Task<> sendUserFollowUp(QString text);
    // Whether the running session works in this pane.
    bool isActiveIn(const QUuid &paneId) const { return m_runs.isActiveIn(paneId); }

    // Running the app reports here. A detection has ended: the plan of a
    // launch command the agent saved is no longer the one to judge by.
    void forgetSavedCommandPlan() { m_overridePlan.reset(); }
    // The restarted app's outcome while the phase is retryingApp.
    void retrySucceeded(const QUrl &url);
    void retryFailed(const DetectedFailure &failure);
    // The restarted app ended or failed to launch without either runner callback.
    void judgeRetryRun();

private:
    // Who a follow-up comes from (`refused`: a marker Nerim could not act on);
    // it decides the log line and the pane line of a run that cannot start.
    enum class FollowUpKind { retry, secret, refused, user };
    struct FollowUp {
        QString text;
        FollowUpKind kind;
    };

    static void logRepair(const QString &text);
    // Ends the session: phase, history line, activity entry, and after a fix the return to idle.
    // `interrupted`: Nerim was closed during the session (outcome "interrupted").
    void finalize(const RepairSessionState::Phase &phase, const std::optional<QString> &reason,
                  bool interrupted = false);
    QCoro::Task<> startFirstRun(AgentPaneState *pane);
    // Starts a run of the agent now, or after the running one ends.
    void sendFollowUp(const QString &text, FollowUpKind kind);
    QCoro::Task<> startFollowUpRun(FollowUp followUp);

    // The agent's runs (SystemAgentFlow).
    bool isActive() const override { return m_state->phase().isActive(); }
    bool isPreparing() const override { return m_state->phase().kind() == RepairSessionState::Phase::Kind::preparing; }
    QString phaseDescription() const override { return m_state->phase().debugDescription(); }
    std::optional<QUuid> paneId() const override { return m_state->repairPaneID(); }
    void setPaneId(const QUuid &id) override { m_state->setRepairPaneID(id); }
    void handleStdoutLine(const QString &line, AgentPaneState *pane) override;
    bool isMarkerLine(const QString &line) const override;
    void handleNotStarted(AgentPaneState *pane, NotStarted why) override;
    void handleRunEnded(AgentPaneState *pane, bool inSessionPane) override;

    // A marker Nerim refused is answered by a new run, which counts as an
    // attempt while repairing. False (and the session ends stuck with
    // `stuckText`) once the session has refused as many requests as it has
    // attempts, or the attempts are used up.
    bool countRefusedRun(const QString &stuckText);
    // Nerim ends the session stuck: the pane says why (`key`: the history's reason).
    void stopStuck(const QString &reason, const QString &key);

    // The agent's marker lines, acted on in stream order.
    void handleReadyToRetry();
    void handleAskSecret(const QString &name, const QString &explanation);
    void handleLaunchOverride(const QString &command, AgentPaneState *pane);
    QCoro::Task<> saveLaunchOverride(LaunchOverride record, QPointer<AgentPaneState> pane);
    // Writes NAME=value to the project's .env off the GUI thread; the error's
    // sentence, or nothing on success.
    QCoro::Task<std::optional<QString>> appendSecretToEnv(QString name, QString value);

    CanvasSessionHost &m_host;
    const std::chrono::milliseconds m_fixedToIdleDelay;
    const std::chrono::milliseconds m_retryWatchdog;
    RepairSessionState *m_state;
    SystemAgentRuns m_runs;

    quint64 m_retrySerial = 0;    // one per restart of the app for a retry
    bool m_retryLaunched = false; // the retry's server start has begun
    bool m_secretInFlight = false;
    bool m_runnerWatched = false;
    std::optional<QString> m_savedCommand; // the launch command saved during this session
    // The session under way as written down (see SystemAgentStepRecord).
    std::optional<SystemAgentStepRecord> m_step;
    // The plan of the launch command the agent saved, until the next detection.
    std::optional<LaunchPlan> m_overridePlan;
};

} // namespace nerim
