#include "ui/panes/TranscriptView.h"

#include "platform/OutputTurnBudget.h"
#include "ui/design/Colors.h"
#include "ui/design/widgets/ReducibleAnimation.h"
#include "ui/panes/AgentPaneLook.h"
#include "ui/panes/LongLines.h"
#include "ui/panes/OutputLineView.h"
#include "ui/panes/RunChunks.h"
#include "ui/panes/StdoutRunView.h"
#include "ui/panes/TranscriptDisposal.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QEvent>
#include <QWheelEvent>
#include <QScrollBar>
#include <algorithm>
#include <cmath>
#include <span>
#include <tuple>

namespace nerim {

// ---- TranscriptRows -------------------------------------------------------------------------

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

// ---- TranscriptView -------------------------------------------------------------------------

namespace {

// How many screens of rows above and below the view keep their widgets.
constexpr int kKeptScreens = 2;

// Rough heights of rows not yet built, close enough for the scroll bar.
constexpr int kLineHeight = 18;
constexpr int kAverageCharacterWidth = 7;
constexpr int kCodeBlockChrome = 44;

int wrappedLines(QStringView text, int width)
{
    const int perLine = std::max(1, width / kAverageCharacterWidth);
    int lines = 0;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == u'\n') {
            lines += 1 + int((i - start) / perLine);
            start = i + 1;
        }
    }
    return lines;
}

} // namespace

TranscriptView::TranscriptView(AgentPaneState *pane, AppState::OutputMode mode, QWidget *parent)
    : QAbstractScrollArea(parent)
    , m_pane(pane)
    , m_mode(mode)
{
    setObjectName(QStringLiteral("transcript"));
    // The keyboard stays in the prompt field: a click here focuses the pane
    // and selects text, but never takes the keyboard (a scroll area would).
    setFocusPolicy(Qt::NoFocus);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setAutoFillBackground(false);
    viewport()->setAutoFillBackground(false);
    // A slim indicator without arrows, as light as the pane around it.
    verticalScrollBar()->setStyleSheet(
        QStringLiteral("QScrollBar:vertical { width: 7px; background: transparent; margin: 2px 1px 2px 0; }"
                       "QScrollBar::handle:vertical { background: %1; border-radius: 3px; min-height: 24px; }"
                       "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
                       "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: transparent; }")
            .arg(qColor(NmColor::inkTertiary, 0.55).name(QColor::HexArgb)));

    m_rows = new TranscriptRows([this](int index, QWidget *parent) { return makeRow(index, parent); },
                                [this](int index, int width) { return estimateRow(index, width); },
                                [this](int index) { return m_items.at(index).gapAbove; }, viewport());
    m_rows->setAutoFillBackground(false);
    connect(m_rows, &TranscriptRows::contentHeightChanged, this, [this] {
        // (Lines taken in a slice at a time fit the rows once, after the last slice.)
        if (!m_takingInSlices)
            fitRows();
    });
    connect(m_rows, &TranscriptRows::rowsSettled, this, [this] {
        fitRows();
        // (While lines are taken in that the view has not come to yet, it
        // comes to them in a turn of its own.)
        if (!m_following || m_viewBehind)
            return;
        // A turn that resized the view has laid out what its budget allows
        // and repaints the view whole: it only keeps the view at its bottom,
        // and the rows that settle there are laid out in the next frame.
        if (resizedThisFrame()) {
            setScrollPosition(maximumScrollPosition());
            scheduleLayout();
            return;
        }
        scrollToNewest(false, turnBudget(kLayoutBudgetNs));
    });

    m_layoutTimer.setSingleShot(true);
    m_layoutTimer.setInterval(0);
    connect(&m_layoutTimer, &QTimer::timeout, this, &TranscriptView::continueLayout);
    m_frameTimer.setSingleShot(true);
    // On the frame's tick, as the other transcripts' (see scheduleSync).
    m_frameTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_frameTimer, &QTimer::timeout, this, &TranscriptView::sync);
    if (pane)
        connect(pane, &AgentPaneState::outputLinesChanged, this, &TranscriptView::scheduleSync);
    // The lines are taken in as a flood is, a slice at a time from the next
    // frame on (the turn that makes the view lays it out and paints it), so
    // that opening a long transcript never holds the window; the view opens
    // at the newest lines.
    clearRows();
    m_lastSync.start();
    scheduleSync();
}

