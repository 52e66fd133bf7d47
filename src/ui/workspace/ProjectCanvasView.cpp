#include "ui/workspace/ProjectCanvasView.h"

#include "canvas/ProjectCanvasViewModel.h"
#include "persistence/AppStateActor.h"
#include "ui/deploy/DeployPaneCards.h"
#include "ui/deploy/DeployPill.h"
#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/NmIcons.h"
#include "ui/design/NmPainter.h"
#include "ui/design/Strings.h"
#include "ui/design/SurfaceStyles.h"
#include "ui/design/widgets/NmFrameMotion.h"
#include "ui/design/widgets/NmLoadingHint.h"
#include "ui/design/widgets/NmText.h"
#include "ui/design/widgets/ReducibleTransition.h"
#include "ui/panels/PlansPanelView.h"
#include "ui/panels/PreviewPanelView.h"
#include "preview/PreviewState.h"
#include "repair/RepairSessionState.h"
#include "ui/panes/AgentColumnView.h"
#include "ui/panes/AgentPaneView.h"
#include "ui/workspace/AppServerPill.h"
#include "ui/workspace/CanvasTabOrder.h"
#include "ui/workspace/CanvasPanelWiring.h"
#include "ui/workspace/HeaderToggles.h"
#include "ui/workspace/OutputModeToggle.h"
#include "ui/workspace/PromptBarView.h"
#include "ui/workspace/SidebarView.h"
#include "ui/workspace/VoiceStatusIndicator.h"
#include "ui/workspace/WorkspacePainting.h"

#include <QCoro/QCoroSignal>
#include <QApplication>
#include <QHBoxLayout>
#include <QHideEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QShortcut>
#include <QShowEvent>
#include <QVBoxLayout>
#include <algorithm>

namespace nerim {

namespace {

constexpr int kOverlayBottomPadding = 12;
constexpr int kVoiceTopPadding = 12;
constexpr int kSidebarInset = 16;
constexpr int kPanelSpacing = 32;
constexpr int kLeastPanelSpacing = 16;

// The bottom pill after a failed start-up load: a warning sign and
// "Memory unavailable · " with the controller's message, as plain text.
class FailurePill : public QWidget {
public:
    FailurePill(const QString &message, QWidget *parent) : QWidget(parent)
    {
        setObjectName(QStringLiteral("failurePill"));
        auto *layout = new QHBoxLayout(this);
        layout->setContentsMargins(12 + int(NmIcons::boxSide(11)) + 8, 8, 12, 8);
        m_text = new QLabel(this);
        m_text->setObjectName(QStringLiteral("failureText"));
        NmText::setPlainText(m_text, CanvasScreenLook::memoryUnavailableText(message));
        m_text->setFont(NmFont::caption());
        QPalette palette = m_text->palette();
        palette.setColor(QPalette::WindowText, qColor(NmColor::ink));
        m_text->setPalette(palette);
        layout->addWidget(m_text);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF bounds = rect();
        NmPainter::fill(painter, NmShape::roundedRect(8), bounds, SurfaceStyles::pane(false).material);
        NmPainter::fill(painter, NmShape::roundedRect(8), bounds, qColor(NmColor::paperBright, 0.6));
        const double icon = NmIcons::boxSide(11);
        NmIcons::paint(painter, QRectF(12, (height() - icon) / 2, icon, icon), u"exclamationmark.triangle",
                       NmSymbolWeight::regular, 11, qColor(NmColor::danger));
    }

private:
    QLabel *m_text = nullptr;
};

// The row's layout. In a window too narrow for every panel's least width
// (the Plans panel, the preview and the agent column side by side at about
// 1024 wide), the gaps between the panels narrow first, down to 16, so that
// no panel is squeezed below its least width while the gaps could give way.
// With room enough the gaps stay 32.
class PanelRowLayout : public QHBoxLayout {
public:
    using QHBoxLayout::QHBoxLayout;

