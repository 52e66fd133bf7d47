// The transcript as a whole: a click into it leaves the keyboard where it
// was, rows far out of view are released and left alone by a change of width,
// inline Markdown reads the same across the chunks a long answer is drawn in
// (also behind markup still open, and after it closes), and lines that wait
// for the next update (at most one a frame) are all taken in by it, a flood
// over as many frames as it takes, ending as if read at once.
#include "agents/AgentPaneState.h"
#include "ui/design/MotionPreferences.h"
#include "ui/panes/AgentPaneView.h"
#include "ui/panes/CodeBlockView.h"
#include "ui/panes/MarkdownTextLabel.h"
#include "ui/panes/OutputLineView.h"
#include "ui/panes/StdoutRunView.h"
#include "ui/panes/TranscriptView.h"
#include "ui/panes/InlineMarkdown.h"
#include "ui/panes/LongLines.h"
#include "ui/panes/AgentPaneLook.h"
#include "foundation/UuidText.h"
#include "ui/panes/RunChunks.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QWheelEvent>
#include <QLineEdit>
#include <QScrollBar>
#include <QTest>
#include <QTextDocument>
#include <QTextEdit>
#include <QUuid>
#include <QVBoxLayout>
#include <gtest/gtest.h>
#include <functional>
#include <limits>

using namespace Qt::StringLiterals;
using Kind = nerim::OutputLine::Kind;