bool TranscriptView::anyCatchingUp()
{
    for (QWidget *widget : QApplication::allWidgets())
        if (auto *transcript = qobject_cast<TranscriptView *>(widget);
            transcript && (transcript->hasPendingSync() || transcript->hasPendingLayout()))
            return true;
    return false;
}

void TranscriptView::setOutputMode(AppState::OutputMode mode)
{
    if (mode == m_mode)
        return;
    // A mode that shows the same lines has the same groups and rows.
    if (showsSameLines(mode, m_mode)) {
        m_mode = mode;
        return;
    }
    // The reader's place: the newest lines, or the line at the top of the view.
    const bool following = m_following;
    const qsizetype place = following ? -1 : firstLineOfRow(m_rows->rowAt(m_position));
    m_mode = mode;
    clearRows();
    m_following = following;
    m_placeLine = place;
    // A first slice now, so the view is never empty for a frame; a long
    // transcript comes in over the next turns.
    takeInLines(true);
    if (m_following && !m_viewBehind)
        scrollToNewest(false, turnBudget(kLayoutBudgetNs));
}

qsizetype TranscriptView::firstLineOfRow(int index) const
{
    if (!m_pane || index < 0 || index >= m_items.size())
        return -1;
    const Row &row = m_items.at(index);
    const RenderGroup &group = m_groups.at(row.group);
    const QUuid id = group.id();
    const OutputLines &lines = m_pane->outputLines();
    // The rows hold lines [m_tailStart, m_drawnLineCount) in order: the line
    // is looked for outwards from where the row's share of the rows puts it
    // (in a long transcript, close by), in both directions at once.
    const qsizetype first = m_tailStart;
    const qsizetype end = std::min(m_drawnLineCount, lines.size());
    if (end <= first)
        return -1;
    const qsizetype guess =
        first + qsizetype(double(index) / double(std::max<qsizetype>(1, m_items.size())) * double(end - first));
    const qsizetype start = std::clamp(guess, first, end - 1);
    for (qsizetype step = 0; start - step >= first || start + step < end; ++step) {
        for (const qsizetype i : {start + step, start - step}) {
            if (i < first || i >= end || lines.id(i) != id)
                continue;
            // A chunk of a run starts further down the run: its lines follow one another.
            const auto *run = group.asStdoutRun();
            return run && row.start > 0 ? i + run->text.lineOf(row.start) : i;
        }
    }
    return -1;
}

void TranscriptView::scheduleSync()
{
    if (m_syncScheduled)
        return;
    m_syncScheduled = true;
    // At most once a frame: on the next turn of the event loop when the last
    // update is a frame ago, else once the frame is over, so that lines
    // arriving over many short turns are laid out and painted together.
    // The frames of every transcript fall on the same ticks of one clock, so
    // that panes streaming together take in their lines in one turn and the
    // window paints them together, once a frame, not once for each pane.
    const qint64 since = m_lastSync.isValid() ? m_lastSync.elapsed() : kFrameMs;
    if (since >= kFrameMs) {
        QMetaObject::invokeMethod(this, &TranscriptView::sync, Qt::QueuedConnection);
        return;
    }
    static const QElapsedTimer frames = [] {
        QElapsedTimer clock;
        clock.start();
        return clock;
    }();
    const qint64 now = frames.elapsed();
    const qint64 due = now + (kFrameMs - since);
    m_frameTimer.start(int((due + kFrameMs - 1) / kFrameMs * kFrameMs - now));
}

void TranscriptView::sync() { takeInLines(true); }

void TranscriptView::syncNow() { takeInLines(false); }