    void setGeometry(const QRect &rect) override
    {
        int least = 0;
        int panels = 0;
        for (int i = 0; i < count(); ++i) {
            QLayoutItem *item = itemAt(i);
            if (item->isEmpty())
                continue;
            least += item->minimumSize().width();
            ++panels;
        }
        int gap = kPanelSpacing;
        if (panels > 1) {
            const QMargins margins = contentsMargins();
            const int room = rect.width() - margins.left() - margins.right() - least;
            gap = std::clamp(room / (panels - 1), kLeastPanelSpacing, kPanelSpacing);
        }
        // Only a change of the gap invalidates the layout, so the next pass
        // finds the same gap and stops.
        if (gap != spacing())
            setSpacing(gap);
        QHBoxLayout::setGeometry(rect);
    }
};

} // namespace

// The row of panels: Plans, preview and the agent column, 32 points apart
// (less in a narrow window, see PanelRowLayout).
// It keeps clear of the sidebar on its leading side. The Plans panel keeps a
// column's width unless expanded, the preview takes the width left over, and
// while neither wants more the row's content is centred.
class ProjectCanvasView::PanelRowWidget : public QWidget {
public:
    static constexpr int sidebarClearance = kSidebarInset + int(SidebarLook::railWidth) + kSidebarInset;
    static constexpr int trailingMargin = 40;
    static constexpr int plansWidth = 300;

    explicit PanelRowWidget(QWidget *parent) : QWidget(parent)
    {
        setObjectName(QStringLiteral("panelRow"));
        m_layout = new PanelRowLayout(this);
        m_layout->setContentsMargins(sidebarClearance, 0, trailingMargin, 0);
        m_layout->setSpacing(kPanelSpacing);
    }

    // The row's items, in order: a stretch, the Plans panel's place, the
    // preview's place, the agent column, a stretch. The panels themselves
    // come when they are first shown (`adopt`); until then an empty hidden
    // widget keeps their place, which takes no room.
    void place(QWidget *column)
    {
        m_column = column;
        m_layout->addStretch(1);
        for (int i = 0; i < 2; ++i) {
            auto *empty = new QWidget(this);
            empty->hide();
            m_layout->addWidget(empty);
        }
        addMoving(column, m_layout->count(), 1, Qt::AlignTop);
        m_layout->addStretch(1);
    }

    // Puts the Plans panel (`plans`) or the preview into its place.
    void adopt(QWidget *panel, bool plans)
    {
        const int index = plans ? 1 : 2;
        QLayoutItem *empty = m_layout->takeAt(index);
        delete empty->widget();
        delete empty;
        addMoving(panel, index, plans ? 0 : 1, {});
        if (plans) {
            m_plans = panel;
        } else {
            m_preview = panel;
            panel->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        }
    }

    void apply(const CanvasScreenLook::PanelRow &row, bool planExpanded, bool paneExpanded, bool hasPanes)
    {
        if (!m_plans) {
        } else if (planExpanded) {
            NmLayoutLimits::setMinimumSize(m_plans, QSize(0, 0));
            m_plans->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
            m_layout->setStretch(1, 1);
        } else {
            NmLayoutLimits::setMinimumSize(m_plans, QSize(plansWidth, 0));
            m_layout->setStretch(1, 0);
        }
        // Tiled, the Plans panel hugs its content's height from the top.
        if (m_plans)
            m_layout->setAlignment(m_plans, planExpanded ? Qt::Alignment() : Qt::AlignTop);
        // Tiled, the preview's frame (at most 400 high) sits at the top like
        // the agent column beside it; expanded it fills the row.
        if (m_preview)
            m_layout->setAlignment(m_preview, row.horizontalPadding > 0 ? Qt::Alignment() : Qt::AlignTop);
        // The column's panes take the row's whole height (an expanded one
        // and a stack alike); "Spawn agent" alone sits at the top.
        m_layout->setAlignment(m_column, paneExpanded || hasPanes ? Qt::Alignment() : Qt::AlignTop);
        const bool centred = !row.showsPreview && !planExpanded && !paneExpanded;
        m_layout->setStretch(0, centred ? 1 : 0);
        m_layout->setStretch(4, centred ? 1 : 0);
        const int padding = int(row.horizontalPadding);
        m_layout->setContentsMargins(std::max(sidebarClearance, padding), 0, std::max(trailingMargin, padding), 0);
    }

