// Taking lines into a transcript: lines that wait for the next update (at
// most one a frame) are all taken in by it, a flood over as many frames as
// it takes ending as if read at once, a long restored transcript from its
// newest lines first with the older ones put in front unseen.
#include "TranscriptViewTesting.h"

using namespace Qt::StringLiterals;
using Kind = nerim::OutputLine::Kind;

namespace nerim {
namespace {

using namespace transcript_testing;

TEST(TranscriptView, LinesWaitingForTheNextUpdateAreAllTakenIn)
{
    MotionPreferences::shared().setReduceMotion(true);
    auto pane = makePane();
    pane->appendLine(Kind::stdout, u"first"_s);
    TranscriptView view(pane.get(), AppState::OutputMode::verbose);
    view.resize(360, 400);
    view.show();
    settle();
    pane->appendLine(Kind::stderr, u"second"_s);
    view.syncNow();
    const int shown = view.rows()->rowCount();
    // New lines wait for the next update (at the end of the frame, this soon
    // after one)…
    pane->appendLine(Kind::stderr, u"third"_s);
    pane->appendLine(Kind::stderr, u"fourth"_s);
    EXPECT_TRUE(view.hasPendingSync());
    EXPECT_EQ(view.rows()->rowCount(), shown);
    // …which takes them all in.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view.hasPendingSync(); }));
    EXPECT_EQ(view.rows()->rowCount(), shown + 2);
    EXPECT_EQ(view.groups().size(), 4);
}

TEST(TranscriptView, AFloodTakenInOverManyFramesEndsAsIfReadAtOnce)
{
    MotionPreferences::shared().setReduceMotion(true);
    auto pane = makePane();
    TranscriptView view(pane.get(), AppState::OutputMode::verbose);
    view.resize(360, 400);
    view.show();
    settle();
    // More than a frame takes in, so that its slices end anywhere: inside
    // code blocks, between the lines of emphasis that spans a line break,
    // next to lines of other kinds. More arrives while the view catches up.
    const auto add = [&](int from, int to) {
        for (int i = from; i < to; ++i) {
            switch (i % 97) {
            case 0: pane->appendLine(Kind::stderr, u"warning %1"_s.arg(i)); break;
            case 10: pane->appendLine(Kind::stdout, u"```js"_s); break;
            case 20: pane->appendLine(Kind::stdout, u"```"_s); break;
            case 40: pane->appendLine(Kind::stdout, u"an *open"_s); break;
            case 41: pane->appendLine(Kind::stdout, u"emphasis* closed, then a [link that"_s); break;
            case 90: pane->appendLine(Kind::stdout, u"never closes"_s); break;
            default:
                pane->appendLine(Kind::stdout, u"line %1 with `code` and [a link](https://example.com/%1)"_s.arg(i));
            }
        }
    };
    add(0, 3000);
    settle();
    add(3000, 6000);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view.hasPendingSync(); }, 60000));
    EXPECT_EQ(view.shownLineCount(), pane->outputLines().size());

    TranscriptView whole(pane.get(), AppState::OutputMode::verbose);
    whole.resize(360, 400);
    whole.syncNow();
    EXPECT_EQ(view.groups(), whole.groups());
    ASSERT_EQ(view.rows()->rowCount(), whole.rows()->rowCount());
    for (int i = 0; i < whole.rows()->rowCount(); ++i) {
        const auto *run = qobject_cast<StdoutRunView *>(view.rows()->ensureBuilt(i));
        const auto *expected = qobject_cast<StdoutRunView *>(whole.rows()->ensureBuilt(i));
        ASSERT_EQ(run == nullptr, expected == nullptr) << "row " << i;
        if (run) {
            ASSERT_EQ(run->rawText(), expected->rawText()) << "row " << i;
        }
    }
}

