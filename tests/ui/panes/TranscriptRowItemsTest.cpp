// A transcript's runs drawn as chunk rows: a code block streamed line by
// line shows as the whole block, inline Markdown reads the same across the
// chunks (also behind markup still open, and after it closes, and across
// the short rows a long chunk is drawn in), and a very long line shows its
// first slice with a way to see more.
#include "TranscriptViewTesting.h"

using namespace Qt::StringLiterals;
using Kind = nerim::OutputLine::Kind;

namespace nerim {
namespace {

using namespace transcript_testing;

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

// Each character of `shown` with its styles and link.
QList<std::pair<int, QString>> styleOfEach(const InlineMarkdown &shown)
{
    QList<std::pair<int, QString>> styles(shown.text.size());
    for (const InlineMarkdown::Span &span : shown.spans)
        for (qsizetype i = span.start; i < span.start + span.length; ++i)
            styles[i] = {span.styles, span.link};
    return styles;
}

// A chunk of prose that markup holds together over hundreds of lines is
// drawn in short rows that, read together, show what the whole chunk shows:
// once the markup closes, and again when later text changes how the lines
// of rows already built read.
TEST(TranscriptView, ALongChunkHeldByMarkupIsDrawnInShortRowsThatReadAsTheChunk)
{
    MotionPreferences::shared().setReduceMotion(true);
    auto pane = makePane();
    pane->appendLine(Kind::userPrompt, u"collect"_s);
    pane->appendLine(Kind::stdout, u"See [the `results"_s);
    TranscriptView view(pane.get(), AppState::OutputMode::verbose);
    view.resize(360, 400);
    view.show();
    settle();
    for (int i = 0; i < 400; ++i) {
        pane->appendLine(Kind::stdout, u"item %1 with **bold** text"_s.arg(i));
        if (i % 50 == 0)
            view.syncNow();
    }
    view.syncNow();
    const auto check = [&](const char *when, bool inParts) {
        for (int i = 0; i < view.rows()->rowCount(); ++i)
            view.rows()->ensureBuilt(i);
        const QString whole = view.groups().at(1).asStdoutRun()->text.toString();
        const QStringList rows = runRows(view, 1);
        EXPECT_EQ(rows.join(u'\n'), whole) << when;
        if (inParts) {
            EXPECT_GT(rows.size(), 4) << when;
        }
        InlineMarkdown together;
        for (int i = 0; i < view.rowItems().size(); ++i) {
            if (view.rowItems()[i].group != 1)
                continue;
            auto *label = view.rows()->builtRow(i)->findChild<MarkdownTextLabel *>();
            ASSERT_NE(label, nullptr) << when;
            EXPECT_LE(label->shownText().count(u'\n') + 1, 4 * RunChunks::maximumChunkLines) << when;
            if (!together.text.isEmpty())
                together.text += u'\n';
            for (InlineMarkdown::Span span : label->shown().spans) {
                span.start += together.text.size();
                together.spans.append(span);
            }
            together.text += label->shownText();
        }
        const InlineMarkdown expected = inlineMarkdownText(whole);
        EXPECT_EQ(together.text, expected.text) << when;
        QList<std::pair<int, QString>> shownStyles = styleOfEach(together);
        const QList<std::pair<int, QString>> expectedStyles = styleOfEach(expected);
        // (The line breaks between rows are not in any row.)
        for (qsizetype i = 0; i < shownStyles.size() && i < expectedStyles.size(); ++i)
            if (together.text[i] == u'\n')
                shownStyles[i] = expectedStyles[i];
        EXPECT_TRUE(shownStyles == expectedStyles) << when;
    };
    check("behind open markup", false);
    pane->appendLine(Kind::stdout, u"](https://example.com/all) done"_s);
    view.syncNow();
    check("a link over the answer", true);
    // The code span opened on the first line closes: every line reads otherwise.
    pane->appendLine(Kind::stdout, u"and ` closes the code"_s);
    view.syncNow();
    check("a code span over the answer", true);
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

} // namespace
} // namespace nerim
