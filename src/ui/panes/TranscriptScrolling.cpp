// A transcript's scroll position (its own, 64 bits, in pixels of content):
// the scroll bar that shows it, in proportion past the bar's range; the wheel
// and the bar moved by the user, which stop or resume following the newest
// lines; and the glide to the newest line.
#include "ui/panes/TranscriptView.h"

#include "ui/design/widgets/ReducibleAnimation.h"
#include "ui/panes/AgentPaneLook.h"
#include "ui/panes/TranscriptViewParts.h"

#include <QApplication>
#include <QScrollBar>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

namespace nerim {

using transcript::kLineHeight;

qint64 TranscriptView::maximumScrollPosition() const
{
    return std::max<qint64>(0, m_rows->contentHeight() - viewport()->height());
}

void TranscriptView::setScrollPosition(qint64 position)
{
    position = std::clamp<qint64>(position, 0, maximumScrollPosition());
    if (position != m_position) {
        m_position = position;
        m_rows->setOrigin(position);
    }
    syncScrollBar();
}

namespace {

// The scroll bar's range in pixels, as long as the content fits in it; a
// longer transcript is shown in proportion.
constexpr qint64 kScrollBarRange = 1 << 30;

} // namespace

void TranscriptView::syncScrollBar()
{
    if (m_holdScrollBar)
        return;
    QScrollBar *bar = verticalScrollBar();
    const qint64 maximum = maximumScrollPosition();
    const qint64 range = std::min(maximum, kScrollBarRange);
    const auto toBar = [&](qint64 pixels) {
        return maximum <= kScrollBarRange ? pixels : qint64(double(pixels) * double(range) / double(maximum));
    };
    m_settingBar = true;
    bar->setRange(0, int(range));
    bar->setPageStep(int(std::max<qint64>(1, toBar(viewport()->height()))));
    bar->setSingleStep(int(std::max<qint64>(1, toBar(kLineHeight * 3))));
    bar->setValue(int(toBar(m_position)));
    m_settingBar = false;
}

void TranscriptView::scrollByUser(qint64 position)
{
    ReducibleAnimation::stop(this, "followNewest");
    // The user's own place wins over one a change of mode was keeping.
    m_placeLine = -1;
    m_placeRow = -1;
    setScrollPosition(position);
    // Back at the bottom, the view follows the newest lines again (from
    // where it is: it is at the newest lines taken in).
    m_following = m_position >= maximumScrollPosition();
    m_viewBehind = false;
    buildVisibleRows();
}

void TranscriptView::scrollContentsBy(int, int)
{
    if (m_settingBar)
        return;
    // The user moved the scroll bar.
    QScrollBar *bar = verticalScrollBar();
    const qint64 maximum = maximumScrollPosition();
    const qint64 value = bar->value();
    const qint64 position = bar->maximum() <= 0 || maximum <= kScrollBarRange
                                ? value
                                : qint64(std::llround(double(value) * double(maximum) / double(bar->maximum())));
    scrollByUser(position);
}

void TranscriptView::wheelEvent(QWheelEvent *event)
{
    // By pixels, whatever the scroll bar's scale.
    qint64 delta = event->pixelDelta().y();
    if (delta == 0) {
        m_wheelRemainder += event->angleDelta().y();
        const int steps = m_wheelRemainder / 120;
        m_wheelRemainder -= steps * 120;
        delta = qint64(steps) * QApplication::wheelScrollLines() * kLineHeight;
    }
    event->accept();
    if (delta != 0)
        scrollByUser(m_position - delta);
}

void TranscriptView::scrollToNewest(bool animated, const TranscriptRows::Budget &budget)
{
    if (!AgentPaneLook::scrollTarget(m_groups) || m_rows->rowCount() == 0 || viewport()->height() <= 0)
        return;
    const int viewportHeight = viewport()->height();
    // The newest row's bottom (a run's bottom anchor) at the bottom of the
    // view: the rows that show there are built and laid out first, newest
    // first, so that their heights are known; what the budget leaves
    // undone follows in the next turns (the view stays at the bottom).
    const bool done = buildNewestRows(budget);
    fitRows();
    if (!done)
        scheduleLayout();
    const qint64 value = maximumScrollPosition();
    if (!animated || std::abs(value - m_position) > 4 * viewportHeight) {
        ReducibleAnimation::stop(this, "followNewest");
        setScrollPosition(value);
        buildVisibleRows(budget);
        return;
    }
    const NmAnimation linear{QEasingCurve(QEasingCurve::Linear), AgentPaneLook::scrollDurationMs};
    ReducibleAnimation::animateValue(this, "followNewest", double(m_position), double(value), linear,
                                     [this](double to) {
                                         setScrollPosition(std::llround(to));
                                         buildVisibleRows();
                                     });
}

} // namespace nerim
