// Prompt submission and routing, sending a prompt to a pane, handing plan steps
// to panes, and spawning several agents.
//
// A submission counts as in flight (`isSubmitting`) until its prompt is taken
// or refused; further submits are ignored meanwhile, and text typed while the
// router decides stays in the prompt bar, which after a submission keeps only
// what was typed after it (the submitted text is taken out). Routed tasks are
// all checked before any send starts, and a pane given one task of a prompt
// counts as busy for the others. Task prompts never go to the Repair or Deploy
// system panes.
//
// Sending to a pane takes the session's stream right after the spawn, writes
// the two activity-log entries, then starts the consumer, so an agent that
// exits at once still reports every event. Entries of one moment are queued
// on the memory owner together, so they stay in order in the log.
#include "canvas/ProjectCanvasViewModel.h"

#include "agents/AgentError.h"
#include "sessions/PaneRuns.h"
#include "sessions/DeploySession.h"
#include "sessions/RepairSession.h"
#include "foundation/UuidText.h"
#include "persistence/ProjectContextActor.h"
#include "plans/PlansWorkspaceStore.h"
#include "routing/LocalCommandMatchers.h"

#include <QCoro/QCoroFuture>
#include <QPointer>
#include <vector>

namespace nerim {

namespace {

// Which plan files an agent of a role is shown: "overview.md" always, else the
// files whose lower-cased names contain one of the role's words; a role
// without words sees every file.
const QStringList &workspaceKeywords(AgentRole role)
{
    static const QStringList none;
    static const QStringList designer{
        QStringLiteral("design"), QStringLiteral("ui"),     QStringLiteral("ux"),    QStringLiteral("landing"),
        QStringLiteral("page"),   QStringLiteral("component"), QStringLiteral("layout"), QStringLiteral("style"),
        QStringLiteral("brand"),  QStringLiteral("color"),  QStringLiteral("typography")};
    static const QStringList backend{
        QStringLiteral("backend"), QStringLiteral("api"),      QStringLiteral("auth"),       QStringLiteral("server"),
        QStringLiteral("endpoint"), QStringLiteral("route"),   QStringLiteral("payment"),    QStringLiteral("stripe"),
        QStringLiteral("middleware"), QStringLiteral("integration")};
    static const QStringList research{QStringLiteral("research"), QStringLiteral("note"), QStringLiteral("doc"),
                                      QStringLiteral("reference"), QStringLiteral("brief")};
    static const QStringList dbSchema{
        QStringLiteral("db"),        QStringLiteral("database"), QStringLiteral("schema"),   QStringLiteral("table"),
        QStringLiteral("migration"), QStringLiteral("supabase"), QStringLiteral("postgres"), QStringLiteral("sql"),
        QStringLiteral("erd")};
    switch (role) {
    case AgentRole::designer: return designer;
    case AgentRole::backend: return backend;
    case AgentRole::research: return research;
    case AgentRole::dbSchema: return dbSchema;
    case AgentRole::unspecified:
    case AgentRole::ui:
    case AgentRole::code:
    case AgentRole::deploy: return none;
    }
    return none;
}

bool isShownToRole(const QString &filename, AgentRole role)
{
    const QStringList &keywords = workspaceKeywords(role);
    if (keywords.isEmpty() || filename == QStringLiteral("overview.md"))
        return true;
    const QString lower = filename.toLower();
    for (const QString &keyword : keywords)
        if (lower.contains(keyword))
            return true;
    return false;
}

QString errorDescription(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const AgentError &e) {
        return e.description();
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
    }
    return QStringLiteral("unknown error");
}

} // namespace

// Marks a submission as being routed until its prompt is taken or refused.
class ProjectCanvasViewModel::SubmitGuard {
public:
    explicit SubmitGuard(ProjectCanvasViewModel *owner) : m_owner(owner) { owner->setIsSubmitting(true); }
    ~SubmitGuard() { release(); }
    SubmitGuard(const SubmitGuard &) = delete;
    SubmitGuard &operator=(const SubmitGuard &) = delete;

    void release()
    {
        if (!m_released && m_owner)
            m_owner->setIsSubmitting(false);
        m_released = true;
    }

private:
    QPointer<ProjectCanvasViewModel> m_owner;
    bool m_released = false;
};

QString ProjectCanvasViewModel::busyLine(const QString &agentName)
{
    return QStringLiteral("[%1 is busy \u2014 waiting for the current task to finish. Say \"spawn agent\" to start "
                          "another pane in parallel.]")
        .arg(agentName);
}

