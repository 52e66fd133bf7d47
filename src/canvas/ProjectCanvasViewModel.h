#pragma once

#include "canvas/CanvasVoiceInput.h"
#include "canvas/PanesSaveSchedule.h"
#include "canvas/PromptDraftKeeper.h"
#include "sessions/DeploySession.h"
#include "sessions/RepairSession.h"

#include "agents/AgentNames.h"
#include "agents/AgentOutput.h"
#include "agents/AgentPaneState.h"
#include "agents/AgentProvider.h"
#include "agents/ModelPreferenceState.h"
#include "panes-store/PanesSaver.h"
#include "panes-store/PanesSnapshot.h"
#include "panes-store/PanesSnapshotStore.h"
#include "agents/ProjectAwareness.h"
#include "foundation/SerialExecutor.h"
#include "launcher/DevServerRunner.h"
#include "launcher/LaunchPlan.h"
#include "persistence/AppState.h"
#include "persistence/ContextEntry.h"
#include "persistence/ProjectDataFolder.h"
#include "persistence/PromptTarget.h"
#include "plans/PlanState.h"
#include "preview/PreviewState.h"
#include "routing/IntentProcessorService.h"
#include "routing/LocalCommands.h"
#include "routing/PromptWords.h"
#include "voice/HapticPerformer.h"
#include "voice/SoundCueService.h"
#include "voice/VoiceHotkeyMonitor.h"
#include "voice/VoiceNarratorService.h"
#include "voice/VoiceState.h"
#include "voice/VoiceTranscribing.h"

#include <QCoro/QCoroTask>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QUuid>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

namespace nerim {

class AppStateActor;
class PlansAgentService;
class PlansWorkspaceStore;
class ProjectContextActor;

// What a canvas controller uses besides its agent provider; every member has a default.
struct CanvasServices {
    using Router = std::function<QCoro::Task<IntentProcessorService::RouteResult>(
        QString utterance, QList<IntentProcessorService::PaneDescriptor> panes)>;

    SoundCueService *soundCues = nullptr;     // null: SoundCueService::shared()
    VoiceNarratorService *narrator = nullptr; // null: VoiceNarratorService::shared()
    HapticPerformer *haptics = nullptr;       // null: HapticPerformer::shared()
    AppActivitySource *activity = nullptr;    // null: AppActivitySource::shared()
    Router router;                            // empty: the lazily created intent processor
    // Running the app
    // The development server's shell and stop timing; none: the runner's defaults.
    std::optional<DevServerRunner::Options> devServerOptions;
    // Repair
    // How long a fixed session shows "fixed" before the banner goes back to idle.
    static constexpr std::chrono::milliseconds defaultRepairFixedToIdleDelay{5000};
    // How long a restarted app may take to give its address before the retry counts as failed.
    static constexpr std::chrono::milliseconds defaultRepairRetryWatchdog{120000};
    std::chrono::milliseconds repairFixedToIdleDelay = defaultRepairFixedToIdleDelay;
    std::chrono::milliseconds repairRetryWatchdog = defaultRepairRetryWatchdog;
    // Deploy
    // Where the providers' command-line tools are installed; empty: "deploy-tools" in Nerim's data folder.
    QString deployToolsFolder;
    // The npm program the tool installer runs (a name looked up on PATH, or a path).
    QString npmProgram = QStringLiteral("npm");
    std::chrono::milliseconds justSubmittedDuration{450};
    std::chrono::milliseconds draftSaveDelay{400};
    // At most how long a pane's new output (an agent printing) waits to be saved.
    std::chrono::milliseconds panesOutputSaveDelay{2000};
    // ...and saved at once when the panes' output not yet saved passes this
    // many bytes of text, so a flood is saved in pieces of about this size
    // while it streams, and what a quit has left to save stays small.
    qint64 panesOutputSaveBytes = qint64(2) * 1024 * 1024;
    // A panes save that failed is tried again after this long, twice as long
    // after each further failure, up to the cap, until one works.
    std::chrono::milliseconds panesSaveRetryDelay{1000};
    std::chrono::milliseconds panesSaveRetryCap{30000};
    // At a teardown, a panes save that fails is tried again (from the retry
    // delay on, twice as long each time) for this long before the question.
    std::chrono::milliseconds panesTeardownRetryWindow{5000};

