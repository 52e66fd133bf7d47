// Agent prose on screen: a text that grows is drawn as the whole text would
// be, without laying out again what did not change; size hints lay nothing
// out; the mouse selects, copies and follows web links.
#include "ui/panes/MarkdownTextLabel.h"
#include "ui/panes/StdoutRunView.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLayout>
#include <QMenu>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace nerim {
namespace {

QImage drawn(MarkdownTextLabel &label, int width)
{
    label.resize(width, label.heightForWidth(width));
    return label.grab().toImage();
}

TEST(MarkdownTextLabel, AGrowingTextIsDrawnAsTheWholeTextIs)
{
    // Each step adds a line; some change how earlier lines read (emphasis
    // closed, a bracket that becomes a link).
    const QStringList lines{
        u"Working on the **signup form** and its `handler`."_s,
        u"Plain line with a [link](https://example.com/a) inside."_s,
        u"A **bold start"_s,
        u"that ends here** and ~~strikes~~ on."_s,
        u"See [the whole"_s,
        u"list](https://example.com/list) for more."_s,
        QString(),
        u"A new paragraph with *emphasis* and `code`."_s,
    };
    MarkdownTextLabel growing;
    growing.setMarkdown(lines.first());
    const int width = 260;
    drawn(growing, width);
    QString text = lines.first();
    for (qsizetype i = 1; i < lines.size(); ++i) {
        text += u'\n' + lines[i];
        growing.setMarkdown(text);
        MarkdownTextLabel whole;
        whole.setMarkdown(text);
        ASSERT_EQ(growing.heightForWidth(width), whole.heightForWidth(width)) << i;
        EXPECT_EQ(drawn(growing, width), drawn(whole, width)) << "after line " << i;
        EXPECT_EQ(growing.text(), whole.text());
    }

    // Lines that only add to the end are laid out alone: the text is not laid
    // out whole again.
    const int layouts = growing.fullLayoutCount();
    for (int i = 0; i < 20; ++i) {
        text += u"\nmore output %1 with `code`"_s.arg(i);
        growing.setMarkdown(text);
        drawn(growing, width);
    }
    EXPECT_EQ(growing.fullLayoutCount(), layouts);
}

TEST(MarkdownTextLabel, TextAppendedInRandomPiecesShowsAsTheWholeTextSetAtOnce)
{
    // Pieces that open, close and cut inline Markdown, blank lines (also of
    // white space, and one that arrives in two parts), carriage returns and
    // halves of a surrogate pair, appended in random cuts.
    const QStringList pieces{u"word "_s, u"**"_s, u"*"_s, u"_"_s, u"~~"_s, u"`"_s, u"``"_s, u"["_s, u"]"_s,
                             u"(https://example.com/x)"_s, u"(nerim://x)"_s, u"<https://example.com>"_s, u"\\*"_s,
                             u"\n"_s, u"\n\n"_s, u"\n  \t\n"_s, u"\n "_s, u"\r\n"_s, u"\r"_s, QString(QChar(0xD83D)),
                             QString(QChar(0xDE00)), u"é"_s};
    QRandomGenerator random(58);
    for (int round = 0; round < 60; ++round) {
        QString text;
        for (int i = 0, count = 5 + int(random.bounded(40)); i < count; ++i)
            text += pieces[random.bounded(int(pieces.size()))];
        MarkdownTextLabel growing;
        StdoutRunView run(QString(), nullptr);
        qsizetype at = 0;
        while (at < text.size()) {
            const qsizetype length = std::min<qsizetype>(text.size() - at, 1 + random.bounded(8));
            growing.appendMarkdown(QStringView(text).sliced(at, length));
            run.appendRawText(QStringView(text).sliced(at, length));
            at += length;
            MarkdownTextLabel whole;
            whole.setMarkdown(text.left(at));
            ASSERT_EQ(growing.text(), whole.text()) << "round " << round << " at " << at;
            ASSERT_EQ(growing.markdown(), text.left(at));
        }
        // The run's prose labels read as labels given their whole segments.
        StdoutRunView wholeRun(text, nullptr);
        const auto proseOf = [](StdoutRunView &view) {
            QStringList texts;
            for (int i = 0; i < view.layout()->count(); ++i)
                if (auto *label = qobject_cast<MarkdownTextLabel *>(view.layout()->itemAt(i)->widget()))
                    texts.append(label->text());
            return texts;
        };
        const QStringList shown = proseOf(run), wholeShown = proseOf(wholeRun);
        EXPECT_EQ(shown, wholeShown) << "round " << round;
        // A screen reader reads the text as shown, however it arrived.
        QAccessibleInterface *reader = QAccessible::queryAccessibleInterface(&growing);
        ASSERT_NE(reader, nullptr);
        EXPECT_EQ(reader->text(QAccessible::Name), growing.shownText());
        if (round % 10 == 0) {
            MarkdownTextLabel whole;
            whole.setMarkdown(text);
            EXPECT_EQ(drawn(growing, 200), drawn(whole, 200)) << "round " << round;
        }
    }
}

TEST(MarkdownTextLabel, SizeHintsLayNothingOut)
{
    MarkdownTextLabel label;
    label.setMarkdown(u"Some **text** that wraps over a few lines when the label is narrow enough."_s);
    const int height = label.heightForWidth(120);
    const int layouts = label.fullLayoutCount();
    EXPECT_EQ(label.sizeHint(), QSize(120, height));
    EXPECT_GT(label.minimumSizeHint().height(), 0);
    EXPECT_EQ(label.heightForWidth(120), height);
    EXPECT_EQ(label.fullLayoutCount(), layouts);
    EXPECT_GT(label.heightForWidth(60), height);
}

TEST(MarkdownTextLabel, TheMouseSelectsAndCopiesAndClicksOnlyWebLinks)
{
    MarkdownTextLabel label;
    label.setMarkdown(u"[docs](https://example.com/docs) first line\nsecond [me](nerim://open) line"_s);
    label.resize(400, label.heightForWidth(400));
    label.show();
    QSignalSpy links(&label, &MarkdownTextLabel::linkActivated);

    // A click on the web link reports it; a drag that starts on it selects.
    QTest::mouseClick(&label, Qt::LeftButton, {}, QPoint(6, 6));
    ASSERT_EQ(links.size(), 1);
    EXPECT_EQ(links.first().first().toString(), u"https://example.com/docs"_s);
    EXPECT_FALSE(label.hasSelectedText());
    const int lineHeight = label.fontMetrics().height();
    QTest::mousePress(&label, Qt::LeftButton, {}, QPoint(6, 6));
    QTest::mouseMove(&label, QPoint(label.width() - 2, lineHeight + lineHeight / 2));
    QTest::mouseRelease(&label, Qt::LeftButton, {}, QPoint(label.width() - 2, lineHeight + lineHeight / 2));
    EXPECT_EQ(links.size(), 1);
    ASSERT_TRUE(label.hasSelectedText());
    EXPECT_TRUE(label.selectedText().contains(u"first line\nsecond"_s)) << label.selectedText().toStdString();

    // The menu copies the selection, and the address of a web link only.
    std::unique_ptr<QMenu> overLink(label.buildContextMenu(QPoint(6, 6), nullptr));
    QStringList titles;
    for (QAction *action : overLink->actions())
        titles.append(action->text());
    EXPECT_TRUE(titles.contains(u"Copy &Link Location"_s));
    for (QAction *action : overLink->actions()) {
        if (action->text() == u"&Copy"_s) {
            EXPECT_TRUE(action->isEnabled());
            action->trigger();
        }
    }
    EXPECT_EQ(QApplication::clipboard()->text(), label.selectedText());
    const int secondLine = lineHeight + lineHeight / 2;
    const int meAt = label.fontMetrics().horizontalAdvance(u"second m"_s);
    std::unique_ptr<QMenu> overOther(label.buildContextMenu(QPoint(meAt, secondLine), nullptr));
    for (QAction *action : overOther->actions())
        EXPECT_NE(action->text(), u"Copy &Link Location"_s);
    QTest::mouseClick(&label, Qt::LeftButton, {}, QPoint(meAt, secondLine));
    EXPECT_EQ(links.size(), 1);

    // Select All takes the whole text, lines joined with line feeds.
    for (QAction *action : overOther->actions())
        if (action->text() == u"Select All"_s)
            action->trigger();
    EXPECT_EQ(label.selectedText(), u"docs first line\nsecond me line"_s);
    // Nothing of it took the keyboard.
    EXPECT_EQ(label.focusPolicy(), Qt::NoFocus);
}

} // namespace
} // namespace nerim
