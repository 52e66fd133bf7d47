// Laying a transcript's rows out: rows far out of view are released and
// left alone by a change of width, and a change of width lays out what the
// view shows first and ends as a view laid out at that width from the start.
#include "TranscriptViewTesting.h"

using namespace Qt::StringLiterals;
using Kind = nerim::OutputLine::Kind;

namespace nerim {
namespace {

using namespace transcript_testing;

TEST(TranscriptView, RowsFarOutOfViewAreReleasedAndAResizeKeepsThePlace)
{
    MotionPreferences::shared().setReduceMotion(true);
    auto pane = makePane();
    QList<OutputLine> lines;
    for (int i = 0; i < 600; ++i)
        lines.append(OutputLine::make(i % 50 == 0 ? Kind::userPrompt : Kind::system,
                                      u"Line %1 with enough words to wrap when the pane is narrow"_s.arg(i)));
    pane->setOutputLines(lines);
    TranscriptView view(pane.get(), AppState::OutputMode::verbose);
    view.resize(360, 400);
    view.show();
    settle();
    QScrollBar *bar = view.verticalScrollBar();
    // It opens at the newest lines: read it from the top.
    bar->setValue(0);
    settle();
    while (bar->value() < bar->maximum()) {
        bar->setValue(bar->value() + bar->pageStep());
        settle();
    }
    TranscriptRows *rows = view.rows();
    EXPECT_GT(rows->buildCount(), rows->rowCount() / 2);
    EXPECT_LT(rows->builtRowCount(), rows->rowCount() / 4);

    // Half way up, then wider: the row at the top stays there.
    bar->setValue(bar->maximum() / 2);
    settle();
    const int top = rows->rowAt(bar->value());
    const int builds = rows->buildCount();
    view.resize(720, 400);
    settle();
    EXPECT_EQ(rows->rowAt(bar->value()), top);
    EXPECT_LT(rows->buildCount() - builds, rows->rowCount() / 10);
    for (int i = 0; i < rows->rowCount(); ++i) {
        if (QWidget *row = rows->builtRow(i)) {
            EXPECT_EQ(row->geometry().top(), rows->rowTop(i) - rows->origin());
        }
    }
}

TEST(TranscriptView, AChangeOfWidthLeavesTheRowsFarFromTheViewAlone)
{
    MotionPreferences::shared().setReduceMotion(true);
    auto pane = makePane();
    QList<OutputLine> lines;
    for (int i = 0; i < 3000; ++i)
        lines.append(OutputLine::make(i % 7 == 0 ? Kind::userPrompt : Kind::system,
                                      u"Line %1 with enough words to wrap when the pane is narrow"_s.arg(i)));
    pane->setOutputLines(lines);
    TranscriptView view(pane.get(), AppState::OutputMode::verbose);
    view.resize(360, 400);
    view.show();
    settle();
    QScrollBar *bar = view.verticalScrollBar();
    bar->setValue(bar->maximum() / 2);
    settle();
    TranscriptRows *rows = view.rows();
    // Rows made before the view had a width were estimated at its first width
    // (each line here wraps to two or three).
    EXPECT_LT(rows->contentHeight(), int(lines.size()) * 4 * 18);
    const int top = rows->rowAt(bar->value());
    const int builds = rows->buildCount();
    // The first rows and the last ones are far from the view.
    QList<int> farHeights;
    for (int i : {0, 1, 2, rows->rowCount() - 2, rows->rowCount() - 1})
        farHeights.append(rows->rowBottom(i) - rows->rowTop(i));

    view.resize(720, 400);
    settle();
    EXPECT_EQ(rows->rowAt(bar->value()), top);
    EXPECT_LT(rows->buildCount() - builds, 40);
    QList<int> after;
    for (int i : {0, 1, 2, rows->rowCount() - 2, rows->rowCount() - 1})
        after.append(rows->rowBottom(i) - rows->rowTop(i));
    EXPECT_EQ(after, farHeights);
    // The rows in view are laid out at the new width, one under the other.
    int built = 0;
    for (int i = 0; i < rows->rowCount(); ++i) {
        if (QWidget *row = rows->builtRow(i)) {
            ++built;
            EXPECT_EQ(row->width(), rows->contentWidth());
            EXPECT_EQ(row->geometry().top(), rows->rowTop(i) - rows->origin());
            EXPECT_EQ(row->height(), row->heightForWidth(row->width()));
        }
    }
    EXPECT_GT(built, 0);
}

// A transcript of prompts, answers of prose with code blocks, and reports.
QList<OutputLine> mixedLines(int count)
{
    QList<OutputLine> lines;
    for (int i = 0; lines.size() < count; ++i) {
        lines.append(OutputLine::make(Kind::userPrompt, u"Step %1: make the form check its fields"_s.arg(i)));
        lines.append(OutputLine::make(Kind::stdout, u"I'll update the **form** and its `handler`, with words to wrap:"_s));
        lines.append(OutputLine::make(Kind::stdout, u"```js"_s));
        for (int k = 0; k < 6; ++k)
            lines.append(OutputLine::make(Kind::stdout, u"const field%1 = form.querySelector('#field-%1');"_s.arg(k)));
        lines.append(OutputLine::make(Kind::stdout, u"```"_s));
        for (int k = 0; k < 4; ++k)
            lines.append(OutputLine::make(
                Kind::stdout, u"Line %1 of the explanation, with a [link](https://example.com/%1) and *more words*."_s.arg(k)));
        lines.append(OutputLine::make(Kind::taskComplete, u"TASK_COMPLETE: step %1 done"_s.arg(i)));
    }
    return lines;
}

// The rows a view has built: their heights and places against the rows'
// own figures, at the rows' width.
void expectBuiltRowsLaidOutAtTheirWidth(TranscriptView &view)
{
    TranscriptRows *rows = view.rows();
    EXPECT_EQ(rows->staleRowCount(), 0);
    for (int i = 0; i < rows->rowCount(); ++i) {
        if (QWidget *row = rows->builtRow(i)) {
            EXPECT_EQ(row->width(), rows->contentWidth()) << "row " << i;
            EXPECT_EQ(row->height(), row->heightForWidth(rows->contentWidth())) << "row " << i;
            EXPECT_EQ(row->height(), rows->rowBottom(i) - rows->rowTop(i)) << "row " << i;
            EXPECT_EQ(row->geometry().top(), rows->rowTop(i) - rows->origin()) << "row " << i;
        }
    }
}

// Read from the top and then widened: the rows in view, and what they hold,
// take the new width without any further input.
TEST(TranscriptView, AWidenedViewReadFromTheTopLaysOutWhatItShows)
{
    MotionPreferences::shared().setReduceMotion(true);
    auto pane = makePane();
    pane->appendLine(Kind::userPrompt, u"Step 0: make the signup form check its fields"_s);
    pane->appendLine(Kind::stdout, u"I'll update the **signup form** and its `handler`:"_s);
    pane->appendLine(Kind::stdout, u"```js"_s);
    for (int i = 0; i < 20; ++i)
        pane->appendLine(Kind::stdout, u"const field%1 = form.querySelector('#field-%1'); // \"value\""_s.arg(i));
    pane->appendLine(Kind::stdout, u"```"_s);
    for (int i = 0; i < 3000; ++i)
        pane->appendLine(Kind::stdout, u"Line %1 of the explanation, with a [link](https://example.com) and more words to wrap."_s.arg(i));
    TranscriptView view(pane.get(), AppState::OutputMode::verbose);
    view.resize(360, 400);
    view.show();
    settle();
    view.verticalScrollBar()->setValue(0);
    settle();
    auto *block = view.findChild<CodeBlockView *>();
    ASSERT_TRUE(block);
    ASSERT_TRUE(block->isVisible());
    ASSERT_LT(block->width(), 360);

    view.resize(1000, 400);
    settle();
    EXPECT_EQ(view.verticalScrollBar()->value(), 0);
    TranscriptRows *rows = view.rows();
    QWidget *row = rows->builtRow(rows->rowAt(0));
    ASSERT_TRUE(row);
    EXPECT_EQ(row->width(), rows->contentWidth());
    block = view.findChild<CodeBlockView *>();
    ASSERT_TRUE(block);
    EXPECT_GT(block->width(), 900) << block->width();
}

// A change of width lays the rows in view out first and the rest over the
// next turns; meanwhile every row keeps a place of its own (none overlaps
// another), and once it is done the view is what a view laid out at that
// width from the start shows: the same row heights at the same places, the
// same row at the top, and nothing left at the earlier width. Following
// views end at their newest line.
TEST(TranscriptView, AWidthChangeLaidOutOverTurnsEndsAsAViewLaidOutAtThatWidth)
{
    MotionPreferences::shared().setReduceMotion(true);
    auto pane = makePane();
    pane->setOutputLines(mixedLines(1500));
    for (const bool following : {false, true}) {
        SCOPED_TRACE(following ? "following" : "read half way");
        TranscriptView view(pane.get(), AppState::OutputMode::verbose);
        view.resize(360, 1200);
        view.show();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !view.hasPendingSync(); }, 60000));
        settle();
        if (!following)
            view.scrollByUser(view.maximumScrollPosition() / 2);
        settle();
        TranscriptRows *rows = view.rows();
        const int top = rows->rowAt(view.scrollPosition());

