#pragma once

#include "panes-store/AgentRole.h"
#include "panes-store/OutputLine.h"
#include "panes-store/OutputLines.h"
#include "ui/design/DesignTokens.h"
#include "ui/panes/TranscriptGrouping.h"

#include <QList>
#include <QString>
#include <QUuid>
#include <optional>

namespace nerim {

// The rules of one agent pane's header and transcript that do not need a
// widget: the name's three forms and the rename steps, the role menu, the
// header buttons, the pane's width and opacity, and where the transcript
// scrolls to.
namespace AgentPaneLook {

inline constexpr int collapsedMaximumWidth = 360;
inline constexpr double unfocusedOpacity = 0.85;
// How long the transcript takes to scroll to a new line (linear).
inline constexpr int scrollDurationMs = 80;

// How the name shows: a rename field, a system pane's fixed name with its
// wand, or a name that a double click or its context menu renames.
enum class NameForm { editing, system, renamable };
NameForm nameForm(bool isEditingName, bool isSystemPane);

// The name in the focused pane is medium weight.
NmFontSpec nameFont(bool isFocused);

// Renaming in place. Beginning fills the draft with the current name; Return
// commits; Escape cancels and clears the draft. Losing focus does neither.
struct RenameState {
    bool isEditing = false;
    QString draft;

    void begin(const QString &currentName);
    // Closes the field; gives the trimmed name to hand on, or none when it is
    // blank or (canonically) the current name. The draft keeps its text.
    std::optional<QString> commit(const QString &currentName);
    void cancel();
};

// The role menu's label: the pane's role symbol and its title in capitals
// (any role, also those the menu does not offer).
struct RoleLabel {
    QString symbol;
    QString shownTitle;
    friend bool operator==(const RoleLabel &, const RoleLabel &) = default;
};
RoleLabel roleLabel(AgentRole role);

struct RoleMenuEntry {
    AgentRole role = AgentRole::unspecified;
    QString title;
    QString symbol;
    friend bool operator==(const RoleMenuEntry &, const RoleMenuEntry &) = default;
};
// The five offered roles in order; nothing marks the current one.
QList<RoleMenuEntry> roleMenu();

struct IconButtonLook {
    QString symbol;
    double symbolSize = 10;
    QString help;
    friend bool operator==(const IconButtonLook &, const IconButtonLook &) = default;
};
IconButtonLook expandButton(bool isExpanded);
IconButtonLook closeButton();

double opacity(bool isFocused);
// 360 points while tiled; no limit when expanded.
std::optional<int> maximumWidth(bool isExpanded);

// The id the transcript scrolls to after a change of the line count: that of
// the last visible line (for a run, its last line, anchored at the run's
// bottom); none when nothing is visible.
std::optional<QUuid> scrollTarget(const QList<RenderGroup> &groups);

// The number of task-complete lines among `lines` (in every output mode).
int taskCompleteCount(std::span<const OutputLine> lines);
// The same for the lines of `lines` from `from` on (up to `end`, when given).
int taskCompleteCount(const OutputLines &lines, qsizetype from, qsizetype end = -1);

} // namespace AgentPaneLook

} // namespace nerim
