// The canvas's side of the Plans agent: a message for the agent (typed with
// the Plans target, said as a plan phrase, or handed over by a task agent)
// becomes one conversation call with the project's context; a revised plan is
// applied and overview.md rewritten; ORGANIZE writes the plan into Markdown
// files. Every failure ends as one sentence in the Plans panel.
//
// One conversation call at a time (`PlanState::isGenerating`): a prompt for
// Plans submitted meanwhile stays in the prompt bar. A hand-off an agent
// prints goes to Plans marked as the agent's (`PlansMessageOrigin::
// agentHandoff`), so it is never read as a step handover; while Plans
// answers, hand-offs wait, at most one per pane run (the latest), and are
// sent when the reply ends; exact repeats of one waiting or of the message
// being answered are dropped, and the pane says so. The file tree goes with
// the first message only; a revised plan is applied, overview.md rewritten
// and the plans folder listed again. ORGANIZE counts the files the store could
// not write ("Organized N of M files." and a `lastError` naming how many).
// Failures reach the panel only as the sentences of `plansErrorMessage`; the
// raw text goes to the log. A restored conversation whose last message has no
// answer shows why (no key, or no answer came).
#include "canvas/ProjectCanvasViewModel.h"

#include "foundation/BackgroundWork.h"
#include "foundation/DisplayPath.h"
#include "foundation/Log.h"
#include "persistence/ContextLog.h"
#include "persistence/IntentProcessorConstants.h"
#include "plans/PlansAgentService.h"
#include "plans/PlansWorkspaceStore.h"
#include "plans/ProjectFileTree.h"
#include "routing/LocalCommandMatchers.h"

#include <QCoro/QCoroFuture>
#include <QPointer>

namespace nerim {

namespace {

QString keyFileForDisplay() { return pathForDisplay(IntentProcessorConstants::apiKeysFilePath()); }

// The sentence for writes of organized files that failed.
QString unwrittenFilesMessage(int failed, int total)
{
    const QString what = total == 1 ? QStringLiteral("the plan file") : QStringLiteral("%1 of the %2 plan files")
                                                                             .arg(failed)
                                                                             .arg(total);
    return QStringLiteral("Couldn't write %1 \u2014 check Nerim's log in the system journal for details.").arg(what);
}

} // namespace

QString ProjectCanvasViewModel::plansErrorMessage(const QString &failure)
{
    struct Group {
        QStringList needles;
        QString sentence;
    };
    const QList<Group> groups = {
        {{QStringLiteral("status: 404"), QStringLiteral("not_found")},
         QStringLiteral("Nerim's planning model is misconfigured. This is a bug on our end \u2014 check for an app "
                        "update.")},
        {{QStringLiteral("status: 401"), QStringLiteral("status: 403"), QStringLiteral("authentication_error"),
          QStringLiteral("permission_error")},
         QStringLiteral("Nerim couldn't authenticate with the planning agent. Check the key in %1.")
             .arg(keyFileForDisplay())},
        {{QStringLiteral("status: 429"), QStringLiteral("rate_limit")},
         QStringLiteral("Nerim hit a rate limit with the planning agent. Try again in a minute.")},
        {{QStringLiteral("nsurl"), QStringLiteral("network"), QStringLiteral("timed out"), QStringLiteral("timeout"),
          QStringLiteral("offline")},
         QStringLiteral("Couldn't reach the planning agent. Check your connection and try again.")},
        {{QStringLiteral("json decode")},
         QStringLiteral("The planning agent returned something unexpected. Try again \u2014 a fresh run usually "
                        "works.")},
    };
    const QString lowered = failure.toLower();
    for (const Group &group : groups) {
        for (const QString &needle : group.needles) {
            if (lowered.contains(needle))
                return group.sentence;
        }
    }
    return QStringLiteral("Something went wrong producing your plan. Try again \u2014 if it keeps failing, check "
                          "Nerim's log in the system journal for details.");
}

QString ProjectCanvasViewModel::plansProjectHeader() const
{
    return QStringLiteral("Project: ") + m_projectDisplayName + QStringLiteral("\nPath: ") + m_projectPath;
}

QStringList ProjectCanvasViewModel::pendingPlansHandoffs() const
{
    QStringList texts;
    for (const PendingHandoff &handoff : m_pendingPlansHandoffs)
        texts.append(handoff.text);
    return texts;
}

void ProjectCanvasViewModel::queuePlansHandoff(const QString &trimmed, AgentPaneState *fromPane)
{
    PendingHandoff handoff{trimmed, {}, {}};
    if (fromPane) {
        handoff.paneId = fromPane->id();
        if (const std::optional<AgentSession> &session = fromPane->currentSession())
            handoff.run = session->id;
    }
    // An exact repeat of the message being answered or of one waiting is dropped.
    const QList<PlanTurn> &conversation = m_plan->conversation();
    bool repeated = !conversation.isEmpty() && conversation.last().role == PlanTurn::Role::user &&
                    conversation.last().content == trimmed;
    for (const PendingHandoff &waiting : std::as_const(m_pendingPlansHandoffs))
        repeated = repeated || waiting.text == trimmed;
    if (repeated) {
        if (fromPane)
            fromPane->appendLine(OutputLine::Kind::system, handoffRepeatedLine());
        return;
    }
    if (fromPane) {
        for (PendingHandoff &waiting : m_pendingPlansHandoffs) {
            if (waiting.paneId == handoff.paneId && waiting.run == handoff.run) {
                waiting.text = trimmed;
                fromPane->appendLine(OutputLine::Kind::system, handoffReplacedLine());
                return;
            }
        }
    }
    m_pendingPlansHandoffs.append(handoff);
}

QCoro::Task<> ProjectCanvasViewModel::sendPlansMessage(QString text, PlansMessageOrigin origin,
                                                       AgentPaneState *fromPane)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        co_return;
    if (m_plan->isGenerating()) {
        // The user's message stays in the prompt bar (the submission checks
        // first); an agent's hand-off has nowhere else to wait, so it queues.
        if (origin == PlansMessageOrigin::agentHandoff)
            queuePlansHandoff(trimmed, fromPane);
        co_return;
    }
    // Only the user may hand a plan step to a pane by talking to the Plans agent.
    if (origin == PlansMessageOrigin::user) {
        if (const std::optional<StepHandover> handover = parseStepHandover(trimmed, paneNumbers(), paneNameAliases())) {
            QCoro::Task<> handing = handPlanStep(handover->stepNumber, handover->agent, paneNumberIndex(),
                                                 paneNameAliases(), ContextEntry::PromptSource::text);
            co_await std::move(handing);
            co_return;
        }
    }

