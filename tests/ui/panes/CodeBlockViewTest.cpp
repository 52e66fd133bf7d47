#include "ui/design/Colors.h"
#include "ui/design/MotionPreferences.h"
#include "ui/panes/CodeBlockView.h"
#include "ui/panes/StatusPill.h"
#include "ui/panes/StdoutRunView.h"

#include <QAbstractButton>
#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QScrollBar>
#include <QTest>
#include <QTextCursor>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <QTextEdit>
#include <QTimer>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace nerim {
namespace {

QLabel *badgeOf(CodeBlockView &view) { return view.findChild<QLabel *>(u"streamingBadge"_s); }

TEST(CodeBlockView, CopyPutsTheRawSourceOnTheClipboardAndTheLastClickSetsTheReset)
{
    const QString source = u"const s = \"a // b\"; // note\r\n\tnext();"_s;
    CodeBlockView view(u"js"_s, source, true);
    view.setCopyResetInterval(2s);
    view.resize(480, 160);
    view.show();
    auto *button = view.findChild<QAbstractButton *>(u"copyButton"_s);
    auto *reset = view.findChild<QTimer *>(u"copyResetTimer"_s);
    ASSERT_NE(button, nullptr);
    ASSERT_NE(reset, nullptr);
    EXPECT_EQ(reset->parent(), &view);
    EXPECT_EQ(button->text(), u"Copy"_s);

    QGuiApplication::clipboard()->setText(u"something else"_s);
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), source);
    EXPECT_TRUE(view.justCopied());
    EXPECT_EQ(button->text(), u"Copied"_s);

    // A second click while "Copied" shows starts the reset again from the full interval.
    ASSERT_TRUE(QTest::qWaitFor([&] { return reset->remainingTime() < 1500; }, 5000));
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_GT(reset->remainingTime(), 1500);
    EXPECT_TRUE(view.justCopied());

    ASSERT_TRUE(QTest::qWaitFor([&] { return !view.justCopied(); }, 10000));
    EXPECT_EQ(button->text(), u"Copy"_s);
}

TEST(CodeBlockView, TheBadgeGoesWhenTheBlockArrivesClosedAndTheRestStays)
{
    CodeBlockView view(std::nullopt, u"let x = 1"_s, false);
    view.setCopyResetInterval(1h);
    view.show();
    auto *language = view.findChild<QLabel *>(u"languageLabel"_s);
    EXPECT_EQ(language->text(), u"code"_s);
    EXPECT_TRUE(badgeOf(view)->isVisibleTo(&view));
    EXPECT_EQ(badgeOf(view)->text(), u"· streaming"_s);

    view.copyToPasteboard();
    view.setBlock(std::nullopt, u"let x = 1\nlet y = 2"_s, true);
    EXPECT_FALSE(badgeOf(view)->isVisibleTo(&view));
    EXPECT_TRUE(view.justCopied());
    EXPECT_EQ(language->text(), u"code"_s);
    EXPECT_EQ(view.findChild<QTextEdit *>(u"code"_s)->toPlainText(), u"let x = 1\nlet y = 2"_s);
}

TEST(CodeBlockView, CodeIsHighlightedSelectableAndScrollsSidewaysInsteadOfWrapping)
{
    const QString longLine = u"print('"_s + QString(300, u'w') + u"')"_s;
    const QString source = u"x = \"a\"  # note\n"_s + longLine;
    CodeBlockView view(u"Python"_s, source, true);
    view.resize(320, 200);
    view.show();
    QCoreApplication::processEvents();
    auto *code = view.findChild<QTextEdit *>(u"code"_s);
    ASSERT_NE(code, nullptr);
    EXPECT_EQ(view.findChild<QLabel *>(u"languageLabel"_s)->text(), u"python"_s);
    EXPECT_EQ(code->toPlainText(), source);
    EXPECT_EQ(code->lineWrapMode(), QTextEdit::NoWrap);
    EXPECT_TRUE(code->textInteractionFlags() & Qt::TextSelectableByMouse);
    EXPECT_GT(code->horizontalScrollBar()->maximum(), 0);
    EXPECT_EQ(code->verticalScrollBar()->maximum(), 0); // as tall as its lines

    const auto colourAt = [&](qsizetype position) {
        QTextCursor cursor(code->document());
        cursor.setPosition(int(position) + 1);
        return cursor.charFormat().foreground().color();
    };
    EXPECT_EQ(colourAt(0), qColor(NmColor::ink));
    EXPECT_EQ(colourAt(source.indexOf(u'"')), qColor(NmColor::success, 0.85));
    EXPECT_EQ(colourAt(source.indexOf(u'#')), qColor(NmColor::inkTertiary));
    EXPECT_EQ(colourAt(source.indexOf(u'\'')), qColor(NmColor::success, 0.85));
}

