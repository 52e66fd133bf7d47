#pragma once

#include "agents/AgentPaneState.h"
#include "panes-store/OutputLine.h"
#include "persistence/AppState.h"
#include "ui/panes/RunChunks.h"
#include "ui/panes/TranscriptGrouping.h"
#include "ui/panes/TranscriptRows.h"

#include <QElapsedTimer>
#include <QList>
#include <QMap>
#include <QPointer>
#include <QAbstractScrollArea>
#include <QSet>
#include <QTimer>
#include <QUuid>
#include <functional>
#include <optional>

namespace nerim {

// A pane's transcript: its lines filtered by the output mode and grouped (a
// run of agent output is one group, cut into prose and code blocks), in a
// vertical scroll view. Each line is a row; a run is drawn as a few rows, its
// chunks (RunChunks.h), and a chunk of prose that markup holds together over
// hundreds of lines as parts of a few dozen lines, each showing its part of
// how the whole chunk reads. Rows are kept and never rebuilt while lines are
// only added: the last chunk of a run grows in place and new chunks and lines
// are added as rows, at most once a frame for a burst of lines (a flood that
// a turn's budget cut short goes on in the next turn). The rows are
// rebuilt only when the lines are replaced or the mode changes, and only those
// in view are built at all. A transcript opened or replaced is taken in as a
// flood is, over as many frames as it takes; a long one from near its newest
// lines first (or the place a change of mode keeps), the older lines behind
// them, put in front of the rows once all are in without moving the view.
//
// The view follows the newest lines while it is at its bottom, which is
// where it opens: each change of the line count then scrolls the newest
// visible line to the bottom, over 0.08 s or at once under Reduce Motion.
// Once the user scrolls away from the bottom the view stays where they left
// it, however fast lines come, until they scroll back to the bottom. A change
// of mode keeps the reader's place: a view at its newest lines stays at the
// newest, any other keeps the line at its top (or the first shown after it,
// when the new mode hides that line) at its top; the lines are taken in for
// the new mode as a flood is, so a long transcript never holds the window.
//
// The scroll position is the view's own (64 bits, in pixels of content); the
// scroll bar shows it, in pixels while the content fits the bar's range and
// in proportion beyond that, and the wheel moves it by pixels.
//
// Every transcript's frames fall on the ticks of one shared clock (a precise
// timer), so panes streaming together take in their lines in one turn and
// the window paints them in one pass.
class TranscriptView : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit TranscriptView(AgentPaneState *pane, AppState::OutputMode mode, QWidget *parent = nullptr);

    void setOutputMode(AppState::OutputMode mode);
    AppState::OutputMode outputMode() const { return m_mode; }

    // One row of the transcript: a line, or a chunk of a run.
    struct Row {
        int group = 0;
        // Chunks only: the chunk's place in the run's text.
        qsizetype start = 0;
        qsizetype end = 0;
        int gapAbove = 0;
        // A part of a long chunk of prose: where the chunk starts. Its
        // parts are rows that follow each other, each showing its part of
        // how the whole chunk reads. -1 for a whole chunk or a line.
        qsizetype chunkStart = -1;
        friend bool operator==(const Row &, const Row &) = default;
    };

    TranscriptRows *rows() const { return m_rows; }
    const QList<RenderGroup> &groups() const { return m_groups; }
    const QList<Row> &rowItems() const { return m_items; }
    // Brings the transcript up to date at once (normally it waits for the
    // next turn of the event loop, or the end of the frame when it was
    // brought up to date less than a frame ago).
    void syncNow();
    // Lines came that the transcript does not show yet.
    bool hasPendingSync() const { return m_syncScheduled; }
    // Whether any transcript of the application still has lines to take in
    // or rows to lay out in later turns (tests and the gallery wait for none).
    static bool anyCatchingUp();
    // Rows near the view wait for a later turn to be built or laid out at
    // the current width.
    bool hasPendingLayout() const { return m_layoutTimer.isActive(); }
    // How many of the pane's lines the view has taken in.
    qsizetype shownLineCount() const { return m_drawnLineCount - m_tailStart + m_backlog.drawn; }
    // The first of the pane's lines the rows hold while the lines before it
    // are still taken in behind them (0 once every line is in the rows).
    qsizetype firstRowLine() const { return m_tailStart; }
    // Times the rows were rebuilt from scratch (for tests).
    int rebuildCount() const { return m_rebuilds; }

