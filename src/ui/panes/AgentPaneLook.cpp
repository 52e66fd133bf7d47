#include "ui/panes/AgentPaneLook.h"

#include "ui/design/Strings.h"

#include <algorithm>

namespace nerim::AgentPaneLook {

namespace S = Strings::AgentPane;

NameForm nameForm(bool isEditingName, bool isSystemPane)
{
    if (isEditingName)
        return NameForm::editing;
    return isSystemPane ? NameForm::system : NameForm::renamable;
}

NmFontSpec nameFont(bool isFocused) { return isFocused ? NmFontSpecs::bodyMedium : NmFontSpecs::body; }

void RenameState::begin(const QString &currentName)
{
    draft = currentName;
    isEditing = true;
}

std::optional<QString> RenameState::commit(const QString &currentName)
{
    isEditing = false;
    const QString name = draft.trimmed();
    if (name.isEmpty())
        return std::nullopt;
    // Canonically equivalent texts (a precomposed "é" and "e" with a combining
    // accent) are the same name.
    if (name.normalized(QString::NormalizationForm_C) == currentName.normalized(QString::NormalizationForm_C))
        return std::nullopt;
    return name;
}

void RenameState::cancel()
{
    draft.clear();
    isEditing = false;
}

RoleLabel roleLabel(AgentRole role) { return {symbolName(role), displayName(role).toUpper()}; }

QList<RoleMenuEntry> roleMenu()
{
    QList<RoleMenuEntry> entries;
    for (AgentRole role : offeredAgentRoles())
        entries.append({role, displayName(role), symbolName(role)});
    return entries;
}

IconButtonLook expandButton(bool isExpanded)
{
    if (isExpanded)
        return {QStringLiteral("arrow.down.right.and.arrow.up.left"), 10, S::collapseHelp};
    return {QStringLiteral("arrow.up.left.and.arrow.down.right"), 10, S::expandHelp};
}

IconButtonLook closeButton() { return {QStringLiteral("xmark"), 9, S::closeHelp}; }

double opacity(bool isFocused) { return isFocused ? 1.0 : unfocusedOpacity; }

std::optional<int> maximumWidth(bool isExpanded)
{
    if (isExpanded)
        return std::nullopt;
    return collapsedMaximumWidth;
}

std::optional<QUuid> scrollTarget(const QList<RenderGroup> &groups)
{
    if (groups.isEmpty())
        return std::nullopt;
    const RenderGroup &last = groups.last();
    if (const auto *run = last.asStdoutRun())
        return run->lastLineId;
    return last.id();
}

int taskCompleteCount(std::span<const OutputLine> lines)
{
    return int(std::count_if(lines.begin(), lines.end(),
                             [](const OutputLine &line) { return line.kind == OutputLine::Kind::taskComplete; }));
}

int taskCompleteCount(const OutputLines &lines, qsizetype from, qsizetype end)
{
    int count = 0;
    end = end < 0 ? lines.size() : std::min(end, lines.size());
    for (qsizetype i = std::max<qsizetype>(0, from); i < end; ++i)
        count += lines.kind(i) == OutputLine::Kind::taskComplete;
    return count;
}

} // namespace nerim::AgentPaneLook
