// The transcript widget and its public face: making the view over a pane,
// the output mode and the reader's place a change of mode keeps. Taking
// lines in (TranscriptIntake.cpp), turning groups into rows
// (TranscriptRowItems.cpp), laying the rows in view out (TranscriptLayout.cpp)
// and scrolling (TranscriptScrolling.cpp) are the other parts of the class.
#include "ui/panes/TranscriptView.h"

#include "ui/design/Colors.h"
#include "ui/design/widgets/NmScrollBar.h"

#include <QApplication>
#include <QScrollBar>
#include <algorithm>

namespace nerim {

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
    NmScrollBar::styleSlimVertical(verticalScrollBar(), qColor(NmColor::inkTertiary, 0.55));

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

} // namespace nerim