// A flood shown at its bottom: the turns that take lines in leave the view
// where it is, and the view comes to the newest line in a turn of its own,
// with the rows there built a few at a time. Once nothing waits, it is at
// the newest line, whether the flood came at once or in bursts.
TEST(TranscriptView, AFloodFollowedFromTheBottomEndsAtItsNewestLine)
{
    MotionPreferences::shared().setReduceMotion(true);
    auto pane = makePane();
    TranscriptView view(pane.get(), AppState::OutputMode::verbose);
    view.resize(360, 400);
    view.show();
    settle();
    TranscriptRows *rows = view.rows();
    const auto newestShown = [&](const QString &text) {
        auto *last = qobject_cast<OutputLineView *>(rows->builtRow(rows->rowCount() - 1));
        if (!last || !last->isVisible() || last->line().text != text)
            return false;
        return last->geometry().intersected(rows->rect()).height() == last->height();
    };
    int n = 0;
    const auto burst = [&](int count, const QString &last) {
        for (int i = 0; i < count; ++i) {
            if (i % 40 == 5)
                pane->appendLine(Kind::stdout, u"```py"_s);
            else if (i % 40 == 25)
                pane->appendLine(Kind::stdout, u"```"_s);
            else
                pane->appendLine(Kind::stdout, u"line %1 with **bold** words, enough of them to wrap"_s.arg(n++));
        }
        pane->appendLine(Kind::stderr, last);
    };
    burst(20000, u"end of the first flood"_s);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view.hasPendingSync(); }, 120000));
    EXPECT_EQ(view.shownLineCount(), pane->outputLines().size());
    EXPECT_TRUE(view.isFollowing());
    EXPECT_EQ(view.scrollPosition(), view.maximumScrollPosition());
    EXPECT_TRUE(newestShown(u"end of the first flood"_s));
    // Bursts of a few hundred lines, each arriving before the last is in.
    for (int b = 0; b < 5; ++b) {
        burst(300, u"end of burst %1"_s.arg(b));
        QApplication::processEvents();
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view.hasPendingSync(); }, 120000));
    settle();
    EXPECT_EQ(view.scrollPosition(), view.maximumScrollPosition());
    EXPECT_TRUE(newestShown(u"end of burst 4"_s));
    // Only rows near the view were given widgets on the way.
    EXPECT_LT(rows->builtRowCount(), 100);
}

