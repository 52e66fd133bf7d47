// Laying out a transcript's rows in and near the view: the newest first for
// a view at its bottom, the rows in view first for any other, within a
// budget shared by every transcript in a turn of the event loop, the rest in
// later turns; and a change of size that keeps the row at the top in place.
#include "ui/panes/TranscriptView.h"

#include "platform/OutputTurnBudget.h"
#include "ui/panes/TranscriptViewParts.h"

#include <QAbstractEventDispatcher>
#include <QResizeEvent>
#include <algorithm>
#include <cmath>

namespace nerim {

using transcript::kKeptScreens;

bool TranscriptView::buildNewestRows(const TranscriptRows::Budget &budget)
{
    if (viewport()->height() <= 0)
        return true;
    m_building = true;
    const bool done = m_rows->layOutNewest(viewport()->height(), budget);
    m_building = false;
    return done;
}

TranscriptView::RowPlace TranscriptView::placeOf(qint64 y) const
{
    RowPlace place;
    place.row = m_rows->rowAt(y);
    if (place.row >= 0) {
        place.offset = y - m_rows->rowTop(place.row);
        place.height = m_rows->rowBottom(place.row) - m_rows->rowTop(place.row);
    }
    return place;
}

qint64 TranscriptView::positionOf(const RowPlace &place) const
{
    if (place.row < 0 || place.row >= m_rows->rowCount())
        return m_position;
    const qint64 top = m_rows->rowTop(place.row);
    // Above the first row (the padding) the distance stays as it was.
    if (place.offset <= 0 || place.height <= 0)
        return top + place.offset;
    // Inside the row, the same share of its height as it has now, and never
    // past its last pixel, so that the row stays the one at that place.
    const qint64 height = m_rows->rowBottom(place.row) - top;
    const qint64 offset = std::llround(double(place.offset) * double(height) / double(place.height));
    return top + std::min(offset, std::max<qint64>(0, height - 1));
}

void TranscriptView::buildVisibleRows(const TranscriptRows::Budget &budget)
{
    if (m_building || m_rows->rowCount() == 0 || viewport()->height() <= 0)
        return;
    m_building = true;
    const int viewportHeight = viewport()->height();
    bool done = true;
    // Keep the first visible row where it is while rows above it settle.
    for (int pass = 0; pass < 3; ++pass) {
        const qint64 value = m_position;
        const RowPlace place = placeOf(value);
        const qint64 height = m_rows->contentHeight();
        // The rows in view first, then half a screen above and below.
        done = m_rows->layOut(value, value + viewportHeight, budget) &&
               m_rows->layOut(value - viewportHeight / 2, value + viewportHeight + viewportHeight / 2, budget);
        fitRows();
        // The top row itself may have been laid out again at a new width
        // (when the resize's own budget ran out before it): the view keeps
        // the same share of it, so it stays the top row.
        const qint64 anchored = positionOf(place);
        if (anchored != value)
            setScrollPosition(anchored);
        if (!done || (m_rows->contentHeight() == height && m_position == value))
            break;
    }
    // Rows kept further out that were laid out at an earlier width.
    if (done)
        done = m_rows->layOutStale(budget);
    // Rows far out of view let go of their widgets (keeping their height):
    // a long transcript read from top to bottom holds only a few screens of
    // rows, and a change of width lays out only those.
    m_rows->releaseOutside(m_position - kKeptScreens * viewportHeight,
                           m_position + (kKeptScreens + 1) * viewportHeight);
    m_building = false;
    if (!done)
        scheduleLayout();
}

namespace {

// The number of the GUI thread's turn of the event loop: it moves on
// whenever the loop is about to wait or has woken up.
quint64 currentTurn()
{
    static quint64 turn = 1;
    static QPointer<QAbstractEventDispatcher> watched;
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    if (dispatcher && watched != dispatcher) {
        watched = dispatcher;
        QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, dispatcher, [] { ++turn; });
        QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, dispatcher, [] { ++turn; });
    }
    return turn;
}

} // namespace

TranscriptRows::Budget TranscriptView::turnBudget(qint64 ns)
{
    const qint64 left = std::clamp<qint64>(kTurnLayoutCapNs - platform::OutputTurnBudget::elapsedNs(), 0, ns);
    const quint64 turn = currentTurn();
    if (left == 0 && m_layoutTurn == turn)
        return TranscriptRows::Budget::none();
    m_layoutTurn = turn;
    return TranscriptRows::Budget(left);
}

bool TranscriptView::resizedThisFrame() const { return m_lastResize.isValid() && m_lastResize.elapsed() < kFrameMs; }

void TranscriptView::scheduleLayout()
{
    // After a resize, the rows left to lay out wait for the next frame: the
    // resize's turn paints the whole view (a timer due at once could run in
    // that same turn and have it painted twice).
    const int delay = resizedThisFrame() ? int(kFrameMs - m_lastResize.elapsed()) : 0;
    if (m_layoutTimer.isActive() && (delay == 0 || m_layoutTimer.remainingTime() >= delay))
        return;
    m_layoutTimer.start(delay);
}

void TranscriptView::continueLayout()
{
    const TranscriptRows::Budget budget = turnBudget(kLayoutBudgetNs);
    // A view at the newest lines stays there as the rows at the bottom
    // settle; any other keeps its first visible row where it is.
    if (m_following && !m_viewBehind)
        scrollToNewest(false, budget);
    else
        buildVisibleRows(budget);
}

void TranscriptView::fitRows()
{
    const QSize size = viewport()->size();
    m_rows->setContentWidth(std::max(0, size.width() - 2 * TranscriptRows::horizontalPadding));
    if (m_rows->size() != size)
        m_rows->setGeometry(QRect(QPoint(0, 0), size));
    // The content may have become shorter than where the view stands.
    setScrollPosition(m_position);
}

void TranscriptView::resizeEvent(QResizeEvent *event)
{
    // The row at the top of the view stays there, at the same share of its
    // height, while the rows take the new width.
    const qint64 value = m_position;
    const RowPlace place = placeOf(value);
    const int anchor = place.row;
    // Only the rows in view are laid out again at a new width: the others
    // let go of their widgets (keeping their heights) and are built again
    // when they come near the view.
    if (event->size().width() != event->oldSize().width() && event->oldSize().height() > 0)
        m_rows->releaseOutside(value, value + event->oldSize().height());
    m_lastResize.start();
    QAbstractScrollArea::resizeEvent(event);
    fitRows();
    // Lines before the rows' first that waited for a width go on.
    if (m_tailStart > 0)
        scheduleSync();
    // The rows in view are laid out at the new width within this turn's
    // budget, the top one (or the newest) first; the rest follow in the
    // next turns, showing at their earlier width meanwhile.
    const TranscriptRows::Budget budget = turnBudget(kResizeLayoutBudgetNs);
    if (m_following) {
        scrollToNewest(false, budget);
    } else if (anchor >= 0 && anchor < m_rows->rowCount()) {
        m_rows->layOut(m_rows->rowTop(anchor), m_rows->rowTop(anchor), budget);
        fitRows();
        setScrollPosition(positionOf(place));
    }
    buildVisibleRows(budget);
}

} // namespace nerim
