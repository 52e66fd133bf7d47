#include "ui/workspace/CanvasScreenLook.h"

#include "ui/design/Strings.h"

namespace nerim::CanvasScreenLook {

PanelFlags panelFlags(bool planVisible, bool planExpanded, bool previewVisible, bool previewExpanded)
{
    PanelFlags flags;
    flags.planExpanded = planVisible && planExpanded;
    flags.previewExpanded = previewVisible && previewExpanded;
    flags.anyPanelExpanded = flags.planExpanded || flags.previewExpanded;
    flags.previewTakesOver = flags.previewExpanded && !flags.planExpanded;
    return flags;
}

PanelRow panelRow(bool planVisible, bool planExpanded, bool previewVisible, bool previewExpanded)
{
    PanelRow row;
    const PanelFlags flags = panelFlags(planVisible, planExpanded, previewVisible, previewExpanded);
    row.showsPlans = planVisible && !flags.previewTakesOver;
    row.showsPreview = previewVisible && !flags.planExpanded;
    row.showsAgentColumn = !flags.anyPanelExpanded;
    row.horizontalPadding = flags.anyPanelExpanded ? expandedRowPadding : 0;
    return row;
}

QString regeneratePrompt(const QString &goal)
{
    if (goal.isEmpty())
        return Strings::Canvas::regenerate;
    return Strings::Canvas::regenerateWithGoal + goal;
}

QString memoryUnavailableText(const QString &message)
{
    return Strings::Canvas::memoryUnavailablePrefix + message;
}

} // namespace nerim::CanvasScreenLook
