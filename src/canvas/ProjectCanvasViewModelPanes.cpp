// Panes: focus, expansion, spawning, names, roles, closing, and panes.json.
//
// Closing a pane (and teardown) first cancels its consumer and clears its
// session, then terminates the process, then records one `userKilled` exit:
// the stopped process's own exit is never handled as a run.
//
// Saving the panes: besides at the events that change them, one timer saves
// `panesOutputSaveDelay` after a pane's output or turns change (started by the
// first change after a save), and a save goes at once when the text added
// since the last one passes `panesOutputSaveBytes`; each batch of a pane's
// output is also handed to PanesSaver::encodeAhead. Such a save costs a
// snapshot of the panes on the GUI thread (shared transcripts, no copies) and
// an append of the new lines on the writer's thread, so the teardown's save
// (PanesFoldBack::later) appends only what is left: quitting does not cost
// more the more the agents printed. A failed save is told back through the
// saver's listener (passed to the GUI thread) and tried again on a timer
// (`panesSaveRetryDelay`, doubling up to `panesSaveRetryCap`) until one
// works; every pane gets a line when saving stops and when it works again.
// The teardown's save is tried again for a while if it fails, the panes still
// shown, and then the teardown's caller is asked (finishPanesSaves).
#include "canvas/ProjectCanvasViewModel.h"

#include "agents/SavedPanes.h"
#include "sessions/DeploySession.h"
#include "sessions/RepairSession.h"

#include "foundation/Log.h"
#include "foundation/Text.h"
#include "foundation/UuidText.h"
#include "foundation/SerialFileWriter.h"

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroTimer>
#include <QElapsedTimer>
#include <QPointer>
#include <algorithm>