    // Records the panels' frames; the next layout moves them from there.
    void captureFrames()
    {
        if (!isVisible())
            return;
        QList<QWidget *> panels{m_column};
        for (QWidget *panel : {m_plans, m_preview})
            if (panel)
                panels.append(panel);
        m_motion->capture(panels, NmMotion::standard());
    }

private:
    // The panels move to their new frames instead of jumping there.
    void addMoving(QWidget *widget, int index, int stretch, Qt::Alignment alignment)
    {
        auto *item = new NmMovingWidgetItem(widget, m_motion);
        item->setAlignment(alignment);
        m_layout->insertItem(index, item);
        m_layout->setStretch(index, stretch);
    }

    QHBoxLayout *m_layout = nullptr;
    NmFrameMotion *m_motion = new NmFrameMotion(this);
    QWidget *m_plans = nullptr;
    QWidget *m_preview = nullptr;
    QWidget *m_column = nullptr;
};

ProjectCanvasView::ProjectCanvasView(QString projectId, QUrl projectURL, QString projectDisplayName,
                                     std::shared_ptr<AppStateActor> appStateActor,
                                     std::function<void()> onReturnToOverview, ControllerFactory controllerFactory,
                                     QWidget *parent)
    : QWidget(parent)
    , m_projectId(std::move(projectId))
    , m_projectURL(std::move(projectURL))
    , m_projectDisplayName(std::move(projectDisplayName))
    , m_appStateActor(std::move(appStateActor))
    , m_onReturnToOverview(std::move(onReturnToOverview))
    , m_controllerFactory(std::move(controllerFactory))
{
    setObjectName(QStringLiteral("ProjectCanvasView"));
    if (!m_controllerFactory) {
        m_controllerFactory = [](const QString &id, const QString &path, const QString &name) {
            return std::make_shared<ProjectCanvasViewModel>(id, path, name);
        };
    }
    m_openingPage = new QWidget(this);
    m_openingPage->setObjectName(QStringLiteral("openingPage"));
    auto *opening = new QVBoxLayout(m_openingPage);
    opening->addStretch(1);
    opening->addWidget(new NmLoadingHint(NmLoadingHint::Mark::monogram, Strings::Loading::openingProject,
                                         m_projectDisplayName, m_openingPage),
                       0, Qt::AlignHCenter);
    opening->addStretch(1);
}

ProjectCanvasView::~ProjectCanvasView()
{
    disappear();
    // Nothing the controller does from here on reaches this screen.
    if (m_canvas) {
        ProjectCanvasViewModel *canvas = m_canvas.get();
        for (QObject *sender : std::initializer_list<QObject *>{canvas, &canvas->plan(), &canvas->preview(),
                                                                &canvas->devServerRunner(), &canvas->repairSession().state(),
                                                                &canvas->deploySession().state()})
            QObject::disconnect(sender, nullptr, this, nullptr);
    }
    // The views that read the controller go before it can.
    const QList<QWidget *> children = findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
    qDeleteAll(children);
    // A screen that goes without leaving (the window closing) still stops
    // its agents and saves its panes; the controller lives until then.
    if (m_canvas && !m_leaving && !m_canvas->isTornDown())
        leave(nullptr, m_canvas, {});
}

ProjectCanvasView::Phase ProjectCanvasView::phase() const
{
    if (!m_canvas)
        return Phase::opening;
    switch (m_canvas->bootstrapStatus().kind()) {
    case ProjectCanvasViewModel::BootstrapStatus::Kind::loading: return Phase::loading;
    case ProjectCanvasViewModel::BootstrapStatus::Kind::ready: return Phase::ready;
    case ProjectCanvasViewModel::BootstrapStatus::Kind::failed: return Phase::failed;
    }
    return Phase::loading;
}

// ---- Appearing, disappearing, leaving ----------------------------------------------------

void ProjectCanvasView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // A window coming back from the taskbar sends spontaneous events: that is
    // not an appearance of the screen.
    if (!event->spontaneous())
        appear();
}

void ProjectCanvasView::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    if (!event->spontaneous())
        disappear();
}