    QPointer<ProjectCanvasViewModel> self(this);
    QCoro::Task<> conversing = converseWithPlans(trimmed);
    co_await std::move(conversing);
    // Hand-offs that arrived during the reply go next, one reply at a time.
    while (self && !m_tornDown && !m_plan->isGenerating() && !m_pendingPlansHandoffs.isEmpty()) {
        QCoro::Task<> next = converseWithPlans(m_pendingPlansHandoffs.takeFirst().text);
        co_await std::move(next);
    }
}

QCoro::Task<> ProjectCanvasViewModel::converseWithPlans(QString trimmed)
{
    QPointer<ProjectCanvasViewModel> self(this);
    // The turns before this message; the message is shown and saved at once.
    const QList<PlanTurn> prior = m_plan->conversation();
    m_plan->appendUserTurn(trimmed);
    m_plan->setIsGenerating(true);
    m_plan->setLastError(std::nullopt);

    const QString header = plansProjectHeader();
    const QString goal = m_plan->goal();
    const QList<PlanStep> steps = m_plan->steps();

    QCoro::Task<QList<ContextEntry>> reading = recentContextEntries(10);
    const QList<ContextEntry> recent = co_await std::move(reading);
    if (!self)
        co_return;
    const QString recentActivity = recentActivitySummary(recent, 10);

    // The agent sees the project's files once, with the conversation's first message.
    QString fileTree;
    if (prior.isEmpty()) {
        QFuture<QString> building = runInBackground([path = m_projectPath] { return buildProjectFileTree(path); });
        fileTree = co_await building;
        if (!self)
            co_return;
    }

    QCoro::Task<PlansAgentService::Outcome> asking = plansAgent().converse(
        prior, trimmed, goal, steps, header, recentActivity, fileTree, m_modelPreference->choice());
    const PlansAgentService::Outcome outcome = co_await std::move(asking);
    if (!self)
        co_return;

    if (const auto *success = std::get_if<PlansAgentService::Success>(&outcome)) {
        m_plan->appendAgentTurn(success->reply, success->revisedPlan.has_value());
        if (success->revisedPlan) {
            m_plan->applyRevisedPlan(*success->revisedPlan);
            // Not awaited: the store runs its work in order, so the listing
            // below comes after the rewrite anyway.
            plansWorkspace().writeOverview(m_plan->goal(), m_plan->steps());
            QFuture<QList<PlansWorkspaceStore::File>> listing = plansWorkspace().listFiles();
            const QList<PlansWorkspaceStore::File> files = co_await listing;
            if (!self)
                co_return;
            m_plan->setWorkspaceFiles(files);
        }
        m_plan->setLastError(std::nullopt);
    } else if (const auto *failed = std::get_if<PlansAgentService::Failed>(&outcome)) {
        logLine(QStringLiteral("[Nerim plans] respond failed: %1").arg(failed->message));
        m_plan->setLastError(plansErrorMessage(failed->message));
    } else {
        logLine(QStringLiteral("[Nerim plans] agent disabled \u2014 API key not configured"));
        m_plan->setLastError(plansKeyMissingMessage());
    }
    m_plan->setIsGenerating(false);
}