void TranscriptView::takeInLines(bool withinTurnBudget)
{
    takeInNewLines(withinTurnBudget);
    // The lines before the rows' first are taken in once the rows hold the
    // newest lines and the view shows them, with what is left of the turn's
    // smaller share for them, then put in front of the rows at once. Nothing
    // on screen waits for them, so a turn that other panes (or this one's
    // newest lines) have already spent that share on takes none, unless this
    // backlog has waited several turns in a row: then a slice, so that a
    // pane flooding next to it never holds it back for good.
    if (m_tailStart <= 0 || !m_pane)
        return;
    if (m_drawnLineCount == m_pane->outputLines().size() && (!withinTurnBudget || !m_viewBehind) &&
        (!withinTurnBudget || m_rows->contentWidth() > 0)) {
        bool first = m_backlogWaits >= kMostBacklogWaits;
        bool took = false;
        while (m_backlog.drawn < m_tailStart &&
               (first || !withinTurnBudget || platform::OutputTurnBudget::elapsedNs() < kBacklogBudgetNs)) {
            takeInBacklog(withinTurnBudget ? std::min(m_tailStart, m_backlog.drawn + kLinesPerSlice) : m_tailStart);
            first = false;
            took = true;
        }
        m_backlogWaits = took ? 0 : m_backlogWaits + 1;
        // Putting the backlog in front moves every row's place (a long
        // transcript's rows by the hundred thousand): it starts a turn that
        // has done little else yet, so that the panes that finish together
        // put theirs in over turns of their own, unless it waited for one
        // too often already.
        if (m_backlog.drawn == m_tailStart) {
            if (!withinTurnBudget || platform::OutputTurnBudget::elapsedNs() < kSpliceBeforeNs ||
                m_splicesPutOff >= kMostSplicesPutOff)
                spliceBacklog();
            else
                ++m_splicesPutOff;
        }
    }
    // (Without a width the backlog waits for the first one: see resizeEvent.)
    if (m_tailStart > 0 && m_rows->contentWidth() > 0)
        scheduleSync();
}

