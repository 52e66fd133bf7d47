#pragma once

#include "ui/workspace/CanvasScreenLook.h"

#include <QCoro/QCoroTask>

#include <QPointer>
#include <QUrl>
#include <QWidget>
#include <functional>
#include <memory>

class QLabel;
class QShortcut;

namespace nerim {

class AgentColumnView;
class AppServerPill;
class AppStateActor;
class DeployPill;
class NmLoadingHint;
class OutputModeToggle;
class PlanToggle;
class PlansPanelView;
class PreviewPanelView;
class PreviewToggle;
class ProjectCanvasViewModel;
class PromptBarView;
class SidebarView;
class VoiceStatusIndicator;

// The screen of one open project. On its first appearance it creates the
// project's controller and runs its start-up load, showing "Opening
// project…" until the controller exists and "Preparing memory…" (or, after
// a failed load, "Memory unavailable · …") under a canvas that is usable at
// once: the header with the project's name and controls, the row of panels
// (Plans, preview, agents), the prompt bar, and the sidebar whose projects
// button leaves the project. Ctrl+E shows or hides the preview; Escape
// collapses an expanded panel (Plans or preview) or pane, and with nothing
// expanded, when the focused control has no use for it, leaves the project
// as the projects button does.
//
// Tab and Shift+Tab go through the controls in reading order: the sidebar,
// the header's controls from left to right, the Plans panel, the preview
// panel (its toolbar, page, banner and status strip), the agent column (its
// panes, then "Spawn agent"), and the prompt bar. The screen holds the
// focus itself while it opens, so that Escape and the first Tab work before
// any control was clicked.
//
// Leaving runs once: the controller is torn down (its agents stopped, its
// panes saved) before the shell is asked to show the overview; clicks that
// arrive meanwhile are ignored. The controller is shared, so it outlives the
// screen until its teardown has finished, and every task started here checks
// that the screen and the controller still exist after each wait. The screen
// disappearing (taken out of the window, or destroyed) only stops the voice
// hotkey; a minimised window is not a disappearance.
//
// The controller comes from an injectable factory (tests pass a fake agent
// provider). The Plans panel and the preview panel are made the first time
// the panel row shows them (an empty hidden widget keeps their place until
// then), so the turn that shows the canvas builds only the header, the agent
// column, the prompt bar and the sidebar. A screen destroyed without leaving
// starts the same teardown.
class ProjectCanvasView : public QWidget {
    Q_OBJECT
public:
    // Makes the controller for the project (tests pass one with a fake agent
    // provider); empty: a controller with its own defaults.
    using ControllerFactory = std::function<std::shared_ptr<ProjectCanvasViewModel>(
        const QString &projectId, const QString &projectPath, const QString &projectDisplayName)>;

    enum class Phase { opening, loading, ready, failed };

    ProjectCanvasView(QString projectId, QUrl projectURL, QString projectDisplayName,
                      std::shared_ptr<AppStateActor> appStateActor, std::function<void()> onReturnToOverview,
                      ControllerFactory controllerFactory = {}, QWidget *parent = nullptr);
    ~ProjectCanvasView() override;

    const QString &projectId() const { return m_projectId; }
    ProjectCanvasViewModel *canvas() const { return m_canvas.get(); }
    Phase phase() const;

    // The sidebar's projects button: tears the controller down, then asks to
    // return to the overview. Runs once; later calls are ignored.
    void leaveProject();
    bool isLeaving() const { return m_leaving; }

    // Asks, while the window closes, what to do with panes that still cannot
    // be saved: `title` and `message` say what and why, and `done` is called
    // once with true to try again, false to quit anyway. Opened without
    // exec(); empty: a message box styled as the app's dialogs.
    using UnsavedPanesAlert = std::function<void(QWidget *parent, const QString &title, const QString &message,
                                                 std::function<void(bool tryAgain)> done)>;
    void setUnsavedPanesAlert(UnsavedPanesAlert alert) { m_unsavedPanesAlert = std::move(alert); }
    static UnsavedPanesAlert desktopUnsavedPanesAlert();
    // The window is closing: tears the controller down as leaving does, but
    // stays on this screen, its panes shown, and asks through the alert each
    // time their save still fails after the teardown's retries. Completes once
    // the controller is torn down (at once when leaving already began).
    QCoro::Task<> closeForQuit();

    // The panel row as last applied.
    const CanvasScreenLook::PanelRow &panelRow() const { return m_panelRow; }

    // Parts, for tests and the gallery (null until the canvas is built; the
    // Plans panel and the preview panel until they are first shown).
    SidebarView *sidebar() const { return m_sidebar; }
    PromptBarView *promptBar() const { return m_promptBar; }
    AgentColumnView *agentColumn() const { return m_agentColumn; }
    PlansPanelView *plansPanel() const { return m_plansPanel; }
    PreviewPanelView *previewPanel() const { return m_previewPanel; }
    QShortcut *togglePreviewShortcut() const { return m_togglePreview; }
    QShortcut *collapsePaneShortcut() const { return m_collapsePane; }

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool focusNextPrevChild(bool next) override;

private:
    class PanelRowWidget;

    // The start-up task, leaving, and the teardown of a controller whose
    // screen went away: they hold the screen weakly and the controller shared.
    static QCoro::Task<> startUp(QPointer<ProjectCanvasView> screen);
    static QCoro::Task<> leave(QPointer<ProjectCanvasView> screen, std::shared_ptr<ProjectCanvasViewModel> canvas,
                               std::function<void()> onReturnToOverview);
    static QCoro::Task<> finishBootstrap(std::shared_ptr<ProjectCanvasViewModel> canvas);

    void appear();
    void disappear();
    void adoptController(std::shared_ptr<ProjectCanvasViewModel> canvas);
    void buildCanvas();
    void placeOverlays();
    void refreshStatusOverlay();
    void refreshPanelRow();
    void refreshShortcuts();
    void refreshRepairCoordinator();
    void planExpandedChanged();
    void previewExpandedChanged();
    // The regions Tab goes through, in reading order.
    QList<QWidget *> tabRegions() const;

    const QString m_projectId;
    const QUrl m_projectURL;
    const QString m_projectDisplayName;
    std::shared_ptr<AppStateActor> m_appStateActor;
    std::function<void()> m_onReturnToOverview;
    ControllerFactory m_controllerFactory;
    UnsavedPanesAlert m_unsavedPanesAlert;

    std::shared_ptr<ProjectCanvasViewModel> m_canvas;
    bool m_leaving = false;
    bool m_shown = false;

    QWidget *m_openingPage = nullptr;
    QWidget *m_canvasPage = nullptr;
    QLabel *m_title = nullptr;
    QList<QWidget *> m_headerControls; // left to right
    PanelRowWidget *m_row = nullptr;
    PlansPanelView *m_plansPanel = nullptr;
    PreviewPanelView *m_previewPanel = nullptr;
    AgentColumnView *m_agentColumn = nullptr;
    PromptBarView *m_promptBar = nullptr;
    SidebarView *m_sidebar = nullptr;
    QWidget *m_statusOverlay = nullptr;
    VoiceStatusIndicator *m_voiceIndicator = nullptr;
    QShortcut *m_togglePreview = nullptr;
    QShortcut *m_collapsePane = nullptr;
    CanvasScreenLook::PanelRow m_panelRow;
    bool m_panelRowApplied = false;
};

} // namespace nerim