QString ProjectCanvasViewModel::plansKeyMissingMessage()
{
    return QStringLiteral("Planning is off until you add an Anthropic key to %1.").arg(keyFileForDisplay());
}

void ProjectCanvasViewModel::explainUnansweredPlansMessage()
{
    if (m_plan->isGenerating() || (m_plan->lastError() && !m_plan->lastError()->isEmpty()))
        return;
    const QList<PlanTurn> &conversation = m_plan->conversation();
    if (conversation.isEmpty() || conversation.last().role != PlanTurn::Role::user)
        return;
    m_plan->setLastError(plansAgent().hasAnthropicKey() ? plansUnansweredMessage() : plansKeyMissingMessage());
}

QCoro::Task<> ProjectCanvasViewModel::performPlanCommand(PlanCommand command)
{
    if (command.kind == PlanCommand::Kind::close) {
        m_plan->close();
        co_return;
    }
    m_plan->setIsVisible(true);
    if (command.topic) {
        QCoro::Task<> sending = sendPlansMessage(*command.topic, PlansMessageOrigin::user);
        co_await std::move(sending);
    }
}

QCoro::Task<> ProjectCanvasViewModel::organizePlans()
{
    if (m_plan->isOrganizing())
        co_return;
    if (m_plan->steps().isEmpty() && m_plan->conversation().isEmpty()) {
        m_plan->setLastError(
            QStringLiteral("There's nothing to organize yet \u2014 start a conversation with the plans agent first."));
        co_return;
    }
    QPointer<ProjectCanvasViewModel> self(this);
    m_plan->setIsOrganizing(true);
    m_plan->setLastError(std::nullopt);

    QFuture<QList<PlansWorkspaceStore::File>> listingExisting = plansWorkspace().listFiles();
    const QList<PlansWorkspaceStore::File> existing = co_await listingExisting;
    if (!self)
        co_return;
    QList<PlansAgentService::WorkspaceFile> existingFiles;
    for (const PlansWorkspaceStore::File &file : existing)
        existingFiles.append({file.filename, file.contents});

    QCoro::Task<PlansAgentService::OrganizeOutcome> asking =
        plansAgent().organize(m_plan->goal(), m_plan->steps(), m_plan->conversation(), plansProjectHeader(),
                              existingFiles, m_modelPreference->choice());
    const PlansAgentService::OrganizeOutcome outcome = co_await std::move(asking);
    if (!self)
        co_return;

    if (const auto *success = std::get_if<PlansAgentService::OrganizeSuccess>(&outcome)) {
        // The store logs each failed write; the count tells the user.
        int written = 0;
        for (const PlansAgentService::OrganizedFile &file : success->files) {
            QFuture<bool> writing = plansWorkspace().writeFile(file.filename, file.contents);
            const bool ok = co_await writing;
            if (!self)
                co_return;
            if (ok)
                ++written;
        }
        QFuture<QList<PlansWorkspaceStore::File>> listing = plansWorkspace().listFiles();
        const QList<PlansWorkspaceStore::File> files = co_await listing;
        if (!self)
            co_return;
        m_plan->setWorkspaceFiles(files);
        const int total = int(success->files.size());
        if (written == total) {
            m_plan->appendAgentTurn(success->notice, false);
        } else {
            m_plan->appendAgentTurn(QStringLiteral("Organized %1 of %2 files.").arg(written).arg(total), false);
            m_plan->setLastError(unwrittenFilesMessage(total - written, total));
        }
    } else if (const auto *failed = std::get_if<PlansAgentService::Failed>(&outcome)) {
        logLine(QStringLiteral("[Nerim plans] organize failed: %1").arg(failed->message));
        m_plan->setLastError(plansErrorMessage(failed->message));
    } else {
        m_plan->setLastError(QStringLiteral("Organize needs an Anthropic key \u2014 add one in Settings, or to the key "
                                            "file %1.")
                                 .arg(keyFileForDisplay()));
    }
    m_plan->setIsOrganizing(false);
}

} // namespace nerim
