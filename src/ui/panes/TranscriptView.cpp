#include "ui/panes/TranscriptView.h"

#include "agents/AgentPaneState.h"
#include "ui/design/Colors.h"
#include "ui/design/widgets/ReducibleAnimation.h"
#include "ui/panes/AgentPaneLook.h"
#include "ui/panes/OutputLineView.h"
#include "ui/panes/StdoutRunView.h"

#include <QCoreApplication>
#include <QEvent>
#include <QScrollBar>
#include <span>

namespace nerim {

// ---- TranscriptRows -------------------------------------------------------------------------

TranscriptRows::TranscriptRows(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("transcriptRows"));
    setAutoFillBackground(false);
}

int TranscriptRows::measure(QWidget *row) const
{
    row->ensurePolished();
    int height = row->hasHeightForWidth() ? row->heightForWidth(m_width) : -1;
    if (height < 0)
        height = row->sizeHint().height();
    return std::max({height, row->minimumHeight(), 0});
}

int TranscriptRows::rowBottom(int index) const { return m_tops.at(index) + m_heights.at(index); }

void TranscriptRows::setContentHeight(int height)
{
    if (height == m_contentHeight)
        return;
    m_contentHeight = height;
    updateGeometry();
    emit contentHeightChanged(height);
}

void TranscriptRows::placeFrom(int index)
{
    for (int i = index; i < m_rows.size(); ++i) {
        m_tops[i] = i == 0 ? verticalPadding : m_tops[i - 1] + m_heights[i - 1] + spacing;
        const QRect geometry(horizontalPadding, m_tops[i], m_width, m_heights[i]);
        if (m_rows[i]->geometry() != geometry)
            m_rows[i]->setGeometry(geometry);
    }
    setContentHeight(m_rows.isEmpty() ? 2 * verticalPadding : rowBottom(int(m_rows.size()) - 1) + verticalPadding);
}

void TranscriptRows::appendRow(QWidget *row)
{
    if (row->parentWidget() != this)
        row->setParent(this);
    row->installEventFilter(this);
    m_rows.append(row);
    m_heights.append(measure(row));
    m_tops.append(0);
    placeFrom(int(m_rows.size()) - 1);
    row->show();
    // A new row settles once laid out (a code block learns whether it scrolls).
    m_dirty.insert(row);
}

void TranscriptRows::rowChanged(int index)
{
    QWidget *row = m_rows.at(index);
    const int height = measure(row);
    m_dirty.insert(row);
    if (height == m_heights[index])
        return;
    m_heights[index] = height;
    placeFrom(index);
}

void TranscriptRows::clear()
{
    for (QWidget *row : std::as_const(m_rows)) {
        row->removeEventFilter(this);
        row->hide();
        row->deleteLater();
    }
    m_rows.clear();
    m_heights.clear();
    m_tops.clear();
    m_dirty.clear();
    setContentHeight(2 * verticalPadding);
}

void TranscriptRows::setContentWidth(int width)
{
    if (width == m_width)
        return;
    m_width = width;
    for (int i = 0; i < m_rows.size(); ++i)
        m_heights[i] = measure(m_rows[i]);
    placeFrom(0);
}

QSize TranscriptRows::sizeHint() const { return {m_width + 2 * horizontalPadding, m_contentHeight}; }

bool TranscriptRows::eventFilter(QObject *watched, QEvent *event)
{
    // A row's own layout is about to recompute: its height may change.
    if (event->type() == QEvent::LayoutRequest)
        if (auto *row = qobject_cast<QWidget *>(watched); row && row->parentWidget() == this)
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
    int first = -1;
    // Dirty rows are nearly always the last few; look from the end.
    for (int i = int(m_rows.size()) - 1; i >= 0 && !m_dirty.isEmpty(); --i) {
        QWidget *row = m_rows[i];
        if (!m_dirty.remove(row))
            continue;
        const int height = measure(row);
        if (height != m_heights[i]) {
            m_heights[i] = height;
            first = i;
        }
    }
    m_dirty.clear();
    if (first >= 0)
        placeFrom(first);
    emit rowsSettled();
}

// ---- TranscriptView -------------------------------------------------------------------------

TranscriptView::TranscriptView(AgentPaneState *pane, AppState::OutputMode mode, QWidget *parent)
    : QScrollArea(parent)
    , m_pane(pane)
    , m_mode(mode)
{
    setObjectName(QStringLiteral("transcript"));
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(false);
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

    m_rows = new TranscriptRows;
    setWidget(m_rows);
    // The pane's surface shows through (setWidget turned the fill on).
    m_rows->setAutoFillBackground(false);
    connect(m_rows, &TranscriptRows::contentHeightChanged, this, [this] { fitRows(); });
    connect(m_rows, &TranscriptRows::rowsSettled, this, [this] {
        fitRows();
        if (m_followAnchor && m_followAnchor == AgentPaneLook::scrollTarget(m_groups))
            scrollToNewest(false);
    });
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this] {
        if (!m_scrolling)
            m_followAnchor.reset(); // the user scrolled: stop following
    });

    if (pane)
        connect(pane, &AgentPaneState::outputLinesChanged, this, &TranscriptView::scheduleSync);
    // The first showing starts at the top, without scrolling.
    rebuild();
    if (pane) {
        m_drawnLineCount = pane->outputLines().size();
        m_lastDrawnLineId = m_drawnLineCount ? pane->outputLines().last().id : QUuid();
    }
}

