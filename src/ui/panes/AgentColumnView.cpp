#include "ui/panes/AgentColumnView.h"

#include "canvas/ProjectCanvasViewModel.h"
#include "ui/design/Colors.h"
#include "ui/design/widgets/NmFrameMotion.h"
#include "ui/design/widgets/ReducibleTransition.h"
#include "ui/panes/AgentColumnButtons.h"
#include "ui/panes/AgentPaneView.h"
#include "ui/panes/DetachedTask.h"
#include "ui/panes/PaneWarmUp.h"
#include "ui/panes/SpawnPopover.h"

#include <QApplication>
#include <QPainter>
#include <QVariantAnimation>
#include <QWheelEvent>

#include <algorithm>

namespace nerim {

namespace {

// A pane leaving the stack shrinks a little as it fades.
NmTransition paneRemoval() { return NmTransition{MaterializeValues{0.0, 0.0, 0.96}}; }

} // namespace

AgentColumnView::AgentColumnView(ProjectCanvasViewModel *canvas, QWidget *parent)
    : QWidget(parent)
    , m_canvas(canvas)
{
    setObjectName(QStringLiteral("agentColumn"));
    // What the first pane costs once in the process is done now, a step a
    // turn, before the panes come.
    PaneWarmUp::start();
    m_motion = new NmFrameMotion(this);

    m_spawnButton = new SpawnAgentButton(this);
    connect(m_spawnButton, &QAbstractButton::clicked, this, &AgentColumnView::openSpawnPopover);

    m_popover = new SpawnPopover(this);
    m_popover->hide();
    connect(m_popover, &SpawnPopover::responsibilityEdited, this, [this](const QString &text) {
        m_draft.setResponsibility(text);
        m_popover->showDraft(m_draft.responsibility, m_draft.role);
    });
    connect(m_popover, &SpawnPopover::roleChosen, this, [this](AgentRole role) {
        m_draft.role = role;
        m_popover->showDraft(m_draft.responsibility, m_draft.role);
    });
    connect(m_popover, &SpawnPopover::commitRequested, this, &AgentColumnView::commitSpawn);
    connect(m_popover, &SpawnPopover::cancelRequested, this, &AgentColumnView::cancelSpawn);
    connect(m_popover, &SpawnPopover::dismissed, this, [this] { m_draft.dismiss(); });

    connect(canvas, &ProjectCanvasViewModel::panesChanged, this, [this] {
        watchPanes();
        refresh();
    });
    for (auto signal : {&ProjectCanvasViewModel::focusedPaneIdChanged, &ProjectCanvasViewModel::expandedPaneIdChanged,
                        &ProjectCanvasViewModel::outputModeChanged})
        connect(canvas, signal, this, &AgentColumnView::refresh);
    watchPanes();
    refresh();
    // Moving the keyboard into a card part that is scrolled away brings it into view.
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget *, QWidget *now) { revealFocus(now); });
}

AgentPaneView *AgentColumnView::paneView(const QUuid &paneId) const
{
    const auto it = m_slots.constFind(paneId);
    return it == m_slots.cend() ? nullptr : it->view.data();
}

QList<AgentPaneView *> AgentColumnView::paneViews() const
{
    QList<AgentPaneView *> views;
    for (const QUuid &id : m_order)
        if (AgentPaneView *view = paneView(id))
            views.append(view);
    return views;
}

QRect AgentColumnView::restingGeometry(const QWidget *widget) const
{
    return m_motion->isMoving(widget) ? m_motion->target(widget) : (widget ? widget->geometry() : QRect());
}

QList<QWidget *> AgentColumnView::movingWidgets() const
{
    QList<QWidget *> widgets{m_spawnButton};
    for (const Slot &slot : m_slots) {
        widgets.append(slot.view);
        widgets.append(slot.overlay);
    }
    for (PaneSwitchChip *chip : m_chips)
        widgets.append(chip);
    return widgets;
}

QWidget *AgentColumnView::deployOverlay(const QUuid &paneId) const
{
    const auto it = m_slots.constFind(paneId);
    return it == m_slots.cend() ? nullptr : it->overlay.data();
}