void TranscriptView::takeInNewLines(bool withinTurnBudget)
{
    m_frameTimer.stop();
    m_syncScheduled = false;
    m_lastSync.start();
    if (!m_pane)
        return;
    const OutputLines &lines = m_pane->outputLines();
    const qsizetype count = lines.size();
    const QUuid lastId = count ? lines.id(count - 1) : QUuid();
    const bool unchanged = count == m_drawnLineCount && lastId == m_lastDrawnLineId;
    if (!unchanged) {
        // Lines are only ever added, except when the whole list is replaced
        // (a restore): an append keeps the last drawn line where it was.
        const bool appended = count >= m_drawnLineCount &&
                              (m_drawnLineCount == 0 || lines.id(m_drawnLineCount - 1) == m_lastDrawnLineId);
        if (!appended) {
            // The lines were replaced (a restore): taken in anew, a slice at
            // a time, and the view opens at the newest.
            m_following = true;
            clearRows();
        }
        // A long transcript taken in anew starts its rows near the place the
        // view shows first (its newest lines, or the line a change of mode
        // keeps), so that place shows within a few turns whatever the
        // length; the lines before are taken in behind.
        if (withinTurnBudget && m_drawnLineCount == 0 && m_items.isEmpty() && m_groups.isEmpty()) {
            const qsizetype target = m_following ? count - kTailLines : m_placeLine;
            if (const qsizetype start = tailStartFor(target); start > 0) {
                m_tailStart = start;
                m_backlog = Backlog();
                m_drawnLineCount = start;
                m_lastDrawnLineId = lines.id(start - 1);
            }
        }
    }
    // While a backlog is taken in, a turn either takes in lines or brings the
    // view to the newest of them, never both: building the rows that come
    // into view costs about what the turn's slices of lines do. The view
    // catches up once the backlog is in, and every so often before.
    if (withinTurnBudget && m_following && m_viewBehind &&
        (m_drawnLineCount == count || !m_lastFollow.isValid() || m_lastFollow.elapsed() >= kFollowDuringFillMs)) {
        // The rows that come into view are built over as many turns as
        // they take, newest first; then the view moves to them.
        const TranscriptRows::Budget budget = turnBudget(kLayoutBudgetNs);
        const bool built = buildNewestRows(budget);
        if (built) {
            m_viewBehind = false;
            m_lastFollow.start();
            scrollToNewest(m_drawnLineCount == count, budget);
        }
        if (!built || m_drawnLineCount < count)
            scheduleSync();
        return;
    }
    if (unchanged) {
        if (m_viewBehind && m_following)
            scrollToNewest(false, withinTurnBudget ? turnBudget(kLayoutBudgetNs) : TranscriptRows::Budget());
        m_viewBehind = false;
        return;
    }
    const qsizetype drawnBefore = m_drawnLineCount;
    int slices = 0;
    {
        // A flood of output is taken in a slice at a time while the turn has
        // time left (at least one slice a turn); the rest follows in the next
        // frame, so that the window keeps painting and answering input.
        qsizetype drawn = m_drawnLineCount;
        // Starts the turn's clock when nothing else has yet.
        platform::OutputTurnBudget::elapsedNs();
        // While a following view takes in a backlog, its scroll bar moves
        // when the view does (in a turn of its own): a scroll bar that
        // changed has the pane drawn again, whole when it wears an effect.
        m_holdScrollBar = withinTurnBudget && (count - drawn > kLinesPerSlice || (m_following && m_viewBehind));
        // Lines that come below a reader's place, which already has rows
        // under the view, show nothing new: they take the backlog's share.
        const qint64 budgetNs = !m_following && m_placeLine < 0 && m_placeRow < 0 &&
                                        m_rows->contentHeight() > m_position + viewport()->height()
                                    ? kBacklogBudgetNs
                                    : kTurnBudgetNs;
        m_takingInSlices = true;
        do {
            // A slice stops at the line a change of mode keeps in place: the
            // next row made is the one to show at the top.
            if (m_placeLine >= 0 && drawn >= m_placeLine) {
                m_placeRow = int(m_items.size());
                m_placeLine = -1;
            }
            qsizetype end = withinTurnBudget ? std::min(count, drawn + kLinesPerSlice) : count;
            if (m_placeLine > drawn)
                end = std::min(end, m_placeLine);
            appendFrom(drawn, end);
            drawn = end;
            ++slices;
        } while (drawn < count && (!withinTurnBudget || platform::OutputTurnBudget::elapsedNs() < budgetNs));
        m_takingInSlices = false;
        fitRows();
        m_holdScrollBar = false;
        m_drawnLineCount = drawn;
        m_lastDrawnLineId = drawn ? lines.id(drawn - 1) : QUuid();
        if (m_placeLine >= 0 && drawn >= m_placeLine) {
            m_placeRow = int(m_items.size());
            m_placeLine = -1;
        }
        goToKeptPlace(drawn == count);
        // Rows taken in anew with many lines still to come (from a reader's
        // place to the newest line, or a flood): room for them is made at
        // once, as the backlog makes it, so that the lists never grow by
        // copying in one turn.
        if (withinTurnBudget && drawnBefore == m_tailStart && count - drawn > kTailLines && drawn > drawnBefore) {
            const double perLine = double(count - drawn) / double(drawn - drawnBefore) * 1.25;
            m_groups.reserve(m_groups.size() + qsizetype(double(m_groups.size()) * perLine) + kLinesPerSlice);
            m_items.reserve(m_items.size() + qsizetype(double(m_items.size()) * perLine) + kLinesPerSlice);
        }
    }
    // New lines bring the view to them only while it is at its bottom: in
    // this turn when they were few (a stream), else in a turn of its own.
    if (m_drawnLineCount != drawnBefore && m_following) {
        if (!withinTurnBudget || (slices <= 1 && m_drawnLineCount == count)) {
            m_viewBehind = false;
            m_lastFollow.start();
            scrollToNewest(withinTurnBudget,
                           withinTurnBudget ? turnBudget(kLayoutBudgetNs) : TranscriptRows::Budget());
        } else {
            m_viewBehind = true;
            scheduleSync();
        }
    } else {
        // Below a reader's place, lines taken in over many turns move the
        // scroll bar once they are all in (a changed scroll bar has the pane
        // drawn again, whole under its effect).
        m_holdScrollBar = withinTurnBudget && m_drawnLineCount < count;
        buildVisibleRows(withinTurnBudget ? turnBudget(kLayoutBudgetNs) : TranscriptRows::Budget());
        m_holdScrollBar = false;
    }
    if (m_drawnLineCount < count)
        scheduleSync();
}

