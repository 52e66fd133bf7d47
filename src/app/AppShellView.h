#pragma once

#include "ui/workspace/ProjectCanvasView.h"
#include "ui/workspace/ProjectsOverviewView.h"

#include <QPointer>
#include <QWidget>

class QLabel;

namespace nerim {

class AppShellViewModel;
class AtmosphereView;
class PromptBarNotice;

// The window's content: the drifting background behind every route, the
// screen of the shell's route on it (nothing while loading, the projects
// overview, or a project's canvas), and the error banner with the shell's
// last error at the top. A screen being replaced is hidden at once and
// deleted once the event that replaced it has been handled, so no screen is
// ever deleted inside one of its own event handlers.
class AppShellView : public QWidget {
    Q_OBJECT
public:
    struct Options {
        // Handed to the overview (empty: the desktop's dialogs).
        ProjectsOverviewView::FolderPicker folderPicker;
        ProjectsOverviewView::RemovalAlert removalAlert;
        // Handed to each canvas (empty: controllers with their own defaults).
        ProjectCanvasView::ControllerFactory controllerFactory;
        // Handed to each canvas (empty: the desktop's dialog).
        ProjectCanvasView::UnsavedPanesAlert unsavedPanesAlert;
    };

    explicit AppShellView(AppShellViewModel *shell, QWidget *parent = nullptr);
    AppShellView(AppShellViewModel *shell, Options options, QWidget *parent = nullptr);

    // The screen shown now (null while loading).
    QWidget *screen() const { return m_screen; }
    ProjectsOverviewView *overview() const;
    ProjectCanvasView *canvasScreen() const;
    // The banner of the shell's last error (null until the first error).
    PromptBarNotice *errorBanner() const { return m_banner; }
    AtmosphereView *background() const { return m_background; }

    // Whether `widget` is (or is inside) the screen the start-up load led to:
    // the route's screen, or the message of a failed load.
    bool showsStartupScreen(const QWidget *widget) const;

    // Shows the message of a failed start-up load over the background.
    void showStartupFailure(const QString &message);
    QLabel *startupMessage() const { return m_startupMessage; }

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void routeChanged();
    void showScreen(QWidget *screen);
    void refreshBanner();
    void placeBanner();
    QWidget *makeOverview();
    QWidget *makeCanvas();

    QPointer<AppShellViewModel> m_shell;
    Options m_options;
    AtmosphereView *m_background = nullptr;
    QPointer<QWidget> m_screen;
    QWidget *m_bannerBacking = nullptr;
    PromptBarNotice *m_banner = nullptr;
    QLabel *m_startupMessage = nullptr;
};

} // namespace nerim
