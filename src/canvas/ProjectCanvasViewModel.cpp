// The controller's state, its creation, the start-up load, the output mode,
// the services made on first use, and the orderly end.
//
// The start-up load reads the draft, plan.json, model.json, agent-names.json
// and panes.json in one background job and applies them on the GUI thread;
// panes.json is not saved before the saved panes have been restored.
//
// One door to the data folder: the start-up load opens the project's `.nerim`
// once (ProjectDataFolder: beneath the project, with the writer lock), and
// every writer of the canvas and its sessions (agent-names.json, the draft,
// plan.json, model.json, the memory, step records, histories, deploy config,
// launch override, `.env`) writes through that door, which writes nothing for
// a Nerim that does not hold the project; the panes store is made read-only
// from its answer. Nothing more is written once the memory failed to open.
// A failed save through the door is retried by it and told in the panes
// (`dataFolderEvent`); the door is let go at the teardown, and with it the
// lock once every write queued with it has ended. A project folder that is gone is never made
// again: `checkWorkingDirectory` refuses a missing folder (Start blank makes
// its own folder first), and a canvas opened on a missing folder starts no
// agent (its pane says so), no server and no repair.
//
// `teardown` is idempotent; after it nothing saves panes.json again, and an
// agent whose spawn returns after its pane was closed (or the canvas left) is
// terminated at once. It looks every pane up again by id after each wait, so
// a pane that a running close deleted is never touched.
//
// The sessions see the controller only through CanvasSessionHost (the
// project, the launcher's serial thread, the development server and the
// remembered start, the preview, `runApp`), which extends SystemAgentHost
// (panes, the provider, the memory actor, the consumer, awareness, model);
// the private adapter here implements it, and neither session includes the
// controller's header. Calls go one way: controller -> sessions ->
// SystemAgentRuns -> host interface.
#include "canvas/ProjectCanvasViewModel.h"

#include "agents/ClaudeCodeProvider.h"
#include "agents/SavedPanes.h"
#include "sessions/DeploySession.h"
#include "sessions/RepairSession.h"
#include "foundation/BackgroundWork.h"
#include "foundation/Log.h"
#include "foundation/SerialFileWriter.h"
#include "persistence/AppStateActor.h"
#include "persistence/AtomicFileWriter.h"
#include "persistence/IntentProcessorConstants.h"
#include "persistence/MemoryError.h"
#include "persistence/ProjectContextActor.h"
#include "persistence/ProjectDataFolder.h"
#include "plans/PlansAgentService.h"
#include "plans/PlansWorkspaceStore.h"

#include <QCoro/QCoroFuture>
#include <QDir>
#include <QFileInfo>
#include <QPointer>

namespace nerim {

namespace {

// Everything the start-up load reads from the project's data folder, read off
// the GUI thread in one go.
struct SavedCanvasFiles {
    std::optional<QString> draft;
    // Set when the data folder passed its check; nothing else is read without it.
    bool dataFolderUsable = false;
    bool projectFolderMissing = false;
    PlanState::FileRead plan;
    SnapshotFileRead<ModelChoice> model;
    AgentNameMap agentNames;
    std::optional<PanesSnapshot> panes;
    // Set when panes.json could not be read: what the user is told.
    std::optional<QString> panesNotice;
    // The project's data folder door, and whether another Nerim holds it.
    std::shared_ptr<ProjectDataFolder> door;
    bool openElsewhere = false;
};

} // namespace

// What the Repair and Deploy sessions are given of the controller.
class ProjectCanvasViewModel::SessionHost final : public CanvasSessionHost {
public:
    explicit SessionHost(ProjectCanvasViewModel &canvas) : m_canvas(canvas) {}