void TranscriptView::goToKeptPlace(bool allIn)
{
    // The kept place has its row (or every line is in, and it was the last
    // row's): the view goes there.
    if (m_placeRow < 0 || m_following || m_rows->rowCount() == 0 || (m_placeRow >= m_rows->rowCount() && !allIn))
        return;
    const int row = std::min(m_placeRow, m_rows->rowCount() - 1);
    // The place comes to the top only once the rows after it fill the view
    // (or every line is in): before, the view could only go as far as they
    // reach, short of the place, and nothing would bring it on from there.
    if (!allIn && m_rows->rowTop(row) > maximumScrollPosition())
        return;
    m_placeRow = -1;
    setScrollPosition(m_rows->rowTop(row));
    // Where that is the bottom (the place was among the last lines, or the
    // new mode's rows fit in the view), the view follows again.
    if (allIn)
        m_following = m_position >= maximumScrollPosition();
}

void TranscriptView::clearRows()
{
    ++m_rebuilds;
    m_layoutTimer.stop();
    m_revealed.clear();
    // The groups of a long transcript are hundreds of thousands of
    // allocations (a run's line ends, each line's text): freed on the
    // disposal thread, a slice at a time, so that a change of mode waits
    // neither for them nor for the allocator while they go.
    TranscriptDisposal::freeListInBackground(std::exchange(m_groups, {}));
    TranscriptDisposal::freeListInBackground(std::exchange(m_backlog.groups, {}));
    if (!m_items.isEmpty() || !m_backlog.items.isEmpty())
        TranscriptDisposal::freeInBackground(
            std::make_tuple(std::exchange(m_items, {}), std::exchange(m_backlog, Backlog())));
    m_backlog = Backlog();
    m_openRunGroup = -1;
    m_openRunChunker = RunChunker();
    m_drawnLineCount = 0;
    m_lastDrawnLineId = QUuid();
    m_tailStart = 0;
    m_splicesPutOff = 0;
    m_backlogWaits = 0;
    m_placeLine = -1;
    m_placeRow = -1;
    ReducibleAnimation::stop(this, "followNewest");
    // The scroll bar keeps what it shows until the new rows come (in this
    // turn, when the mode changes): emptied, it would hide, widen the view
    // and have every row laid out at that width, and then again at the old
    // one.
    m_holdScrollBar = true;
    m_rows->reset(0);
    fitRows();
    m_holdScrollBar = false;
}

void TranscriptView::addRowsFrom(qsizetype firstGroup)
{
    addRows(m_groups, firstGroup, m_items, m_openRunGroup, m_openRunChunker);
}

void TranscriptView::addRows(const QList<RenderGroup> &groups, qsizetype firstGroup, QList<Row> &items,
                             int &openRunGroup, RunChunker &openRunChunker)
{
    for (qsizetype group = firstGroup; group < groups.size(); ++group) {
        const int gap = items.isEmpty() ? 0 : TranscriptRows::spacing;
        const auto *run = groups[group].asStdoutRun();
        if (!run) {
            items.append({int(group), 0, 0, gap});
            continue;
        }
        int above = gap;
        // The last run may go on: its chunker is kept to read only what is added.
        RunChunker chunker;
        const QList<RunChunk> chunks = chunker.update(run->text);
        openRunGroup = int(group);
        openRunChunker = chunker;
        for (const RunChunk &chunk : chunks) {
            items.append({int(group), chunk.start, chunk.end, above});
            above = chunk.gapAfter;
        }
    }
}

