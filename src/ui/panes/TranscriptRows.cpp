// The rows of a transcript placed by hand: their heights and tops, building
// a row's widget only near the view, laying rows out again at a new width
// within a budget, releasing those far away, and putting a backlog's rows in
// front without moving what is on screen.
#include "ui/panes/TranscriptRows.h"

#include "ui/panes/TranscriptDisposal.h"

#include <QEvent>
#include <algorithm>
#include <cmath>
#include <tuple>

namespace nerim {

TranscriptRows::TranscriptRows(Factory factory, Estimate estimate, Gap gap, QWidget *parent)
    : QWidget(parent)
    , m_factory(std::move(factory))
    , m_estimate(std::move(estimate))
    , m_gap(std::move(gap))
{
    setObjectName(QStringLiteral("transcriptRows"));
    setAutoFillBackground(false);
}

int TranscriptRows::measure(QWidget *row)
{
    m_laidWidth.insert(row, m_width);
    row->ensurePolished();
    int height = row->hasHeightForWidth() ? row->heightForWidth(m_width) : -1;
    if (height < 0)
        height = row->sizeHint().height();
    return std::max({height, row->minimumHeight(), 0});
}

void TranscriptRows::refreshTops() const
{
    const int count = int(m_heights.size());
    if (m_staleFrom >= count)
        return;
    m_tops.resize(count);
    for (int i = m_staleFrom; i < count; ++i)
        m_tops[i] = i == 0 ? verticalPadding : m_tops[i - 1] + m_heights[i - 1] + m_gaps[i];
    m_staleFrom = count;
}

qint64 TranscriptRows::rowTop(int index) const
{
    refreshTops();
    return m_tops.at(index);
}

int TranscriptRows::rowAt(qint64 y) const
{
    if (m_heights.isEmpty())
        return -1;
    refreshTops();
    const auto it = std::upper_bound(m_tops.cbegin(), m_tops.cend(), y);
    return std::max(0, int(it - m_tops.cbegin()) - 1);
}

qint64 TranscriptRows::contentHeight() const
{
    if (m_heights.isEmpty())
        return 2 * verticalPadding;
    return rowBottom(int(m_heights.size()) - 1) + verticalPadding;
}

void TranscriptRows::notifyHeight()
{
    const qint64 height = contentHeight();
    if (height == m_reportedHeight)
        return;
    m_reportedHeight = height;
    updateGeometry();
    emit contentHeightChanged(height);
}

void TranscriptRows::placeBuiltFrom(int index)
{
    refreshTops();
    for (auto it = m_built.lowerBound(index); it != m_built.end(); ++it) {
        // Built rows lie within a few screens of the origin.
        const qint64 top = std::clamp<qint64>(m_tops[it.key()] - m_origin, -QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        // A row not yet laid out at the current width keeps its own.
        const int width = m_laidWidth.value(it.value(), m_width);
        const QRect geometry(horizontalPadding, int(top), width, m_heights[it.key()]);
        if (it.value()->geometry() != geometry)
            it.value()->setGeometry(geometry);
    }
}

void TranscriptRows::heightChanged(int index, int height)
{
    if (m_heights[index] == height)
        return;
    m_heights[index] = height;
    m_staleFrom = std::min(m_staleFrom, index + 1);
    placeBuiltFrom(index);
}

void TranscriptRows::placeMeasured(int index, int height)
{
    // A row may keep its height at a new width (a code block's lines do not
    // wrap): it still takes the width.
    if (m_heights[index] != height)
        heightChanged(index, height);
    else
        placeBuiltFrom(index);
}

QWidget *TranscriptRows::ensureBuilt(int index)
{
    if (QWidget *row = m_built.value(index))
        return row;
    QWidget *row = m_factory(index, this);
    ++m_builds;
    row->installEventFilter(this);
    m_built.insert(index, row);
    m_indexOf.insert(row, index);
    const int height = measure(row);
    if (m_heights[index] != height)
        heightChanged(index, height);
    else
        placeBuiltFrom(index);
    row->show();
    // It settles once laid out (a code block learns whether it scrolls).
    m_dirty.insert(row);
    notifyHeight();
    return row;
}

void TranscriptRows::setOrigin(qint64 origin)
{
    if (origin == m_origin)
        return;
    const qint64 delta = origin - m_origin;
    m_origin = origin;
    if (m_built.isEmpty()) {
        update();
        return;
    }
    // The built rows move with the content; what stays in view is moved on
    // screen rather than drawn again.
    if (std::abs(delta) < height())
        scroll(0, int(-delta));
    else
        update();
    placeBuiltFrom(0);
}

void TranscriptRows::rebuildRow(int index)
{
    QWidget *row = m_built.take(index);
    if (!row)
        return;
    m_indexOf.remove(row);
    m_dirty.remove(row);
    dropWidget(row);
    ensureBuilt(index);
}

bool TranscriptRows::isStale(int index) const
{
    QWidget *row = m_built.value(index);
    return row && m_laidWidth.value(row, m_width) != m_width;
}

int TranscriptRows::staleRowCount() const
{
    int stale = 0;
    for (auto it = m_laidWidth.cbegin(); it != m_laidWidth.cend(); ++it)
        stale += it.value() != m_width;
    return stale;
}

bool TranscriptRows::layOutRow(int index)
{
    QWidget *row = m_built.value(index);
    if (!row) {
        ensureBuilt(index);
        return true;
    }
    if (m_laidWidth.value(row, m_width) == m_width)
        return false;
    placeMeasured(index, measure(row));
    m_dirty.remove(row);
    notifyHeight();
    return true;
}

bool TranscriptRows::layOut(qint64 top, qint64 bottom, const Budget &budget)
{
    if (m_heights.isEmpty() || m_width <= 0)
        return true;
    for (int i = rowAt(std::max<qint64>(0, top)); i < m_heights.size() && rowTop(i) <= bottom; ++i) {
        if ((!m_built.contains(i) || isStale(i)) && !budget.allows())
            return false;
        layOutRow(i);
    }
    return true;
}

bool TranscriptRows::layOutNewest(int height, const Budget &budget)
{
    if (m_heights.isEmpty() || m_width <= 0 || height <= 0)
        return true;
    for (int i = int(m_heights.size()) - 1; i >= 0; --i) {
        if ((!m_built.contains(i) || isStale(i)) && !budget.allows())
            return false;
        layOutRow(i);
        // The rows from here on fill the height.
        if (contentHeight() - rowTop(i) >= height)
            break;
    }
    return true;
}

bool TranscriptRows::layOutStale(const Budget &budget)
{
    for (auto it = m_built.cbegin(); it != m_built.cend(); ++it) {
        if (m_laidWidth.value(it.value(), m_width) == m_width)
            continue;
        if (!budget.allows())
            return false;
        // (Laying a row out never adds or drops a built row.)
        layOutRow(it.key());
    }
    return true;
}

void TranscriptRows::dropWidget(QWidget *row)
{
    m_laidWidth.remove(row);
    row->removeEventFilter(this);
    // Hidden now, deleted a few a turn: a change of mode lets go of every
    // built row of every pane at once.
    TranscriptDisposal::deleteSoon(row);
}

void TranscriptRows::releaseOutside(qint64 top, qint64 bottom)
{
    if (m_built.isEmpty())
        return;
    const int first = std::max(0, rowAt(top));
    const int last = rowAt(bottom);
    for (auto it = m_built.begin(); it != m_built.end();) {
        if (it.key() >= first && it.key() <= last) {
            ++it;
            continue;
        }
        // Its measured height stays as the row's estimate.
        QWidget *row = it.value();
        m_indexOf.remove(row);
        m_dirty.remove(row);
        dropWidget(row);
        it = m_built.erase(it);
    }
}

void TranscriptRows::reset(int count)
{
    for (QWidget *row : std::as_const(m_built))
        dropWidget(row);
    m_built.clear();
    m_indexOf.clear();
    m_dirty.clear();
    m_laidWidth.clear();
    // A long transcript's places are lists of megabytes, whose pages take a
    // while to give back: on the disposal thread.
    if (m_heights.size() > kFreeInBackgroundRows)
        TranscriptDisposal::freeInBackground(
            std::make_tuple(std::exchange(m_heights, {}), std::exchange(m_gaps, {}), std::exchange(m_tops, {})));
    m_heights.clear();
    m_gaps.clear();
    m_tops.clear();
    m_staleFrom = 0;
    append(count);
}

void TranscriptRows::append(int count)
{
    const int first = int(m_heights.size());
    for (int i = first; i < first + count; ++i) {
        m_gaps.append(i == 0 ? 0 : m_gap(i));
        // Without a width yet, a placeholder until the first width comes.
        m_heights.append(m_width > 0 ? m_estimate(i, m_width) : 0);
    }
    m_staleFrom = std::min(m_staleFrom, first);
    notifyHeight();
}

void TranscriptRows::truncate(int count)
{
    if (count >= m_heights.size())
        return;
    for (auto it = m_built.lowerBound(count); it != m_built.end();) {
        QWidget *row = it.value();
        m_indexOf.remove(row);
        m_dirty.remove(row);
        dropWidget(row);
        it = m_built.erase(it);
    }
    m_heights.resize(count);
    m_gaps.resize(count);
    m_staleFrom = std::min(m_staleFrom, count);
    notifyHeight();
}

qint64 TranscriptRows::prepend(QList<int> heights, QList<int> gaps, int gapOfFirstOld)
{
    const int count = int(heights.size());
    if (count == 0)
        return 0;
    const qint64 before = contentHeight();
    if (!m_heights.isEmpty())
        m_gaps[0] = gapOfFirstOld;
    heights.append(m_heights);
    gaps.append(m_gaps);
    m_heights = std::move(heights);
    m_gaps = std::move(gaps);
    QMap<int, QWidget *> built;
    for (auto it = m_built.cbegin(); it != m_built.cend(); ++it) {
        built.insert(it.key() + count, it.value());
        m_indexOf.insert(it.value(), it.key() + count);
    }
    m_built = std::move(built);
    m_staleFrom = 0;
    // Every row that was here moves down by the same height, and the origin
    // with them: nothing moves on screen.
    const qint64 delta = contentHeight() - before;
    m_origin += delta;
    placeBuiltFrom(0);
    notifyHeight();
    return delta;
}

void TranscriptRows::rowChanged(int index)
{
    if (QWidget *row = m_built.value(index)) {
        // (Measured at the current width: no longer stale.)
        placeMeasured(index, measure(row));
        m_dirty.insert(row);
    } else if (m_width > 0) {
        heightChanged(index, m_estimate(index, m_width));
    }
    notifyHeight();
}

void TranscriptRows::setContentWidth(int width)
{
    if (width == m_width)
        return;
    const bool firstWidth = m_width <= 0;
    m_width = width;
    if (firstWidth && width > 0) {
        // Rows added before there was a width took a placeholder: they are
        // estimated now, once.
        for (int i = 0; i < m_heights.size(); ++i)
            if (!m_built.contains(i))
                m_heights[i] = m_estimate(i, width);
        m_staleFrom = 0;
    }
    // Nothing is laid out here: the built rows (those in and near the view)
    // keep the width and height they were laid out at until the view lays
    // them out again (`layOut`), those in view first, within each turn's
    // budget. Every other row keeps the height it had, measured or
    // estimated, until it comes near the view and is built: a change of
    // width costs what the rows near the view cost, however long the
    // transcript, spread over as many turns as they take.
    notifyHeight();
}

QSize TranscriptRows::sizeHint() const
{
    return {m_width + 2 * horizontalPadding, int(std::min<qint64>(contentHeight(), QWIDGETSIZE_MAX))};
}

bool TranscriptRows::eventFilter(QObject *watched, QEvent *event)
{
    // A row's own layout is about to recompute: its height may change.
    if (event->type() == QEvent::LayoutRequest)
        if (auto *row = qobject_cast<QWidget *>(watched); row && m_indexOf.contains(row))
            m_dirty.insert(row);
    return QWidget::eventFilter(watched, event);
}

bool TranscriptRows::event(QEvent *event)
{
    if (event->type() == QEvent::LayoutRequest) {
        settleDirtyRows();
        return true;
    }
    return QWidget::event(event);
}

void TranscriptRows::settleDirtyRows()
{
    if (m_dirty.isEmpty())
        return;
    const QSet<QWidget *> dirty = std::exchange(m_dirty, {});
    for (QWidget *row : dirty) {
        const auto it = m_indexOf.constFind(row);
        // A row laid out at an earlier width is measured when the view lays
        // it out at this one.
        if (it != m_indexOf.cend() && m_laidWidth.value(row, m_width) == m_width)
            heightChanged(it.value(), measure(row));
    }
    notifyHeight();
    emit rowsSettled();
}

} // namespace nerim