void ProjectCanvasView::appear()
{
    m_shown = true;
    placeOverlays();
    // Otherwise the keys would go to the window (and Escape nowhere) until a
    // control was clicked.
    const QWidget *focused = window()->focusWidget();
    if (!focused || !focused->isVisible() || !isAncestorOf(focused))
        setFocus(Qt::OtherFocusReason);
    if (m_canvas)
        return; // a second appearance creates nothing
    startUp(this);
}

void ProjectCanvasView::disappear()
{
    m_shown = false;
    if (m_canvas)
        m_canvas->voiceHotkey().stop();
}

QCoro::Task<> ProjectCanvasView::startUp(QPointer<ProjectCanvasView> screen)
{
    std::shared_ptr<ProjectCanvasViewModel> canvas =
        screen->m_controllerFactory(screen->m_projectId, screen->m_projectURL.toLocalFile(), screen->m_projectDisplayName);
    canvas->setAppStateActor(screen->m_appStateActor);
    screen->adoptController(canvas);
    QCoro::Task<> booting = canvas->bootstrap();
    co_await std::move(booting);
    // Gone, leaving or no longer shown: nothing more to start.
    if (!screen || screen->m_leaving || !screen->m_shown || canvas->isTornDown())
        co_return;
    canvas->voiceHotkey().start();
}

QCoro::Task<> ProjectCanvasView::finishBootstrap(std::shared_ptr<ProjectCanvasViewModel> canvas)
{
    // The screen starts the load as soon as it makes the controller, so a
    // loading controller is one whose load is still running.
    while (canvas->bootstrapStatus().kind() == ProjectCanvasViewModel::BootstrapStatus::Kind::loading)
        co_await qCoro(canvas.get(), &ProjectCanvasViewModel::bootstrapStatusChanged);
}

void ProjectCanvasView::leaveProject()
{
    if (m_leaving)
        return;
    m_leaving = true;
    leave(this, m_canvas, m_onReturnToOverview);
}

QCoro::Task<> ProjectCanvasView::leave(QPointer<ProjectCanvasView> screen,
                                       std::shared_ptr<ProjectCanvasViewModel> canvas,
                                       std::function<void()> onReturnToOverview)
{
    if (canvas) {
        QCoro::Task<> loading = finishBootstrap(canvas);
        co_await std::move(loading);
        QCoro::Task<> tearingDown = canvas->teardown();
        co_await std::move(tearingDown);
    }
    if (!screen || !onReturnToOverview)
        co_return;
    onReturnToOverview();
}

// ---- Building ------------------------------------------------------------------------------

void ProjectCanvasView::adoptController(std::shared_ptr<ProjectCanvasViewModel> canvas)
{
    m_canvas = std::move(canvas);
    buildCanvas();
    m_openingPage->hide();
    m_canvasPage->show();
    m_canvasPage->setGeometry(rect());
    refreshStatusOverlay();
    refreshPanelRow();
    refreshShortcuts();
    placeOverlays();
}