    // The agents' runs
    const QList<AgentPaneState *> &panes() const override { return m_canvas.m_panes; }
    AgentPaneState *paneWithId(const QUuid &id) const override { return m_canvas.paneWithId(id); }
    bool isPaneOpen(const AgentPaneState *pane) const override { return m_canvas.isOpen(pane); }
    void appendPane(AgentPaneState *pane) override { m_canvas.appendPane(pane); }
    bool isTornDown() const override { return m_canvas.m_tornDown; }
    std::shared_ptr<AgentProvider> agentProvider() const override { return m_canvas.m_provider; }
    std::shared_ptr<ProjectContextActor> contextActor() const override { return m_canvas.m_contextActor; }
    std::optional<AgentSession> detachAgentRun(AgentPaneState *pane) override { return m_canvas.detachAgentRun(pane); }
    void startStreamConsumer(std::shared_ptr<AgentOutputStream> stream, AgentPaneState *pane,
                             OutputHandler handler) override
    {
        m_canvas.startStreamConsumer(std::move(stream), pane, std::move(handler));
    }
    QCoro::Task<QList<ContextEntry>> recentContextEntries(int count) override
    {
        return m_canvas.recentContextEntries(count);
    }
    ProjectAwareness projectAwareness() const override { return m_canvas.makeProjectAwareness(); }
    ModelChoice modelChoice() const override { return m_canvas.m_modelPreference->choice(); }