// A long transcript restored into a pane shows its newest lines within a few
// turns, however long it is; the lines before are taken in behind them
// without moving what the view shows (also after the user scrolled up), and
// once every line is in, the view is what a view built whole would be.
TEST(TranscriptView, ALongRestoredTranscriptShowsItsNewestLinesFirst)
{
    MotionPreferences::shared().setReduceMotion(true);
    auto pane = makePane();
    OutputLines lines;
    constexpr int kLines = 120'000;
    for (int i = 0; i < kLines - 1; ++i) {
        const int k = i % 100;
        if (k == 0)
            lines.append(Kind::userPrompt, u"step %1"_s.arg(i / 100), newSequentialUuid());
        else if (k == 10 || k == 40)
            lines.append(Kind::stdout, u"```js"_s, newSequentialUuid());
        else if (k == 30)
            lines.append(Kind::stdout, u"```"_s, newSequentialUuid());
        else if (k == 60)
            lines.append(Kind::stdout, u"an *open [bracket"_s, newSequentialUuid());
        else if (k == 99)
            lines.append(Kind::stderr, u"warning %1"_s.arg(i), newSequentialUuid());
        else
            lines.append(Kind::stdout, u"line %1 with **bold** and `code`, enough words to wrap"_s.arg(i),
                         newSequentialUuid());
    }
    lines.append(Kind::system, u"Pane exited · code 0"_s, newSequentialUuid());

    TranscriptView view(pane.get(), AppState::OutputMode::verbose);
    view.resize(360, 400);
    view.show();
    settle();
    pane->setOutputLines(lines);
    TranscriptRows *rows = view.rows();
    const auto exitLineShown = [&] {
        auto *last = qobject_cast<OutputLineView *>(rows->builtRow(rows->rowCount() - 1));
        if (!last || !last->isVisible() || last->line().text != u"Pane exited · code 0"_s)
            return false;
        return last->geometry().intersected(rows->rect()).height() == last->height() &&
               view.scrollPosition() == view.maximumScrollPosition();
    };
    // A turn: whatever the event loop has to do next (the view takes lines
    // in at most once a frame).
    int turns = 0;
    for (; turns < 40 && !exitLineShown(); ++turns)
        QApplication::processEvents(TranscriptView::anyCatchingUp() ? QEventLoop::WaitForMoreEvents
                                                                    : QEventLoop::AllEvents);
    EXPECT_TRUE(exitLineShown()) << "after " << turns << " turns, " << view.shownLineCount() << " lines in";

    // Scrolled up a little while the rest comes in: the rows on screen stay.
    view.scrollByUser(view.scrollPosition() - 900);
    settle();
    const int top = rows->rowAt(view.scrollPosition() + 10);
    QWidget *topRow = rows->builtRow(top);
    ASSERT_NE(topRow, nullptr);
    const int topY = topRow->y();
    const qsizetype topLine = view.firstRowLine();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view.hasPendingSync(); }, 120000));
    settle();
    EXPECT_EQ(view.firstRowLine(), 0);
    EXPECT_EQ(view.shownLineCount(), kLines);
    EXPECT_FALSE(view.isFollowing());
    if (topLine > 0) {
        EXPECT_GT(rows->indexOf(topRow), top);
    }
    EXPECT_EQ(topRow->y(), topY);
    EXPECT_TRUE(topRow->isVisible());

    TranscriptView whole(pane.get(), AppState::OutputMode::verbose);
    whole.resize(360, 400);
    whole.syncNow();
    EXPECT_TRUE(view.groups() == whole.groups());
    ASSERT_EQ(view.rowItems().size(), whole.rowItems().size());
    for (qsizetype i = 0; i < whole.rowItems().size(); ++i) {
        const auto &a = view.rowItems()[i];
        const auto &b = whole.rowItems()[i];
        ASSERT_TRUE(a.group == b.group && a.start == b.start && a.end == b.end && a.gapAbove == b.gapAbove)
            << "row " << i;
    }
    // The rows put in front keep the space above each of them, as the rows
    // of the transcript read at once do.
    ASSERT_EQ(rows->rowCount(), whole.rows()->rowCount());
    for (int i = 1; i < rows->rowCount(); ++i)
        ASSERT_EQ(rows->rowTop(i) - rows->rowBottom(i - 1), whole.rows()->rowTop(i) - whole.rows()->rowBottom(i - 1))
            << "space above row " << i;
    // Back at the bottom by the scroll bar, the newest lines are there.
    view.verticalScrollBar()->setValue(view.verticalScrollBar()->maximum());
    settle();
    EXPECT_TRUE(exitLineShown());

    // Another mode shows the newest lines as soon, and a place kept across
    // a change of mode (a prompt far up) is at the top as soon.
    const auto within40Turns = [&](const std::function<bool()> &shown) {
        for (int turn = 0; turn < 40 && !shown(); ++turn)
            QApplication::processEvents(TranscriptView::anyCatchingUp() ? QEventLoop::WaitForMoreEvents
                                                                        : QEventLoop::AllEvents);
        return shown();
    };
    view.setOutputMode(AppState::OutputMode::summary);
    EXPECT_TRUE(within40Turns(exitLineShown));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view.hasPendingSync(); }, 120000));
    settle();
    const qsizetype prompt = 30'000;
    int row = -1;
    for (int i = 0; i < view.rowItems().size() && row < 0; ++i)
        if (view.groups().at(view.rowItems().at(i).group).id() == pane->outputLines().id(prompt))
            row = i;
    ASSERT_GE(row, 0);
    view.scrollByUser(rows->rowTop(row));
    ASSERT_FALSE(view.isFollowing());
    view.setOutputMode(AppState::OutputMode::verbose);
    EXPECT_TRUE(within40Turns([&] {
        const int top = rows->rowAt(view.scrollPosition());
        return top >= 0 && view.groups().at(view.rowItems().at(top).group).id() == pane->outputLines().id(prompt);
    }));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view.hasPendingSync(); }, 120000));
    settle();
    const int kept = rows->rowAt(view.scrollPosition());
    EXPECT_EQ(view.groups().at(view.rowItems().at(kept).group).id(), pane->outputLines().id(prompt));
}

// The finished tasks of a long transcript are counted over a few turns,
// whole.
TEST(TranscriptView, APaneCountsTheFinishedTasksOfALongTranscript)
{
    MotionPreferences::shared().setReduceMotion(true);
    auto pane = makePane();
    OutputLines lines;
    int finished = 0;
    for (int i = 0; i < 450000; ++i) {
        const bool done = i % 1000 == 999;
        finished += done;
        lines.append(done ? Kind::taskComplete : Kind::stdout, done ? u"TASK_COMPLETE: done"_s : u"working"_s,
                     newSequentialUuid());
    }
    pane->setOutputLines(lines);
    AgentPaneView view(pane.get(), AppState::OutputMode::notification, {});
    ASSERT_TRUE(QTest::qWaitFor([&] { return view.taskCompleteCount() == finished; }, 30000));
    pane->appendLine(Kind::taskComplete, u"TASK_COMPLETE: one more"_s);
    EXPECT_EQ(view.taskCompleteCount(), finished + 1);
}

} // namespace
} // namespace nerim