// Every character's colour in a block's code area.
QList<QColor> colours(CodeBlockView &view)
{
    QTextDocument *document = view.findChild<QTextEdit *>(u"code"_s)->document();
    QList<QColor> result;
    for (int position = 1; position < document->characterCount(); ++position) {
        QTextCursor cursor(document);
        cursor.setPosition(position);
        result << cursor.charFormat().foreground().color();
    }
    return result;
}

TEST(CodeBlockView, ABlockThatGrowsWhileStreamingLooksLikeOneMadeWhole)
{
    const QString full = u"x = 'ab # c' # note\ny = \"it's\"\n# done 'q'\r\nz = \"\\\"\" // x"_s;
    CodeBlockView growing(u"py"_s, QString(), false);
    for (qsizetype length = 1; length <= full.size(); length += 3)
        growing.setBlock(u"py"_s, full.left(length), false);
    growing.setBlock(u"py"_s, full, true);
    CodeBlockView whole(u"py"_s, full, true);

    EXPECT_EQ(growing.findChild<QTextEdit *>(u"code"_s)->toPlainText(),
              whole.findChild<QTextEdit *>(u"code"_s)->toPlainText());
    EXPECT_EQ(colours(growing), colours(whole));
    EXPECT_EQ(growing.source(), full);
}

TEST(StdoutRunView, AStreamingBlockKeepsItsViewWhenItsClosingFenceArrives)
{
    StdoutRunView run(u"Here:\n```sh\nls -la"_s);
    run.show();
    auto *block = run.findChild<CodeBlockView *>();
    ASSERT_NE(block, nullptr);
    EXPECT_FALSE(block->isClosed());
    EXPECT_TRUE(badgeOf(*block)->isVisibleTo(block));

    run.setRawText(u"Here:\n```sh\nls -la\n```\nDone."_s);
    EXPECT_EQ(run.findChild<CodeBlockView *>(), block);
    EXPECT_TRUE(block->isClosed());
    EXPECT_FALSE(badgeOf(*block)->isVisibleTo(block));
    EXPECT_EQ(block->source(), u"ls -la"_s);
}

TEST(StatusPill, TheDotStaysStillUnderReduceMotionAndStopsWhenWorkEnds)
{
    MotionPreferences::shared().setReduceMotion(true);
    {
        StatusPill pill(AgentStatus::working);
        pill.show();
        EXPECT_FALSE(pill.isPulsing());
        EXPECT_EQ(pill.dotOpacity(), 1.0);
    }

    MotionPreferences::shared().setReduceMotion(false);
    StatusPill pill(AgentStatus::working);
    pill.show();
    EXPECT_TRUE(pill.isPulsing());
    ASSERT_TRUE(QTest::qWaitFor([&] { return pill.dotOpacity() < 0.9; }, 5000));

    pill.setStatus(AgentStatus::done);
    EXPECT_FALSE(pill.isPulsing());
    ASSERT_TRUE(QTest::qWaitFor([&] { return pill.dotOpacity() == 1.0; }, 5000));

    pill.setStatus(AgentStatus::spawning);
    EXPECT_TRUE(pill.isPulsing());
    MotionPreferences::shared().setReduceMotion(true);
    EXPECT_FALSE(pill.isPulsing());
    EXPECT_EQ(pill.dotOpacity(), 1.0);
}


// A long block growing line by line keeps the shaped glyphs of its newest
// lines only (they take tens of bytes a character), and shows every line.
TEST(CodeBlockView, OnlyTheNewestLinesOfAGrowingBlockKeepTheirShapedGlyphs)
{
    CodeBlockView view(u"ts"_s, u"let a0 = 0;"_s, false);
    view.resize(480, 200);
    view.show();
    for (int i = 1; i < 600; ++i)
        view.appendSource(u"\nlet a%1 = %1;"_s.arg(i), false);
    auto *code = view.findChild<QTextEdit *>();
    ASSERT_NE(code, nullptr);
    const QTextDocument *document = code->document();
    ASSERT_EQ(document->blockCount(), 600);
    int shaped = 0;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        EXPECT_EQ(block.text(), u"let a%1 = %1;"_s.arg(block.blockNumber()));
        if (block.layout()->cacheEnabled()) {
            ++shaped;
            EXPECT_GE(block.blockNumber(), 600 - 256) << "an old line keeps its shaped glyphs";
        }
    }
    EXPECT_EQ(shaped, 256);
    // A line laid out again without them is as tall as it was.
    EXPECT_EQ(document->begin().layout()->lineCount(), 1);
    EXPECT_EQ(document->lastBlock().layout()->lineCount(), 1);
}

} // namespace
} // namespace nerim