    // Voice input
    using TranscriberFactory = CanvasVoiceInput::TranscriberFactory;
    using HotkeyFactory = CanvasVoiceInput::HotkeyFactory;
    // Asked once, when the controller is given no transcriber; may give none.
    TranscriberFactory transcriberFactory; // empty: makeVoiceTranscriber()
    HotkeyFactory hotkeyFactory;           // empty: a monitor on the monotonic clock
};

// The hub of one open project: it owns the project's agent panes, the agent
// provider and every per-project state object, takes each prompt the user
// submits and routes it (local phrases, pane addresses, the router for several
// panes), runs the agents, consumes their output in order and acts on their
// marker lines, records every run in the project's activity log, and keeps the
// panes, names and prompt draft across restarts. The repair loop and the deploy
// flow are sessions of their own (RepairSession, DeploySession, src/sessions),
// owned and hosted here and given only what they need of the controller; the
// views reach them through `repairSession()` and `deploySession()`. Dictation
// (CanvasVoiceInput), the prompt draft's file (PromptDraftKeeper) and the
// timing of the panes' saves (PanesSaveSchedule) are parts of their own,
// owned here; the controller's voice and draft members forward to them.
//
// The work is split by job over the ProjectCanvasViewModel*.cpp files: the
// state, start-up load and teardown (ProjectCanvasViewModel.cpp), panes and
// panes.json (Panes), prompts and routing (Prompts), a task agent's output
// (Output), the Plans agent (Plans) and running the app (Run); each file's
// top comment says how its part works. Sound, narration, haptics, the activity source, the router, timer
// lengths, the voice transcriber and the hotkey monitor are injectable
// (CanvasServices).
//
// Confined to the GUI thread. Assigning an observed field the value it already
// holds notifies nobody, except `panes`, `contextActor` and `appStateActor`,
// which notify on every assignment. File reads and writes, the project memory
// and the child processes' waits all happen off the GUI thread; the
// asynchronous operations are coroutines that resume on the GUI thread, check
// that the controller (and the pane they work on) still exists after every
// suspension, and never throw.
//
// Calling order: create, assign `appStateActor`, `bootstrap()` once, work,
// `teardown()` before the controller is discarded.
class ProjectCanvasViewModel : public QObject {
    Q_OBJECT

public:
    // Outcome of the start-up load.
    class BootstrapStatus {
    public:
        enum class Kind { failed, loading, ready };

        static BootstrapStatus failed(QString message) { return BootstrapStatus(Kind::failed, std::move(message)); }
        static BootstrapStatus loading() { return BootstrapStatus(Kind::loading, QString()); }
        static BootstrapStatus ready() { return BootstrapStatus(Kind::ready, QString()); }

        Kind kind() const { return m_kind; }
        const QString &message() const { return m_message; } // failed only

        friend bool operator==(const BootstrapStatus &, const BootstrapStatus &) = default;

    private:
        BootstrapStatus(Kind kind, QString message) : m_kind(kind), m_message(std::move(message)) {}
        Kind m_kind;
        QString m_message;
    };

    // Where a message for the Plans agent comes from. A message an agent handed
    // over is never read as a request to hand a plan step to a pane: agent
    // output (or a web page an agent echoes) must not be able to start agents.
    enum class PlansMessageOrigin { user, agentHandoff };

    using Services = CanvasServices;
    using Router = CanvasServices::Router;

    // The pane cap for spawned panes, counted over all open panes.
    static constexpr int paneCap = 3;

    // `provider`: the agent provider, else a new ClaudeCodeProvider for the
    // project folder. `voiceTranscriber`: else `makeVoiceTranscriber()`.
    ProjectCanvasViewModel(QString projectId, QString projectPath, QString projectDisplayName,
                           std::shared_ptr<AgentProvider> provider = {},
                           std::shared_ptr<VoiceTranscribing> voiceTranscriber = {}, Services services = {},
                           QObject *parent = nullptr);
    ~ProjectCanvasViewModel() override;