void AgentColumnView::watchPanes()
{
    for (const QMetaObject::Connection &connection : std::as_const(m_paneConnections))
        disconnect(connection);
    m_paneConnections.clear();
    if (!m_canvas)
        return;
    for (AgentPaneState *pane : m_canvas->panes()) {
        m_paneConnections.append(connect(pane, &AgentPaneState::agentNameChanged, this, &AgentColumnView::syncChips));
        m_paneConnections.append(connect(pane, &AgentPaneState::statusChanged, this, &AgentColumnView::syncChips));
    }
}

AgentColumnView::Slot AgentColumnView::makeSlot(AgentPaneState *pane)
{
    const QUuid id = pane->id();
    QPointer<ProjectCanvasViewModel> canvas = m_canvas;
    AgentPaneView::Callbacks callbacks;
    callbacks.onFocus = [canvas, id] {
        if (canvas)
            canvas->focusPane(id);
    };
    callbacks.onClose = [this, canvas, id] {
        // The slot goes when the controller takes the pane out of its list.
        if (canvas)
            startDetached(this, canvas->closePane(id));
    };
    callbacks.onToggleExpand = [canvas, id] {
        if (canvas)
            canvas->toggleExpandedPane(id);
    };
    callbacks.onRename = [canvas, id](const QString &name) {
        if (canvas)
            canvas->renamePane(id, name);
    };
    callbacks.onRoleChanged = [canvas, id](AgentRole role) {
        if (canvas)
            canvas->setPaneRole(id, role);
    };

    Slot slot;
    if (m_overlayFactory) {
        slot.overlay = m_overlayFactory(m_canvas, id, this);
    } else {
        // Stands in for the deploy cards: draws nothing and takes no room.
        slot.overlay = new QWidget(this);
        slot.overlay->setFixedHeight(0);
    }
    slot.overlay->setObjectName(QStringLiteral("deployOverlay"));
    slot.view = new AgentPaneView(pane, m_canvas->outputMode(), std::move(callbacks), this);
    return slot;
}

