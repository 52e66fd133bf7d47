#pragma once

#include "panes-store/AgentRole.h"
#include "panes-store/ConversationTurn.h"
#include "agents/ProjectAwareness.h"
#include "persistence/ContextEntry.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace nerim {

// Builds the one long prompt an agent process receives: labelled context blocks
// (role, project and recent activity, prior conversation, plan, plan files, live
// preview, what the application can do, how to orient in the folder), then the
// task and the closing TASK_COMPLETE instruction. Every block returns the empty
// text when it is absent, so an absent block leaves no trace.

struct RoleFocus {
    QString name;  // "General", "Designer", ...
    QString focus; // what the agent of this role owns and leaves alone
};
RoleFocus roleFocus(AgentRole role);

// The number of recent activity entries the prompt summarises.
inline constexpr int recentActivityLimit = 10;

QString assemblePrompt(AgentRole role, const QString &projectPath, const QList<ContextEntry> &recentEntries,
                       const QList<ConversationTurn> &priorTurns, const ProjectAwareness &awareness,
                       const QString &task);

// Only ended turns, numbered from 1.
QString priorConversationBlock(const QList<ConversationTurn> &turns);
QString projectPlanBlock(const std::optional<PlanAwarenessSnapshot> &plan);
// The step at position `index` (from 0).
QString planStepLine(qsizetype index, const PlanAwarenessSnapshot::Step &step);
QString planWorkspaceBlock(const std::optional<PlansWorkspaceSnapshot> &workspace);
QString livePreviewBlock(const std::optional<PreviewSnapshot> &preview);

// The names in the project folder's top level, hidden ones skipped; nothing
// when the folder cannot be listed.
std::optional<QStringList> visibleTopLevelNames(const QString &projectPath);
// One of the three variants: first task (no activity, folder has visible
// items), joining (any activity), empty project (no activity, nothing visible
// or no listing).
QString orientationBlock(qsizetype recentEntryCount, const QString &projectPath,
                         const std::optional<QStringList> &topLevelNames);

// The fixed statement of what the application does for the user.
const QString &capabilitiesText();

} // namespace nerim