QString ProjectCanvasViewModel::systemPaneLine(const QString &agentName)
{
    return QStringLiteral("[The %1 pane belongs to Nerim's own agent \u2014 send your task to one of your agent panes.]")
        .arg(agentName);
}

// ---- Submission ----------------------------------------------------------------------------

void ProjectCanvasViewModel::giveSubmitFeedback()
{
    m_justSubmittedTimer.stop();
    setJustSubmitted(true);
    m_justSubmittedTimer.start();
    performHaptic(HapticPerformer::Pattern::alignment);
}

void ProjectCanvasViewModel::takePrompt(const QString &submittedText)
{
    if (m_inputPrompt == submittedText) {
        setInputPrompt(QString());
        clearPromptDraft();
        return;
    }
    // Text typed while the prompt was being routed stays in the prompt bar,
    // without the prompt already sent: one more Return must not send it again.
    if (!submittedText.isEmpty() && m_inputPrompt.startsWith(submittedText)) {
        QString added = m_inputPrompt.mid(submittedText.size());
        qsizetype start = 0;
        while (start < added.size() && added.at(start).isSpace())
            ++start;
        added.remove(0, start);
        setInputPrompt(added);
        if (added.isEmpty()) {
            clearPromptDraft();
            return;
        }
        scheduleDraftSave();
    }
}

QCoro::Task<> ProjectCanvasViewModel::submitPrompt(ContextEntry::PromptSource source)
{
    // One submission at a time until its prompt is taken: a second Enter while
    // the router decides must not send the same prompt twice.
    if (m_isSubmitting || m_tornDown)
        co_return;
    const QString submitted = m_inputPrompt;
    const QString text = submitted.trimmed();
    if (text.isEmpty())
        co_return;
    auto guard = std::make_shared<SubmitGuard>(this);
    giveSubmitFeedback();

    if (m_promptTarget.isPane()) {
        if (AgentPaneState *pane = paneWithId(m_promptTarget.paneId())) {
            // The Repair and Deploy panes take the user's answers while their session runs.
            const bool repairFollowUp = m_repair->isFollowUpTarget(pane);
            const bool deployFollowUp = m_deploy->isFollowUpTarget(pane);
            if (pane->isSystemPane() && !repairFollowUp && !deployFollowUp) {
                pane->appendLine(OutputLine::Kind::system, systemPaneLine(pane->agentName()));
                co_return;
            }
            if (isBusy(pane->status())) {
                pane->appendLine(OutputLine::Kind::system, busyLine(pane->agentName()));
                co_return;
            }
            setFocusedPaneId(pane->id());
            guard->release();
            takePrompt(submitted);
            if (repairFollowUp) {
                QCoro::Task<> answering = m_repair->sendUserFollowUp(text);
                co_await std::move(answering);
                co_return;
            }
            if (deployFollowUp) {
                QCoro::Task<> answering = m_deploy->sendUserFollowUp(text);
                co_await std::move(answering);
                co_return;
            }
            QCoro::Task<> sending = sendToPane(pane, text, source);
            co_await std::move(sending);
            co_return;
        }
        setPromptTarget(PromptTarget::automatic());
    } else if (m_promptTarget.kind() == PromptTarget::Kind::plans) {
        // While the Plans agent answers, the prompt stays in the bar rather
        // than being taken and then dropped.
        if (m_plan->isGenerating()) {
            m_plan->setIsVisible(true);
            co_return;
        }
        guard->release();
        takePrompt(submitted);
        m_plan->setIsVisible(true);
        QCoro::Task<> sending = sendPlansMessage(text, PlansMessageOrigin::user);
        co_await std::move(sending);
        co_return;
    }

    QCoro::Task<> routing = routeAutomatically(text, submitted, source, guard);
    co_await std::move(routing);
}