void AgentColumnView::refresh()
{
    if (!m_canvas)
        return;
    QList<QUuid> ids;
    for (const AgentPaneState *pane : m_canvas->panes())
        ids.append(pane->id());
    const AgentColumnLook::Layout previousLayout = m_arrangement.layout;
    // Spawning, closing or reordering panes, and expanding, collapsing or
    // switching the expanded pane, move everything from where it was.
    const std::optional<QUuid> expandedId = m_canvas->expandedPaneId();
    if (m_built && isVisible() && (ids != m_order || expandedId != m_expandedId))
        m_motion->capture(movingWidgets(), NmMotion::standard());
    m_expandedId = expandedId;
    m_arrangement = AgentColumnLook::arrangement(ids, m_canvas->expandedPaneId());
    // Only a pane leaving the stack (and staying stacked) plays the removal.
    const bool stackedBefore = m_built && previousLayout == AgentColumnLook::Layout::stacked;

    // Slots: new panes get one, closed panes lose theirs.
    QList<AgentPaneView *> inserted;
    for (AgentPaneState *pane : m_canvas->panes()) {
        if (m_slots.contains(pane->id()))
            continue;
        const Slot slot = makeSlot(pane);
        m_slots.insert(pane->id(), slot);
        inserted.append(slot.view);
    }
    for (auto it = m_slots.begin(); it != m_slots.end();) {
        if (ids.contains(it.key())) {
            ++it;
            continue;
        }
        m_motion->forget(it->view);
        m_motion->forget(it->overlay);
        if (it->view) {
            if (stackedBefore && m_arrangement.layout == AgentColumnLook::Layout::stacked && it->view->isVisible())
                ReducibleTransition::remove(it->view, paneRemoval(), NmMotion::standard());
            it->view->hide();
            it->view->deleteLater();
        }
        if (it->overlay) {
            it->overlay->hide();
            it->overlay->deleteLater();
        }
        it = m_slots.erase(it);
    }
    m_order = ids;

    const std::optional<QUuid> focused = m_canvas->focusedPaneId();
    // Going from the expanded pane back to the stack, the other panes come
    // into view as new ones do; expanding one takes the others out of view.
    const bool onScreen = m_built && isVisible();
    for (int i = 0; i < m_order.size(); ++i) {
        const Slot &slot = m_slots[m_order[i]];
        const bool expanded = m_arrangement.layout == AgentColumnLook::Layout::expanded &&
                              i == m_arrangement.expandedIndex;
        const bool shown = m_arrangement.layout == AgentColumnLook::Layout::stacked || expanded;
        const bool wasShown = slot.view->isVisible();
        slot.view->setFocused(focused == m_order[i]);
        slot.view->setExpanded(expanded);
        slot.view->setOutputMode(m_canvas->outputMode());
        if (onScreen && wasShown && !shown)
            ReducibleTransition::remove(slot.view, paneRemoval(), NmMotion::standard());
        else if (onScreen && !wasShown && shown && !inserted.contains(slot.view.data()))
            inserted.append(slot.view);
        slot.view->setVisible(shown);
        slot.overlay->setVisible(shown);
    }

    QList<bool> systemPanes;
    for (const AgentPaneState *pane : m_canvas->panes())
        systemPanes.append(pane->isSystemPane());
    m_spawnButton->setLook(AgentColumnLook::spawnButton(systemPanes));
    syncChips();

    // The width is a limit for the layout, not for the widget, so the column
    // can pass through the widths between while it grows or shrinks.
    if (m_arrangement.fullWidth) {
        NmLayoutLimits::setMinimumSize(this, QSize(0, 0));
        NmLayoutLimits::setMaximumSize(this, QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    } else {
        const int width = AgentColumnLook::columnWidth + 2 * shadowMarginSide;
        NmLayoutLimits::setMinimumSize(this, QSize(width, 0));
        NmLayoutLimits::setMaximumSize(this, QSize(width, QWIDGETSIZE_MAX));
        // Stacked, the column asks for the resting height grown by any card,
        // makes do with less in a short window (down to its panes' headers
        // and "Spawn agent") and takes the height a tall one has to give.
        setSizePolicy(QSizePolicy::Fixed, m_arrangement.layout == AgentColumnLook::Layout::empty
                                              ? QSizePolicy::Fixed
                                              : QSizePolicy::Expanding);
    }
    m_askedSize = sizeHint();
    updateGeometry();
    placeChildren();

    // Panes that join the stack later come into view; the first ones are just there.
    if (m_built && m_arrangement.layout == AgentColumnLook::Layout::stacked)
        for (AgentPaneView *view : std::as_const(inserted)) {
            QVariantAnimation *entering = ReducibleTransition::insert(view, NmMotion::materialize(), NmMotion::standard());
            if (entering) {
                QPointer<AgentPaneView> guard(view);
                connect(entering, &QVariantAnimation::finished, this, [guard] {
                    if (guard)
                        guard->restoreFocusOpacity();
                });
            }
        }
    m_built = true;
}

void AgentColumnView::syncChips()
{
    if (!m_canvas)
        return;
    QList<AgentColumnLook::Chip> chips;
    if (m_arrangement.layout == AgentColumnLook::Layout::expanded) {
        QList<AgentColumnLook::Pane> panes;
        for (const AgentPaneState *pane : m_canvas->panes())
            panes.append({pane->id(), pane->agentName(), pane->status()});
        chips = AgentColumnLook::chips(panes, m_arrangement.expandedIndex);
    }
    while (m_chips.size() > chips.size())
        delete m_chips.takeLast();
    while (m_chips.size() < chips.size()) {
        auto *chip = new PaneSwitchChip(this);
        connect(chip, &QAbstractButton::clicked, this, [this, chip] {
            // A copy: the change re-labels this very chip while the controller works.
            const QUuid id = chip->chip().id;
            if (m_canvas)
                m_canvas->toggleExpandedPane(id);
        });
        m_chips.append(chip);
    }
    for (int i = 0; i < chips.size(); ++i) {
        m_chips[i]->setChip(chips[i]);
        m_chips[i]->show();
    }
    placeChildren();
}

void AgentColumnView::openSpawnPopover()
{
    if (!m_spawnButton->isEnabled())
        return;
    m_draft.open();
    m_popover->showDraft(m_draft.responsibility, m_draft.role);
    m_popover->popUp(m_spawnButton);
}

void AgentColumnView::commitSpawn()
{
    const QString responsibility = m_draft.responsibility;
    const AgentRole role = m_draft.role;
    // At the limit (a pane opened meanwhile by another road) nothing is
    // spawned, and the popover closes all the same.
    if (m_canvas)
        m_canvas->spawnPane(responsibility, role);
    m_draft.commit();
    m_popover->closeQuietly();
}

void AgentColumnView::cancelSpawn()
{
    m_draft.cancel();
    m_popover->closeQuietly();
}

int AgentColumnView::paneWidth(const Slot &slot, int areaWidth) const
{
    return qMin(areaWidth, AgentPaneLook::maximumWidth(slot.view->isExpanded()).value_or(QWIDGETSIZE_MAX));
}

int AgentColumnView::overlayHeight(const Slot &slot, int width) const
{
    QWidget *overlay = slot.overlay;
    if (!overlay || !overlay->isVisibleTo(this))
        return 0;
    // A card's wrapped lines need more height at the pane's width than at its own.
    const int height = overlay->hasHeightForWidth() ? overlay->heightForWidth(width) : overlay->sizeHint().height();
    return qMax(0, qMax(height, overlay->minimumSizeHint().height()));
}

QList<AgentColumnLook::SlotNeed> AgentColumnView::stackedNeeds() const
{
    const int areaWidth = AgentColumnLook::columnWidth;
    const int line = [this] {
        for (const Slot &slot : m_slots)
            if (slot.view)
                return slot.view->compactHeight(true) - slot.view->compactHeight(false);
        return 0;
    }();
    QList<AgentColumnLook::SlotNeed> needs;
    for (const QUuid &id : m_order) {
        const Slot &slot = m_slots[id];
        const int width = paneWidth(slot, areaWidth);
        needs.append({overlayHeight(slot, width), slot.view->compactHeight(false), line, overlayLeastHeight(slot, width)});
    }
    return needs;
}

QSize AgentColumnView::sizeHint() const
{
    const int button = m_spawnButton->sizeHint().height();
    int height = AgentColumnLook::paneAreaHeight;
    if (m_arrangement.layout == AgentColumnLook::Layout::stacked)
        height = AgentColumnLook::stackedAreaHeight(stackedNeeds());
    if (m_arrangement.layout != AgentColumnLook::Layout::empty)
        height += AgentColumnLook::spacing + button;
    return {AgentColumnLook::columnWidth + 2 * shadowMarginSide, height + shadowMarginTop + shadowMarginBottom};
}

QSize AgentColumnView::minimumSizeHint() const
{
    const int width = AgentColumnLook::columnWidth + 2 * shadowMarginSide;
    switch (m_arrangement.layout) {
    case AgentColumnLook::Layout::expanded: return {width, 200};
    case AgentColumnLook::Layout::stacked: {
        // Every pane's header and the spawn button, with the narrowest gaps:
        // the panes shrink to that before the button leaves the view. Cards
        // ask for more through the size hint only, so that a card never
        // makes the window itself grow.
        int least = m_spawnButton->sizeHint().height() + shadowMarginTop + spawnButtonMarginBottom;
        for (const AgentColumnLook::SlotNeed &need : stackedNeeds())
            least += need.header + AgentColumnLook::narrowestSpacing;
        return {width, least};
    }
    case AgentColumnLook::Layout::empty: break;
    }
    return sizeHint();
}

int AgentColumnView::overlayLeastHeight(const Slot &slot, int width) const
{
    QWidget *overlay = slot.overlay;
    if (!overlay || !overlay->isVisibleTo(this))
        return 0;
    // A deploy card can give up part of its middle (which then scrolls
    // inside it) and keep its header and main control; any other overlay
    // needs its whole height.
    int least = -1;
    if (overlay->metaObject()->indexOfMethod("leastHeightForWidth(int)") < 0 ||
        !QMetaObject::invokeMethod(overlay, "leastHeightForWidth", Qt::DirectConnection, Q_RETURN_ARG(int, least),
                                   Q_ARG(int, width)) ||
        least < 0)
        return overlayHeight(slot, width);
    return qMin(least, overlayHeight(slot, width));
}

int AgentColumnView::overlayFittedHeight(const Slot &slot, int width, int height) const
{
    int fitted = -1;
    QWidget *overlay = slot.overlay;
    if (!overlay || overlay->metaObject()->indexOfMethod("fittedHeight(int,int)") < 0 ||
        !QMetaObject::invokeMethod(overlay, "fittedHeight", Qt::DirectConnection, Q_RETURN_ARG(int, fitted),
                                   Q_ARG(int, width), Q_ARG(int, height)) ||
        fitted < 0 || fitted > height)
        return height;
    return fitted;
}

void AgentColumnView::placeSlot(Slot &slot, const QRect &area, const AgentColumnLook::SlotHeights &split)
{
    const int width = paneWidth(slot, area.width());
    const int left = area.left() + (area.width() - width) / 2;
    const int full = overlayHeight(slot, width);
    const int least = overlayLeastHeight(slot, width);
    const int room = qMin(split.card, full);
    int spare = 0;
    if (room >= least) {
        // The card fits whole, or squeezes its own middle (to whole rows; the
        // pane under it takes the rest): its header and its main control
        // stay in view without scrolling.
        const int fitted = overlayFittedHeight(slot, width, room);
        spare = room - fitted;
        slot.cardFull = fitted;
        slot.cardShown = fitted;
    } else {
        // Not even that fits: a window onto the squeezed card, moved by the
        // wheel and the keyboard focus.
        slot.cardFull = least;
        slot.cardShown = room;
    }
    slot.cardScroll = slot.cardClipped() ? std::clamp(slot.cardScroll, 0, slot.cardFull - slot.cardShown) : 0;
    if (slot.cardClipped()) {
        // The card keeps its full height and shows the window onto it.
        m_motion->place(slot.overlay, QRect(left, area.top() - slot.cardScroll, width, slot.cardFull));
        slot.overlay->setMask(QRegion(0, slot.cardScroll, width, slot.cardShown));
    } else {
        m_motion->place(slot.overlay, QRect(left, area.top(), width, slot.cardShown));
        slot.overlay->clearMask();
    }
    m_motion->place(slot.view, QRect(left, area.top() + slot.cardShown, width, qMax(0, split.pane + spare)));
}

QRect AgentColumnView::shownCardRect(const Slot &slot) const
{
    const QRect frame = restingGeometry(slot.overlay);
    return QRect(frame.left(), frame.top() + slot.cardScroll, frame.width(), slot.cardShown);
}

void AgentColumnView::revealFocus(QWidget *focused)
{
    if (!focused)
        return;
    for (Slot &slot : m_slots) {
        if (!slot.cardClipped() || !slot.overlay || !slot.overlay->isAncestorOf(focused))
            continue;
        const QRect frame(focused->mapTo(slot.overlay, QPoint(0, 0)), focused->size());
        int scroll = slot.cardScroll;
        if (frame.bottom() >= scroll + slot.cardShown)
            scroll = frame.bottom() + 1 - slot.cardShown;
        if (frame.top() < scroll)
            scroll = frame.top();
        if (scroll != slot.cardScroll) {
            slot.cardScroll = scroll;
            placeChildren();
        }
        return;
    }
}

void AgentColumnView::wheelEvent(QWheelEvent *event)
{
    for (Slot &slot : m_slots) {
        if (!slot.cardClipped() || !shownCardRect(slot).contains(event->position().toPoint()))
            continue;
        int delta = event->pixelDelta().y();
        if (delta == 0)
            delta = qRound(event->angleDelta().y() / 120.0 * QApplication::wheelScrollLines() * cardScrollLine);
        const int scroll = std::clamp(slot.cardScroll - delta, 0, slot.cardFull - slot.cardShown);
        if (scroll != slot.cardScroll) {
            slot.cardScroll = scroll;
            placeChildren();
        }
        event->accept();
        return;
    }
    QWidget::wheelEvent(event);
}

void AgentColumnView::paintEvent(QPaintEvent *)
{
    // A thin mark in the margin beside a card that scrolls: how much of it is
    // in view, and where.
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    for (const Slot &slot : std::as_const(m_slots)) {
        if (!slot.cardClipped() || !slot.overlay || !slot.overlay->isVisible())
            continue;
        const QRect shown = shownCardRect(slot);
        const qreal scale = qreal(shown.height()) / slot.cardFull;
        const QRectF thumb(shown.right() + 5, shown.top() + slot.cardScroll * scale, 4,
                           qMax<qreal>(12, shown.height() * scale));
        painter.setPen(Qt::NoPen);
        painter.setBrush(qColor(NmColor::inkTertiary, 0.5));
        painter.drawRoundedRect(thumb, 2, 2);
    }
}

void AgentColumnView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    placeChildren();
}

