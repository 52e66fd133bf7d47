#pragma once

#include "agents/AgentPaneState.h"
#include "ui/panes/AgentColumnLook.h"

#include <QHash>
#include <QList>
#include <QMetaObject>
#include <QPointer>
#include <QUuid>
#include <QWidget>
#include <functional>
#include <optional>

namespace nerim {

class AgentPaneView;
class NmFrameMotion;
class PaneSwitchChip;
class ProjectCanvasViewModel;
class SpawnAgentButton;
class SpawnPopover;

// The strip of the project canvas that holds the agent panes: stacked one
// above the other in the column's whole height (they ask for a 400-point
// area, and shrink or grow to what the window gives), or one pane expanded
// to the full free width with a chip for each other pane; "Spawn agent"
// under them, in view while the panes' headers leave room for it (alone and
// centred when there are no panes). A deploy card above a stacked pane makes
// the column ask for that much more height, and wherever the column ends up,
// every pane keeps its header (and, room allowing, a line of its transcript). It keeps one pane view per pane for as
// long as the pane is open, wires each view's actions to the controller, and
// holds only the spawn popover's draft itself.
//
// Every pane's slot has a deploy overlay above its view (a zero-height
// stand-in until the deploy cards exist; see setDeployOverlayFactory).
// The column leaves room around the panes for the shadows it paints.
class AgentColumnView : public QWidget {
    Q_OBJECT
public:
    // Builds the widget shown above a pane's view (the deploy cards).
    using OverlayFactory = std::function<QWidget *(ProjectCanvasViewModel *canvas, const QUuid &paneId, QWidget *parent)>;

    // Room around the panes for their shadows.
    static constexpr int shadowMarginSide = 20;
    static constexpr int shadowMarginTop = 4;
    static constexpr int shadowMarginBottom = 24;
    // What the spawn button leaves of that margin when the stack needs the room.
    static constexpr int spawnButtonMarginBottom = 2;

    explicit AgentColumnView(ProjectCanvasViewModel *canvas, QWidget *parent = nullptr);

    // Must be set before panes appear to apply to all of them.
    void setDeployOverlayFactory(OverlayFactory factory) { m_overlayFactory = std::move(factory); }

    AgentColumnLook::Layout layoutKind() const { return m_arrangement.layout; }
    bool takesFullWidth() const { return m_arrangement.fullWidth; }
    AgentPaneView *paneView(const QUuid &paneId) const;
    QList<AgentPaneView *> paneViews() const;
    QWidget *deployOverlay(const QUuid &paneId) const;
    QList<PaneSwitchChip *> chips() const { return m_chips; }
    SpawnAgentButton *spawnButton() const { return m_spawnButton; }
    SpawnPopover *spawnPopover() const { return m_popover; }
    const AgentColumnLook::SpawnDraft &spawnDraft() const { return m_draft; }

    // The popover's steps.
    void openSpawnPopover();
    void commitSpawn();
    void cancelSpawn();

    // Moves the panes, chips and the spawn button from their old frames to
    // the new ones when panes come, go, or a pane is expanded or collapsed.
    NmFrameMotion *frameMotion() const { return m_motion; }
    // Where the layout puts `widget` once the motion has ended.
    QRect restingGeometry(const QWidget *widget) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent *event) override;
    // Scrolls a card that does not fit.
    void wheelEvent(QWheelEvent *event) override;
    // The scroll mark beside a card that does not fit.
    void paintEvent(QPaintEvent *event) override;
    // A child (a deploy overlay whose card came, went or changed height) asks for room.
    bool event(QEvent *event) override;

private:
    struct Slot {
        QPointer<QWidget> overlay;
        QPointer<AgentPaneView> view;
        // A card is placed at `cardFull` points (its whole height, or less
        // when it scrolls its own middle). Where even its least height does
        // not fit, it shows `cardShown` points of that, from `cardScroll`
        // down; the wheel and the keyboard focus move it.
        int cardFull = 0;
        int cardShown = 0;
        int cardScroll = 0;
        bool cardClipped() const { return cardShown > 0 && cardShown < cardFull; }
    };

    void refresh();
    void syncSlots();
    void syncChips();
    void watchPanes();
    void placeChildren();
    // Where the children are now (a hidden one as an empty rectangle).
    QList<QRect> childGeometries() const;
    Slot makeSlot(AgentPaneState *pane);
    QList<QWidget *> movingWidgets() const;
    // The width a pane gets in a column area of `areaWidth`.
    int paneWidth(const Slot &slot, int areaWidth) const;
    // The height of the slot's deploy card at the pane's width (0 without one).
    int overlayHeight(const Slot &slot, int width) const;
    // The least height the slot's card keeps its main control in view at.
    int overlayLeastHeight(const Slot &slot, int width) const;
    // What of `height` the slot's card takes so that its middle shows whole rows.
    int overlayFittedHeight(const Slot &slot, int width, int height) const;
    // What each stacked slot asks for, in pane order.
    QList<AgentColumnLook::SlotNeed> stackedNeeds() const;
    // Places the card (what of it fits) and the pane under it in `area`.
    void placeSlot(Slot &slot, const QRect &area, const AgentColumnLook::SlotHeights &split);
    // The part of a clipped card in view, in the column's coordinates.
    QRect shownCardRect(const Slot &slot) const;
    // Scrolls a clipped card so that its focused child is in view.
    void revealFocus(QWidget *focused);

    QPointer<ProjectCanvasViewModel> m_canvas;
    OverlayFactory m_overlayFactory;
    AgentColumnLook::Arrangement m_arrangement;
    QList<QUuid> m_order;
    static constexpr int cardScrollLine = 20;
    std::optional<QUuid> m_expandedId;
    NmFrameMotion *m_motion = nullptr;
    QHash<QUuid, Slot> m_slots;
    QList<PaneSwitchChip *> m_chips;
    SpawnAgentButton *m_spawnButton = nullptr;
    SpawnPopover *m_popover = nullptr;
    AgentColumnLook::SpawnDraft m_draft;
    QList<QMetaObject::Connection> m_paneConnections;
    bool m_built = false;
    // The size hint the canvas last heard of.
    QSize m_askedSize;
};

} // namespace nerim