QCoro::Task<> ProjectCanvasViewModel::routeAutomatically(QString text, QString submitted,
                                                         ContextEntry::PromptSource source,
                                                         std::shared_ptr<SubmitGuard> guard)
{
    QPointer<ProjectCanvasViewModel> self(this);
    const auto take = [&] {
        guard->release();
        takePrompt(submitted);
    };

    // Canvas actions recognised locally, in a fixed order.
    if (parseRunAppCommand(text)) {
        take();
        QCoro::Task<> running = runApp();
        co_await std::move(running);
        co_return;
    }
    if (const std::optional<PreviewCommand> command = parsePreviewCommand(text)) {
        take();
        performPreviewCommand(*command);
        co_return;
    }
    if (const std::optional<PlanCommand> command = parsePlanCommand(text)) {
        // A topic for the Plans agent waits in the bar while it answers.
        if (command->topic && m_plan->isGenerating()) {
            m_plan->setIsVisible(true);
            co_return;
        }
        take();
        QCoro::Task<> performing = performPlanCommand(*command);
        co_await std::move(performing);
        co_return;
    }
    if (const std::optional<StepHandover> handover = parseStepHandover(text, paneNumbers(), paneNameAliases())) {
        take();
        QCoro::Task<> handing =
            handPlanStep(handover->stepNumber, handover->agent, paneNumberIndex(), paneNameAliases(), source);
        co_await std::move(handing);
        co_return;
    }
    if (const std::optional<int> count = parseSpawnCount(text)) {
        take();
        spawnAgents(*count);
        co_return;
    }

    // A prompt that begins by naming a pane.
    const QMap<int, AgentPaneState *> index = paneNumberIndex();
    const std::optional<PaneAddress> address = parsePaneAddress(text, paneNumbers(), paneNameAliases());
    if (address && index.contains(address->paneNumber)) {
        AgentPaneState *pane = index.value(address->paneNumber);
        setFocusedPaneId(pane->id());
        if (isBusy(pane->status())) {
            pane->appendLine(OutputLine::Kind::system, busyLine(pane->agentName()));
            co_return;
        }
        take();
        QCoro::Task<> sending = sendToPane(pane, address->task, source);
        co_await std::move(sending);
        co_return;
    }

    // Several task panes: the router may split the prompt across them.
    if (index.size() >= 2) {
        QList<IntentProcessorService::PaneDescriptor> descriptors;
        for (auto it = index.begin(); it != index.end(); ++it)
            descriptors.append({it.key(), it.value()->agentName()});
        QCoro::Task<IntentProcessorService::RouteResult> asking =
            m_services.router ? m_services.router(text, descriptors) : intentProcessor().route(text, descriptors);
        const IntentProcessorService::RouteResult result = co_await std::move(asking);
        if (!self || m_tornDown)
            co_return;
        if (result.kind() == IntentProcessorService::RouteResult::Kind::multi) {
            take();
            // Panes may have been closed while the router decided.
            QCoro::Task<> dispatching = dispatchRoutedTasks(result.tasks(), paneNumberIndex(), source);
            co_await std::move(dispatching);
            co_return;
        }
    }

    // One target: the focused task pane, or a new pane on an empty canvas.
    AgentPaneState *target = focusedPane();
    if (m_repair->isFollowUpTarget(target)) {
        if (isBusy(target->status())) {
            target->appendLine(OutputLine::Kind::system, busyLine(target->agentName()));
            co_return;
        }
        take();
        QCoro::Task<> answering = m_repair->sendUserFollowUp(text);
        co_await std::move(answering);
        co_return;
    }
    if (m_deploy->isFollowUpTarget(target)) {
        if (isBusy(target->status())) {
            target->appendLine(OutputLine::Kind::system, busyLine(target->agentName()));
            co_return;
        }
        take();
        QCoro::Task<> answering = m_deploy->sendUserFollowUp(text);
        co_await std::move(answering);
        co_return;
    }
    const bool hasTaskPane = !paneNumberIndex().isEmpty();
    if (!hasTaskPane && (!target || target->isSystemPane())) {
        target = spawnPane(QString(), AgentRole::unspecified);
        if (!target)
            co_return;
    } else if (!target) {
        co_return; // several panes and none chosen: the prompt stays
    } else if (target->isSystemPane()) {
        target->appendLine(OutputLine::Kind::system, systemPaneLine(target->agentName()));
        co_return;
    }
    if (isBusy(target->status())) {
        target->appendLine(OutputLine::Kind::system, busyLine(target->agentName()));
        co_return;
    }
    take();
    QCoro::Task<> sending = sendToPane(target, text, source);
    co_await std::move(sending);
}