    // The content height at the top of the view, and the most it can be.
    qint64 scrollPosition() const { return m_position; }
    qint64 maximumScrollPosition() const;
    // Scrolls as the user would (it stops or resumes following the newest lines).
    void scrollByUser(qint64 position);
    // Whether new lines scroll the view to them (it is at its bottom).
    bool isFollowing() const { return m_following; }

protected:
    void resizeEvent(QResizeEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    void wheelEvent(QWheelEvent *event) override;

private:
    void scheduleSync();
    void sync();
    // Takes in the lines added since the last time; within the turn's
    // budget, or all of them.
    void takeInLines(bool withinTurnBudget);
    // Drops every row (the lines are taken in again from the first).
    void clearRows();
    // The pane's line that row `index` starts with, or -1.
    qsizetype firstLineOfRow(int index) const;
    // Adds lines [firstNewLine, end) of the pane's to the groups and rows.
    void appendFrom(qsizetype firstNewLine, qsizetype end);
    QWidget *makeRow(int index, QWidget *parent);
    QString chunkText(const Row &row) const;
    // How many slices of their long lines a row shows (LongLines.h).
    int shownSlices(const Row &row) const;
    void showMore(QWidget *row);
    // Adds the rows of groups from `firstGroup` on.
    void addRowsFrom(qsizetype firstGroup);
    // The rows of `groups` from `firstGroup` on, added to `items`; the chunker
    // of the last run is kept in `openRunGroup` and `openRunChunker`.
    static void addRows(const QList<RenderGroup> &groups, qsizetype firstGroup, QList<Row> &items, int &openRunGroup,
                        RunChunker &openRunChunker);
    // A run that goes on in `groups[group]`, whose rows end at `rowCount`
    // in `items`: its rows from the first whose chunk changed are cut again
    // (those after it dropped). Returns that row and where its chunk ended
    // before, or a row of -1 when `group` is not the run of the last row.
    struct RunGrowth {
        int first = -1;
        qsizetype shownEnd = 0;
        // The first row changed from a whole chunk to a part or back, or
        // is a part in place of another row.
        bool otherKind = false;
    };
    // Appends the rows of `chunk` of `text`: the chunk, or the parts of a
    // long chunk of prose (the lines from `checkedFrom` on are looked at for
    // what keeps a chunk whole: a code fence, a line longer than a slice).
    static void appendChunkRows(QList<Row> &items, int group, const RunText &text, const RunChunk &chunk, int above,
                                qsizetype checkedFrom);
    // What part row `index` shows: its part of how its chunk reads.
    InlineMarkdown partReading(int index);
    // Shows again the built parts of the chunk that changed, once a turn.
    void refreshParts();
    static RunGrowth regrowRun(const QList<RenderGroup> &groups, qsizetype group, int rowCount, QList<Row> &items,
                               int &openRunGroup, RunChunker &openRunChunker);
    int estimateRow(int index, int width) const;
    static int estimateItem(const Row &row, const RenderGroup &group, int slices, int width);
    // Where to start the rows of a long transcript so that the line
    // `target` is among them at once: the first line of a group at or before
    // it (the groups from there on are those of the whole transcript), or 0.
    qsizetype tailStartFor(qsizetype target) const;
    // Takes in the lines before the rows' first, up to `end`, into the backlog.
    void takeInBacklog(qsizetype end);
    // Puts the backlog's rows in front of the others, the view staying put.
    void spliceBacklog();
    void takeInNewLines(bool withinTurnBudget);
    // Moves the view to the row a change of mode keeps in place once it is
    // made (`allIn`: the rows hold the newest line).
    void goToKeptPlace(bool allIn);
    void scrollToNewest(bool animated, const TranscriptRows::Budget &budget);
    // Builds (or lays out at the current width) the rows that show at the
    // bottom of the view, newest first, while `budget` lasts; whether they
    // are all done.
    bool buildNewestRows(const TranscriptRows::Budget &budget);
    // Builds and lays out the rows in view, then those around it, while
    // `budget` lasts; what is left is done in the next turns.
    // Where `y` falls: in which row, how far below its top and how tall the
    // row was. And back: the view keeps its top row at the same share of its
    // height while rows take a new width.
    struct RowPlace {
        int row = -1;
        qint64 offset = 0;
        qint64 height = 0;
    };
    RowPlace placeOf(qint64 y) const;
    qint64 positionOf(const RowPlace &place) const;
    void buildVisibleRows(const TranscriptRows::Budget &budget);
    void buildVisibleRows() { buildVisibleRows(turnBudget(kLayoutBudgetNs)); }
    // A layout budget of `ns`, no more than what is left of the turn's
    // allowance for transcript work (`kTurnLayoutCapNs`). Once that is spent
    // the view still does a first piece of work in a turn, but only once:
    // every part of it that asks again gets nothing until the next turn, so
    // that panes asking several times a turn do not add up.
    TranscriptRows::Budget turnBudget(qint64 ns);
    // Rows near the view are left to build or lay out: a later turn goes on.
    void scheduleLayout();
    // Whether the view was resized less than a frame ago.
    bool resizedThisFrame() const;
    void continueLayout();
    // Moves the view (not as the user: following goes on).
    void setScrollPosition(qint64 position);
    void syncScrollBar();
    void fitRows();

    QPointer<AgentPaneState> m_pane;
    // The chunker of the last run, which only ever grows.
    int m_openRunGroup = -1;
    RunChunker m_openRunChunker;
    AppState::OutputMode m_mode;
    TranscriptRows *m_rows = nullptr;
    QList<RenderGroup> m_groups;
    QList<Row> m_items;
    // How the chunk whose parts were last shown reads, and where each of
    // its lines starts in what it shows.
    struct ChunkReading {
        int group = -1;
        qsizetype start = -1;
        qsizetype end = -1;
        InlineMarkdown shown;
        QList<qsizetype> lineStarts;
    };
    ChunkReading m_chunkReading;
    // Parts of a chunk changed with the lines taken in this turn.
    bool m_partsChanged = false;
    // Rows whose long lines show more than the first slice, by their group
    // and start.
    QHash<QPair<int, qsizetype>, int> m_revealed;
    // How many of the pane's lines the groups hold, and the last one's id.
    qsizetype m_drawnLineCount = 0;
    QUuid m_lastDrawnLineId;
    // A long transcript opened (or shown in another mode) is taken in from
    // near the place the view shows first, the newest lines for a following
    // view: the rows hold lines [m_tailStart, m_drawnLineCount) while the
    // lines before are taken in behind them, in turns of their own, into
    // `m_backlog`, whose rows are put in front once it holds them all.
    struct Backlog {
        QList<RenderGroup> groups;
        QList<Row> items;
        QList<int> heights;
        // The space above each row (0 above the first).
        QList<int> gaps;
        int openRunGroup = -1;
        RunChunker openRunChunker;
        // How many of the lines before m_tailStart it holds.
        qsizetype drawn = 0;
    };
    qsizetype m_tailStart = 0;
    Backlog m_backlog;
    // A backlog taken in whole is put in front of the rows in a turn that
    // has taken less than this so far, or after waiting this many turns.
    static constexpr qint64 kSpliceBeforeNs = 2'000'000;
    static constexpr int kMostSplicesPutOff = 8;
    int m_splicesPutOff = 0;
    // A transcript longer than this many lines is opened from near its place.
    static constexpr qsizetype kTailLines = 1000;
    // How far back from its place a group's first line is looked for.
    static constexpr qsizetype kBoundarySearchLines = 200'000;
    bool m_syncScheduled = false;
    // The last turn took in lines until its budget was spent, and more wait.
    bool m_floodGoesOn = false;
    // Updates come at most once a frame.
    static constexpr qint64 kFrameMs = 16;
    // While a turn of the event loop has taken less than this (reading and
    // handing out the output counts), another slice of new lines is taken in.
    static constexpr qint64 kTurnBudgetNs = 6'000'000;
    // The lines before the rows' first (the backlog), and those below a
    // reader's place once rows fill the view, are taken in only while the
    // turn has taken less than this: the rows shown, their painting and the
    // other panes come first.
    static constexpr qint64 kBacklogBudgetNs = 4'000'000;
    // A backlog that found the turn spent this many times in a row takes a
    // slice in the next turn whatever it has taken.
    static constexpr int kMostBacklogWaits = 4;
    int m_backlogWaits = 0;
    static constexpr qsizetype kLinesPerSlice = 64;
    // What building and laying out rows may take in a turn that also paints
    // the view (moving it, resizing it): painting a screen of text takes
    // most of the rest of a frame.
    static constexpr qint64 kLayoutBudgetNs = 3'000'000;
    // A change of size repaints the whole view at its new size, which costs
    // the most: the turn lays out less, the next ones the rest.
    static constexpr qint64 kResizeLayoutBudgetNs = 1'500'000;
    // Rows are laid out in a turn only until the turn's transcript work
    // (taking lines in, laying out rows, of every pane) has taken this long,
    // however many parts of the view ask: painting what was laid out takes
    // most of the rest of the frame.
    static constexpr qint64 kTurnLayoutCapNs = 4'000'000;
    QTimer m_layoutTimer;
    // The turn of the event loop in which the view was last given layout
    // work to do.
    quint64 m_layoutTurn = 0;
    QElapsedTimer m_lastResize;
    QElapsedTimer m_lastSync;
    // Lines were taken in that the view, following, has not scrolled to yet.
    bool m_viewBehind = false;
    // While a backlog is taken in, the view shows its newest lines this often.
    static constexpr qint64 kFollowDuringFillMs = 250;
    QElapsedTimer m_lastFollow;
    QTimer m_frameTimer;
    qint64 m_position = 0;
    // New lines scroll to the bottom; cleared when the user scrolls away from it.
    bool m_following = true;
    // The scroll bar is being set from the position.
    bool m_settingBar = false;
    // The scroll bar is left as it is (while a backlog is taken in).
    bool m_holdScrollBar = false;
    // Wheel turns smaller than a step, kept for the next one.
    int m_wheelRemainder = 0;
    bool m_building = false;
    // Slices of lines are being taken in: the rows are fitted after the last.
    bool m_takingInSlices = false;
    int m_rebuilds = 0;
    // After a change of mode, the pane's line to show at the top once it is
    // taken in again, and then the row that starts with it.
    qsizetype m_placeLine = -1;
    int m_placeRow = -1;
};

} // namespace nerim
