#pragma once

#include "app/AppShellView.h"
#include "app/AppStartup.h"

#include <QIcon>
#include <QCoro/QCoroTask>
#include <QMainWindow>
#include <QPointer>
#include <memory>

namespace nerim {

class AppShellViewModel;

// The application's one window: the shell's view of the route (the projects
// overview or a project's canvas) on the drifting background; after a failed
// start-up load, the load's message instead.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    static constexpr int defaultWidth = 1180;
    static constexpr int defaultHeight = 760;

    // The window's geometry on a screen whose free area (without panels and
    // docks) is `available`, for a frame of `frame` around it: the default
    // size where it fits, else as much of it as fits, centred, the frame
    // within the area.
    static QRect fittedGeometry(const QRect &available, const QMargins &frame);

    explicit MainWindow(QWidget *parent = nullptr);
    explicit MainWindow(AppShellView::Options options, QWidget *parent = nullptr);
    ~MainWindow() override;

    // Takes the start-up outcome (and keeps the application state owner alive).
    void showStartupOutcome(const StartupOutcome &outcome);

    // The application menu "Nerim" (Settings…, the narration mute toggle,
    // Quit Nerim) in a menu bar drawn with the design's palette and type,
    // running into the window's background.
    void installApplicationMenu();
    // The application icon: the brand mark, from the resources.
    static QIcon applicationIcon();

    // Shows the window in front (for a pairing link): a minimized window is
    // restored to the state it had (maximized, full screen or normal); any
    // other keeps its size and state and is only raised and activated.
    void bringToFront();

    const std::shared_ptr<AppStateActor> &appState() const { return m_appState; }
    AppShellViewModel *shell() const { return m_shell; }
    AppShellView *shellView() const { return m_shellView; }

protected:
    void showEvent(QShowEvent *event) override;
    // With a project open, the window closes (and Nerim quits) only once the
    // project's canvas is torn down: its panes saved, or left unsaved at the
    // user's word after the window said why they could not be saved.
    void closeEvent(QCloseEvent *event) override;

private:
    // Moves and shrinks the window until its frame lies within its screen's
    // free area (the frame is known only once the window is on the screen).
    void fitIntoScreen();

    static QCoro::Task<> closeProjectThenQuit(QPointer<MainWindow> window, QPointer<ProjectCanvasView> screen);

    std::shared_ptr<AppStateActor> m_appState;
    bool m_fitted = false;
    // A close waits for the open project's teardown; then it may go through.
    bool m_closingProject = false;
    bool m_closeAllowed = false;
    bool m_quitRequested = false;
    AppShellViewModel *m_shell = nullptr;
    AppShellView *m_shellView = nullptr;
};

} // namespace nerim