QCoro::Task<> ProjectCanvasViewModel::dispatchRoutedTasks(QList<IntentProcessorService::RoutedTask> tasks,
                                                          QMap<int, AgentPaneState *> index,
                                                          ContextEntry::PromptSource source)
{
    // Every task is checked before any send starts, so a pane named twice
    // must count as taken by its first task, not only by its status.
    QSet<QUuid> given;
    QList<QPair<AgentPaneState *, QString>> accepted;
    for (const IntentProcessorService::RoutedTask &task : tasks) {
        AgentPaneState *pane = index.value(task.paneNumber);
        if (!pane || !isOpen(pane))
            continue;
        if (isBusy(pane->status()) || given.contains(pane->id())) {
            pane->appendLine(OutputLine::Kind::system,
                             QStringLiteral("[%1 is busy \u2014 this task was skipped. Try again when the current one "
                                            "finishes.]")
                                 .arg(pane->agentName()));
            continue;
        }
        given.insert(pane->id());
        accepted.append({pane, task.task});
    }
    // The sends run side by side; each interleaves only at its own waits.
    std::vector<QCoro::Task<>> sends;
    for (const auto &[pane, task] : std::as_const(accepted))
        sends.push_back(sendToPane(pane, task, source));
    for (QCoro::Task<> &send : sends)
        co_await std::move(send);
}

// ---- Sending to a pane ---------------------------------------------------------------------

QCoro::Task<QList<ContextEntry>> ProjectCanvasViewModel::recentContextEntries(int count)
{
    const std::shared_ptr<ProjectContextActor> actor = m_contextActor;
    if (count < 1 || !actor)
        co_return QList<ContextEntry>();
    try {
        QFuture<QList<ContextEntry>> reading = actor->recentEntries(count);
        co_return co_await reading;
    } catch (...) {
        co_return QList<ContextEntry>();
    }
}

ProjectAwareness ProjectCanvasViewModel::makeProjectAwareness() const
{
    ProjectAwareness awareness;
    if (m_preview->isVisible()) {
        PreviewSnapshot snapshot;
        snapshot.url = m_preview->loadedURL();
        snapshot.title = m_preview->title();
        snapshot.isLoading = m_preview->isLoading();
        snapshot.error = m_preview->error();
        awareness.preview = snapshot;
    }
    if (!m_plan->steps().isEmpty() || !m_plan->goal().isEmpty()) {
        PlanAwarenessSnapshot plan;
        plan.goal = m_plan->goal();
        for (const PlanStep &step : m_plan->steps())
            plan.steps.append({step.title, step.detail, rawValue(step.status)});
        awareness.plan = plan;
    }
    return awareness;
}

QCoro::Task<ProjectAwareness> ProjectCanvasViewModel::makePaneAwareness(AgentRole role)
{
    ProjectAwareness awareness = makeProjectAwareness();
    QFuture<QList<PlansWorkspaceStore::File>> listing = plansWorkspace().listFiles();
    const QList<PlansWorkspaceStore::File> files = co_await listing;
    PlansWorkspaceSnapshot workspace;
    for (const PlansWorkspaceStore::File &file : files)
        if (isShownToRole(file.filename, role))
            workspace.files.append({file.filename, file.contents});
    if (!workspace.files.isEmpty())
        awareness.workspace = workspace;
    co_return awareness;
}