namespace nerim {
namespace {

void settle()
{
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents();
    // A view takes in its first lines in the frame after it is shown, and
    // lays out rows near it a turn's budget at a time: let it catch up.
    for (int i = 0; i < 2000 && TranscriptView::anyCatchingUp(); ++i)
        QTest::qWait(1);
    QApplication::processEvents();
}

std::unique_ptr<AgentPaneState> makePane()
{
    return std::make_unique<AgentPaneState>(QUuid::createUuid(), u"pane"_s, u"Pane"_s, 1, false,
                                            AgentRole::unspecified, QString());
}

TEST(TranscriptView, AClickIntoThePaneLeavesTheKeyboardInThePromptField)
{
    MotionPreferences::shared().setReduceMotion(true);
    auto pane = makePane();
    pane->appendLine(Kind::userPrompt, u"make a page"_s);
    pane->appendLine(Kind::stdout, u"Here is **the page**:"_s);
    pane->appendLine(Kind::stdout, u"```html"_s);
    pane->appendLine(Kind::stdout, u"<p>hello</p>"_s);
    pane->appendLine(Kind::stdout, u"```"_s);
    pane->appendLine(Kind::system, u"Pane exited · code 0"_s);

    // A window like the canvas: the pane above, the prompt field below.
    QWidget window;
    auto *layout = new QVBoxLayout(&window);
    int focusCalls = 0;
    AgentPaneView::Callbacks callbacks;
    callbacks.onFocus = [&] { ++focusCalls; };
    auto *view = new AgentPaneView(pane.get(), AppState::OutputMode::verbose, std::move(callbacks));
    layout->addWidget(view);
    auto *field = new QLineEdit(&window);
    layout->addWidget(field);
    window.resize(420, 520);
    window.show();
    QApplication::setActiveWindow(&window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    settle();
    field->setFocus();
    ASSERT_TRUE(field->hasFocus());

    TranscriptView *transcript = view->transcript();
    QList<QWidget *> targets{transcript->viewport()};
    for (auto *label : transcript->findChildren<MarkdownTextLabel *>())
        targets.append(label);
    for (auto *line : transcript->findChildren<OutputLineView *>())
        targets.append(line);
    for (auto *code : transcript->findChildren<QTextEdit *>())
        targets.append(code->viewport());
    ASSERT_GE(targets.size(), 4);
    for (QWidget *target : targets) {
        ASSERT_TRUE(target->isVisible());
        QTest::mouseClick(target, Qt::LeftButton, {}, QPoint(4, target->height() / 2));
        settle();
        EXPECT_TRUE(field->hasFocus()) << "a click on " << target->metaObject()->className() << " took the keyboard "
                                       << (QApplication::focusWidget() ? QApplication::focusWidget()->metaObject()->className()
                                                                       : "(none)");
        QWidget *keyboard = QApplication::focusWidget();
        QTest::keyClicks(keyboard ? keyboard : &window, u"x"_s);
    }
    // The clicks focused the pane, and every keystroke reached the field.
    EXPECT_EQ(focusCalls, targets.size());
    EXPECT_EQ(field->text(), QString(targets.size(), u'x'));

    // Text in the transcript is still selectable with the mouse.
    auto *label = transcript->findChild<MarkdownTextLabel *>();
    ASSERT_NE(label, nullptr);
    QTest::mousePress(label, Qt::LeftButton, {}, QPoint(1, 4));
    QTest::mouseMove(label, QPoint(label->width() - 2, 4));
    QTest::mouseRelease(label, Qt::LeftButton, {}, QPoint(label->width() - 2, 4));
    EXPECT_TRUE(label->hasSelectedText());
}

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

TEST(TranscriptView, LinesStreamedIntoAnOpenCodeBlockShowAsTheWholeBlock)
{
    MotionPreferences::shared().setReduceMotion(true);
    auto pane = makePane();
    pane->appendLine(Kind::stdout, u"Here:"_s);
    pane->appendLine(Kind::stdout, u"```js"_s);
    TranscriptView view(pane.get(), AppState::OutputMode::verbose);
    view.resize(360, 400);
    view.show();
    settle();
    QStringList body;
    for (int i = 0; i < 40; ++i) {
        body.append(i % 5 == 2 ? u"const s = \"quoted %1\"; // note"_s.arg(i) : u"call(%1);"_s.arg(i));
        pane->appendLine(Kind::stdout, body.last());
        view.syncNow();
    }
    auto *block = view.findChild<CodeBlockView *>();
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block->source(), body.join(u'\n'));
    EXPECT_FALSE(block->isClosed());
    auto *code = block->findChild<QTextEdit *>(u"code"_s);
    ASSERT_NE(code, nullptr);
    EXPECT_EQ(code->toPlainText(), body.join(u'\n'));
    // The same block built at once has the same colours.
    CodeBlockView whole(u"js"_s, body.join(u'\n'), false);
    EXPECT_EQ(code->document()->toHtml(), whole.findChild<QTextEdit *>(u"code"_s)->document()->toHtml());

    pane->appendLine(Kind::stdout, u"```"_s);
    pane->appendLine(Kind::stdout, u"Done."_s);
    view.syncNow();
    EXPECT_TRUE(block->isClosed());
    EXPECT_EQ(block->source(), body.join(u'\n'));
}


// The rows of the run that group `group` of the view is drawn in, as the
// texts of their chunks.
QStringList runRows(const TranscriptView &view, int group)
{
    QStringList texts;
    const auto *run = view.groups().at(group).asStdoutRun();
    for (const TranscriptView::Row &row : view.rowItems())
        if (row.group == group)
            texts.append(run->text.mid(row.start, row.end - row.start));
    return texts;
}

TEST(TranscriptView, AnAnswerBehindAnOpenBracketIsDrawnInChunksUntilTheBracketCloses)
{
    MotionPreferences::shared().setReduceMotion(true);
    auto pane = makePane();
    pane->appendLine(Kind::userPrompt, u"collect"_s);
    pane->appendLine(Kind::stdout, u"See [the results"_s);
    TranscriptView view(pane.get(), AppState::OutputMode::verbose);
    view.resize(360, 400);
    view.show();
    settle();
    for (int i = 0; i < 100; ++i) {
        pane->appendLine(Kind::stdout, i % 2 ? u"item %1 with `code` and **bold**"_s.arg(i) : u"item %1"_s.arg(i));
        view.syncNow();
    }
    // The newest chunk, the one redrawn as lines come, stays short.
    QStringList rows = runRows(view, 1);
    ASSERT_GE(rows.size(), 3);
    for (const QString &row : rows)
        EXPECT_LE(row.count(u'\n') + 1, RunChunks::maximumChunkLines);
    auto *newest = qobject_cast<StdoutRunView *>(view.rows()->builtRow(view.rows()->rowCount() - 1));
    ASSERT_NE(newest, nullptr);
    EXPECT_EQ(newest->rawText(), rows.last());

    // The bracket becomes a link over the whole answer: one row again, which
    // shows the whole answer as the link it is.
    pane->appendLine(Kind::stdout, u"](https://example.com/all) and more"_s);
    view.syncNow();
    rows = runRows(view, 1);
    ASSERT_EQ(rows.size(), 1);
    const QString whole = view.groups().at(1).asStdoutRun()->text.toString();
    EXPECT_EQ(rows.first(), whole);
    view.verticalScrollBar()->setValue(0);
    settle();
    auto *row = qobject_cast<StdoutRunView *>(view.rows()->ensureBuilt(1));
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->rawText(), whole);
    auto *label = row->findChild<MarkdownTextLabel *>();
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->markdown(), whole);
    EXPECT_TRUE(label->text().contains(u"href=\"https://example.com/all\""_s));
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

TEST(TranscriptView, AChangeOfModeWhileAFloodIsTakenInShowsEveryLineOnce)
{
    MotionPreferences::shared().setReduceMotion(true);
    auto pane = makePane();
    TranscriptView view(pane.get(), AppState::OutputMode::verbose);
    view.resize(360, 400);
    view.show();
    settle();
    for (int i = 0; i < 40000; ++i)
        pane->appendLine(i % 50 == 0 ? Kind::stderr : Kind::stdout,
                         u"line %1 with `code`, **strong** words and [a link](https://example.com/%1)"_s.arg(i));
    // Part of the flood is shown; the mode changes before the rest is (the
    // new mode's rows hold every line already).
    QApplication::processEvents();
    view.setOutputMode(AppState::OutputMode::notification);
    view.setOutputMode(AppState::OutputMode::verbose);
    for (int i = 40000; i < 40100; ++i)
        pane->appendLine(Kind::stdout, u"line %1"_s.arg(i));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view.hasPendingSync(); }, 60000));

    TranscriptView whole(pane.get(), AppState::OutputMode::verbose);
    whole.syncNow();
    EXPECT_EQ(view.shownLineCount(), pane->outputLines().size());
    EXPECT_EQ(view.rows()->rowCount(), whole.rows()->rowCount());
    ASSERT_EQ(view.groups().size(), whole.groups().size());
    EXPECT_TRUE(view.groups() == whole.groups());
}


