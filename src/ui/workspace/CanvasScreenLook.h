#pragma once

#include <QString>

namespace nerim {

// The rules of the project canvas screen, as plain functions of the
// controller's models; the screen applies them on every change.
namespace CanvasScreenLook {

inline constexpr double expandedRowPadding = 40;

// What the two panels' flags add up to.
struct PanelFlags {
    bool planExpanded = false;    // visible and expanded
    bool previewExpanded = false; // visible and expanded
    bool anyPanelExpanded = false;
    bool previewTakesOver = false; // the preview expanded and the plan not
};
PanelFlags panelFlags(bool planVisible, bool planExpanded, bool previewVisible, bool previewExpanded);

// What the row of panels holds, from the leading side: the Plans panel and
// the preview panel while visible, and the agent column. An expanded panel
// hides the agent column and the other panel; when both claim to be expanded
// the plan wins. The agent column shows even without panes (it then holds
// only its spawn button), so that a new project can start its first agent.
struct PanelRow {
    bool showsPlans = false;
    bool showsPreview = false;
    bool showsAgentColumn = false;
    double horizontalPadding = 0;
    friend bool operator==(const PanelRow &, const PanelRow &) = default;
};
PanelRow panelRow(bool planVisible, bool planExpanded, bool previewVisible, bool previewExpanded);

// The message that asks the Plans agent for a new plan. The goal is used as
// it is: only an empty goal gives the plain request.
QString regeneratePrompt(const QString &goal);

// The failure pill's text after a failed start-up load.
QString memoryUnavailableText(const QString &message);

// What the window says when it closes while the panes of the project named
// `projectName` still cannot be saved, and why (`reason`, in plain words).
QString unsavedPanesTitle();
QString unsavedPanesMessage(const QString &projectName, const QString &reason);
// The same when something else of the project's data (`what`, such as "the
// plan conversation and the agent names") is not saved.
QString unsavedDataTitle();
QString unsavedDataMessage(const QString &projectName, const QString &what, const QString &reason);
QString unsavedPanesTryAgain();
QString unsavedPanesQuitAnyway();

} // namespace CanvasScreenLook

} // namespace nerim