bool AgentColumnView::event(QEvent *event)
{
    // The column has no layout of its own: a child's updateGeometry() arrives
    // here, and the panes are placed again with the new overlay height.
    if (event->type() == QEvent::LayoutRequest) {
        // A card that came, went or changed height asks the canvas for more
        // (or less) height, too.
        const QSize hint = sizeHint();
        if (hint != m_askedSize) {
            m_askedSize = hint;
            updateGeometry();
        }
        placeChildren();
    }
    return QWidget::event(event);
}

QList<QRect> AgentColumnView::childGeometries() const
{
    QList<QRect> geometries;
    for (QObject *child : children())
        if (auto *widget = qobject_cast<QWidget *>(child); widget && !widget->isWindow())
            geometries.append(widget->isVisible() ? widget->geometry() : QRect());
    return geometries;
}

void AgentColumnView::placeChildren()
{
    const QList<QRect> before = childGeometries();
    const QRect content = rect().adjusted(shadowMarginSide, shadowMarginTop, -shadowMarginSide, -shadowMarginBottom);
    const int buttonHeight = m_spawnButton->sizeHint().height();
    const int spacing = AgentColumnLook::spacing;

    switch (m_arrangement.layout) {
    case AgentColumnLook::Layout::empty:
        m_motion->place(m_spawnButton,
                        QRect(content.left(), content.top() + (AgentColumnLook::paneAreaHeight - buttonHeight) / 2,
                              content.width(), buttonHeight));
        break;
    case AgentColumnLook::Layout::stacked: {
        // The panes take all the height the column's frame leaves above the
        // spawn button, more or less than the area they ask for, so that the
        // button stays in view in a low window and a tall one gives its
        // height to the panes. Where the stack needs more than that, the
        // spawn button (which casts no shadow) takes the margin under it,
        // and the gaps narrow, so that a card keeps its least; only where
        // even the panes' headers do not fit does the stack push the button
        // out of view.
        const QList<AgentColumnLook::SlotNeed> needs = stackedNeeds();
        const int wanted = AgentColumnLook::stackedAreaHeight(needs);
        int room = content.height() - buttonHeight;
        if (wanted + spacing > room)
            room += shadowMarginBottom - spawnButtonMarginBottom;
        const int gap = AgentColumnLook::stackedSpacing(room, needs);
        const int area = qMax(0, room - gap);
        const QList<AgentColumnLook::SlotHeights> heights = AgentColumnLook::stackedSlotHeights(area, needs, gap);
        int top = content.top();
        for (int i = 0; i < m_order.size(); ++i) {
            const int height = heights[i].card + heights[i].pane;
            placeSlot(m_slots[m_order[i]], QRect(content.left(), top, content.width(), height), heights[i]);
            top += height + gap;
        }
        m_motion->place(m_spawnButton, QRect(content.left(), top, content.width(), buttonHeight));
        break;
    }
    case AgentColumnLook::Layout::expanded: {
        const int buttonTop = content.bottom() + 1 - buttonHeight;
        m_motion->place(m_spawnButton, QRect(content.left(), buttonTop, content.width(), buttonHeight));
        int slotBottom = buttonTop - spacing;
        if (!m_chips.isEmpty()) {
            const int chipHeight = m_chips.first()->sizeHint().height();
            const int chipTop = buttonTop - spacing - chipHeight;
            int left = content.left();
            for (PaneSwitchChip *chip : std::as_const(m_chips)) {
                const int width = chip->sizeHint().width();
                m_motion->place(chip, QRect(left, chipTop, width, chipHeight));
                left += width + AgentColumnLook::chipSpacing;
            }
            slotBottom = chipTop - spacing;
        }
        const QUuid expandedId = m_order.value(m_arrangement.expandedIndex);
        if (m_slots.contains(expandedId)) {
            Slot &slot = m_slots[expandedId];
            const QRect area(content.left(), content.top(), content.width(), qMax(0, slotBottom - content.top()));
            const int width = paneWidth(slot, area.width());
            const AgentColumnLook::SlotNeed need{overlayHeight(slot, width), slot.view->compactHeight(false),
                                                 slot.view->compactHeight(true) - slot.view->compactHeight(false),
                                                 overlayLeastHeight(slot, width)};
            placeSlot(slot, area, AgentColumnLook::stackedSlotHeights(area.height(), {need}).constFirst());
        }
        break;
    }
    }
    // A pane's shadow follows it by itself. The column repaints when one of
    // its children moved (a pane's layout asks for a placing whenever its
    // transcript grows, mostly to the same places) or a card shows its
    // scroll mark.
    const bool marks = std::any_of(m_slots.cbegin(), m_slots.cend(), [](const Slot &slot) {
        return slot.cardClipped() && slot.overlay && slot.overlay->isVisible();
    });
    if (marks || childGeometries() != before)
        update();
}

} // namespace nerim