void TranscriptView::appendFrom(qsizetype firstNewLine, qsizetype end)
{
    const qsizetype groupsBefore = m_groups.size();
    const int rowsBefore = int(m_items.size());
    const qsizetype firstChanged = extendRenderGroups(m_groups, m_pane->outputLines(), firstNewLine, m_mode, end);
    if (firstChanged < groupsBefore) {
        const RunGrowth grown =
            regrowRun(m_groups, firstChanged, rowsBefore, m_items, m_openRunGroup, m_openRunChunker);
        if (grown.first >= 0) {
            // The rows after the first one that changed went with the cut.
            m_rows->truncate(grown.first + 1);
            if (auto *view = qobject_cast<StdoutRunView *>(m_rows->builtRow(grown.first))) {
                const Row &row = m_items[grown.first];
                const auto *run = m_groups[firstChanged].asStdoutRun();
                if (view->rawText().size() == grown.shownEnd - row.start && row.end >= grown.shownEnd)
                    view->appendRawText(run->text.mid(grown.shownEnd, row.end - grown.shownEnd));
                else
                    view->setRawText(chunkText(row));
            }
            m_rows->rowChanged(grown.first);
        }
    }
    addRowsFrom(groupsBefore);
    if (m_items.size() > m_rows->rowCount())
        m_rows->append(int(m_items.size()) - m_rows->rowCount());
}

TranscriptView::RunGrowth TranscriptView::regrowRun(const QList<RenderGroup> &groups, qsizetype group, int rowCount,
                                                   QList<Row> &items, int &openRunGroup, RunChunker &openRunChunker)
{
    // Only the last group can change: a run that goes on. Its last chunk
    // grows, and chunks may follow it.
    const auto *run = groups[group].asStdoutRun();
    const int open = rowCount - 1;
    if (!run || open < 0 || items[open].group != int(group))
        return {};
    if (openRunGroup != int(group)) {
        openRunGroup = int(group);
        openRunChunker = RunChunker(items[open].start);
    }
    const QList<RunChunk> chunks = openRunChunker.update(run->text);
    // The chunks from the first one that changed: the open one, or an
    // earlier one whose cut the new lines took back (the rows after it go,
    // and it takes their text).
    int first = open;
    while (first > 0 && items[first - 1].group == int(group) && items[first].start > chunks.first().start)
        --first;
    items.resize(first + 1);
    const qsizetype shownEnd = items[first].end;
    items[first].end = chunks.first().end;
    int above = chunks.first().gapAfter;
    for (qsizetype i = 1; i < chunks.size(); ++i) {
        items.append({int(group), chunks[i].start, chunks[i].end, above});
        above = chunks[i].gapAfter;
    }
    return {first, shownEnd};
}

QString TranscriptView::chunkText(const Row &row) const
{
    const auto *run = m_groups.at(row.group).asStdoutRun();
    return run ? run->text.mid(row.start, row.end - row.start) : QString();
}

QWidget *TranscriptView::makeRow(int index, QWidget *parent)
{
    const Row &row = m_items.at(index);
    const RenderGroup &group = m_groups.at(row.group);
    if (group.asStdoutRun()) {
        auto *view = new StdoutRunView(chunkText(row), parent, shownSlices(row));
        connect(view, &StdoutRunView::showMoreRequested, this, [this, view] { showMore(view); });
        return view;
    }
    auto *view = new OutputLineView(group.asSingle()->line, parent, shownSlices(row));
    connect(view, &OutputLineView::showMoreRequested, this, [this, view] { showMore(view); });
    return view;
}

int TranscriptView::shownSlices(const Row &row) const { return m_revealed.value({row.group, row.start}, 1); }

void TranscriptView::showMore(QWidget *widget)
{
    const int index = m_rows->indexOf(widget);
    if (index < 0)
        return;
    const Row &row = m_items.at(index);
    m_revealed.insert({row.group, row.start}, shownSlices(row) + 1);
    // Queued: the button that asked is inside the widget being replaced.
    QMetaObject::invokeMethod(
        this,
        [this, index] {
            if (index >= m_rows->rowCount())
                return;
            // The view stays where it is; the row grows below its top.
            const qint64 position = m_position;
            m_rows->rebuildRow(index);
            fitRows();
            setScrollPosition(position);
            buildVisibleRows();
        },
        Qt::QueuedConnection);
}

