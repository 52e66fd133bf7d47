// The transcript as a whole: a click into it leaves the keyboard where it
// was, rows far out of view are released, and inline Markdown reads the same
// across the chunks a long answer is drawn in.
#include "agents/AgentPaneState.h"
#include "ui/design/MotionPreferences.h"
#include "ui/panes/AgentPaneView.h"
#include "ui/panes/CodeBlockView.h"
#include "ui/panes/MarkdownTextLabel.h"
#include "ui/panes/OutputLineView.h"
#include "ui/panes/StdoutRunView.h"
#include "ui/panes/TranscriptView.h"

#include <QApplication>
#include <QLineEdit>
#include <QScrollBar>
#include <QTest>
#include <QTextDocument>
#include <QTextEdit>
#include <QUuid>
#include <QVBoxLayout>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using Kind = nerim::OutputLine::Kind;

namespace nerim {
namespace {

void settle()
{
    for (int i = 0; i < 5; ++i)
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
            EXPECT_EQ(row->geometry().top(), rows->rowTop(i));
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

} // namespace
} // namespace nerim