    // ---- Identity and owned objects -------------------------------------------------
    const QString &projectId() const { return m_projectId; }
    QUrl projectURL() const { return QUrl::fromLocalFile(m_projectPath); }
    const QString &projectPath() const { return m_projectPath; }
    const QString &projectDisplayName() const { return m_projectDisplayName; }
    // <project>/.nerim
    QString dataFolder() const;
    // The pane line that says no agent was started because the project folder is gone.
    static QString projectFolderMissingLine()
    {
        return QStringLiteral("[The project folder is missing — no agent was started]");
    }
    // Whether this canvas may write into the project's data folder: only after
    // the start-up load found it usable and while the memory has not failed.
    bool canWriteProjectData() const { return m_dataFolderUsable; }
    // Whether the start-up load found the project held by another Nerim (see
    // ProjectDataFolder): the canvas then shows it and writes nothing into
    // its data folder.
    bool isOpenElsewhere() const { return m_openElsewhere; }
    // The pane line that says so.
    static QString openElsewhereLine()
    {
        return QStringLiteral("[This project is open in another Nerim, so this window only shows it: nothing done "
                              "here is saved with the project. Close the other Nerim and open the project again to "
                              "work on it here.]");
    }
    // Whether the start-up load found the project folder gone: the canvas then
    // starts no agent and no server (the opening failure says why).
    bool isProjectFolderMissing() const { return m_projectFolderMissing; }

    AgentProvider &provider() const { return *m_provider; }
    const std::shared_ptr<VoiceTranscribing> &voiceTranscriber() const { return m_voice->transcriber(); }
    PreviewState &preview() const { return *m_preview; }
    PlanState &plan() const { return *m_plan; }
    ModelPreferenceState &modelPreference() const { return *m_modelPreference; }
    DevServerRunner &devServerRunner() const { return *m_devServerRunner; }
    // The Repair and Deploy sessions (src/sessions) this canvas owns and hosts:
    // the banner, the pill, the Live menu and the deploy cards talk to the
    // session they show through these.
    RepairSession &repairSession() const { return *m_repair; }
    DeploySession &deploySession() const { return *m_deploy; }

    // Created on first use, the same instance afterwards.
    PlansAgentService &plansAgent();
    PlansWorkspaceStore &plansWorkspace();
    IntentProcessorService &intentProcessor();
    VoiceHotkeyMonitor &voiceHotkey() { return m_voice->hotkey(); }

    // ---- Observed state ---------------------------------------------------------------
    const std::shared_ptr<ProjectContextActor> &contextActor() const { return m_contextActor; }
    const std::shared_ptr<AppStateActor> &appStateActor() const { return m_appStateActor; }
    void setAppStateActor(std::shared_ptr<AppStateActor> actor);

    const QList<AgentPaneState *> &panes() const { return m_panes; }
    // The user's own agents among the panes (the Repair and Deploy system panes
    // not counted): what the spawn control's counter shows. Follows `panesChanged`.
    int userPaneCount() const;
    const std::optional<QUuid> &focusedPaneId() const { return m_focusedPaneId; }
    const std::optional<QUuid> &expandedPaneId() const { return m_expandedPaneId; }
    qint64 nextAgentNumber() const { return m_nextAgentNumber; }

    const QString &inputPrompt() const { return m_inputPrompt; }
    void setInputPrompt(const QString &text);
    const PromptTarget &promptTarget() const { return m_promptTarget; }
    void setPromptTarget(const PromptTarget &target);

    const VoiceState &voiceState() const { return m_voice->state(); }
    void setVoiceState(const VoiceState &state) { m_voice->setState(state); }
    bool releaseRequestedDuringSetup() const { return m_voice->releaseRequestedDuringSetup(); }

    const BootstrapStatus &bootstrapStatus() const { return m_bootstrapStatus; }
    AppState::OutputMode outputMode() const { return m_outputMode; }
    bool justSubmitted() const { return m_justSubmitted; }
    // A submission is being routed and its prompt not yet taken; further submits
    // are ignored meanwhile (the prompt bar disables its send action).
    bool isSubmitting() const { return m_isSubmitting; }

    // ---- Plain state of running the app (the repair and deploy sessions read it too) -------
    const std::optional<LaunchPlan> &lastAttemptedLaunchPlan() const { return m_lastAttemptedLaunchPlan; }
    const std::optional<QString> &lastLaunchAttemptDetectionError() const { return m_lastLaunchAttemptDetectionError; }
    void setLastLaunchAttemptDetectionError(const std::optional<QString> &message);
    // Local addresses already offered to the preview from agent output.
    const QSet<QString> &snifferSuggestedURLs() const { return m_snifferSuggestedURLs; }
    const AgentNameMap &persistedAgentNames() const { return m_persistedAgentNames; }