void ProjectCanvasView::buildCanvas()
{
    ProjectCanvasViewModel *canvas = m_canvas.get();
    m_canvasPage = new QWidget(this);
    m_canvasPage->setObjectName(QStringLiteral("canvasPage"));
    auto *column = new QVBoxLayout(m_canvasPage);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto *header = new QHBoxLayout;
    header->setContentsMargins(96, 24, 40, 0);
    header->setSpacing(12);
    m_title = new QLabel(m_canvasPage);
    m_title->setObjectName(QStringLiteral("projectTitle"));
    // The name is the user's folder name: plain text, never markup.
    NmText::setPlainText(m_title, canvas->projectDisplayName().toUpper());
    m_title->setFont(WorkspacePainting::tracked(NmFont::micro(), 0.08));
    QPalette palette = m_title->palette();
    palette.setColor(QPalette::WindowText, qColor(NmColor::inkSecondary));
    m_title->setPalette(palette);
    header->addWidget(m_title, 0, Qt::AlignVCenter);
    header->addStretch(1);
    m_headerControls = {new AppServerPill(&canvas->devServerRunner(), m_canvasPage), new DeployPill(canvas, m_canvasPage),
                        new PlanToggle(&canvas->plan(), m_canvasPage),
                        new PreviewToggle(&canvas->preview(), m_canvasPage), new OutputModeToggle(canvas, m_canvasPage)};
    for (QWidget *control : std::as_const(m_headerControls))
        header->addWidget(control, 0, Qt::AlignVCenter);
    column->addLayout(header);
    column->addSpacing(32);

    m_row = new PanelRowWidget(m_canvasPage);
    m_agentColumn = new AgentColumnView(canvas, m_row);
    m_agentColumn->setDeployOverlayFactory([](ProjectCanvasViewModel *c, const QUuid &paneId, QWidget *parent) {
        auto *overlay = new DeployPaneOverlay(c ? &c->deploySession() : nullptr, paneId, parent);
        if (c)
            QObject::connect(c, &ProjectCanvasViewModel::panesChanged, overlay, &DeployPaneOverlay::refresh);
        return overlay;
    });
    // The Plans panel and the preview are made when first shown (most
    // openings show neither), so that opening a project builds less in the
    // turn that shows it.
    m_row->place(m_agentColumn);
    column->addWidget(m_row, 1);
    column->addSpacing(32);

    auto *bottom = new QHBoxLayout;
    bottom->setContentsMargins(0, 0, 0, 32);
    m_promptBar = new PromptBarView(canvas, m_canvasPage);
    bottom->addStretch(1);
    bottom->addWidget(m_promptBar, 0, Qt::AlignBottom);
    bottom->addStretch(1);
    column->addLayout(bottom);

    m_sidebar = new SidebarView([this] { leaveProject(); }, this);
    m_sidebar->show();
    m_voiceIndicator = new VoiceStatusIndicator(this);
    m_voiceIndicator->setState(canvas->voiceState());

    // The two window-wide commands; Escape only while a pane or a panel is
    // expanded, so that otherwise it reaches the focused control.
    m_togglePreview = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_E), this);
    m_togglePreview->setObjectName(Strings::Canvas::togglePreviewCommand);
    connect(m_togglePreview, &QShortcut::activated, this, [this] {
        if (m_canvas)
            m_canvas->preview().toggleVisibility();
    });
    m_collapsePane = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    m_collapsePane->setObjectName(Strings::Canvas::collapseExpandedPaneCommand);
    connect(m_collapsePane, &QShortcut::activated, this, [this] {
        if (!m_canvas)
            return;
        // The expanded panel first (it lies over the panes), then the pane.
        if (m_canvas->plan().isExpanded())
            m_canvas->plan().setIsExpanded(false);
        else if (m_canvas->preview().isExpanded())
            m_canvas->preview().setExpanded(false);
        else if (m_canvas->expandedPaneId())
            m_canvas->toggleExpandedPane(*m_canvas->expandedPaneId());
    });

    connect(canvas, &ProjectCanvasViewModel::bootstrapStatusChanged, this, &ProjectCanvasView::refreshStatusOverlay);
    connect(canvas, &ProjectCanvasViewModel::panesChanged, this, &ProjectCanvasView::refreshPanelRow);
    connect(canvas, &ProjectCanvasViewModel::expandedPaneIdChanged, this, [this] {
        refreshShortcuts();
        refreshPanelRow();
    });
    connect(canvas, &ProjectCanvasViewModel::voiceStateChanged, this, [this] {
        if (m_canvas)
            m_voiceIndicator->setState(m_canvas->voiceState());
        placeOverlays();
    });
    connect(canvas, &ProjectCanvasViewModel::lastLaunchAttemptDetectionErrorChanged, this,
            &ProjectCanvasView::refreshRepairCoordinator);
    connect(&canvas->devServerRunner(), &DevServerRunner::lastFailureChanged, this,
            &ProjectCanvasView::refreshRepairCoordinator);
    // Whether a repair can begin also follows the session's phase and the
    // preview's error, which the banner shows beside it.
    connect(&canvas->repairSession().state(), &RepairSessionState::phaseChanged, this,
            &ProjectCanvasView::refreshRepairCoordinator);
    connect(&canvas->preview(), &PreviewState::errorChanged, this, &ProjectCanvasView::refreshRepairCoordinator);
    PlanState &plan = canvas->plan();
    PreviewState &preview = canvas->preview();
    connect(&plan, &PlanState::isVisibleChanged, this, &ProjectCanvasView::refreshPanelRow);
    connect(&plan, &PlanState::isExpandedChanged, this, &ProjectCanvasView::planExpandedChanged);
    connect(&preview, &PreviewState::isVisibleChanged, this, &ProjectCanvasView::refreshPanelRow);
    connect(&preview, &PreviewState::isExpandedChanged, this, &ProjectCanvasView::previewExpandedChanged);

    m_sidebar->raise();
    m_voiceIndicator->raise();
}