QCoro::Task<> ProjectCanvasViewModel::sendToPane(AgentPaneState *pane, QString prompt,
                                                 ContextEntry::PromptSource source)
{
    if (!isOpen(pane) || m_tornDown)
        co_return;
    if (pane->isSystemPane()) {
        // The Repair and Deploy panes run Nerim's own agents, with their own streams.
        pane->appendLine(OutputLine::Kind::system, systemPaneLine(pane->agentName()));
        co_return;
    }
    if (m_projectFolderMissing) {
        // An agent would run in a folder made again, empty: none is started.
        pane->appendLine(OutputLine::Kind::stderr, projectFolderMissingLine());
        co_return;
    }
    QPointer<ProjectCanvasViewModel> self(this);
    QPointer<AgentPaneState> guard(pane);
    // The provider stays alive for the spawn even if the controller goes meanwhile.
    const std::shared_ptr<AgentProvider> provider = m_provider;

    pane->setCurrentStdout({});
    pane->setStatus(AgentStatus::spawning);
    pane->appendLine(OutputLine::Kind::userPrompt, prompt);
    const QList<ConversationTurn> priorTurns = pane->completedTurns();
    pane->beginTurn(prompt);

    QCoro::Task<QList<ContextEntry>> reading = recentContextEntries(10);
    const QList<ContextEntry> entries = co_await std::move(reading);
    if (!self || !guard || !isOpen(pane) || m_tornDown)
        co_return;
    pane->appendLine(OutputLine::Kind::system, QStringLiteral("[spawning %1\u2026]").arg(pane->agentName()));

    QCoro::Task<ProjectAwareness> gathering = makePaneAwareness(pane->role());
    const ProjectAwareness awareness = co_await std::move(gathering);
    if (!self || !guard || !isOpen(pane) || m_tornDown)
        co_return;

    AgentSession session;
    std::exception_ptr failure;
    try {
        QCoro::Task<AgentSession> spawning =
            provider->spawn(pane->role(), entries, priorTurns, prompt, awareness, m_modelPreference->choice());
        session = co_await std::move(spawning);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        if (!self || !guard)
            co_return;
        pane->appendLine(OutputLine::Kind::stderr, QStringLiteral("Failed to spawn agent: ") + errorDescription(failure));
        pane->setStatus(AgentStatus::error);
        pane->setCurrentSession(std::nullopt);
        removeTurnInFlight(pane);
        co_return;
    }

    // The pane was closed, or the canvas left, while the agent started: it has
    // nowhere to report to, so it is stopped rather than left running unseen.
    if (!self || !guard || !isOpen(pane) || m_tornDown) {
        QCoro::Task<> stopping = provider->terminate(session.id);
        co_await std::move(stopping);
        co_return;
    }

    // The stream is taken at once: every event of the session reaches the
    // consumer, however quickly the agent ends.
    QCoro::Task<std::shared_ptr<AgentOutputStream>> fetching = provider->outputStream(session.id);
    const std::shared_ptr<AgentOutputStream> stream = co_await std::move(fetching);
    if (!self || !guard || !isOpen(pane) || m_tornDown) {
        QCoro::Task<> stopping = provider->terminate(session.id);
        co_await std::move(stopping);
        co_return;
    }

    pane->appendLine(OutputLine::Kind::system,
                     QStringLiteral("[%1 spawned \u00b7 pid %2]").arg(pane->agentName(), QString::number(session.processID)));
    pane->setCurrentSession(session);
    pane->setStatus(AgentStatus::working);
    playCue(SoundCueService::Cue::agentSpawned);
    speak(pane->agentName() + QStringLiteral(" is on it."));

    const QString agentId = pane->agentId();
    const QString agentName = pane->agentName();
    QCoro::Task<> recording = appendToMemory(
        {ContextEntry::AgentPromptReceived{agentId, agentName, prompt, source},
         ContextEntry::AgentSpawned{agentId, agentName, rawValue(session.role), rawValue(session.provider),
                                    session.processID, session.openingPromptDigest}},
        agentId);
    co_await std::move(recording);
    if (!self || !guard)
        co_return;
    // Closed (or sent a newer prompt) during the writes: that path ended this run.
    if (!isOpen(pane) || !pane->currentSession() || pane->currentSession()->id != session.id)
        co_return;
    startStreamConsumer(stream, pane,
                        [this](const AgentOutput &event, AgentPaneState *target) { handleAgentOutput(event, target); });
}

std::optional<AgentSession> ProjectCanvasViewModel::detachAgentRun(AgentPaneState *pane)
{
    if (const std::shared_ptr<AgentStreamConsumer> consumer = pane->streamConsumer()) {
        consumer->cancel();
        pane->setStreamConsumer(nullptr);
    }
    std::optional<AgentSession> session = pane->currentSession();
    pane->setCurrentSession(std::nullopt);
    return session;
}

void ProjectCanvasViewModel::startStreamConsumer(std::shared_ptr<AgentOutputStream> stream, AgentPaneState *pane,
                                                 OutputHandler handler)
{
    if (const std::shared_ptr<AgentStreamConsumer> previous = pane->streamConsumer())
        previous->cancel();
    QPointer<ProjectCanvasViewModel> self(this);
    QPointer<AgentPaneState> guard(pane);
    auto handle = std::make_shared<std::weak_ptr<AgentStreamConsumer>>();
    std::shared_ptr<AgentStreamConsumer> consumer = AgentStreamConsumer::start(
        std::move(stream),
        [self, guard, handle, handler](const AgentOutput &event) {
            if (!self || !guard) {
                if (const auto running = handle->lock())
                    running->cancel();
                return;
            }
            handler(event, guard);
        },
        [guard, handle] {
            if (guard && guard->streamConsumer() && guard->streamConsumer() == handle->lock())
                guard->setStreamConsumer(nullptr);
        });
    *handle = consumer;
    pane->setStreamConsumer(consumer);
}

// ---- Plan steps and several agents ---------------------------------------------------------