    // ---- Set-up and teardown -------------------------------------------------------------
    // The start-up load: output mode, draft, plan, model, agent names, panes,
    // then the project memory, which alone decides `ready` or `failed`.
    QCoro::Task<> bootstrap();
    QCoro::Task<> setOutputMode(AppState::OutputMode mode);
    // What a teardown asks when something still cannot be saved after its
    // retries: `what` is empty for the panes, else what else is not saved
    // ("the plan conversation and the agent names"), and `reason` says why in
    // plain words. True to try once more (and again for a while), false to
    // leave it unsaved.
    using UnsavedPanesQuestion = std::function<QCoro::Task<bool>(QString what, QString reason)>;
    // Saves the panes (and a draft still waiting to be saved), ends every
    // pane's agent and empties the canvas. Idempotent. A panes save that
    // fails is tried again for a while (panesTeardownRetryWindow) with the
    // panes still shown; if it still fails, `unsaved` is asked (none: they
    // are left unsaved, logged), and the panes go only once they are saved
    // or left. The other saves of the project's data that are failing (the
    // plan, the model choice, the names, the draft…) are then waited for in
    // the same way before the project is let go.
    QCoro::Task<> teardown(UnsavedPanesQuestion unsaved = {});
    bool isTornDown() const { return m_tornDown; }

    // ---- Panes -------------------------------------------------------------------------------
    AgentPaneState *focusedPane() const;
    AgentPaneState *paneWithId(const QUuid &id) const;
    void focusPane(const QUuid &id);
    void selectPromptTarget(const PromptTarget &target);
    void toggleExpandedPane(const QUuid &id);
    void collapseIfExpanded(const QUuid &id);
    // A new agent pane, or none when `paneCap` panes are open.
    AgentPaneState *spawnPane(const QString &responsibility, AgentRole role);
    // Adds a pane built by the caller (the Deploy and Repair system panes), without the cap.
    void appendPane(AgentPaneState *pane);
    // A name over `maxAgentNameLength` characters is refused with
    // `agentNameTooLongLine()` in the pane.
    void renamePane(const QUuid &id, const QString &name);
    static constexpr qsizetype maxAgentNameLength = 32;
    static QString agentNameTooLongLine();
    void setPaneRole(const QUuid &id, AgentRole role);
    QCoro::Task<> closePane(QUuid id);
    bool needsPaneSelection() const;
    bool canSubmit() const;
    // `later` while agents print and at quit: see PanesFoldBack.
    void savePanes(PanesFoldBack foldBack = PanesFoldBack::whenDue);
    // The teardown's last panes save: waits for it, and tries `shown` again
    // while it fails (see teardown).
    QCoro::Task<> finishPanesSaves(PanesSnapshot shown, UnsavedPanesQuestion unsaved);
    // The teardown's wait for the data folder's failing saves (see teardown).
    QCoro::Task<> finishDataSaves(UnsavedPanesQuestion unsaved);
    // Output added to a pane is saved within `panesOutputSaveDelay`, or at
    // once past `panesOutputSaveBytes` (PanesSaveSchedule).
    void schedulePanesOutputSave();
    // Counts the text of the lines a pane (the sender) added since it was last counted.
    void notePaneOutput();
    // Adds a system line to every open pane, or keeps it for the first pane
    // opened when none is; the panes are then saved, so the line is too.
    void tellPanes(const QString &line);
    PanesSnapshot makePanesSnapshot() const;
    void persistAgentNames();
    // Hands the door to every writer of the canvas (nothing: none writes).
    void setDataFolder(std::shared_ptr<ProjectDataFolder> door);
    // A failed, recovered or refused write through the door, told in the panes.
    void dataFolderEvent(const ProjectDataFolder::Event &event);

    // The task panes by number, their numbers, and the lower-cased aliases
    // (custom names, then role words) to numbers. System panes are never addressed.
    QMap<int, AgentPaneState *> paneNumberIndex() const;
    OpenPaneNumbers paneNumbers() const;
    PaneNameTable paneNameAliases() const;