namespace nerim {

QString ProjectCanvasViewModel::roleDisplayName(AgentRole role) { return displayName(role); }

AgentPaneState *ProjectCanvasViewModel::paneWithId(const QUuid &id) const
{
    for (AgentPaneState *pane : m_panes)
        if (pane->id() == id)
            return pane;
    return nullptr;
}

AgentPaneState *ProjectCanvasViewModel::focusedPane() const
{
    return m_focusedPaneId ? paneWithId(*m_focusedPaneId) : nullptr;
}

void ProjectCanvasViewModel::focusPane(const QUuid &id)
{
    if (!paneWithId(id))
        return;
    setFocusedPaneId(id);
    savePanes();
}

void ProjectCanvasViewModel::selectPromptTarget(const PromptTarget &target)
{
    if (target.isPane() && !paneWithId(target.paneId())) {
        setPromptTarget(PromptTarget::automatic());
        return;
    }
    setPromptTarget(target);
}

void ProjectCanvasViewModel::toggleExpandedPane(const QUuid &id)
{
    if (m_expandedPaneId == id) {
        setExpandedPaneId(std::nullopt);
        savePanes();
        return;
    }
    if (!paneWithId(id))
        return;
    setExpandedPaneId(id);
    setFocusedPaneId(id);
    savePanes();
}

void ProjectCanvasViewModel::collapseIfExpanded(const QUuid &id)
{
    if (m_expandedPaneId == id)
        setExpandedPaneId(std::nullopt);
}

AgentPaneState *ProjectCanvasViewModel::spawnPane(const QString &responsibility, AgentRole role)
{
    if (m_tornDown || m_panes.size() >= paneCap)
        return nullptr;
    const qint64 number = m_nextAgentNumber;
    const QString name = m_persistedAgentNames.contains(number) ? m_persistedAgentNames.value(number)
                                                                 : QStringLiteral("Claude %1").arg(number);
    auto *pane = new AgentPaneState(newUuid(), uuidText(newUuid()), name, static_cast<int>(number), false, role,
                                    text::characterPrefix(responsibility, 24), this);
    pane->appendLine(OutputLine::Kind::system, QStringLiteral("[Ready \u2014 type a task or hold the mic]"));
    if (m_pendingPanesNotice)
        pane->appendLine(OutputLine::Kind::system, *std::exchange(m_pendingPanesNotice, std::nullopt));
    setNextAgentNumber(number + 1);
    setPanes(m_panes + QList<AgentPaneState *>{pane});
    setFocusedPaneId(pane->id());
    savePanes();
    playCue(SoundCueService::Cue::agentSpawned);
    return pane;
}

int ProjectCanvasViewModel::userPaneCount() const
{
    return int(std::count_if(m_panes.begin(), m_panes.end(), [](const AgentPaneState *pane) {
        return !pane->isSystemPane();
    }));
}

void ProjectCanvasViewModel::appendPane(AgentPaneState *pane)
{
    if (!pane || m_panes.contains(pane))
        return;
    pane->setParent(this); // the canvas owns it from here on, shown or not
    if (m_tornDown)
        return;
    setPanes(m_panes + QList<AgentPaneState *>{pane});
    savePanes();
}

void ProjectCanvasViewModel::renamePane(const QUuid &id, const QString &name)
{
    const QString trimmed = name.trimmed();
    AgentPaneState *pane = paneWithId(id);
    if (trimmed.isEmpty() || !pane)
        return;
    if (text::characterCount(trimmed) > maxAgentNameLength) {
        // Refused with a word, not in silence: the name stays as it was.
        pane->appendLine(OutputLine::Kind::stderr, agentNameTooLongLine());
        savePanes();
        return;
    }
    if (pane->agentName() == trimmed)
        return;
    pane->setAgentName(trimmed);
    persistAgentNames();
    savePanes();
}

QString ProjectCanvasViewModel::agentNameTooLongLine()
{
    return QStringLiteral("That name is too long \u2014 an agent's name can have at most %1 characters.")
        .arg(maxAgentNameLength);
}

void ProjectCanvasViewModel::persistAgentNames()
{
    for (const AgentPaneState *pane : std::as_const(m_panes))
        m_persistedAgentNames.insert(pane->paneNumber(), pane->agentName());
    if (!m_dataFolder || m_tornDown)
        return;
    saveAgentNames(*m_dataFolder, m_persistedAgentNames);
}

void ProjectCanvasViewModel::setPaneRole(const QUuid &id, AgentRole role)
{
    AgentPaneState *pane = paneWithId(id);
    if (!pane || pane->role() == role)
        return;
    pane->setRole(role);
    savePanes();
    pane->appendLine(OutputLine::Kind::system, QStringLiteral("[role \u2192 %1]").arg(roleDisplayName(role)));
}

QCoro::Task<> ProjectCanvasViewModel::stopPaneAgent(AgentPaneState *pane)
{
    QPointer<ProjectCanvasViewModel> self(this);
    // The consumer goes first, so the exit of the process being stopped is
    // never handled as a run of its own.
    const std::optional<AgentSession> session = detachAgentRun(pane);
    pane->setStatus(AgentStatus::stopped);
    if (!session)
        co_return;

    const QString agentId = pane->agentId();
    const QString agentName = pane->agentName();
    const std::shared_ptr<AgentProvider> provider = m_provider;
    QCoro::Task<> terminating = provider->terminate(session->id);
    co_await std::move(terminating);
    if (!self)
        co_return;
    QCoro::Task<> recording = appendToMemory(
        {ContextEntry::AgentExit{agentId, agentName, ContextEntry::ExitReason::userKilled, 0}}, agentId);
    co_await std::move(recording);
}

QCoro::Task<> ProjectCanvasViewModel::closePane(QUuid id)
{
    AgentPaneState *pane = paneWithId(id);
    if (!pane)
        co_return;
    QPointer<ProjectCanvasViewModel> self(this);

    // Neither a repair nor a deploy session goes on without its pane: the one
    // running in it is cancelled first (a pane closed mid-deploy cancels the deploy).
    for (int flow = 0; flow < 2; ++flow) {
        const bool repair = flow == 0;
        if (repair ? !m_repair->isActiveIn(id) : !m_deploy->isActiveIn(id))
            continue;
        QCoro::Task<> cancelling = repair ? m_repair->cancel() : m_deploy->cancel();
        co_await std::move(cancelling);
        if (!self)
            co_return;
        pane = paneWithId(id);
        if (!pane)
            co_return;
    }

    QCoro::Task<> stopping = stopPaneAgent(pane);
    co_await std::move(stopping);
    if (!self)
        co_return;

    // Other work may have run during the waits: the pane is looked up again.
    if (AgentPaneState *still = paneWithId(id)) {
        QList<AgentPaneState *> panes = m_panes;
        panes.removeAll(still);
        setPanes(panes);
        still->deleteLater();
    }
    if (m_focusedPaneId == id)
        setFocusedPaneId(m_panes.isEmpty() ? std::nullopt : std::optional<QUuid>(m_panes.last()->id()));
    if (m_promptTarget.isPane() && m_promptTarget.paneId() == id)
        setPromptTarget(PromptTarget::automatic());
    collapseIfExpanded(id);
    savePanes();
}

bool ProjectCanvasViewModel::needsPaneSelection() const
{
    return m_panes.size() >= 2 && !m_focusedPaneId;
}

bool ProjectCanvasViewModel::canSubmit() const
{
    return !m_inputPrompt.trimmed().isEmpty() && !needsPaneSelection();
}

PanesSnapshot ProjectCanvasViewModel::makePanesSnapshot() const
{
    PanesSnapshot snapshot;
    snapshot.version = PanesSnapshot::currentVersion;
    snapshot.nextAgentNumber = m_nextAgentNumber;
    snapshot.focusedPaneId = m_focusedPaneId;
    snapshot.expandedPaneId = m_expandedPaneId;
    for (const AgentPaneState *pane : m_panes)
        snapshot.panes.append(snapshotOfPane(*pane));
    return snapshot;
}

void ProjectCanvasViewModel::schedulePanesOutputSave()
{
    m_panesSaves->scheduleOutputSave();
}

void ProjectCanvasViewModel::notePaneOutput()
{
    if (const auto *pane = qobject_cast<const AgentPaneState *>(sender())) {
        const OutputLines &lines = pane->outputLines();
        m_panesSaves->countOutput(pane->id(), lines);
        // The save that takes these lines finds them encoded already.
        if (m_panesRestored && !m_tornDown && m_dataFolderUsable)
            m_panesStore->encodeAhead(pane->id(), lines);
    }
    m_panesSaves->saveOrScheduleOutput();
}

void ProjectCanvasViewModel::tellPanes(const QString &line)
{
    if (m_panes.isEmpty()) {
        m_pendingPanesNotice =
            m_pendingPanesNotice ? *m_pendingPanesNotice + QLatin1Char(' ') + line : line;
        return;
    }
    for (AgentPaneState *pane : std::as_const(m_panes))
        pane->appendLine(OutputLine::Kind::system, line);
}

void ProjectCanvasViewModel::savePanes(PanesFoldBack foldBack)
{
    if (!m_panesRestored || m_tornDown)
        return;
    // Whatever the panes hold now is in this save: the output timer starts
    // again with the next change, and the count of unsaved text from nothing.
    QList<std::pair<QUuid, qsizetype>> lineCounts;
    for (const AgentPaneState *pane : std::as_const(m_panes))
        lineCounts.append({pane->id(), pane->outputLines().size()});
    m_panesSaves->saving(lineCounts);
    // Only into a data folder the start-up load checked, and never after the memory failed.
    if (!m_dataFolderUsable)
        return;
    m_panesStore->save(makePanesSnapshot(), foldBack);
}

QCoro::Task<> ProjectCanvasViewModel::finishDataSaves(UnsavedPanesQuestion unsaved)
{
    QPointer<ProjectCanvasViewModel> self(this);
    const std::shared_ptr<ProjectDataFolder> door = m_dataFolder;
    if (!door)
        co_return;
    QElapsedTimer trying;
    trying.start();
    // The door retries by itself; this only waits for it, for a while.
    const std::chrono::milliseconds pause = std::min(m_services.panesSaveRetryDelay, std::chrono::milliseconds(250));
    for (QList<ProjectDataFolder::Kind> kinds = door->failingKinds(); !kinds.isEmpty(); kinds = door->failingKinds()) {
        if (std::chrono::milliseconds(trying.elapsed()) < m_services.panesTeardownRetryWindow) {
            QCoro::Task<> waiting = QCoro::sleepFor(pause);
            co_await std::move(waiting);
            if (!self)
                co_return;
            continue;
        }
        QStringList described;
        for (const ProjectDataFolder::Kind kind : std::as_const(kinds))
            described.append(ProjectDataFolder::describe(kind));
        const QString what = described.size() == 1
                                 ? described.constFirst()
                                 : described.mid(0, described.size() - 1).join(QStringLiteral(", ")) +
                                       QStringLiteral(" and ") + described.constLast();
        const QString reason = door->failureReason();
        logLine(QStringLiteral("[Nerim] %1 could not be saved before closing: %2").arg(what, reason));
        if (!unsaved)
            co_return;
        QCoro::Task<bool> asking = unsaved(what, reason);
        const bool again = co_await std::move(asking);
        if (!self)
            co_return;
        if (!again) {
            logLine(QStringLiteral("[Nerim] %1 was left unsaved").arg(what));
            co_return;
        }
        door->retryNow();
        trying.restart();
    }
}

QCoro::Task<> ProjectCanvasViewModel::finishPanesSaves(PanesSnapshot shown, UnsavedPanesQuestion unsaved)
{
    QPointer<ProjectCanvasViewModel> self(this);
    m_panesSaves->stopRetrying();
    QFuture<void> flushing = SerialFileWriter::shared().whenIdle();
    co_await flushing;
    if (!self)
        co_return;
    QElapsedTimer trying;
    trying.start();
    std::chrono::milliseconds wait = m_services.panesSaveRetryDelay;
    while (const std::optional<QString> failure = m_panesStore->saveFailure()) {
        const std::chrono::milliseconds left = m_services.panesTeardownRetryWindow - std::chrono::milliseconds(trying.elapsed());
        if (left.count() > 0) {
            QCoro::Task<> pause = QCoro::sleepFor(std::min(wait, left));
            co_await std::move(pause);
            if (!self)
                co_return;
            wait *= 2;
        } else {
            logLine(QStringLiteral("[Nerim panes] the panes could not be saved before closing: %1").arg(*failure));
            if (!unsaved)
                co_return;
            QCoro::Task<bool> asking = unsaved(QString(), *failure);
            const bool again = co_await std::move(asking);
            if (!self)
                co_return;
            if (!again) {
                logLine(QStringLiteral("[Nerim panes] the panes were left unsaved"));
                co_return;
            }
            trying.restart();
            wait = m_services.panesSaveRetryDelay;
        }
        m_panesStore->save(shown, PanesFoldBack::later);
        QFuture<void> saving = SerialFileWriter::shared().whenIdle();
        co_await saving;
        if (!self)
            co_return;
    }
}

// ---- Derived views for the phrase matchers and the router ----------------------------------

QMap<int, AgentPaneState *> ProjectCanvasViewModel::paneNumberIndex() const
{
    QMap<int, AgentPaneState *> index;
    for (AgentPaneState *pane : m_panes)
        if (!pane->isSystemPane())
            index.insert(pane->paneNumber(), pane);
    return index;
}

OpenPaneNumbers ProjectCanvasViewModel::paneNumbers() const
{
    OpenPaneNumbers numbers;
    for (AgentPaneState *pane : m_panes)
        if (!pane->isSystemPane())
            numbers.insert(pane->paneNumber());
    return numbers;
}

PaneNameTable ProjectCanvasViewModel::paneNameAliases() const
{
    const QMap<int, AgentPaneState *> index = paneNumberIndex();
    PaneNameTable aliases;
    // Custom names first, so a pane called "Designer" owns that word.
    for (auto it = index.begin(); it != index.end(); ++it) {
        const QString name = text::trimSpacesAndTabs(it.value()->agentName()).toLower();
        if (name.isEmpty() || name == QStringLiteral("claude %1").arg(it.key()))
            continue;
        if (!aliases.contains(name))
            aliases.insert(name, it.key());
    }
    // Then role words, the lowest-numbered pane of a role first.
    for (auto it = index.begin(); it != index.end(); ++it) {
        if (it.value()->role() == AgentRole::unspecified)
            continue;
        const QString word = roleDisplayName(it.value()->role()).toLower();
        if (!aliases.contains(word))
            aliases.insert(word, it.key());
    }
    return aliases;
}

} // namespace nerim