// ---- Keeping up with the controller -------------------------------------------------------

void ProjectCanvasView::refreshStatusOverlay()
{
    if (!m_canvas)
        return;
    delete m_statusOverlay;
    m_statusOverlay = nullptr;
    const ProjectCanvasViewModel::BootstrapStatus &status = m_canvas->bootstrapStatus();
    switch (status.kind()) {
    case ProjectCanvasViewModel::BootstrapStatus::Kind::loading:
        m_statusOverlay = new NmLoadingHint(NmLoadingHint::Mark::none, Strings::Loading::preparingMemory,
                                            std::nullopt, this);
        m_statusOverlay->setObjectName(QStringLiteral("preparingMemory"));
        break;
    case ProjectCanvasViewModel::BootstrapStatus::Kind::failed:
        m_statusOverlay = new FailurePill(status.message(), this);
        break;
    case ProjectCanvasViewModel::BootstrapStatus::Kind::ready:
        break;
    }
    if (m_statusOverlay) {
        m_statusOverlay->setAttribute(Qt::WA_TransparentForMouseEvents);
        m_statusOverlay->show();
        m_statusOverlay->raise();
        if (m_voiceIndicator)
            m_voiceIndicator->raise();
    }
    placeOverlays();
}

void ProjectCanvasView::planExpandedChanged()
{
    // One expanded panel at a time.
    if (m_canvas && m_canvas->plan().isExpanded())
        m_canvas->preview().setExpanded(false);
    refreshPanelRow();
    refreshShortcuts();
}

void ProjectCanvasView::previewExpandedChanged()
{
    if (m_canvas && m_canvas->preview().isExpanded())
        m_canvas->plan().setIsExpanded(false);
    refreshPanelRow();
    refreshShortcuts();
}

void ProjectCanvasView::refreshPanelRow()
{
    if (!m_canvas || !m_row)
        return;
    const PlanState &plan = m_canvas->plan();
    const PreviewState &preview = m_canvas->preview();
    const CanvasScreenLook::PanelRow row =
        CanvasScreenLook::panelRow(plan.isVisible(), plan.isExpanded(), preview.isVisible(), preview.isExpanded());
    if (row.showsPlans && !m_plansPanel) {
        m_plansPanel = new PlansPanelView(&m_canvas->plan(),
                                          CanvasPanelWiring::plansPanelCallbacks(m_canvas.get()), m_row);
        m_plansPanel->hide();
        m_row->adopt(m_plansPanel, true);
    }
    if (row.showsPreview && !m_previewPanel) {
        m_previewPanel = new PreviewPanelView(&m_canvas->preview(), &m_canvas->repairSession().state(),
                                              CanvasPanelWiring::repairBannerCoordinator(m_canvas.get()), m_row);
        m_previewPanel->hide();
        m_row->adopt(m_previewPanel, false);
    }
    const auto apply = [this](QWidget *panel, bool shown, bool before) {
        if (!panel)
            return;
        if (shown == before && m_panelRowApplied && panel->isHidden() == !shown)
            return;
        if (!m_panelRowApplied || !isVisible()) {
            panel->setVisible(shown);
        } else if (shown) {
            ReducibleTransition::insert(panel, NmMotion::materialize(), NmMotion::standard());
        } else if (!panel->isHidden()) {
            ReducibleTransition::remove(panel, NmMotion::materialize(), NmMotion::standard());
        }
    };
    if (m_panelRowApplied)
        m_row->captureFrames();
    apply(m_plansPanel, row.showsPlans, m_panelRow.showsPlans);
    apply(m_previewPanel, row.showsPreview, m_panelRow.showsPreview);
    m_agentColumn->setVisible(row.showsAgentColumn);
    m_row->apply(row, row.showsPlans && plan.isExpanded(), m_canvas->expandedPaneId().has_value(),
                 !m_canvas->panes().isEmpty());
    m_panelRow = row;
    m_panelRowApplied = true;
}