    // ---- Prompts ---------------------------------------------------------------------------
    QCoro::Task<> submitPrompt(ContextEntry::PromptSource source);
    QCoro::Task<> dispatchRoutedTasks(QList<IntentProcessorService::RoutedTask> tasks,
                                      QMap<int, AgentPaneState *> index, ContextEntry::PromptSource source);
    QCoro::Task<> sendToPane(AgentPaneState *pane, QString prompt, ContextEntry::PromptSource source);
    QCoro::Task<QList<ContextEntry>> recentContextEntries(int count);
    QCoro::Task<ProjectAwareness> makePaneAwareness(AgentRole role);
    ProjectAwareness makeProjectAwareness() const;

    // ---- Plan steps and several agents ---------------------------------------------------
    QCoro::Task<> handPlanStep(int stepNumber, AgentReference reference, QMap<int, AgentPaneState *> index,
                               PaneNameTable aliases, ContextEntry::PromptSource source);
    AgentPaneState *resolveHandoverPane(const AgentReference &reference, const QMap<int, AgentPaneState *> &index,
                                        const PaneNameTable &aliases) const;
    void spawnAgents(int requested);

    // ---- Agent output ----------------------------------------------------------------------
    // One event of a pane's agent, in stream order (called by the pane's consumer).
    void handleAgentOutput(const AgentOutput &event, AgentPaneState *pane);
    void reportMemoryWriteFailure(const QString &kind, const QString &agentId, std::exception_ptr error);

    // ---- Prompt draft (PromptDraftKeeper) ----------------------------------------------
    // Called after every change of the prompt text (by the prompt bar and voice input).
    void scheduleDraftSave() { m_draft->schedule(m_inputPrompt); }
    void clearPromptDraft() { m_draft->clear(); }
    bool hasPendingDraftSave() const { return m_draft->hasPendingSave(); }

    // ---- Plans, running the app and voice ---------------------------------
    // Plans agent
    // One turn of the Plans conversation: the message is recorded, the agent
    // answers, a revised plan is applied and overview.md rewritten; every
    // failure ends as one sentence in the plan's `lastError`. A message arriving
    // while a reply is generated is dropped, except an agent's hand-off, which
    // waits and is sent when the reply ends.
    // `fromPane`: the pane whose agent printed a hand-off (agentHandoff only).
    QCoro::Task<> sendPlansMessage(QString text, PlansMessageOrigin origin = PlansMessageOrigin::user,
                                   AgentPaneState *fromPane = nullptr);
    QCoro::Task<> performPlanCommand(PlanCommand command);
    // Writes the plan and the conversation into Markdown files under .nerim/plans.
    QCoro::Task<> organizePlans();
    // The sentence the Plans panel shows for a failure text of the Plans agent.
    static QString plansErrorMessage(const QString &failure);
    // Why the last message of a restored conversation has no answer, in the
    // plan's `lastError`, so the panel never shows it without a word.
    void explainUnansweredPlansMessage();
    static QString plansKeyMissingMessage();
    static QString plansUnansweredMessage()
    {
        return QStringLiteral("Your last message got no answer. Send it again to ask the Plans agent once more.");
    }
    // The agents' hand-offs waiting for the Plans agent's reply, oldest first.
    QStringList pendingPlansHandoffs() const;
    // The pane lines that say a waiting hand-off was dropped.
    static QString handoffReplacedLine()
    {
        return QStringLiteral("[An earlier hand-off to Plans from this run was replaced by the newest one]");
    }
    static QString handoffRepeatedLine()
    {
        return QStringLiteral("[The same hand-off is already waiting for Plans \u2014 not sent again]");
    }
    // Running the app
    // Shows the preview, asks the project-type detector (off the GUI thread) how
    // to start the project and starts its development server; a folder it
    // cannot start ends as the preview's error. Returns once the server has
    // been launched (or not); the runner's two callbacks report the rest.
    QCoro::Task<> runApp();
    void performPreviewCommand(PreviewCommand command);
    void showLaunchDetectionError(const QString &message);
    // Whether a Repair or Deploy pane takes what the user types now (its session runs).
    bool systemPaneTakesPrompts(const AgentPaneState *pane) const;
    // Voice input
    // The hotkey's action: starts a dictation (unless there is no transcriber
    // or a pane must be chosen first), or stops the one under way (always).
    void toggleVoiceInput() { m_voice->toggle(); }
    QCoro::Task<> startVoiceInput() { return m_voice->start(); }
    QCoro::Task<> stopVoiceInput() { return m_voice->stop(); }
    // Puts a transcript where the user is writing: the Plans draft while its
    // field has the focus, else the prompt (with a draft save), joined to what
    // is there by one space. Blank text changes nothing.
    void insertTranscript(const QString &transcript);

