#include "ui/panes/AgentColumnLook.h"

#include "foundation/Text.h"
#include "ui/design/Strings.h"

namespace nerim::AgentColumnLook {

namespace S = Strings::AgentColumn;

Arrangement arrangement(const QList<QUuid> &paneIds, const std::optional<QUuid> &expandedPaneId)
{
    Arrangement result;
    result.fullWidth = expandedPaneId.has_value();
    if (paneIds.isEmpty()) {
        result.layout = Layout::empty;
        return result;
    }
    if (expandedPaneId) {
        const qsizetype index = paneIds.indexOf(*expandedPaneId);
        if (index >= 0) {
            result.layout = Layout::expanded;
            result.expandedIndex = int(index);
            return result;
        }
    }
    result.layout = Layout::stacked;
    return result;
}

QList<Chip> chips(const QList<Pane> &panes, int expandedIndex)
{
    QList<Chip> result;
    for (int i = 0; i < panes.size(); ++i) {
        if (i == expandedIndex)
            continue;
        const Pane &pane = panes.at(i);
        result.append({pane.id, pane.agentName, TokenColor{color(pane.status)}, S::chipHelpPrefix + pane.agentName});
    }
    return result;
}

SpawnButtonLook spawnButton(int paneCount)
{
    if (paneCount < paneLimit)
        return {true, S::spawnHelp, {NmColor::ink}, std::nullopt, 0.5};
    return {false, S::spawnLimitHelp, {NmColor::inkTertiary}, S::spawnCounter.arg(paneCount).arg(paneLimit), 0.3};
}

QString responsibilityHelp() { return Strings::SpawnPopover::responsibilityHelp.arg(responsibilityLimit); }

std::optional<QString> limitedResponsibility(const QString &text)
{
    // Cheap test first: a text of at most 24 UTF-16 units has at most 24 characters.
    if (text.size() <= responsibilityLimit || text::characterCount(text) <= responsibilityLimit)
        return std::nullopt;
    return text::characterPrefix(text, responsibilityLimit);
}

SpawnDraft::Spawn SpawnDraft::commit()
{
    Spawn spawn{responsibility, role};
    cancel();
    return spawn;
}

void SpawnDraft::cancel()
{
    responsibility.clear();
    role = AgentRole::unspecified;
    showing = false;
}

void SpawnDraft::setResponsibility(const QString &text)
{
    responsibility = limitedResponsibility(text).value_or(text);
}

} // namespace nerim::AgentColumnLook