int TranscriptView::estimateRow(int index, int width) const
{
    const Row &row = m_items.at(index);
    return estimateItem(row, m_groups.at(row.group), shownSlices(row), width);
}

int TranscriptView::estimateItem(const Row &row, const RenderGroup &group, int slices, int width)
{
    if (const auto *run = group.asStdoutRun()) {
        // Read in place, line by line: the chunk's text is never put together.
        int lines = 0;
        int fences = 0;
        run->text.forEachLine(row.start, row.end - row.start, [&](QStringView line) {
            lines += wrappedLines(line.first(LongLines::shownLength(line, slices)), width);
            fences += int(line.count(u"```"));
        });
        return lines * kLineHeight + (fences + 1) / 2 * kCodeBlockChrome;
    }
    const OutputLine &line = group.asSingle()->line;
    const QStringView text(line.text);
    const int lines = wrappedLines(text.first(LongLines::shownLength(text, slices)), width);
    switch (line.kind) {
    case OutputLine::Kind::userPrompt: return lines * kLineHeight + 8;
    case OutputLine::Kind::taskComplete: return lines * kLineHeight + 20;
    default: return lines * kLineHeight;
    }
}

qsizetype TranscriptView::tailStartFor(qsizetype target) const
{
    const OutputLines &lines = m_pane->outputLines();
    if (target <= 0 || target >= lines.size())
        return 0;
    // Highlights show no runs: every line starts its own group (or none).
    if (m_mode == AppState::OutputMode::notification)
        return target;
    // Elsewhere a group starts at every line that is not standard output and
    // at the first standard-output line after one.
    const qsizetype last = std::max<qsizetype>(1, target - kBoundarySearchLines);
    for (qsizetype start = target; start >= last; --start)
        if (lines.kind(start) != OutputLine::Kind::stdout || lines.kind(start - 1) != OutputLine::Kind::stdout)
            return start;
    return 0;
}

void TranscriptView::takeInBacklog(qsizetype end)
{
    Backlog &backlog = m_backlog;
    if (backlog.drawn == 0 && backlog.groups.isEmpty() && m_tailStart > 0) {
        // The backlog comes to about as many groups and rows per line as the
        // rows hold, for every line before them: room for that is made at
        // once (untouched until used), so that it never grows by copying
        // tens of megabytes in one turn. The rows are put behind it in
        // the end: room for them too (and for lines that come meanwhile),
        // so that the turn that puts the backlog in front copies no list
        // (a view read from the middle holds half the transcript's rows).
        const double tailLines = double(std::max<qsizetype>(1, m_drawnLineCount - m_tailStart));
        const auto room = [&](qsizetype inTail) {
            return qsizetype(double(inTail) / tailLines * double(m_tailStart) * 1.25) + inTail + inTail / 4 +
                   kTailLines;
        };
        backlog.groups.reserve(room(m_groups.size()));
        backlog.items.reserve(room(m_items.size()));
        backlog.heights.reserve(room(m_items.size()));
        backlog.gaps.reserve(room(m_items.size()));
    }
    const qsizetype groupsBefore = backlog.groups.size();
    const int rowsBefore = int(backlog.items.size());
    const qsizetype firstChanged =
        extendRenderGroups(backlog.groups, m_pane->outputLines(), backlog.drawn, m_mode, end);
    backlog.drawn = end;
    int firstEstimate = rowsBefore;
    // A run that goes on, as in `appendFrom` (no row of the backlog is built).
    if (firstChanged < groupsBefore)
        if (const RunGrowth grown = regrowRun(backlog.groups, firstChanged, rowsBefore, backlog.items,
                                              backlog.openRunGroup, backlog.openRunChunker);
            grown.first >= 0)
            firstEstimate = grown.first;
    addRows(backlog.groups, groupsBefore, backlog.items, backlog.openRunGroup, backlog.openRunChunker);
    // Rows not built take an estimated height, as the rows' own do, and
    // keep the space above them (none above the first), so that putting
    // the backlog in front has neither to walk its rows.
    const int width = m_rows->contentWidth();
    backlog.heights.resize(firstEstimate);
    backlog.gaps.resize(firstEstimate);
    for (qsizetype i = firstEstimate; i < backlog.items.size(); ++i) {
        const Row &row = backlog.items[i];
        // (Without a width yet, a placeholder the first width replaces.)
        backlog.heights.append(width > 0 ? estimateItem(row, backlog.groups[row.group], 1, width) : 0);
        backlog.gaps.append(i == 0 ? 0 : row.gapAbove);
    }
}