        view.resize(1000, 1200);
        // Right after the change, rows not yet laid out again keep their
        // earlier width and height, one under the other.
        int previousBottom = std::numeric_limits<int>::min();
        for (int i = 0; i < rows->rowCount(); ++i) {
            if (QWidget *row = rows->builtRow(i)) {
                EXPECT_EQ(row->geometry().top(), rows->rowTop(i) - rows->origin()) << "row " << i;
                EXPECT_GE(row->geometry().top(), previousBottom) << "row " << i;
                previousBottom = row->geometry().bottom();
            }
        }
        settle();
        EXPECT_FALSE(view.hasPendingLayout());
        expectBuiltRowsLaidOutAtTheirWidth(view);
        if (following) {
            EXPECT_EQ(view.scrollPosition(), view.maximumScrollPosition());
            EXPECT_NE(rows->builtRow(rows->rowCount() - 1), nullptr);
        } else {
            EXPECT_EQ(rows->rowAt(view.scrollPosition()), top);
        }

        // A view laid out at the new width from the start shows the same
        // heights for the rows both have built.
        TranscriptView whole(pane.get(), AppState::OutputMode::verbose);
        whole.resize(1000, 1200);
        whole.show();
        whole.syncNow();
        settle();
        whole.scrollByUser(whole.rows()->rowTop(top));
        settle();
        int compared = 0;
        for (int i = 0; i < rows->rowCount(); ++i) {
            QWidget *row = rows->builtRow(i);
            QWidget *expected = whole.rows()->builtRow(i);
            if (row && expected) {
                EXPECT_EQ(row->height(), expected->height()) << "row " << i;
                ++compared;
            }
        }
        EXPECT_GT(compared, 5);
    }
}

} // namespace
} // namespace nerim