// Full transcript and Summary show the same lines: a change between them
// keeps the rows and their widgets where they are; Highlights builds its own.
TEST(TranscriptView, FullTranscriptAndSummaryShareTheirRows)
{
    MotionPreferences::shared().setReduceMotion(true);
    auto pane = makePane();
    for (int t = 0; t < 40; ++t) {
        pane->appendLine(Kind::userPrompt, u"prompt %1"_s.arg(t));
        for (int i = 0; i < 30; ++i)
            pane->appendLine(Kind::stdout, u"answer %1 line %2 with **strong** words"_s.arg(t).arg(i));
    }
    TranscriptView view(pane.get(), AppState::OutputMode::verbose);
    view.resize(360, 400);
    view.show();
    settle();
    view.scrollByUser(view.maximumScrollPosition() / 2);
    settle();
    const int rebuilds = view.rebuildCount();
    const qint64 position = view.scrollPosition();
    const int top = view.rows()->rowAt(position);
    QWidget *topRow = view.rows()->builtRow(top);
    ASSERT_NE(topRow, nullptr);

    view.setOutputMode(AppState::OutputMode::summary);
    settle();
    EXPECT_EQ(view.outputMode(), AppState::OutputMode::summary);
    EXPECT_EQ(view.rebuildCount(), rebuilds);
    EXPECT_EQ(view.scrollPosition(), position);
    EXPECT_EQ(view.rows()->builtRow(top), topRow);

    view.setOutputMode(AppState::OutputMode::notification);
    settle();
    EXPECT_EQ(view.rebuildCount(), rebuilds + 1);
    view.setOutputMode(AppState::OutputMode::summary);
    settle();
    TranscriptView fresh(pane.get(), AppState::OutputMode::summary);
    fresh.syncNow();
    EXPECT_TRUE(view.groups() == fresh.groups());
    EXPECT_EQ(view.rows()->rowCount(), fresh.rows()->rowCount());
}

