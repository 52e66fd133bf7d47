// Scrolling a transcript: every line of a million is reached by the scroll
// bar and the wheel, and a reader scrolled up during a stream stays where
// they left it until they come back to the bottom.
#include "TranscriptViewTesting.h"

using namespace Qt::StringLiterals;
using Kind = nerim::OutputLine::Kind;

namespace nerim {
namespace {

using namespace transcript_testing;

// The exit line of a transcript far taller than a widget may be (Qt caps a
// widget at 16,777,215 pixels) is reached by the scroll bar and the wheel,
// and the view opens there; the top and a line in the middle are reached too.
TEST(TranscriptView, EveryLineOfAMillionIsReachable)
{
    MotionPreferences::shared().setReduceMotion(true);
    auto pane = makePane();
    OutputLines lines;
    const QString words = u"with enough words in it to wrap when the pane is narrow, twice"_s;
    constexpr int kLines = 1'000'000;
    for (int i = 0; i < kLines - 1; ++i) {
        const Kind kind = i % 1000 == 0 ? Kind::userPrompt : Kind::stdout;
        lines.append(kind, u"line %1 %2"_s.arg(i).arg(words), newSequentialUuid());
    }
    lines.append(Kind::system, u"Pane exited · code 0"_s, newSequentialUuid());
    pane->setOutputLines(lines);

    TranscriptView view(pane.get(), AppState::OutputMode::verbose);
    view.resize(360, 400);
    view.show();
    view.syncNow();
    settle();
    TranscriptRows *rows = view.rows();
    ASSERT_EQ(view.shownLineCount(), kLines);
    ASSERT_GT(rows->contentHeight(), qint64(QWIDGETSIZE_MAX));
    // Only the rows near the view have widgets.
    EXPECT_LT(rows->builtRowCount(), 100);

    const auto exitLineShown = [&] {
        auto *last = qobject_cast<OutputLineView *>(rows->builtRow(rows->rowCount() - 1));
        if (!last || !last->isVisible() || last->line().text != u"Pane exited · code 0"_s)
            return false;
        const QRect inView = last->geometry().intersected(rows->rect());
        return inView.height() == last->height();
    };
    // It opens at its newest line.
    EXPECT_EQ(view.scrollPosition(), view.maximumScrollPosition());
    EXPECT_TRUE(exitLineShown());

    // The top, by the scroll bar.
    QScrollBar *bar = view.verticalScrollBar();
    bar->setValue(0);
    settle();
    EXPECT_EQ(view.scrollPosition(), 0);
    EXPECT_EQ(rows->rowAt(0), 0);
    EXPECT_FALSE(exitLineShown());
    // The middle: the rows drawn there are the rows at that height.
    bar->setValue(bar->maximum() / 2);
    settle();
    const int middle = rows->rowAt(view.scrollPosition());
    EXPECT_GT(middle, rows->rowCount() / 3);
    EXPECT_LT(middle, rows->rowCount() * 2 / 3);
    ASSERT_NE(rows->builtRow(middle), nullptr);
    EXPECT_EQ(rows->builtRow(middle)->y(), int(rows->rowTop(middle) - view.scrollPosition()));
    // The end, by the scroll bar.
    bar->setValue(bar->maximum());
    settle();
    EXPECT_EQ(view.scrollPosition(), view.maximumScrollPosition());
    EXPECT_TRUE(exitLineShown());
    // Up a little and down again by the wheel, past the end.
    const auto wheel = [&](int steps) {
        QWheelEvent event(QPointF(20, 20), view.viewport()->mapToGlobal(QPointF(20, 20)), QPoint(),
                          QPoint(0, 120 * steps), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(view.viewport(), &event);
        settle();
    };
    wheel(10);
    EXPECT_LT(view.scrollPosition(), view.maximumScrollPosition());
    EXPECT_FALSE(view.isFollowing());
    wheel(-20);
    EXPECT_EQ(view.scrollPosition(), view.maximumScrollPosition());
    EXPECT_TRUE(view.isFollowing());
    EXPECT_TRUE(exitLineShown());
}

// An agent printing while the user reads back: the view stays where the user
// scrolled to, also while the scroll to the newest line is still under way;
// back at the bottom it follows again.
TEST(TranscriptView, ScrollingUpDuringAStreamStaysWhereTheUserLeftIt)
{
    // With motion: the user's scroll comes while the view glides to the newest line.
    MotionPreferences::shared().setReduceMotion(false);
    auto pane = makePane();
    pane->appendLine(Kind::userPrompt, u"build it"_s);
    TranscriptView view(pane.get(), AppState::OutputMode::verbose);
    view.resize(360, 400);
    view.show();
    settle();
    int next = 0;
    const auto stream = [&](int count) {
        for (int i = 0; i < count; ++i, ++next)
            pane->appendLine(next % 40 == 0 ? Kind::stderr : Kind::stdout,
                             u"line %1 of the answer, with `code` and **strong** words"_s.arg(next));
    };
    stream(400);
    view.syncNow();
    settle();
    ASSERT_TRUE(view.isFollowing());
    ASSERT_GT(view.maximumScrollPosition(), 0);

    // More lines start a glide to the bottom; the user turns the wheel up
    // while it runs.
    stream(20);
    view.syncNow();
    QWheelEvent up(QPointF(20, 20), view.viewport()->mapToGlobal(QPointF(20, 20)), QPoint(), QPoint(0, 120 * 12),
                   Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(view.viewport(), &up);
    EXPECT_FALSE(view.isFollowing());
    const qint64 left = view.scrollPosition();
    const int topRow = view.rows()->rowAt(left);
    const qint64 offset = left - view.rows()->rowTop(topRow);

    // A stream of thousands of lines, in frames as they come.
    for (int frame = 0; frame < 40; ++frame) {
        stream(50);
        QTest::qWait(5);
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view.hasPendingSync(); }, 60000));
    QTest::qWait(AgentPaneLook::scrollDurationMs * 2);
    settle();
    EXPECT_FALSE(view.isFollowing());
    EXPECT_EQ(view.rows()->rowAt(view.scrollPosition()), topRow);
    EXPECT_EQ(view.scrollPosition() - view.rows()->rowTop(topRow), offset);
    EXPECT_LT(view.scrollPosition(), view.maximumScrollPosition());

    // Back to the bottom (the scroll bar dragged to its end): it follows again.
    QScrollBar *bar = view.verticalScrollBar();
    bar->setValue(bar->maximum());
    settle();
    EXPECT_TRUE(view.isFollowing());
    stream(200);
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return !view.hasPendingSync() && view.scrollPosition() == view.maximumScrollPosition();
    }, 60000));
    auto *newest = qobject_cast<StdoutRunView *>(view.rows()->builtRow(view.rows()->rowCount() - 1));
    ASSERT_NE(newest, nullptr);
    EXPECT_TRUE(newest->rawText().endsWith(u"line %1 of the answer, with `code` and **strong** words"_s.arg(next - 1)));
    MotionPreferences::shared().setReduceMotion(true);
}

} // namespace
} // namespace nerim