    // ---- Texts -----------------------------------------------------------------------------
    static QString roleDisplayName(AgentRole role);
    static QString busyLine(const QString &agentName);
    static QString systemPaneLine(const QString &agentName);
    static QString handoverPrompt(int stepNumber, const PlanStep &step);
    // The payload of a hand-off marker in a trimmed line, if any.
    static std::optional<QString> parsePlansHandoffMarker(const QString &trimmedLine);
    // The payload of a plan-step marker in a trimmed line, cleaned; none when empty or absent.
    static std::optional<QString> planStepMarkerPayload(const QString &trimmedLine);
    // The plan step a plan-step marker names: its UUID, or the first not-done
    // step with the same title (else the last such step).
    static std::optional<QUuid> planStepForMarker(const QString &trimmedLine, const QList<PlanStep> &steps);

signals:
    void contextActorChanged();
    void appStateActorChanged();
    void panesChanged();
    void focusedPaneIdChanged();
    void expandedPaneIdChanged();
    void nextAgentNumberChanged();
    void inputPromptChanged();
    void promptTargetChanged();
    void voiceStateChanged();
    void releaseRequestedDuringSetupChanged();
    void bootstrapStatusChanged();
    void outputModeChanged();
    void justSubmittedChanged();
    void isSubmittingChanged();
    void lastLaunchAttemptDetectionErrorChanged();

private:
    class SubmitGuard;
    class SessionHost;

    void setPanes(QList<AgentPaneState *> panes);
    void setFocusedPaneId(const std::optional<QUuid> &id);
    void setExpandedPaneId(const std::optional<QUuid> &id);
    void setNextAgentNumber(qint64 number);
    void setBootstrapStatus(const BootstrapStatus &status);
    void setOutputModeValue(AppState::OutputMode mode);
    void setJustSubmitted(bool value);
    void setIsSubmitting(bool value);
    void setContextActor(std::shared_ptr<ProjectContextActor> actor);

    bool isOpen(const AgentPaneState *pane) const { return pane && m_panes.contains(const_cast<AgentPaneState *>(pane)); }
    void setLastAttemptedLaunchPlan(const std::optional<LaunchPlan> &plan) { m_lastAttemptedLaunchPlan = plan; }
    // Ends a pane's agent as the user's doing: consumer and session first, then
    // the process, then one `userKilled` exit in the activity log.
    QCoro::Task<> stopPaneAgent(AgentPaneState *pane);
    // Cancels the pane's output consumer and forgets its session, so the exit of
    // a process about to be stopped is never handled as a run; gives that session.
    std::optional<AgentSession> detachAgentRun(AgentPaneState *pane);
    // The one consumer of a pane's agent output: every event goes to `handler`
    // while the controller and the pane live; a consumer already on the pane is cancelled.
    using OutputHandler = std::function<void(const AgentOutput &, AgentPaneState *)>;
    void startStreamConsumer(std::shared_ptr<AgentOutputStream> stream, AgentPaneState *pane, OutputHandler handler);
    void handleStdoutLine(const QString &line, AgentPaneState *pane);
    void handleProcessExit(qint32 exitCode, AgentPaneState *pane);
    QCoro::Task<> recordAgentRunEnd(QString agentId, QString agentName, QStringList stdoutLines, qint32 exitCode);
    // Appends entries to the project memory now, in order, and reports each failed save.
    QCoro::Task<> appendToMemory(QList<ContextEntry::Payload> payloads, QString agentId);
    void sniffPreviewURL(const QString &line);
    void giveSubmitFeedback();
    void takePrompt(const QString &submittedText);
    // Plans agent
    QString plansProjectHeader() const;
    QCoro::Task<> converseWithPlans(QString trimmed);
    QCoro::Task<> routeAutomatically(QString text, QString submittedText, ContextEntry::PromptSource source,
                                     std::shared_ptr<SubmitGuard> guard);
    void playCue(SoundCueService::Cue cue);
    void speak(const QString &text);
    void performHaptic(HapticPerformer::Pattern pattern);
    void runnerURLDetected(const QUrl &url);
    void runnerFailureDetected(const DetectedFailure &failure);
    // Running the app
    // One thread for the launcher's file work (detection, the saved launch
    // command, deploy-config.json, .env), so that such work keeps its order:
    // a command saved before a start is seen by that start.
    SerialExecutor &launchWork();