// A change of mode keeps the reader's place: the line at the top of the view
// (or the first one the new mode shows after it) stays at the top, and a view
// at its newest lines stays there. A long transcript is taken in for the new
// mode over several turns, not in the one that changed it.
TEST(TranscriptView, AChangeOfModeKeepsTheReadersPlace)
{
    MotionPreferences::shared().setReduceMotion(true);
    auto pane = makePane();
    constexpr int kTurns = 300;
    for (int t = 0; t < kTurns; ++t) {
        pane->appendLine(Kind::userPrompt, u"prompt %1"_s.arg(t));
        for (int i = 0; i < 98; ++i)
            pane->appendLine(Kind::stdout, u"answer %1 line %2 with **strong** words to wrap"_s.arg(t).arg(i));
        pane->appendLine(Kind::system, u"[Pane exited · code 0]"_s);
    }
    TranscriptView view(pane.get(), AppState::OutputMode::verbose);
    view.resize(360, 400);
    view.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view.hasPendingSync(); }, 60000));
    settle();
    const OutputLines &lines = pane->outputLines();
    const auto rowStartingWith = [&](qsizetype line) {
        for (int i = 0; i < view.rowItems().size(); ++i)
            if (view.groups().at(view.rowItems().at(i).group).id() == lines.id(line) &&
                view.rowItems().at(i).start == 0)
                return i;
        return -1;
    };
    const auto topRowLine = [&]() -> QUuid {
        const int row = view.rows()->rowAt(view.scrollPosition());
        return row < 0 ? QUuid() : view.groups().at(view.rowItems().at(row).group).id();
    };
    const auto switchTo = [&](AppState::OutputMode mode) {
        view.setOutputMode(mode);
        // The whole transcript is not laid out in the turn that changed it
        // (Highlights, without the agent's output, may be).
        if (mode == AppState::OutputMode::verbose) {
            EXPECT_LT(view.shownLineCount(), lines.size());
        }
        EXPECT_TRUE(QTest::qWaitFor([&] { return !view.hasPendingSync(); }, 60000));
        settle();
        EXPECT_EQ(view.shownLineCount(), lines.size());
    };

    // A prompt at the top stays at the top in Highlights and back.
    const qsizetype prompt = 120 * 100;
    int row = rowStartingWith(prompt);
    ASSERT_GE(row, 0);
    view.scrollByUser(view.rows()->rowTop(row));
    ASSERT_FALSE(view.isFollowing());
    switchTo(AppState::OutputMode::notification);
    EXPECT_EQ(topRowLine(), lines.id(prompt));
    EXPECT_FALSE(view.isFollowing());
    switchTo(AppState::OutputMode::verbose);
    EXPECT_EQ(topRowLine(), lines.id(prompt));

    // A chunk in the middle of an answer, which Highlights hides: the exit
    // line after it comes to the top.
    row = -1;
    for (int i = 0; i < view.rowItems().size() && row < 0; ++i) {
        const TranscriptView::Row &item = view.rowItems().at(i);
        if (view.groups().at(item.group).id() == lines.id(150 * 100 + 1) && item.start > 0)
            row = i;
    }
    ASSERT_GE(row, 0);
    view.scrollByUser(view.rows()->rowTop(row));
    switchTo(AppState::OutputMode::notification);
    EXPECT_EQ(topRowLine(), lines.id(150 * 100 + 99));

    // At the newest lines, the view stays at the newest lines.
    view.scrollByUser(view.maximumScrollPosition());
    ASSERT_TRUE(view.isFollowing());
    switchTo(AppState::OutputMode::verbose);
    EXPECT_TRUE(view.isFollowing());
    EXPECT_EQ(view.scrollPosition(), view.maximumScrollPosition());
    const int last = view.rows()->rowCount() - 1;
    ASSERT_NE(view.rows()->builtRow(last), nullptr);
    EXPECT_TRUE(view.rows()->builtRow(last)->isVisible());
}