void ProjectCanvasView::refreshShortcuts()
{
    if (m_collapsePane)
        m_collapsePane->setEnabled(m_canvas && (m_canvas->expandedPaneId().has_value() ||
                                                m_canvas->plan().isExpanded() || m_canvas->preview().isExpanded()));
}

void ProjectCanvasView::refreshRepairCoordinator()
{
    if (m_previewPanel && m_canvas)
        m_previewPanel->setRepairCoordinator(CanvasPanelWiring::repairBannerCoordinator(m_canvas.get()));
}

void ProjectCanvasView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_openingPage->setGeometry(rect());
    if (m_canvasPage)
        m_canvasPage->setGeometry(rect());
    placeOverlays();
}

QList<QWidget *> ProjectCanvasView::tabRegions() const
{
    QList<QWidget *> regions{m_sidebar};
    regions.append(m_headerControls);
    regions.append({m_plansPanel, m_previewPanel});
    // Each pane (its deploy card first) before the column's chips and "Spawn
    // agent", which were made before the panes.
    if (m_canvas && m_agentColumn)
        for (const AgentPaneState *pane : m_canvas->panes())
            regions.append({m_agentColumn->deployOverlay(pane->id()), m_agentColumn->paneView(pane->id())});
    regions.append({m_agentColumn, m_promptBar});
    return regions;
}

bool ProjectCanvasView::focusNextPrevChild(bool next)
{
    if (!m_canvasPage)
        return QWidget::focusNextPrevChild(next);
    return CanvasTabOrder::moveFocus(window(), tabRegions(), next) || QWidget::focusNextPrevChild(next);
}

void ProjectCanvasView::keyPressEvent(QKeyEvent *event)
{
    // Escape that no control took (an expanded pane or panel has already
    // taken it through the collapse command) leads back to the projects;
    // but not one the previewed page let through, which was the page's.
    const auto inPage = [this] {
        for (const QWidget *widget = QApplication::focusWidget(); widget && widget != this; widget = widget->parentWidget())
            if (widget->inherits("QWebEngineView"))
                return true;
        return false;
    };
    // A stray Escape must never cost work: leaving stops the project's
    // agents, so while one is at work Escape stays where it is (the sidebar's
    // Projects button still leaves).
    const auto agentAtWork = [this] {
        for (const AgentPaneState *pane : m_canvas->panes())
            if (isBusy(pane->status()))
                return true;
        return false;
    };
    if (event->key() == Qt::Key_Escape && !(event->modifiers() & ~Qt::KeypadModifier) && m_canvas &&
        !event->isAutoRepeat() && !inPage() && !agentAtWork()) {
        event->accept();
        leaveProject();
        return;
    }
    QWidget::keyPressEvent(event);
}

void ProjectCanvasView::placeOverlays()
{
    m_openingPage->setGeometry(rect());
    if (m_sidebar) {
        m_sidebar->move(kSidebarInset, (height() - m_sidebar->height()) / 2);
    }
    if (m_statusOverlay) {
        const QSize size = m_statusOverlay->sizeHint();
        m_statusOverlay->setGeometry((width() - size.width()) / 2, height() - kOverlayBottomPadding - size.height(),
                                     size.width(), size.height());
    }
    if (m_voiceIndicator) {
        const QSize size = m_voiceIndicator->sizeHint();
        m_voiceIndicator->setGeometry((width() - size.width()) / 2,
                                      kVoiceTopPadding - VoiceStatusIndicator::shadowMargins().top(), size.width(),
                                      size.height());
    }
}

} // namespace nerim
