// How a transcript takes its pane's lines in: at most once a frame, a flood
// a slice at a time within the turn's budget, a long transcript from near
// the place the view shows first with the lines before it taken in behind
// (the backlog) and put in front once all are in, and the rows started over
// when the lines are replaced or the mode changes.
#include "ui/panes/TranscriptView.h"

#include "platform/OutputTurnBudget.h"
#include "ui/design/widgets/ReducibleAnimation.h"
#include "ui/panes/TranscriptDisposal.h"

#include <algorithm>
#include <tuple>

namespace nerim {

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
    // A flood that the last turn's budget cut short goes on in the next turn
    // (after the window has painted and taken input), not a frame later: the
    // thread would wait most of each frame while the flood shows a slice at
    // a time.
    const qint64 since = m_lastSync.isValid() ? m_lastSync.elapsed() : kFrameMs;
    if (since >= kFrameMs || m_floodGoesOn) {
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
    m_floodGoesOn = false;
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
        m_floodGoesOn = withinTurnBudget && drawn < count;
        refreshParts();
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
    m_chunkReading = {};
    m_partsChanged = false;
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
    m_chunkReading = {};
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

} // namespace nerim