// Scrolled up in a stream, then Highlights, whose rows all fit: that view is
// at its newest lines, so back in the full transcript it follows the stream.
TEST(TranscriptView, AModeWhoseRowsAllFitIsAtItsNewestLines)
{
    MotionPreferences::shared().setReduceMotion(true);
    auto pane = makePane();
    pane->appendLine(Kind::userPrompt, u"make a signup form"_s);
    pane->appendLine(Kind::system, u"[Claude 1 spawned · pid 2248]"_s);
    const auto stream = [&](int from, int count) {
        for (int i = from; i < from + count; ++i)
            pane->appendLine(Kind::stdout, u"Line %1 of the explanation, with a [link](https://example.com/%1)"_s.arg(i));
    };
    stream(0, 5000);
    TranscriptView view(pane.get(), AppState::OutputMode::verbose);
    view.resize(360, 330);
    view.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view.hasPendingSync(); }, 60000));
    settle();
    view.scrollByUser(view.scrollPosition() - 2000);
    ASSERT_FALSE(view.isFollowing());

    view.setOutputMode(AppState::OutputMode::notification);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view.hasPendingSync(); }, 60000));
    EXPECT_EQ(view.maximumScrollPosition(), 0);
    EXPECT_TRUE(view.isFollowing());
    stream(5000, 3000);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view.hasPendingSync(); }, 60000));

    view.setOutputMode(AppState::OutputMode::verbose);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view.hasPendingSync() && view.shownLineCount() == 8002; }, 60000));
    settle();
    EXPECT_TRUE(view.isFollowing());
    EXPECT_EQ(view.scrollPosition(), view.maximumScrollPosition());
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

// A line of 4 MiB (one answer line, one prompt) is shown by its first slice
// with a way to see more, never laid out whole.
TEST(TranscriptView, AVeryLongLineShowsItsFirstSliceAndMoreOnRequest)
{
    MotionPreferences::shared().setReduceMotion(true);
    QString longLine;
    longLine.reserve(4 * 1024 * 1024 + 16);
    while (longLine.size() < 4 * 1024 * 1024)
        longLine += u"word **strong** `code` "_s;
    auto pane = makePane();
    pane->appendLine(Kind::userPrompt, u"say a lot"_s);
    pane->appendLine(Kind::stdout, u"Here it comes:"_s);
    TranscriptView view(pane.get(), AppState::OutputMode::verbose);
    view.resize(360, 400);
    view.show();
    view.syncNow();
    settle();
    // Streamed into the run that is on screen.
    pane->appendLine(Kind::stdout, longLine);
    view.syncNow();
    settle();

    const auto longRun = [&]() -> StdoutRunView * {
        for (int i = 0; i < view.rows()->rowCount(); ++i)
            if (auto *run = qobject_cast<StdoutRunView *>(view.rows()->builtRow(i)); run && run->rawText().contains(longLine))
                return run;
        return nullptr;
    };
    StdoutRunView *run = longRun();
    ASSERT_NE(run, nullptr);
    EXPECT_LE(run->shownText().size(), LongLines::sliceLength + 20);
    const auto shownOfLongLine = [](const StdoutRunView *view) {
        return QStringView(view->shownText()).sliced(view->shownText().lastIndexOf(u'\n') + 1);
    };
    EXPECT_TRUE(longLine.startsWith(shownOfLongLine(run)));
    EXPECT_GT(run->hiddenLength(), longLine.size() - LongLines::sliceLength);
    qsizetype laidOut = 0;
    for (auto *label : run->findChildren<MarkdownTextLabel *>())
        laidOut += label->markdown().size();
    EXPECT_LE(laidOut, LongLines::sliceLength + 20);
    // The row is about as tall as what it shows.
    const int row = view.rows()->indexOf(run);
    EXPECT_LT(view.rows()->rowBottom(row) - view.rows()->rowTop(row), 20'000);

    auto *more = run->findChild<QAbstractButton *>(u"showMore"_s);
    ASSERT_NE(more, nullptr);
    EXPECT_TRUE(more->isVisibleTo(run));
    EXPECT_EQ(more->focusPolicy(), Qt::NoFocus);
    const qsizetype shownBefore = run->shownText().size();
    more->click();
    settle();
    run = longRun();
    ASSERT_NE(run, nullptr);
    EXPECT_GT(run->shownText().size(), shownBefore + LongLines::sliceLength / 2);
    EXPECT_LE(run->shownText().size(), 2 * LongLines::sliceLength + 20);
    EXPECT_TRUE(longLine.startsWith(shownOfLongLine(run)));

    // A prompt as long: its first slice, in a row of its own.
    pane->appendLine(Kind::userPrompt, longLine);
    view.syncNow();
    settle();
    auto *prompt = qobject_cast<OutputLineView *>(view.rows()->builtRow(view.rows()->rowCount() - 1));
    ASSERT_NE(prompt, nullptr);
    EXPECT_GT(prompt->hiddenLength(), longLine.size() - LongLines::sliceLength);
    auto *text = prompt->findChild<QWidget *>(u"lineText"_s);
    ASSERT_NE(text, nullptr);
    const QString shown = qobject_cast<MarkdownTextLabel *>(text) ? qobject_cast<MarkdownTextLabel *>(text)->markdown()
                                                                  : qobject_cast<QLabel *>(text)->text();
    EXPECT_LE(shown.size(), LongLines::sliceLength);
    EXPECT_TRUE(longLine.startsWith(shown));
    EXPECT_NE(prompt->findChild<QAbstractButton *>(u"showMore"_s), nullptr);
}

} // namespace
} // namespace nerim