void TranscriptView::spliceBacklog()
{
    Backlog backlog = std::exchange(m_backlog, Backlog());
    m_tailStart = 0;
    m_splicesPutOff = 0;
    const int groupShift = int(backlog.groups.size());
    const int rowShift = int(backlog.items.size());
    if (rowShift == 0 && groupShift == 0)
        return;
    // The rows' groups come after the backlog's.
    for (Row &row : m_items)
        row.group += groupShift;
    if (m_openRunGroup >= 0)
        m_openRunGroup += groupShift;
    QHash<QPair<int, qsizetype>, int> revealed;
    for (auto it = m_revealed.cbegin(); it != m_revealed.cend(); ++it)
        revealed.insert({it.key().first + groupShift, it.key().second}, it.value());
    m_revealed = std::move(revealed);
    if (m_placeRow >= 0)
        m_placeRow += rowShift;
    const int gapOfFirst = rowShift > 0 && !m_items.isEmpty() ? TranscriptRows::spacing : 0;
    if (!m_items.isEmpty())
        m_items.first().gapAbove = gapOfFirst;
    backlog.groups.append(std::move(m_groups));
    m_groups = std::move(backlog.groups);
    backlog.items.append(std::move(m_items));
    m_items = std::move(backlog.items);
    // The content grows above the view by what the backlog's rows take;
    // the view moves down with it, so nothing it shows moves.
    // (A glide to the newest lines under way would go on from the old
    // place: a following view is put at its bottom instead.)
    ReducibleAnimation::stop(this, "followNewest");
    const qint64 delta = m_rows->prepend(std::move(backlog.heights), std::move(backlog.gaps), gapOfFirst);
    m_position += delta;
    // (Kept within the content: rows shown before may have held none.)
    setScrollPosition(m_following ? maximumScrollPosition() : m_position);
    // A place kept across a change of mode whose rows were not all in yet.
    if (m_pane && m_drawnLineCount == m_pane->outputLines().size())
        goToKeptPlace(true);
}

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

bool TranscriptView::buildNewestRows(const TranscriptRows::Budget &budget)
{
    if (viewport()->height() <= 0)
        return true;
    m_building = true;
    const bool done = m_rows->layOutNewest(viewport()->height(), budget);
    m_building = false;
    return done;
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
        const int anchor = m_rows->rowAt(value);
        const qint64 offset = value - m_rows->rowTop(anchor);
        const qint64 height = m_rows->contentHeight();
        // The rows in view first, then half a screen above and below.
        done = m_rows->layOut(value, value + viewportHeight, budget) &&
               m_rows->layOut(value - viewportHeight / 2, value + viewportHeight + viewportHeight / 2, budget);
        fitRows();
        const qint64 anchored = m_rows->rowTop(anchor) + offset;
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
    const int anchor = m_rows->rowAt(value);
    double share = 0;
    if (anchor >= 0) {
        const qint64 height = std::max<qint64>(1, m_rows->rowBottom(anchor) - m_rows->rowTop(anchor));
        share = double(value - m_rows->rowTop(anchor)) / double(height);
    }
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
        const qint64 height = m_rows->rowBottom(anchor) - m_rows->rowTop(anchor);
        setScrollPosition(m_rows->rowTop(anchor) + std::llround(share * double(height)));
    }
    buildVisibleRows(budget);
}

} // namespace nerim
