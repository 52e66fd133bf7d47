#include "ui/settings/NerimSettingsView.h"

#include "credentials/ManagedKeysSettingsViewModel.h"
#include "ui/settings/DialogStyle.h"
#include "ui/settings/ManagedKeysSettingsTab.h"
#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/NmIcons.h"
#include "ui/design/widgets/AtmosphereView.h"
#include "ui/design/widgets/NmScrollBar.h"
#include "ui/design/widgets/NmSurfaceModifier.h"

#include <QApplication>

#include <QAction>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QKeyEvent>
#include <QKeySequence>
#include <QTabBar>
#include <QPointer>
#include <QTabWidget>
#include <QVBoxLayout>

namespace nerim {

namespace {

// The one tab as a pill over the background, the page under it clear (its
// content is a pane surface of its own).
QString tabStyleSheet()
{
    const auto rgba = [](NmRgb rgb, double opacity) {
        return QStringLiteral("rgba(%1, %2, %3, %4)").arg(rgb.red).arg(rgb.green).arg(rgb.blue).arg(opacity);
    };
    return QStringLiteral("QTabWidget { background: transparent; }"
                          "QTabWidget::pane { border: none; background: transparent; top: 0px; }"
                          "QTabWidget::tab-bar { alignment: center; }"
                          "QTabBar { background: transparent; }"
                          "QTabBar::tab { color: %1; background: %2; border: 0.5px solid %3; border-radius: 13px;"
                          " padding: 4px 14px; margin: 12px 0px 0px 0px; }")
        .arg(rgba(NmColor::ink, 1), rgba(NmColor::accentSoft, 1), rgba(NmColor::hairline, 0.6));
}

// Room around the account tab's surface: its shadow fades out within it
// (above, where the tab bar would cut it, it needs the most).
constexpr int kSurfaceMargin = 14;
constexpr int kSurfaceTopMargin = 26;

} // namespace

NerimSettingsView::NerimSettingsView(QWidget *parent)
    : QWidget(parent)
    , m_background(new AtmosphereView(this))
    , m_tabs(new QTabWidget(this))
    , m_accountTab(new ManagedKeysSettingsTab)
{
    DialogStyle::apply(this);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    // The tab's page: the account tab on its surface, with room for the shadow.
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("accountPage"));
    auto *pageLayout = new QVBoxLayout(page);
    pageLayout->setContentsMargins(kSurfaceMargin, kSurfaceTopMargin, kSurfaceMargin, kSurfaceMargin + 4);
    pageLayout->addWidget(m_accountTab);
    NmPaneSurfaceModifier::apply(m_accountTab, true);

    m_tabs->setStyleSheet(tabStyleSheet());
    m_tabs->tabBar()->setFont(NmFont::captionMedium());
    m_tabs->tabBar()->setFocusPolicy(Qt::NoFocus);
    m_tabs->tabBar()->setDrawBase(false);
    const QImage icon = NmIcons::image(u"person.crop.circle", NmSymbolWeight::regular, 12, qColor(NmColor::ink),
                                       devicePixelRatioF());
    // The page scrolls when the window has not the room for all of it (a
    // small screen, a large text scale, a long failure message), so nothing
    // on it is ever squeezed below its own size.
    m_scroll = new QScrollArea;
    m_scroll->setObjectName(QStringLiteral("accountScroll"));
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidgetResizable(true);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // The app's slim bar, not the platform's grey one beside the page.
    NmScrollBar::styleSlimVertical(m_scroll->verticalScrollBar(), qColor(NmColor::inkTertiary, 0.55));
    m_scroll->setAutoFillBackground(false);
    m_scroll->viewport()->setAutoFillBackground(false);
    m_scroll->setWidget(page);
    page->setAutoFillBackground(false); // the scroll area fills it; the background shows through
    m_page = page;
    page->installEventFilter(this);
    m_tabs->addTab(m_scroll, QIcon(QPixmap::fromImage(icon)), ManagedKeysSettingsViewModel::title());
    layout->addWidget(m_tabs);
    setMinimumSize(kMinimumWidth, kMinimumHeight);
    resize(fittingSize());
    m_fittedHeight = height();
    m_background->lower();
    m_background->setGeometry(rect());
}

QSize NerimSettingsView::fittingSize() const
{
    // The preferred width; the height the content needs at that width.
    const int width = kPreferredWidth;
    const int pageWidth = width - 2 * m_tabs->contentsMargins().left();
    const int pageHeight =
        m_page->hasHeightForWidth() ? m_page->heightForWidth(pageWidth) : m_page->sizeHint().height();
    const int tabBar = m_tabs->tabBar()->sizeHint().height();
    QSize wanted(width, pageHeight + tabBar + kTabBarMargin);
    // Never larger than the screen's free area (room left for the window's frame).
    if (const QScreen *screen = this->screen()) {
        const QSize room = screen->availableGeometry().size() - QSize(kFrameAllowance, kFrameAllowance * 3);
        wanted = wanted.boundedTo(room);
    }
    return wanted.expandedTo(QSize(kMinimumWidth, kMinimumHeight));
}

bool NerimSettingsView::eventFilter(QObject *watched, QEvent *event)
{
    // The content grew (a result row, a longer message): the window grows
    // with it while the screen has the room; past that, the page scrolls.
    if (watched == m_page && event->type() == QEvent::LayoutRequest) {
        QPointer<NerimSettingsView> self(this);
        QTimer::singleShot(0, this, [self] {
            if (!self)
                return;
            // Only a content that grew grows the window: a window the user
            // made shorter stays so (its page scrolls).
            const int wanted = self->fittingSize().height();
            if (wanted > self->m_fittedHeight && wanted > self->height())
                self->resize(self->width(), wanted);
            self->m_fittedHeight = wanted;
        });
    }
    return QWidget::eventFilter(watched, event);
}

void NerimSettingsView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_background->setGeometry(rect());
}

void NerimSettingsView::keyPressEvent(QKeyEvent *event)
{
    // Escape closes the window, as it closes the desktop's dialogs; a child
    // that has a use for it (none does today) takes it first.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        close();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

QWidget *NerimSettingsView::showSettingsWindow(QWidget *over)
{
    static QPointer<NerimSettingsView> window;
    const bool made = !window;
    if (made) {
        // A dialog of Nerim's window, so it opens over it (not wherever the
        // window manager puts a new top-level window).
        window = new NerimSettingsView(over ? over->window() : nullptr);
        window->setWindowFlag(Qt::Dialog);
        window->setAttribute(Qt::WA_DeleteOnClose);
        window->setWindowTitle(QStringLiteral("Settings"));
        DialogStyle::centreOver(window, over);
    }
    window->show();
    window->raise();
    window->activateWindow();
    return window;
}

QAction *NerimSettingsView::createSettingsAction(QObject *parent)
{
    auto *action = new QAction(QStringLiteral("Settings\u2026"), parent);
    action->setMenuRole(QAction::PreferencesRole);
    QList<QKeySequence> shortcuts = QKeySequence::keyBindings(QKeySequence::Preferences);
    if (shortcuts.isEmpty())
        shortcuts.append(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    action->setShortcuts(shortcuts);
    QObject::connect(action, &QAction::triggered, action, [action] {
        QWidget *over = qobject_cast<QWidget *>(action->parent());
        showSettingsWindow(over ? over : QApplication::activeWindow());
    });
    return action;
}

} // namespace nerim
