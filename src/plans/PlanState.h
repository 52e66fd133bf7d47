#pragma once

#include "plans/PlanStep.h"
#include "plans/PlanTurn.h"
#include "plans/PlansAgentService.h"
#include "plans/PlansWorkspaceStore.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QUuid>
#include <atomic>
#include <memory>
#include <optional>

namespace nerim {

class ProjectDataFolder;

// A project's step plan, its Plans conversation and the state of the Plans
// panel. Lives on the GUI thread. Every setter stores and emits its change
// signal only when the value differs (setStepStatus always notifies).
//
// The goal, steps and conversation survive restarts in plan.json (pretty
// printed, sorted keys, next to plan.json.backup). A save snapshots the plan on
// the calling thread and encodes and writes it in the background through the
// per-path serial writer, so two saves in a row never overlap and the later
// snapshot is what stays on disk.
class PlanState : public QObject {
    Q_OBJECT

public:
    explicit PlanState(QObject *parent = nullptr);

    const QList<PlanStep> &steps() const { return m_steps; }
    const QString &goal() const { return m_goal; }
    const QList<PlanTurn> &conversation() const { return m_conversation; }
    bool isVisible() const { return m_isVisible; }
    bool isExpanded() const { return m_isExpanded; }
    bool isGenerating() const { return m_isGenerating; }
    const QString &draftVision() const { return m_draftVision; }
    bool draftFieldFocused() const { return m_draftFieldFocused; }
    const std::optional<QString> &lastError() const { return m_lastError; }
    const QList<PlansWorkspaceStore::File> &workspaceFiles() const { return m_workspaceFiles; }
    const std::optional<QString> &openWorkspaceFile() const { return m_openWorkspaceFile; }
    bool isOrganizing() const { return m_isOrganizing; }
    // The local path of plan.json; while absent nothing is loaded or saved.
    const std::optional<QString> &persistenceURL() const { return m_persistenceURL; }

    // Plain writes: stored and announced only on change, never saved by themselves.
    void setSteps(const QList<PlanStep> &steps);
    void setGoal(const QString &goal);
    void setConversation(const QList<PlanTurn> &conversation);
    void setIsVisible(bool value);
    void setIsExpanded(bool value);
    void setIsGenerating(bool value);
    void setDraftVision(const QString &value);
    void setDraftFieldFocused(bool value);
    void setLastError(const std::optional<QString> &value);
    void setWorkspaceFiles(const QList<PlansWorkspaceStore::File> &files);
    void setOpenWorkspaceFile(const std::optional<QString> &value);
    void setIsOrganizing(bool value);
    void setPersistenceURL(const std::optional<QString> &path);
    // The project's data folder door: when set, plan.json (which must then
    // be the persistence URL's file in it) is saved through it, retried and
    // told when it fails, and never written by a Nerim that does not hold
    // the project.
    void setDataFolder(std::shared_ptr<ProjectDataFolder> door) { m_dataFolder = std::move(door); }

    // Reads plan.json into goal, steps and conversation. A missing file leaves
    // the plan empty. An unreadable file falls back to plan.json.backup; when
    // neither can be read the plan stays empty and the unreadable file is moved
    // aside (plan.json.unreadable-<time>) before the next save replaces it.
    // The same as `applyFileRead(readFile(path))`.
    void load();

    // What reading plan.json found; `readFile` touches no plan and may run on a
    // worker thread, `applyFileRead` adopts the result on the plan's thread.
    struct FileRead {
        bool exists = false;
        QString goal;
        QList<PlanStep> steps;
        QList<PlanTurn> conversation;
        std::optional<QString> restoredFromBackupReason; // the primary was unusable, the backup was read
        std::optional<QString> failure;                  // neither file was usable; nothing was read
    };
    static FileRead readFile(const QString &path);
    void applyFileRead(const FileRead &read);

    // Saves goal, steps and conversation in the background.
    void persist();

    // Appends a turn with the trimmed text and saves; blank text does nothing.
    void appendUserTurn(const QString &text);
    void appendAgentTurn(const QString &text, bool revisedPlan);

    // Replaces the plan by the agent's revised plan. Steps that continue a
    // current step keep its id, and its status while the title still says the
    // same thing (see normalizedTitle); every other step is new and pending.
    // Saves once.
    void applyRevisedPlan(const PlansAgentService::RevisedPlan &revised);

    // Sets the status of the first step with this id and saves; an unknown id does nothing.
    void setStepStatus(const QUuid &id, PlanStep::Status status);

    void close();            // hides the panel and leaves expanded mode
    void toggleVisibility(); // hiding also leaves expanded mode
    void toggleExpanded();   // shows a hidden panel first

    // The comparison key of a step title: trimmed of white space and of
    // punctuation at both ends, fully lower-cased, inner white space collapsed
    // to single spaces, in Unicode normalisation form C.
    static QString normalizedTitle(const QString &title);

    // The bytes of plan.json for a plan (exposed for tests).
    static QByteArray encodePlan(const QString &goal, const QList<PlanStep> &steps,
                                 const QList<PlanTurn> &conversation);

signals:
    void stepsChanged();
    void goalChanged();
    void conversationChanged();
    void isVisibleChanged();
    void isExpandedChanged();
    void isGeneratingChanged();
    void draftVisionChanged();
    void draftFieldFocusedChanged();
    void lastErrorChanged();
    void workspaceFilesChanged();
    void openWorkspaceFileChanged();
    void isOrganizingChanged();
    void persistenceURLChanged();

private:
    void appendTurn(PlanTurn::Role role, const QString &text, bool revisedPlan);

    QList<PlanStep> m_steps;
    QString m_goal;
    QList<PlanTurn> m_conversation;
    bool m_isVisible = false;
    bool m_isExpanded = false;
    bool m_isGenerating = false;
    QString m_draftVision;
    bool m_draftFieldFocused = false;
    std::optional<QString> m_lastError;
    QList<PlansWorkspaceStore::File> m_workspaceFiles;
    std::optional<QString> m_openWorkspaceFile;
    bool m_isOrganizing = false;
    std::optional<QString> m_persistenceURL;
    std::shared_ptr<ProjectDataFolder> m_dataFolder;

    // Set while an unreadable plan.json waits to be moved aside; cleared by the
    // save job that managed to move it. Shared with queued save jobs.
    // Which unreadable files the next save first moves aside: 1 plan.json, 2 its backup.
    std::shared_ptr<std::atomic<int>> m_setAsideUnreadable = std::make_shared<std::atomic<int>>(0);
};

} // namespace nerim
