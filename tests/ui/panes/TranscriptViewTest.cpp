// The transcript as a whole: a click into it leaves the keyboard where it
// was, and a change of output mode keeps the rows two modes share, keeps the
// reader's place and shows every line once, also while a flood comes in.
#include "TranscriptViewTesting.h"

using namespace Qt::StringLiterals;
using Kind = nerim::OutputLine::Kind;

namespace nerim {
namespace {

using namespace transcript_testing;

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

} // namespace
} // namespace nerim
