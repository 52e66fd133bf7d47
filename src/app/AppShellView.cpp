#include "app/AppShellView.h"

#include "app/AppShellViewModel.h"
#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/NmPainter.h"
#include "ui/design/widgets/AtmosphereView.h"
#include "ui/design/widgets/NmText.h"
#include "ui/workspace/OverviewLook.h"
#include "ui/workspace/PromptBarLook.h"
#include "ui/workspace/PromptBarNotice.h"

#include <QDir>
#include <QLabel>
#include <QPainter>
#include <QUrl>

namespace nerim {

namespace {
constexpr int kBannerTop = 16;
constexpr int kBannerWidth = 640;

// The banner floats over the screen below it: it sits on paper, so that its
// faint red reads the same over any content.
class BannerBacking : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        NmPainter::fill(painter, NmShape::roundedRect(8), QRectF(rect()), qColor(NmColor::paperBright, 0.96));
    }
};
} // namespace

AppShellView::AppShellView(AppShellViewModel *shell, QWidget *parent)
    : AppShellView(shell, Options{}, parent)
{
}

AppShellView::AppShellView(AppShellViewModel *shell, Options options, QWidget *parent)
    : QWidget(parent)
    , m_shell(shell)
    , m_options(std::move(options))
{
    setObjectName(QStringLiteral("AppShellView"));
    m_background = new AtmosphereView(this);
    m_background->setObjectName(QStringLiteral("background"));

    m_startupMessage = new QLabel(this);
    m_startupMessage->setObjectName(QStringLiteral("startupMessage"));
    m_startupMessage->setTextFormat(Qt::PlainText);
    m_startupMessage->setWordWrap(true);
    m_startupMessage->setAlignment(Qt::AlignCenter);
    m_startupMessage->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_startupMessage->setFont(NmFont::body());
    m_startupMessage->setContentsMargins(96, 0, 96, 0);
    m_startupMessage->hide();

    if (shell) {
        connect(shell, &AppShellViewModel::routeChanged, this, &AppShellView::routeChanged);
        connect(shell, &AppShellViewModel::lastErrorChanged, this, &AppShellView::refreshBanner);
        connect(shell, &AppShellViewModel::projectsChanged, this, [this] {
            if (ProjectsOverviewView *view = overview())
                view->setProjects(m_shell->projects());
        });
    }
    routeChanged();
    refreshBanner();
}

ProjectsOverviewView *AppShellView::overview() const
{
    return qobject_cast<ProjectsOverviewView *>(m_screen);
}

ProjectCanvasView *AppShellView::canvasScreen() const
{
    return qobject_cast<ProjectCanvasView *>(m_screen);
}

bool AppShellView::showsStartupScreen(const QWidget *widget) const
{
    if (!widget)
        return false;
    if (m_screen && (widget == m_screen || m_screen->isAncestorOf(widget)))
        return true;
    return widget == m_startupMessage && m_startupMessage->isVisible();
}

void AppShellView::showStartupFailure(const QString &message)
{
    NmText::setPlainText(m_startupMessage, message);
    m_startupMessage->show();
    m_startupMessage->raise();
}

void AppShellView::routeChanged()
{
    if (!m_shell)
        return;
    switch (m_shell->route().kind()) {
    case AppShellRoute::Kind::loading:
        showScreen(nullptr);
        break;
    case AppShellRoute::Kind::projectsOverview:
        showScreen(makeOverview());
        break;
    case AppShellRoute::Kind::projectCanvas:
        showScreen(makeCanvas());
        break;
    }
}

QWidget *AppShellView::makeOverview()
{
    QPointer<AppShellViewModel> shell = m_shell;
    ProjectsOverviewView::Callbacks callbacks;
    // Each returns at once; the shell's task does the work.
    callbacks.onOpen = [shell](const AppState::ProjectRegistryEntry &entry) {
        if (shell)
            shell->openProject(entry);
    };
    callbacks.onAddProject = [shell](const QString &path) {
        if (shell)
            shell->addProject(path);
    };
    callbacks.onRemoveProject = [shell](const AppState::ProjectRegistryEntry &entry) {
        if (shell)
            shell->removeProject(entry);
    };
    callbacks.onStartBlank = [shell] {
        if (shell)
            shell->startBlankProject();
    };
    ProjectsOverviewView::Options options;
    options.folderPicker = m_options.folderPicker;
    options.removalAlert = m_options.removalAlert;
    options.projectsFolderForHelp = OverviewLook::projectsFolderForHelp(m_shell->projectsFolder(), QDir::homePath());
    return new ProjectsOverviewView(m_shell->projects(), std::move(callbacks), std::move(options), this);
}

QWidget *AppShellView::makeCanvas()
{
    const AppShellRoute &route = m_shell->route();
    // The same project's canvas stays: it is never built twice.
    if (ProjectCanvasView *current = canvasScreen(); current && current->projectId() == route.projectId())
        return current;
    QPointer<AppShellViewModel> shell = m_shell;
    auto *canvas = new ProjectCanvasView(
        route.projectId(), QUrl::fromLocalFile(route.path()), route.displayName(), m_shell->appStateActor(),
        [shell] {
            if (shell)
                shell->returnToOverview();
        },
        m_options.controllerFactory, this);
    canvas->setUnsavedPanesAlert(m_options.unsavedPanesAlert);
    return canvas;
}

void AppShellView::showScreen(QWidget *screen)
{
    if (screen == m_screen)
        return;
    if (m_screen) {
        m_screen->hide();
        m_screen->deleteLater();
    }
    m_screen = screen;
    if (screen) {
        screen->setGeometry(rect());
        screen->show();
        screen->lower();
        m_background->lower();
        m_startupMessage->hide();
    }
    if (m_bannerBacking)
        m_bannerBacking->raise();
}

void AppShellView::refreshBanner()
{
    const std::optional<QString> error = m_shell ? m_shell->lastError() : std::nullopt;
    if (!error) {
        if (m_bannerBacking)
            m_bannerBacking->hide();
        return;
    }
    // Made for the first error, so that a start without one never builds it.
    if (!m_banner) {
        m_bannerBacking = new BannerBacking(this);
        m_banner = new PromptBarNotice(m_bannerBacking);
        m_banner->setObjectName(QStringLiteral("errorBanner"));
        m_banner->setFixedWidth(kBannerWidth);
        connect(m_banner, &PromptBarNotice::dismissRequested, this, [this] {
            if (m_shell)
                m_shell->setLastError(std::nullopt);
        });
    }
    PromptBarLook::Notice notice;
    notice.kind = PromptBarLook::Notice::Kind::message;
    notice.text = *error;
    m_banner->setNotice(notice);
    m_bannerBacking->show();
    m_bannerBacking->raise();
    placeBanner();
}

void AppShellView::placeBanner()
{
    if (!m_banner)
        return;
    const int height = m_banner->heightForWidth(kBannerWidth) > 0 ? m_banner->heightForWidth(kBannerWidth)
                                                                  : m_banner->sizeHint().height();
    m_bannerBacking->setGeometry((width() - kBannerWidth) / 2, kBannerTop, kBannerWidth, height);
    m_banner->setGeometry(0, 0, kBannerWidth, height);
}

void AppShellView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_background->setGeometry(rect());
    m_startupMessage->setGeometry(rect());
    if (m_screen)
        m_screen->setGeometry(rect());
    placeBanner();
}

} // namespace nerim