namespace nerim {
namespace {

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

} // namespace

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

// A run that goes on after a line too long to show whole, a line at a
// time (a long line among them, one growing past a slice in pieces, prose
// and a code block after them), shows exactly what the whole run shows:
// the same text cut the same way, the same amount hidden, the same entries.
TEST(TranscriptView, ARunGrowingAfterALongLineShowsWhatTheWholeRunShows)
{
    const QString words = u"word "_s.repeated(LongLines::sliceLength / 5 + 400);
    QStringList pieces = {u"Before the long line"_s,
                          u"\n"_s + words,
                          u"\nthen **prose** after it"_s,
                          u"\n```js\nconst a = 1;"_s,
                          u"\nconst b = 2;\n```"_s,
                          u"\nand a line that grows: "_s};
    for (int i = 0; i < 6; ++i)
        pieces.append(u"more words "_s.repeated(LongLines::sliceLength / 40));
    pieces.append(u"\nthe end"_s);
    for (const int slices : {1, 2}) {
        StdoutRunView grown(pieces.first(), nullptr, slices);
        QString raw = pieces.first();
        for (qsizetype i = 1; i < pieces.size(); ++i) {
            grown.appendRawText(pieces[i]);
            raw += pieces[i];
            StdoutRunView whole(raw, nullptr, slices);
            ASSERT_EQ(grown.rawText(), raw) << "piece " << i;
            ASSERT_EQ(grown.shownText(), whole.shownText()) << "piece " << i << ", " << slices << " slices";
            ASSERT_EQ(grown.hiddenLength(), whole.hiddenLength()) << "piece " << i;
            // The entries top to bottom, as laid out.
            const auto entries = [](const StdoutRunView &view) {
                QStringList kinds;
                for (int k = 0; k < view.layout()->count(); ++k)
                    if (QWidget *widget = view.layout()->itemAt(k)->widget(); widget && !widget->isHidden())
                        kinds.append(QString::fromLatin1(widget->metaObject()->className()) + widget->objectName());
                return kinds;
            };
            grown.show();
            whole.show();
            // (Entries added to a shown view show from the next turn.)
            QApplication::processEvents();
            EXPECT_EQ(entries(grown).join(u' ').toStdString(), entries(whole).join(u' ').toStdString()) << "piece " << i;
        }
    }
}

} // namespace nerim