    // The sessions
    QString projectPath() const override { return m_canvas.m_projectPath; }
    bool writesProjectData() const override { return m_canvas.m_dataFolder && m_canvas.m_dataFolder->canWrite(); }
    std::shared_ptr<ProjectDataFolder> dataFolder() const override
    {
        return m_canvas.m_tornDown ? nullptr : m_canvas.m_dataFolder;
    }
    QUrl projectURL() const override { return m_canvas.projectURL(); }
    QString projectDisplayName() const override { return m_canvas.m_projectDisplayName; }
    SerialExecutor &launchWork() override { return m_canvas.launchWork(); }
    DevServerRunner &devServerRunner() override { return *m_canvas.m_devServerRunner; }
    PreviewState &preview() override { return *m_canvas.m_preview; }
    const std::optional<LaunchPlan> &lastAttemptedLaunchPlan() const override
    {
        return m_canvas.m_lastAttemptedLaunchPlan;
    }
    void setLastAttemptedLaunchPlan(const std::optional<LaunchPlan> &plan) override
    {
        m_canvas.setLastAttemptedLaunchPlan(plan);
    }
    const std::optional<QString> &lastLaunchAttemptDetectionError() const override
    {
        return m_canvas.m_lastLaunchAttemptDetectionError;
    }
    void setLastLaunchAttemptDetectionError(const std::optional<QString> &message) override
    {
        m_canvas.setLastLaunchAttemptDetectionError(message);
    }
    quint64 launchDetections() const override { return m_canvas.m_launchDetections; }
    bool isStartingApp() const override { return m_canvas.m_runAppsInFlight != 0; }
    QCoro::Task<> runApp() override { return m_canvas.runApp(); }

private:
    ProjectCanvasViewModel &m_canvas;
};

ProjectCanvasViewModel::ProjectCanvasViewModel(QString projectId, QString projectPath, QString projectDisplayName,
                                               std::shared_ptr<AgentProvider> provider,
                                               std::shared_ptr<VoiceTranscribing> voiceTranscriber, Services services,
                                               QObject *parent)
    : QObject(parent), m_projectId(std::move(projectId)), m_projectPath(std::move(projectPath)),
      m_projectDisplayName(std::move(projectDisplayName)), m_services(std::move(services)),
      m_preview(new PreviewState(this)), m_plan(new PlanState(this)), m_modelPreference(new ModelPreferenceState(this)),
      m_devServerRunner(m_services.devServerOptions ? new DevServerRunner(*m_services.devServerOptions, this)
                                                    : new DevServerRunner(this)),
      m_panesStore(std::make_shared<PanesSnapshotStore>(dataFolder() + QStringLiteral("/panes.json"))),
      m_sessionHost(std::make_unique<SessionHost>(*this)),
      m_repair(std::make_unique<RepairSession>(*m_sessionHost, m_services.repairFixedToIdleDelay,
                                               m_services.repairRetryWatchdog)),
      m_deploy(std::make_unique<DeploySession>(*m_sessionHost, m_services.deployToolsFolder, m_services.npmProgram))
{
    m_provider = provider ? std::move(provider) : std::make_shared<ClaudeCodeProvider>(m_projectPath);

    CanvasVoiceInput::Host voiceHost;
    voiceHost.needsPaneSelection = [this] { return needsPaneSelection(); };
    voiceHost.insertTranscript = [this](const QString &transcript) { insertTranscript(transcript); };
    voiceHost.playCue = [this](SoundCueService::Cue cue) { playCue(cue); };
    m_voice = std::make_unique<CanvasVoiceInput>(std::move(voiceHost), std::move(voiceTranscriber),
                                                 m_services.transcriberFactory, m_services.hotkeyFactory);
    connect(m_voice.get(), &CanvasVoiceInput::stateChanged, this, &ProjectCanvasViewModel::voiceStateChanged);
    connect(m_voice.get(), &CanvasVoiceInput::releaseRequestedDuringSetupChanged, this,
            &ProjectCanvasViewModel::releaseRequestedDuringSetupChanged);

    QPointer<ProjectCanvasViewModel> self(this);
    m_devServerRunner->onURLDetected = [self](const QUrl &url) {
        if (self)
            self->runnerURLDetected(url);
    };
    m_devServerRunner->onFailureDetected = [self](const DetectedFailure &failure) {
        if (self)
            self->runnerFailureDetected(failure);
    };

    m_justSubmittedTimer.setSingleShot(true);
    m_justSubmittedTimer.setInterval(m_services.justSubmittedDuration);
    connect(&m_justSubmittedTimer, &QTimer::timeout, this, [this] { setJustSubmitted(false); });
    m_draft = std::make_unique<PromptDraftKeeper>(m_services.draftSaveDelay);
    PanesSaveSchedule::Host panesHost;
    panesHost.canSave = [this] { return m_panesRestored && !m_tornDown; };
    panesHost.isTornDown = [this] { return m_tornDown; };
    panesHost.hasPanes = [this] { return !m_panes.isEmpty(); };
    panesHost.tellPanes = [this](const QString &line) { tellPanes(line); };
    panesHost.save = [this](PanesFoldBack foldBack) { savePanes(foldBack); };
    m_panesSaves = std::make_unique<PanesSaveSchedule>(
        std::move(panesHost),
        PanesSaveSchedule::Timing{m_services.panesOutputSaveDelay, m_services.panesOutputSaveBytes,
                                  m_services.panesSaveRetryDelay, m_services.panesSaveRetryCap});
    // Told on the writer's thread, handled on this one (dropped once the canvas is gone).
    m_panesStore->setListener([this](const PanesSaveEvent &event) {
        QMetaObject::invokeMethod(this, [this, event] { m_panesSaves->saveEvent(event); }, Qt::QueuedConnection);
    });
}

// Releasing the controller saves and terminates nothing: `teardown` is the orderly end.
ProjectCanvasViewModel::~ProjectCanvasViewModel()
{
    m_panesStore->setListener({});
    for (AgentPaneState *pane : std::as_const(m_panes)) {
        if (pane->streamConsumer())
            pane->streamConsumer()->cancel();
    }
}

QString ProjectCanvasViewModel::dataFolder() const
{
    QString project = m_projectPath;
    while (project.size() > 1 && project.endsWith(QLatin1Char('/')))
        project.chop(1);
    return project + QStringLiteral("/.nerim");
}

// ---- Observed setters ------------------------------------------------------------------------

void ProjectCanvasViewModel::setAppStateActor(std::shared_ptr<AppStateActor> actor)
{
    m_appStateActor = std::move(actor);
    emit appStateActorChanged();
}

void ProjectCanvasViewModel::setContextActor(std::shared_ptr<ProjectContextActor> actor)
{
    m_contextActor = std::move(actor);
    emit contextActorChanged();
}

void ProjectCanvasViewModel::setPanes(QList<AgentPaneState *> panes)
{
    // While an agent prints, what its pane shows is saved a moment later
    // (appended to the change log, off this thread), not only at its end.
    for (AgentPaneState *pane : std::as_const(panes)) {
        m_panesSaves->track(pane->id(), pane->outputLines().size());
        connect(pane, &AgentPaneState::outputLinesChanged, this, &ProjectCanvasViewModel::notePaneOutput,
                Qt::UniqueConnection);
        connect(pane, &AgentPaneState::conversationChanged, this, &ProjectCanvasViewModel::schedulePanesOutputSave,
                Qt::UniqueConnection);
    }
    m_panes = std::move(panes);
    emit panesChanged();
}

void ProjectCanvasViewModel::setFocusedPaneId(const std::optional<QUuid> &id)
{
    if (m_focusedPaneId == id)
        return;
    m_focusedPaneId = id;
    emit focusedPaneIdChanged();
}

void ProjectCanvasViewModel::setExpandedPaneId(const std::optional<QUuid> &id)
{
    if (m_expandedPaneId == id)
        return;
    m_expandedPaneId = id;
    emit expandedPaneIdChanged();
}

void ProjectCanvasViewModel::setNextAgentNumber(qint64 number)
{
    if (m_nextAgentNumber == number)
        return;
    m_nextAgentNumber = number;
    emit nextAgentNumberChanged();
}

void ProjectCanvasViewModel::setInputPrompt(const QString &text)
{
    if (m_inputPrompt == text)
        return;
    m_inputPrompt = text;
    emit inputPromptChanged();
}

void ProjectCanvasViewModel::setPromptTarget(const PromptTarget &target)
{
    if (m_promptTarget == target)
        return;
    m_promptTarget = target;
    emit promptTargetChanged();
}

void ProjectCanvasViewModel::setBootstrapStatus(const BootstrapStatus &status)
{
    if (m_bootstrapStatus == status)
        return;
    m_bootstrapStatus = status;
    emit bootstrapStatusChanged();
}

void ProjectCanvasViewModel::setOutputModeValue(AppState::OutputMode mode)
{
    if (m_outputMode == mode)
        return;
    m_outputMode = mode;
    emit outputModeChanged();
}

void ProjectCanvasViewModel::setJustSubmitted(bool value)
{
    if (m_justSubmitted == value)
        return;
    m_justSubmitted = value;
    emit justSubmittedChanged();
}

void ProjectCanvasViewModel::setIsSubmitting(bool value)
{
    if (m_isSubmitting == value)
        return;
    m_isSubmitting = value;
    emit isSubmittingChanged();
}

void ProjectCanvasViewModel::setLastLaunchAttemptDetectionError(const std::optional<QString> &message)
{
    if (m_lastLaunchAttemptDetectionError == message)
        return;
    m_lastLaunchAttemptDetectionError = message;
    emit lastLaunchAttemptDetectionErrorChanged();
}

// ---- Services made on first use -----------------------------------------------------------

PlansAgentService &ProjectCanvasViewModel::plansAgent()
{
    if (!m_plansAgent)
        m_plansAgent = std::make_unique<PlansAgentService>();
    return *m_plansAgent;
}

PlansWorkspaceStore &ProjectCanvasViewModel::plansWorkspace()
{
    if (!m_plansWorkspace)
        m_plansWorkspace = std::make_unique<PlansWorkspaceStore>(PlansWorkspaceStore::plansDirectoryFor(m_projectPath));
    return *m_plansWorkspace;
}

IntentProcessorService &ProjectCanvasViewModel::intentProcessor()
{
    if (!m_intentProcessor)
        m_intentProcessor = std::make_unique<IntentProcessorService>();
    return *m_intentProcessor;
}

// ---- Feedback ------------------------------------------------------------------------------

void ProjectCanvasViewModel::playCue(SoundCueService::Cue cue)
{
    (m_services.soundCues ? *m_services.soundCues : SoundCueService::shared()).play(cue);
}

void ProjectCanvasViewModel::speak(const QString &text)
{
    (m_services.narrator ? *m_services.narrator : VoiceNarratorService::shared()).speak(text);
}

void ProjectCanvasViewModel::performHaptic(HapticPerformer::Pattern pattern)
{
    const AppActivitySource &activity = m_services.activity ? *m_services.activity : AppActivitySource::shared();
    if (!activity.isApplicationActive())
        return;
    (m_services.haptics ? *m_services.haptics : HapticPerformer::shared()).perform(pattern);
}

// ---- Voice input -------------------------------------------------------------------------

void ProjectCanvasViewModel::insertTranscript(const QString &transcript)
{
    const QString text = transcript.trimmed();
    if (text.isEmpty())
        return;
    const auto joined = [&text](const QString &existing) {
        if (existing.isEmpty())
            return text;
        return existing.endsWith(QLatin1Char(' ')) ? existing + text : existing + QLatin1Char(' ') + text;
    };
    if (m_plan->isVisible() && m_plan->draftFieldFocused()) {
        m_plan->setDraftVision(joined(m_plan->draftVision()));
        return;
    }
    setInputPrompt(joined(m_inputPrompt));
    scheduleDraftSave();
}


// ---- Start-up load -------------------------------------------------------------------------

QCoro::Task<> ProjectCanvasViewModel::bootstrap()
{
    if (m_bootstrapStarted)
        co_return;
    m_bootstrapStarted = true;
    QPointer<ProjectCanvasViewModel> self(this);

    // 1. The application-wide output mode.
    if (const std::shared_ptr<AppStateActor> actor = m_appStateActor) {
        try {
            QFuture<AppState> reading = actor->state();
            const AppState state = co_await reading;
            if (!self)
                co_return;
            setOutputModeValue(state.preferences.outputMode);
        } catch (...) {
            // The canvas keeps its default mode.
        }
    }

    // 2-7. The draft, the data folder, the plan, the model, the agent names and
    // the panes, all read off the GUI thread; whatever is missing or unreadable
    // leaves its state as it is.
    const QString projectPath = m_projectPath;
    const QString folder = dataFolder();
    const std::shared_ptr<PanesSnapshotStore> panesStore = m_panesStore;
    QFuture<SavedCanvasFiles> reading = runInBackground([projectPath, panesStore] {
        SavedCanvasFiles files;
        files.projectFolderMissing = !QFileInfo(projectPath).isDir();
        // A project folder that is gone is not made again. The door sets
        // aside a data folder that was a link, a file or a pipe, and the user
        // is told; it takes the lock first: a project another Nerim holds is
        // only read.
        if (files.projectFolderMissing)
            return files;
        try {
            ProjectDataFolder::Opened opened = ProjectDataFolder::open(projectPath);
            if (!opened.notice.isEmpty())
                files.panesNotice = opened.notice;
            files.door = std::move(opened.folder);
        } catch (const std::exception &e) {
            logLine(QStringLiteral("[Nerim] Project data folder refused: %1").arg(QString::fromUtf8(e.what())));
            return files;
        }
        const QString checked = files.door->path();
        files.dataFolderUsable = true;
        files.openElsewhere = files.door->access() == ProjectDataFolder::Access::readOnly;
        if (files.openElsewhere)
            panesStore->setReadOnly();
        files.draft = PromptDraftKeeper::read(*files.door);
        files.plan = PlanState::readFile(checked + QStringLiteral("/plan.json"));
        files.model = ModelPreferenceState::readFile(checked + QStringLiteral("/model.json"));
        loadAgentNames(checked + QStringLiteral("/agent-names.json"), files.agentNames);
        files.panes = panesStore->load();
        if (const std::optional<QString> notice = panesStore->loadNotice())
            files.panesNotice = files.panesNotice ? *files.panesNotice + QLatin1Char(' ') + *notice : *notice;
        return files;
    });
    const SavedCanvasFiles files = co_await reading;
    if (!self)
        co_return;

    // Whatever the user typed while the project loaded wins over the saved draft.
    if (files.draft && m_inputPrompt.isEmpty())
        setInputPrompt(*files.draft);
    // A project another Nerim holds is shown as its files are, and nothing of
    // this canvas is written into its data folder.
    m_openElsewhere = files.openElsewhere;
    m_dataFolderUsable = files.dataFolderUsable && !m_openElsewhere;
    m_projectFolderMissing = files.projectFolderMissing;
    if (!m_tornDown)
        setDataFolder(files.door);
    if (files.dataFolderUsable) {
        m_plan->setPersistenceURL(folder + QStringLiteral("/plan.json"));
        m_plan->applyFileRead(files.plan);
        explainUnansweredPlansMessage();
        m_modelPreference->setPersistenceURL(QUrl::fromLocalFile(folder + QStringLiteral("/model.json")));
        m_modelPreference->applyFileRead(files.model);
        m_persistedAgentNames = files.agentNames;
    }

    bool tellingUnsaved = false;
    if (files.panes && !m_tornDown) {
        setNextAgentNumber(files.panes->nextAgentNumber);
        QList<AgentPaneState *> panes = m_panes;
        std::optional<QUuid> focus;
        std::optional<QUuid> expanded;
        QList<AgentPaneState *> restored;
        for (const PaneDiskSnapshot &saved : files.panes->panes) {
            AgentPaneState *pane = restorePane(saved, this);
            panes.append(pane);
            restored.append(pane);
            if (files.panes->focusedPaneId == pane->id())
                focus = pane->id();
            if (files.panes->expandedPaneId == pane->id())
                expanded = pane->id();
        }
        if (!focus && !panes.isEmpty())
            focus = panes.last()->id();
        setPanes(panes);
        setFocusedPaneId(focus);
        setExpandedPaneId(expanded);
        // A task the last Nerim never saw end was cut short by its end: the
        // pane says so (saved below, so that it is said once). A project
        // another Nerim holds is left alone: its agents may be at work.
        if (m_dataFolderUsable) {
            for (AgentPaneState *pane : std::as_const(restored))
                tellingUnsaved = tellTaskStoppedUnexpectedly(*pane) || tellingUnsaved;
        }
    }
    // An unreadable panes.json, or a project held by another Nerim, is told
    // in the pane area: in the pane in focus, or in the first pane the user
    // opens. The line is saved with the panes at once: the files it names
    // were set aside by the load, and a kill now must not lose the telling.
    QStringList notices;
    if (m_openElsewhere)
        notices.append(openElsewhereLine());
    if (files.panesNotice)
        notices.append(*files.panesNotice);
    m_pendingPanesNotice = notices.isEmpty() ? std::nullopt : std::optional<QString>(notices.join(u' '));
    m_panesRestored = true;
    if (m_pendingPanesNotice && !m_tornDown) {
        if (AgentPaneState *pane = m_focusedPaneId ? paneWithId(*m_focusedPaneId) : nullptr) {
            pane->appendLine(OutputLine::Kind::system, *m_pendingPanesNotice);
            m_pendingPanesNotice.reset();
            tellingUnsaved = true;
        }
    }
    if (tellingUnsaved)
        savePanes();
    // A project whose own deploy is live opens with its Live menu.
    QCoro::Task<> restoringLive = m_deploy->restoreLive();
    Q_UNUSED(restoringLive);
    // A repair an earlier Nerim never ended is told as interrupted.
    QCoro::Task<> restoringRepair = m_repair->restoreInterrupted();
    Q_UNUSED(restoringRepair);

    // 8. The project memory decides between ready and failed. A project
    // another Nerim holds keeps its memory to that one.
    if (m_openElsewhere) {
        setBootstrapStatus(BootstrapStatus::ready());
        co_return;
    }
    try {
        if (!m_dataFolder)
            throw MemoryError::projectDotfolderUnavailable(m_projectPath, QStringLiteral("it could not be opened"));
        QFuture<std::shared_ptr<ProjectContextActor>> opening = ProjectContextActor::open(
            m_projectPath, IntentProcessorConstants::appVersion(), Timestamp::now(), m_dataFolder);
        std::shared_ptr<ProjectContextActor> actor = co_await opening;
        if (!self)
            co_return;
        setContextActor(std::move(actor));
        setBootstrapStatus(BootstrapStatus::ready());
    } catch (...) {
        if (!self)
            co_return;
        // Nothing more is written into a project whose memory could not open.
        m_dataFolderUsable = false;
        m_plan->setPersistenceURL(std::nullopt);
        m_modelPreference->setPersistenceURL(QUrl());
        setDataFolder(nullptr);
        setBootstrapStatus(BootstrapStatus::failed(AtomicFileWriter::describeFailure(std::current_exception())));
    }
}

QCoro::Task<> ProjectCanvasViewModel::setOutputMode(AppState::OutputMode mode)
{
    setOutputModeValue(mode);
    const std::shared_ptr<AppStateActor> actor = m_appStateActor;
    if (!actor)
        co_return;
    try {
        QFuture<void> saving = actor->setOutputMode(mode);
        co_await saving;
    } catch (...) {
        logLine(QStringLiteral("[Nerim] Failed to persist output mode: %1")
                    .arg(AtomicFileWriter::describeFailure(std::current_exception())));
    }
}

// ---- Teardown ------------------------------------------------------------------------------

QCoro::Task<> ProjectCanvasViewModel::teardown(UnsavedPanesQuestion unsaved)
{
    if (m_tornDown)
        co_return;
    QPointer<ProjectCanvasViewModel> self(this);

    m_voice->end();

    // A draft typed in the last moments before leaving is written, not dropped.
    m_draft->flush();

    // A deploy step or a repair still under way says so in its pane and its history.
    m_deploy->endForQuit();
    m_repair->endForQuit();

    // No pane takes more output from here on, so the save below holds every
    // line shown, even those that would arrive while other agents are stopped.
    // A pane whose agent is at work says that its task stops here.
    for (AgentPaneState *pane : std::as_const(m_panes)) {
        tellTaskStoppedByClose(*pane);
        if (const std::shared_ptr<AgentStreamConsumer> consumer = pane->streamConsumer()) {
            consumer->cancel();
            pane->setStreamConsumer(nullptr);
        }
    }
    // What is not saved yet is appended to the change log: a fold-back that
    // is due waits for the next open, so the quit writes the panes whole only
    // when the log cannot take the change (see PanesFoldBack).
    savePanes(PanesFoldBack::later);
    // What the panes show now, for the retries of that save.
    std::optional<PanesSnapshot> shown;
    if (m_panesRestored && m_dataFolderUsable && !m_panesStore->isReadOnly())
        shown = makePanesSnapshot();
    // From here on nothing saves panes.json again: the file keeps every pane.
    m_tornDown = true;
    // The pasted tokens and values live no longer than the canvas.
    m_deploy->forgetHeldValues();

    // A close already under way may delete a pane during any of these waits,
    // so each pane is looked up again by its id after every wait.
    QList<QUuid> paneIds;
    for (const AgentPaneState *pane : std::as_const(m_panes))
        paneIds.append(pane->id());
    for (const QUuid &id : std::as_const(paneIds)) {
        AgentPaneState *pane = paneWithId(id);
        if (!pane || !pane->currentSession())
            continue;
        QCoro::Task<> stopping = stopPaneAgent(pane);
        co_await std::move(stopping);
        if (!self)
            co_return;
    }

    // The panes stay until their last save has worked, or been given up.
    if (shown) {
        QCoro::Task<> finishing = finishPanesSaves(std::move(*shown), unsaved);
        co_await std::move(finishing);
        if (!self)
            co_return;
    }

    const QList<AgentPaneState *> remaining = m_panes;
    setPanes({});
    setFocusedPaneId(std::nullopt);
    for (AgentPaneState *pane : remaining)
        pane->deleteLater();

    m_panesSaves->stopRetrying();
    QFuture<void> flushing = SerialFileWriter::shared().whenIdle();
    co_await flushing;
    if (!self)
        co_return;
    // The plan, model, names or draft whose saves still fail are waited for,
    // and put to the user, as the panes were.
    QCoro::Task<> finishingData = finishDataSaves(unsaved);
    co_await std::move(finishingData);
    if (!self)
        co_return;
    // The canvas lets go of the door: the lock goes once every write queued
    // with it (the launcher's thread, the memory actor, the serial writer)
    // has ended and let go of it too; then another Nerim may have the project.
    if (m_dataFolder)
        m_dataFolder->endRetries();
    setDataFolder(nullptr);
}

} // namespace nerim