QString ProjectCanvasViewModel::handoverPrompt(int stepNumber, const PlanStep &step)
{
    return QStringLiteral("You've been handed step %1 of the project plan.\n\nStep: ").arg(stepNumber) + step.title +
           QStringLiteral("\n\nDetail: ") + (step.detail.isEmpty() ? QStringLiteral("(none)") : step.detail) +
           QStringLiteral(
               "\n\nWork through this step. When it's complete, produce a TASK_COMPLETE summary that begins with the "
               "step title so the user can trace your work back to the plan.\n\nALSO, on the LAST line of your output "
               "before finishing, emit exactly this marker so Nerim can tick the step done in the Plans panel:\n\n"
               "    PLAN_STEP_COMPLETE: ") +
           uuidText(step.id) +
           QStringLiteral("\n\nDo not print the marker if the step isn't fully done \u2014 mark only when you'd say "
                          "\"yes, this step is finished\" to the user.");
}

AgentPaneState *ProjectCanvasViewModel::resolveHandoverPane(const AgentReference &reference,
                                                            const QMap<int, AgentPaneState *> &index,
                                                            const PaneNameTable &aliases) const
{
    int number = reference.number;
    if (reference.kind == AgentReference::Kind::name) {
        const auto alias = aliases.constFind(reference.name.toLower());
        if (alias == aliases.constEnd())
            return nullptr;
        number = alias.value();
    }
    AgentPaneState *pane = index.value(number);
    return isOpen(pane) ? pane : nullptr;
}

QCoro::Task<> ProjectCanvasViewModel::handPlanStep(int stepNumber, AgentReference reference,
                                                   QMap<int, AgentPaneState *> index, PaneNameTable aliases,
                                                   ContextEntry::PromptSource source)
{
    AgentPaneState *pane = resolveHandoverPane(reference, index, aliases);
    if (!pane) {
        if (AgentPaneState *focused = focusedPane()) {
            const QString requested = reference.kind == AgentReference::Kind::name
                                          ? reference.name
                                          : QStringLiteral("Claude %1").arg(reference.number);
            focused->appendLine(OutputLine::Kind::system,
                                QStringLiteral("[handover skipped \u2014 no agent named %1. Say \"spawn agent\" to "
                                               "create one first.]")
                                    .arg(requested));
        }
        co_return;
    }
    const QList<PlanStep> steps = m_plan->steps();
    if (steps.isEmpty()) {
        pane->appendLine(OutputLine::Kind::system,
                         QStringLiteral("[handover skipped \u2014 no plan exists yet. Say \"plan this out\" to create "
                                        "one.]"));
        co_return;
    }
    const qsizetype count = steps.size();
    if (stepNumber < 1 || stepNumber > count) {
        pane->appendLine(OutputLine::Kind::system,
                         QStringLiteral("[handover skipped \u2014 step %1 is out of range (plan has %2 step%3).]")
                             .arg(stepNumber)
                             .arg(count)
                             .arg(count == 1 ? QString() : QStringLiteral("s")));
        co_return;
    }
    if (isBusy(pane->status())) {
        pane->appendLine(OutputLine::Kind::system,
                         QStringLiteral("[%1 is busy \u2014 waiting for the current task to finish before starting "
                                        "step %2.]")
                             .arg(pane->agentName(), QString::number(stepNumber)));
        co_return;
    }
    const PlanStep step = steps.at(stepNumber - 1);
    m_plan->setStepStatus(step.id, PlanStep::Status::inProgress);
    setFocusedPaneId(pane->id());
    QCoro::Task<> sending = sendToPane(pane, handoverPrompt(stepNumber, step), source);
    co_await std::move(sending);
}

void ProjectCanvasViewModel::spawnAgents(int requested)
{
    const int room = paneCap - static_cast<int>(m_panes.size());
    const int toCreate = std::min(requested, room);
    int created = 0;
    for (int i = 0; i < toCreate; ++i)
        if (spawnPane(QString(), AgentRole::unspecified))
            ++created;
    if (created < requested && !m_panes.isEmpty()) {
        m_panes.last()->appendLine(OutputLine::Kind::system,
                                   QStringLiteral("[note: requested %1 agent(s); %2 created (soft cap = %3)]")
                                       .arg(requested)
                                       .arg(created)
                                       .arg(paneCap));
    }
}

bool ProjectCanvasViewModel::systemPaneTakesPrompts(const AgentPaneState *pane) const
{
    return m_repair->isFollowUpTarget(pane) || m_deploy->isFollowUpTarget(pane);
}

} // namespace nerim
