#include "app/MainWindow.h"

#include "app/AppShellViewModel.h"
#include "app/KeyboardFocusRing.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/settings/DialogStyle.h"
#include "ui/settings/NerimSettingsView.h"
#include "voice/VoiceNarratorService.h"

#include <QApplication>
#include <QCloseEvent>
#include <QImage>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>
#include <QResource>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>

#include <algorithm>

namespace nerim {

namespace {
// A usual window manager's frame (title bar and borders), until the real one is known.
const QMargins kFrameEstimate(4, 32, 4, 4);
} // namespace

MainWindow::MainWindow(QWidget *parent)
    : MainWindow(AppShellView::Options{}, parent)
{
}

MainWindow::MainWindow(AppShellView::Options options, QWidget *parent)
    : QMainWindow(parent)
{
    setWindowTitle(QStringLiteral("Nerim"));
    setWindowIcon(applicationIcon());
    // Opens within the screen's free area, whatever its size; the frame is
    // not known yet, so a usual title bar and border are allowed for.
    if (const QScreen *screen = this->screen())
        setGeometry(fittedGeometry(screen->availableGeometry(), kFrameEstimate));
    else
        resize(defaultWidth, defaultHeight);
    // Where Tab puts the keyboard focus is always to be seen.
    static KeyboardFocusRing *focusRing = new KeyboardFocusRing(qApp);
    Q_UNUSED(focusRing);
    m_shell = new AppShellViewModel({}, this);
    m_shellView = new AppShellView(m_shell, std::move(options), this);
    setCentralWidget(m_shellView);
}

QRect MainWindow::fittedGeometry(const QRect &available, const QMargins &frame)
{
    const QSize room(std::max(1, available.width() - frame.left() - frame.right()),
                     std::max(1, available.height() - frame.top() - frame.bottom()));
    const QSize size = QSize(defaultWidth, defaultHeight).boundedTo(room);
    QRect placed(QPoint(0, 0), size);
    placed.moveCenter(available.center());
    // Centred in the area, then pushed in so the frame's edges stay inside it.
    placed.moveLeft(std::clamp(placed.left(), available.left() + frame.left(),
                               std::max(available.left() + frame.left(), available.right() - frame.right() - size.width() + 1)));
    placed.moveTop(std::clamp(placed.top(), available.top() + frame.top(),
                              std::max(available.top() + frame.top(), available.bottom() - frame.bottom() - size.height() + 1)));
    return placed;
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (m_fitted)
        return;
    m_fitted = true;
    // The window manager puts its frame on after the window is mapped: look
    // once it had the time to, and again a little later for a slow one.
    QPointer<MainWindow> self(this);
    for (const int delay : {0, 300}) {
        QTimer::singleShot(delay, this, [self] {
            if (self)
                self->fitIntoScreen();
        });
    }
}

void MainWindow::fitIntoScreen()
{
    if (isMaximized() || isFullScreen() || isMinimized())
        return;
    const QScreen *screen = this->screen();
    if (!screen)
        return;
    const QRect available = screen->availableGeometry();
    const QRect frame = frameGeometry();
    if (available.contains(frame))
        return;
    const QRect inner = geometry();
    const QMargins margins(inner.left() - frame.left(), inner.top() - frame.top(), frame.right() - inner.right(),
                           frame.bottom() - inner.bottom());
    const QRect wanted = fittedGeometry(available, margins);
    // Keep the window where it was put when it fits there; else centre it.
    resize(wanted.size());
    QRect moved(frame.topLeft(), wanted.size().grownBy(margins));
    if (!available.contains(moved))
        moved.moveTopLeft(wanted.topLeft() - QPoint(margins.left(), margins.top()));
    move(moved.topLeft());
}

MainWindow::~MainWindow()
{
    // The screens go before the shell whose state they show.
    delete m_shellView;
    m_shellView = nullptr;
}

QIcon MainWindow::applicationIcon()
{
    // The brand mark rendered at build time in the sizes the window system
    // asks for, as raw pixels in the pixmaps' own format (see
    // icon/IconRenderer.cpp). The pixmaps draw straight from the resource's
    // bytes, which stay in the executable's read-only pages: no copy of them
    // is kept on the heap for as long as Nerim runs.
    static const QIcon icon = [] {
        QIcon made;
        for (const int side : {16, 32, 48, 64, 128}) {
            const QResource pixels(QStringLiteral(":/nerim/nerim-%1.argb32").arg(side));
            if (!pixels.isValid() || pixels.compressionAlgorithm() != QResource::NoCompression
                || pixels.size() != qint64(side) * side * 4)
                continue;
            const QImage image(pixels.data(), side, side, side * 4, QImage::Format_ARGB32_Premultiplied);
            made.addPixmap(QPixmap::fromImage(image));
        }
        return made;
    }();
    return icon;
}

void MainWindow::installApplicationMenu()
{
    QMenuBar *bar = menuBar();
    QMenu *menu = bar->addMenu(QStringLiteral("Nerim"));
    menu->addAction(NerimSettingsView::createSettingsAction(this));
    QAction *mute = menu->addAction(QStringLiteral("Mute Narration"));
    mute->setObjectName(QStringLiteral("muteNarrationAction"));
    mute->setCheckable(true);
    mute->setChecked(VoiceNarratorService::shared().isMuted());
    connect(mute, &QAction::toggled, this, [](bool muted) { VoiceNarratorService::shared().setMuted(muted); });
    connect(menu, &QMenu::aboutToShow, mute, [mute] { mute->setChecked(VoiceNarratorService::shared().isMuted()); });
    menu->addSeparator();
    // Quitting closes the window first, so an open project ends in order.
    QAction *quit = menu->addAction(QStringLiteral("Quit Nerim"), QKeySequence::Quit, this, [this] {
        m_quitRequested = true;
        close();
    });
    quit->setObjectName(QStringLiteral("quitAction"));

    // The bar is drawn by the application's style. The menu is a dialog-like
    // surface of the palette, styled the first time it opens: its style
    // sheet is not needed for the first picture.
    bar->setFont(NmFont::captionMedium());
    menu->setFont(NmFont::body());
    const auto styleMenu = [menu] {
        const auto css = [](NmRgb rgb) { return qColor(rgb).name(QColor::HexRgb); };
        menu->setStyleSheet(QStringLiteral("QMenu { background: %1; color: %2; border: 1px solid %3; padding: 4px; }"
                                           "QMenu::item { padding: 5px 24px 5px 24px; border-radius: 4px; }"
                                           "QMenu::item:selected { background: %4; }"
                                           "QMenu::separator { height: 1px; background: %3; margin: 4px 8px; }")
                                .arg(css(NmColor::paperBright), css(NmColor::ink), css(NmColor::hairline),
                                     css(NmColor::accentSoft)));
    };
    connect(menu, &QMenu::aboutToShow, menu, styleMenu, Qt::SingleShotConnection);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    ProjectCanvasView *screen = m_shellView ? m_shellView->canvasScreen() : nullptr;
    if (m_closeAllowed || !screen || !screen->canvas() || screen->isLeaving()) {
        QMainWindow::closeEvent(event);
        // (Closing the window ends Nerim as the last window; the Quit item
        // ends it also while another window is open.)
        if (event->isAccepted() && m_quitRequested)
            QApplication::quit();
        return;
    }
    event->ignore();
    if (std::exchange(m_closingProject, true))
        return; // already closing: the teardown (or its question) is under way
    closeProjectThenQuit(this, screen);
}

QCoro::Task<> MainWindow::closeProjectThenQuit(QPointer<MainWindow> window, QPointer<ProjectCanvasView> screen)
{
    if (screen) {
        QCoro::Task<> closing = screen->closeForQuit();
        co_await std::move(closing);
    }
    if (!window)
        co_return;
    window->m_closeAllowed = true;
    window->close();
}

void MainWindow::bringToFront()
{
    if (isMinimized())
        setWindowState(windowState() & ~Qt::WindowMinimized);
    if (!isVisible())
        show();
    raise();
    activateWindow();
}

void MainWindow::showStartupOutcome(const StartupOutcome &outcome)
{
    m_appState = outcome.appState;
    // Loaded: the shell reads the projects and shows the overview.
    QCoro::Task<> taking = m_shell->takeStartupOutcome(outcome);
    Q_UNUSED(taking);
    if (outcome.succeeded())
        return;
    m_shellView->showStartupFailure(outcome.errorMessage);
    auto *box = new QMessageBox(QMessageBox::Critical, QStringLiteral("Nerim"), outcome.errorMessage,
                                QMessageBox::Ok, this);
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    DialogStyle::apply(box);
    box->open();
}

} // namespace nerim