    const QString m_projectId;
    const QString m_projectPath;
    const QString m_projectDisplayName;
    Services m_services;

    std::shared_ptr<AgentProvider> m_provider;
    std::shared_ptr<ProjectContextActor> m_contextActor;
    std::shared_ptr<AppStateActor> m_appStateActor;

    QList<AgentPaneState *> m_panes;
    std::optional<QUuid> m_focusedPaneId;
    std::optional<QUuid> m_expandedPaneId;
    qint64 m_nextAgentNumber = 1;
    QString m_inputPrompt;
    BootstrapStatus m_bootstrapStatus = BootstrapStatus::loading();
    AppState::OutputMode m_outputMode = AppState::OutputMode::verbose;
    bool m_justSubmitted = false;
    bool m_isSubmitting = false;
    PromptTarget m_promptTarget = PromptTarget::automatic();

    QTimer m_justSubmittedTimer;
    // When the panes are saved besides the events that change them, and the retries.
    std::unique_ptr<PanesSaveSchedule> m_panesSaves;
    // Holds the project against a second Nerim while this canvas lives.
    // The project's data folder door (nothing before the load, after a failed
    // memory and after the teardown).
    std::shared_ptr<ProjectDataFolder> m_dataFolder;
    bool m_openElsewhere = false;
    std::unique_ptr<PromptDraftKeeper> m_draft;

    PreviewState *m_preview;
    PlanState *m_plan;
    ModelPreferenceState *m_modelPreference;
    DevServerRunner *m_devServerRunner;

    std::unique_ptr<PlansAgentService> m_plansAgent;
    std::unique_ptr<PlansWorkspaceStore> m_plansWorkspace;
    std::unique_ptr<IntentProcessorService> m_intentProcessor;
    std::unique_ptr<CanvasVoiceInput> m_voice;
    // Plans agent
    // At most one waiting hand-off per pane run (the latest): a run that prints
    // hand-off lines while Plans answers costs one more call, not one per line.
    void queuePlansHandoff(const QString &trimmed, AgentPaneState *fromPane);
    struct PendingHandoff {
        QString text;
        QUuid paneId;
        QUuid run; // the session of the run that printed it; null when unknown
    };
    QList<PendingHandoff> m_pendingPlansHandoffs;

    std::optional<LaunchPlan> m_lastAttemptedLaunchPlan;
    std::optional<QString> m_lastLaunchAttemptDetectionError;
    // Running the app
    std::unique_ptr<SerialExecutor> m_launchWork;
    int m_runAppsInFlight = 0; // starts between detection and the server's launch
    quint64 m_launchDetections = 0; // detections begun (a saved start command counts only if none began since)
    QSet<QString> m_snifferSuggestedURLs;
    AgentNameMap m_persistedAgentNames;

    std::shared_ptr<PanesSnapshotStore> m_panesStore;
    // Why the saved panes could not be read, until a pane shows it.
    std::optional<QString> m_pendingPanesNotice;
    // The Repair and Deploy flows, and what they are given of this controller.
    std::unique_ptr<SessionHost> m_sessionHost;
    std::unique_ptr<RepairSession> m_repair;
    std::unique_ptr<DeploySession> m_deploy;
    // Saving starts once the saved panes have been restored, so an early save
    // never replaces the file with an empty canvas.
    bool m_panesRestored = false;
    bool m_bootstrapStarted = false;
    bool m_tornDown = false;
    // Set by the start-up load when the data folder passed its check, cleared
    // when the memory fails to open: a canvas whose memory failed writes
    // nothing into the project.
    bool m_dataFolderUsable = false;
    bool m_projectFolderMissing = false;
};

} // namespace nerim