QWidget *TranscriptView::rowForGroup(const QUuid &groupId) const
{
    for (int i = int(m_groups.size()) - 1; i >= 0; --i)
        if (m_groups[i].id() == groupId)
            return i < m_rows->rowCount() ? m_rows->row(i) : nullptr;
    return nullptr;
}

void TranscriptView::setOutputMode(AppState::OutputMode mode)
{
    if (mode == m_mode)
        return;
    m_mode = mode;
    m_followAnchor.reset();
    const int value = verticalScrollBar()->value();
    rebuild();
    // A change of mode does not scroll to the newest line.
    m_scrolling = true;
    verticalScrollBar()->setValue(value);
    m_scrolling = false;
}

void TranscriptView::scheduleSync()
{
    if (m_syncScheduled)
        return;
    m_syncScheduled = true;
    QMetaObject::invokeMethod(this, &TranscriptView::sync, Qt::QueuedConnection);
}

void TranscriptView::syncNow() { sync(); }

void TranscriptView::sync()
{
    m_syncScheduled = false;
    if (!m_pane)
        return;
    const QList<OutputLine> &lines = m_pane->outputLines();
    const qsizetype count = lines.size();
    const QUuid lastId = count ? lines.last().id : QUuid();
    if (count == m_drawnLineCount && lastId == m_lastDrawnLineId)
        return;
    // Lines are only ever added, except when the whole list is replaced (a
    // restore): an append keeps the last drawn line where it was.
    const bool appended = count >= m_drawnLineCount &&
                          (m_drawnLineCount == 0 || lines.at(m_drawnLineCount - 1).id == m_lastDrawnLineId);
    if (appended)
        appendFrom(m_drawnLineCount);
    else
        rebuild();
    const bool countChanged = count != m_drawnLineCount;
    m_drawnLineCount = count;
    m_lastDrawnLineId = lastId;
    if (countChanged)
        scrollToNewest(true);
}

void TranscriptView::rebuild()
{
    ++m_rebuilds;
    m_rows->clear();
    m_groups.clear();
    if (m_pane)
        m_groups = renderGroups(visibleLines(m_pane->outputLines(), m_mode));
    fitRows();
    for (const RenderGroup &group : std::as_const(m_groups))
        m_rows->appendRow(makeRow(group));
    fitRows();
}

void TranscriptView::appendFrom(qsizetype firstNewLine)
{
    const QList<OutputLine> &lines = m_pane->outputLines();
    const std::span<const OutputLine> added(lines.constData() + firstNewLine, size_t(lines.size() - firstNewLine));
    syncRowsFrom(extendRenderGroups(m_groups, added, m_mode));
}

void TranscriptView::syncRowsFrom(qsizetype firstChangedGroup)
{
    for (qsizetype i = firstChangedGroup; i < m_groups.size(); ++i) {
        if (i < m_rows->rowCount()) {
            // Only a run that goes on changes; single lines never do.
            if (const auto *run = m_groups[i].asStdoutRun())
                if (auto *view = qobject_cast<StdoutRunView *>(m_rows->row(int(i)))) {
                    view->setRawText(run->aggregatedText);
                    m_rows->rowChanged(int(i));
                }
            continue;
        }
        m_rows->appendRow(makeRow(m_groups[i]));
    }
    fitRows();
}

QWidget *TranscriptView::makeRow(const RenderGroup &group)
{
    if (const auto *run = group.asStdoutRun())
        return new StdoutRunView(run->aggregatedText, m_rows);
    return new OutputLineView(group.asSingle()->line, m_rows);
}

void TranscriptView::scrollToNewest(bool animated)
{
    const std::optional<QUuid> target = AgentPaneLook::scrollTarget(m_groups);
    if (!target || m_rows->rowCount() == 0)
        return;
    m_followAnchor = target;
    fitRows();
    QScrollBar *bar = verticalScrollBar();
    // The newest row's bottom (a run's bottom anchor) at the bottom of the view.
    const int bottom = m_rows->rowBottom(m_rows->rowCount() - 1);
    const int value = std::clamp(bottom - viewport()->height(), bar->minimum(), bar->maximum());
    const auto apply = [this](double to) {
        m_scrolling = true;
        verticalScrollBar()->setValue(int(std::lround(to)));
        m_scrolling = false;
    };
    if (!animated) {
        ReducibleAnimation::stop(this, "followNewest");
        apply(value);
        return;
    }
    const NmAnimation linear{QEasingCurve(QEasingCurve::Linear), AgentPaneLook::scrollDurationMs};
    ReducibleAnimation::animateValue(this, "followNewest", bar->value(), value, linear, apply);
}

void TranscriptView::fitRows()
{
    const int width = viewport()->width();
    m_rows->setContentWidth(std::max(0, width - 2 * TranscriptRows::horizontalPadding));
    const QSize size(width, m_rows->contentHeight());
    if (m_rows->size() != size)
        m_rows->resize(size);
}

void TranscriptView::resizeEvent(QResizeEvent *event)
{
    QScrollArea::resizeEvent(event);
    fitRows();
}

} // namespace nerim
