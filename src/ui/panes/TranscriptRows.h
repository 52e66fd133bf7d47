#pragma once

// The row placement under a transcript: the layout budget its work runs
// within, and the widget that places a transcript's rows one under the other
// and builds only those near the view.

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QMap>
#include <QSet>
#include <QWidget>
#include <functional>

namespace nerim {

// How long a transcript's layout work may take: a clock started when the
// budget is made. A default budget is unbounded. The first piece of work
// asked for is always allowed, so that every budget makes progress.
class TranscriptLayoutBudget {
public:
    TranscriptLayoutBudget() = default;
    explicit TranscriptLayoutBudget(qint64 ns)
        : m_ns(ns)
    {
        m_clock.start();
    }
    // A budget that allows nothing, not even a first piece of work.
    static TranscriptLayoutBudget none()
    {
        TranscriptLayoutBudget budget(0);
        budget.m_used = true;
        return budget;
    }
    bool spent() const { return m_ns >= 0 && m_clock.nsecsElapsed() >= m_ns; }
    // Whether one more piece of work may be done (counting it as done).
    bool allows() const
    {
        const bool allowed = !m_used || !spent();
        m_used = true;
        return allowed;
    }

private:
    QElapsedTimer m_clock;
    qint64 m_ns = -1;
    mutable bool m_used = false;
};

// The rows of a transcript (a line, or a chunk of a run of agent output),
// placed one under the other by hand and built lazily: a row gets its widget
// only when it comes near the visible part (or is asked for), and until then
// takes an estimated height. A built row is measured once at the current
// width and again only when its content changes; rows far out of view are
// released (`releaseOutside`) and keep their measured height. A change of
// width measures only the built rows; every other row keeps the height it
// has until it is built again, so the rows far away cost nothing. So opening
// a long transcript, adding to one, reading through it or resizing it costs
// what the rows near the view cost.
//
// A change of width does not lay the built rows out at once either: each
// keeps the width and height it was laid out at (it is "stale") until
// `layOut` comes to it, so the view lays out the rows in view first and the
// others in later turns, each turn within its budget.
//
// The widget itself is only as tall as the view: Qt caps a widget at
// QWIDGETSIZE_MAX (16,777,215) pixels, about 400k lines, so rows are placed
// relative to an origin (`setOrigin`), with the content height kept at its
// top, and TranscriptView keeps the scroll position in 64 bits.
class TranscriptRows : public QWidget {
    Q_OBJECT
public:
    using Budget = TranscriptLayoutBudget;

    static constexpr int horizontalPadding = 16;
    static constexpr int verticalPadding = 12;
    static constexpr int spacing = 6;

    // Makes the widget of row `index` (a child of `parent`).
    using Factory = std::function<QWidget *(int index, QWidget *parent)>;
    // A cheap guess of row `index`'s height at a width.
    using Estimate = std::function<int(int index, int width)>;
    // The space above row `index` (not asked for the first row).
    using Gap = std::function<int(int index)>;

    TranscriptRows(Factory factory, Estimate estimate, Gap gap, QWidget *parent = nullptr);

    int rowCount() const { return int(m_heights.size()); }
    // The widget of a row, or null while it is not built.
    QWidget *builtRow(int index) const { return m_built.value(index); }
    int builtRowCount() const { return int(m_built.size()); }
    // The built rows, in order.
    QList<int> builtRows() const { return m_built.keys(); }
    // The row a built widget draws, or -1.
    int indexOf(QWidget *row) const { return m_indexOf.value(row, -1); }
    // Makes the widget of a built row again (its content changed in a way
    // only a new widget shows).
    void rebuildRow(int index);
    QWidget *ensureBuilt(int index);
    // Whether row `index` is built but laid out at an earlier width.
    bool isStale(int index) const;
    int staleRowCount() const;
    // Builds, or lays out again at the current width, every row that reaches
    // into [top, bottom], from the top, while `budget` lasts (the first such
    // row whatever the budget); whether none is left to do.
    bool layOut(qint64 top, qint64 bottom, const Budget &budget = {});
    // The same for the rows at the bottom, newest first, until they fill
    // `height`.
    bool layOutNewest(int height, const Budget &budget = {});
    // Lays out again, while `budget` lasts, the built rows still laid out at
    // an earlier width; whether none is left.
    bool layOutStale(const Budget &budget = {});
    // Lets go of the widgets of rows wholly outside [top, bottom].
    void releaseOutside(qint64 top, qint64 bottom);
    // Row widgets made so far (for tests).
    int buildCount() const { return m_builds; }

    // Drops every row and starts over with `count` rows, none built.
    void reset(int count);
    // Adds `count` rows at the end, none built.
    void append(int count);
    // Drops the rows from `count` on.
    void truncate(int count);
    // Puts rows of the given heights and gaps in front of the others (none
    // built), the row that was first taking `gapOfFirstOld` above it. The
    // built rows stay where they are on screen: the origin moves down by the
    // height added, which is returned.
    qint64 prepend(QList<int> heights, QList<int> gaps, int gapOfFirstOld);
    // Row `index` changed its content: measured again (or estimated again).
    void rowChanged(int index);

    qint64 rowTop(int index) const;
    qint64 rowBottom(int index) const { return rowTop(index) + m_heights.at(index); }
    // The row at height `y` (the last one below it), -1 without rows.
    int rowAt(qint64 y) const;
    qint64 contentHeight() const;

    // The content height shown at the widget's top edge; built rows move with it.
    void setOrigin(qint64 origin);
    qint64 origin() const { return m_origin; }

    // The rows' width. Built rows keep the width they were laid out at
    // until `layOut` (or a change of their content) comes to them.
    void setContentWidth(int width);
    int contentWidth() const { return m_width; }

    QSize sizeHint() const override;

signals:
    void contentHeightChanged(qint64 height);
    // Built rows were measured again after changing on their own.
    void rowsSettled();

protected:
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // The row's height at the current width (which it is now laid out at).
    int measure(QWidget *row);
    // Builds row `index`, or lays it out again at the current width; whether
    // there was anything to do.
    bool layOutRow(int index);
    void dropWidget(QWidget *row);
    // Takes a row's height as measured at the current width, and places it.
    void placeMeasured(int index, int height);
    void heightChanged(int index, int height);
    void refreshTops() const;
    void placeBuiltFrom(int index);
    void settleDirtyRows();
    void notifyHeight();

    // Rows beyond this many have their places freed on the disposal thread.
    static constexpr qsizetype kFreeInBackgroundRows = 4096;
    Factory m_factory;
    Estimate m_estimate;
    Gap m_gap;
    QList<int> m_heights;
    QList<int> m_gaps;
    QMap<int, QWidget *> m_built;
    QHash<QWidget *, int> m_indexOf;
    QSet<QWidget *> m_dirty;
    // The width each built row was last laid out at.
    QHash<QWidget *, int> m_laidWidth;
    mutable QList<qint64> m_tops;
    // Tops from this index on are out of date.
    mutable int m_staleFrom = 0;
    int m_width = 0;
    qint64 m_origin = 0;
    qint64 m_reportedHeight = -1;
    int m_builds = 0;
};

} // namespace nerim
