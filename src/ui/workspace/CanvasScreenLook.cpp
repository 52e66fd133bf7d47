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

QString unsavedPanesTitle() { return QStringLiteral("Nerim couldn't save this project's panes"); }

QString unsavedPanesMessage(const QString &projectName, const QString &reason)
{
    return QStringLiteral("The latest lines the agents printed in \u201c%1\u201d are not on disk yet: %2.\n\n"
                          "The window stays open so nothing is lost. Make room or fix the problem, then try again. "
                          "If you quit anyway, those lines are lost.")
        .arg(projectName, reason);
}

QString unsavedDataTitle() { return QStringLiteral("Nerim couldn't save all of this project"); }

QString unsavedDataMessage(const QString &projectName, const QString &what, const QString &reason)
{
    QString subject = what;
    if (!subject.isEmpty())
        subject[0] = subject[0].toUpper();
    return QStringLiteral("%1 of \u201c%2\u201d %3 not saved yet: %4.\n\n"
                          "The window stays open so nothing is lost. Make room or fix the problem, then try again. "
                          "If you quit anyway, those changes are lost.")
        .arg(subject, projectName, what.contains(QStringLiteral(" and ")) ? QStringLiteral("are") : QStringLiteral("is"),
             reason);
}

QString unsavedPanesTryAgain() { return QStringLiteral("Try Again"); }

QString unsavedPanesQuitAnyway() { return QStringLiteral("Quit Anyway"); }

} // namespace nerim::CanvasScreenLook
