#pragma once

#include "agents/AgentPaneState.h"
#include "agents/OutputLine.h"
#include "persistence/AppState.h"
#include "ui/panes/TranscriptGrouping.h"

#include <QHash>
#include <QList>
#include <QPointer>
#include <QScrollArea>
#include <QSet>
#include <QUuid>
#include <optional>

namespace nerim {



// The rows of a transcript, one widget per render group, placed one under
// the other by hand: a new row is measured and placed on its own, so adding
// to a long transcript costs the same as adding to a short one. A row that
// changes its own height (a code block growing, a run getting longer) is
// measured again and the rows under it move down.
class TranscriptRows : public QWidget {
    Q_OBJECT
public:
    static constexpr int horizontalPadding = 16;
    static constexpr int verticalPadding = 12;
    static constexpr int spacing = 6;

    explicit TranscriptRows(QWidget *parent = nullptr);

    int rowCount() const { return int(m_rows.size()); }
    QWidget *row(int index) const { return m_rows.at(index); }
    void appendRow(QWidget *row);
    // Measures the row again (its content changed) and moves those under it.
    void rowChanged(int index);
    // Deletes every row.
    void clear();

    // The height all rows need at the current width, padding included.
    int contentHeight() const { return m_contentHeight; }
    // Where row `index` ends, in this widget's coordinates.
    int rowBottom(int index) const;

    // The rows' width; every row is measured again when it changes.
    void setContentWidth(int width);

    QSize sizeHint() const override;

signals:
    // The content height changed (the scroll view resizes the rows).
    void contentHeightChanged(int height);
    // Rows were measured again after changing on their own.
    void rowsSettled();

protected:
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    int measure(QWidget *row) const;
    void placeFrom(int index);
    void settleDirtyRows();
    void setContentHeight(int height);

    QList<QWidget *> m_rows;
    QList<int> m_heights;
    QList<int> m_tops;
    QSet<QWidget *> m_dirty;
    int m_width = 0;
    int m_contentHeight = 2 * verticalPadding;
};

// A pane's transcript: its lines filtered by the output mode and grouped into
// rows (a run of agent output is one row, cut into prose and code blocks),
// in a vertical scroll view. Rows are kept per group and never rebuilt while
// lines are only added: the last run grows in place and new groups are added
// as rows, at most once per turn of the event loop for a burst of lines. The
// rows are rebuilt only when the lines are replaced or the mode changes.
//
// Each change of the line count (not the first showing, not a change of
// mode) scrolls the newest visible line to the bottom, over 0.08 s or at once
// under Reduce Motion.
class TranscriptView : public QScrollArea {
    Q_OBJECT
public:
    explicit TranscriptView(AgentPaneState *pane, AppState::OutputMode mode, QWidget *parent = nullptr);

    void setOutputMode(AppState::OutputMode mode);
    AppState::OutputMode outputMode() const { return m_mode; }

    TranscriptRows *rows() const { return m_rows; }
    const QList<RenderGroup> &groups() const { return m_groups; }
    // The row of a group, by the group's id.
    QWidget *rowForGroup(const QUuid &groupId) const;
    // Brings the transcript up to date at once (normally it waits for the
    // next turn of the event loop).
    void syncNow();
    // Times the rows were rebuilt from scratch (for tests).
    int rebuildCount() const { return m_rebuilds; }

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void scheduleSync();
    void sync();
    void rebuild();
    void appendFrom(qsizetype firstNewLine);
    void syncRowsFrom(qsizetype firstChangedGroup);
    QWidget *makeRow(const RenderGroup &group);
    void scrollToNewest(bool animated);
    void fitRows();

    QPointer<AgentPaneState> m_pane;
    AppState::OutputMode m_mode;
    TranscriptRows *m_rows = nullptr;
    QList<RenderGroup> m_groups;
    // How many of the pane's lines the groups hold, and the last one's id.
    qsizetype m_drawnLineCount = 0;
    QUuid m_lastDrawnLineId;
    bool m_syncScheduled = false;
    // The line the view follows while its rows settle; cleared when the user scrolls.
    std::optional<QUuid> m_followAnchor;
    bool m_scrolling = false;
    int m_rebuilds = 0;
};

} // namespace nerim
