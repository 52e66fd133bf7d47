// One agent pane over a real controller: streaming lines, the transcript's
// rows and scrolling, renaming in place, system panes, and agent text shown
// as text.
#include "PaneViewsFixture.h"

#include "ui/design/widgets/NmMotionEffect.h"
#include "ui/design/widgets/NmSurfaceModifier.h"
#include "ui/design/widgets/TaskCompletePulseWrapper.h"
#include "ui/panes/AgentPaneHeader.h"
#include "ui/panes/AgentPaneView.h"
#include "ui/panes/CodeBlockView.h"
#include "ui/panes/ElidedLabel.h"
#include "ui/panes/MarkdownTextLabel.h"
#include "ui/panes/OutputLineView.h"
#include "ui/panes/StdoutRunView.h"
#include "ui/panes/TranscriptView.h"

#include <QLabel>
#include <limits>
#include <QMenu>
#include <QScrollBar>
#include <QGraphicsEffect>
#include <QShortcut>
#include <QPaintEvent>
#include <QVariantAnimation>
#include <cmath>

using namespace Qt::StringLiterals;

namespace nerim::test {
namespace {

class AgentPaneViewTest : public PaneViewsTest {
protected:
    AgentPaneState *pane = nullptr;
    AgentPaneView *view = nullptr;
    QStringList renamed;
    int focusCalls = 0;
    int expandCalls = 0;

    AgentPaneView &showPane(AgentPaneState *state, AgentPaneView::Callbacks callbacks = {},
                            AppState::OutputMode mode = AppState::OutputMode::verbose)
    {
        pane = state;
        if (!callbacks.onRename)
            callbacks.onRename = [this](const QString &name) { renamed.append(name); };
        if (!callbacks.onFocus)
            callbacks.onFocus = [this] { ++focusCalls; };
        if (!callbacks.onToggleExpand)
            callbacks.onToggleExpand = [this] { ++expandCalls; };
        view = show(new AgentPaneView(state, mode, std::move(callbacks)));
        view->resize(360, 300);
        settleUi();
        return *view;
    }

    AgentPaneState *spawnTaskPane()
    {
        if (!canvas)
            open();
        return canvas->spawnPane(QString(), AgentRole::unspecified);
    }

    QScrollBar *scrollBar() const { return view->transcript()->verticalScrollBar(); }

    template <typename W>
    QList<W *> rowsOfType() const
    {
        QList<W *> rows;
        TranscriptRows *container = view->transcript()->rows();
        for (int i = 0; i < container->rowCount(); ++i)
            if (auto *row = qobject_cast<W *>(container->builtRow(i)))
                rows.append(row);
        return rows;
    }
};

TEST_F(AgentPaneViewTest, AgentOutputStreamsIntoThePaneAndItFollowsTheNewestLine)
{
    open();
    provider->enqueue(FakeAgentProvider::running({AgentOutput::stdoutLine(u"Here is the page:"_s)}));
    AgentPaneState *state = spawnTaskPane();
    showPane(state);
    submit(u"build a page"_s);
    ASSERT_TRUE(waitUntil([&] { return state->outputLines().size() >= 3; }));
    const QUuid session = provider->sessionIds().last();

    // An opening fence without its close: a code block marked as streaming.
    provider->yieldEvent(session, AgentOutput::stdoutLine(u"```html"_s));
    for (int i = 0; i < 40; ++i)
        provider->yieldEvent(session, AgentOutput::stdoutLine(u"<p>line %1</p>"_s.arg(i)));
    ASSERT_TRUE(waitUntil([&] { return !rowsOfType<StdoutRunView>().isEmpty() && view->findChild<CodeBlockView *>(); }));
    settleUi();
    auto *block = view->findChild<CodeBlockView *>();
    ASSERT_NE(block, nullptr);
    EXPECT_FALSE(block->isClosed());
    EXPECT_TRUE(block->findChild<QLabel *>(u"streamingBadge"_s)->isVisibleTo(block));
    // The newest line is in view: the transcript sits at its end.
    EXPECT_GT(scrollBar()->maximum(), 0);
    EXPECT_GE(scrollBar()->value(), scrollBar()->maximum() - TranscriptRows::verticalPadding);

    provider->yieldEvent(session, AgentOutput::stdoutLine(u"```"_s));
    provider->yieldEvent(session, AgentOutput::stdoutLine(u"Done."_s));
    ASSERT_TRUE(waitUntil([&] { return block->isClosed(); }));
    settleUi();
    EXPECT_FALSE(block->findChild<QLabel *>(u"streamingBadge"_s)->isVisibleTo(block));
    // The answer grew in place: nothing was rebuilt.
    EXPECT_EQ(view->transcript()->rebuildCount(), 1);
    EXPECT_GE(scrollBar()->value(), scrollBar()->maximum() - TranscriptRows::verticalPadding);

    // Highlights hides agent output but keeps the prompt and the application's
    // events; switching does not scroll.
    await(canvas->setOutputMode(AppState::OutputMode::notification));
    view->setOutputMode(canvas->outputMode());
    settleUi();
    EXPECT_TRUE(rowsOfType<StdoutRunView>().isEmpty());
    QStringList shown;
    for (OutputLineView *row : rowsOfType<OutputLineView>())
        shown.append(row->line().text);
    EXPECT_EQ(shown, (QStringList{u"build a page"_s, u"[Claude 1 spawned · pid 4100]"_s}));
    provider->finish(session, 0);
    ASSERT_TRUE(settle(state));
}

TEST_F(AgentPaneViewTest, ARestoredTranscriptOpensAtItsNewestLinesAndFollowsOnlyFromTheBottom)
{
    AgentPaneState *state = spawnTaskPane();
    QList<OutputLine> lines;
    for (int i = 0; i < 80; ++i)
        lines.append(OutputLine::make(i % 10 == 0 ? OutputLine::Kind::userPrompt : OutputLine::Kind::stdout,
                                      u"line %1"_s.arg(i)));
    state->setOutputLines(lines);
    showPane(state);
    EXPECT_GT(scrollBar()->maximum(), 0);
    EXPECT_EQ(scrollBar()->value(), scrollBar()->maximum());
    {
        // The newest line is the one drawn at the bottom of the view.
        TranscriptRows *rows = view->transcript()->rows();
        auto *last = rows->builtRow(rows->rowCount() - 1);
        ASSERT_NE(last, nullptr);
        EXPECT_TRUE(last->isVisible());
        EXPECT_EQ(last->geometry().bottom() + 1 + TranscriptRows::verticalPadding, rows->height());
        auto *run = qobject_cast<StdoutRunView *>(last);
        ASSERT_NE(run, nullptr);
        EXPECT_TRUE(run->rawText().endsWith(u"line 79"_s));
    }
    // Only the rows in view (and a little more) are built.
    TranscriptRows *rows = view->transcript()->rows();
    EXPECT_LT(rows->builtRowCount(), rows->rowCount() / 2);

    // Replacing the lines rebuilds the rows (and, being a change of count, scrolls).
    state->setOutputLines(lines.mid(0, 60));
    settleUi();
    EXPECT_EQ(view->transcript()->rebuildCount(), 2);
    EXPECT_GE(scrollBar()->value(), scrollBar()->maximum() - TranscriptRows::verticalPadding);

    // Rows built while jumping to the end sit one under the other, each as
    // tall as its content.
    int previousBottom = std::numeric_limits<int>::min();
    for (int i = 0; i < rows->rowCount(); ++i) {
        QWidget *row = rows->builtRow(i);
        if (!row)
            continue;
        EXPECT_GE(row->y(), previousBottom) << i;
        EXPECT_EQ(row->height(), row->heightForWidth(row->width())) << i;
        previousBottom = row->geometry().bottom();
    }

    // A change of mode does not scroll.
    scrollBar()->setValue(0);
    view->setOutputMode(AppState::OutputMode::notification);
    settleUi();
    EXPECT_EQ(scrollBar()->value(), 0);
    // Scrolled away from the bottom, the view stays where the user left it
    // as lines come.
    for (int i = 0; i < 30; ++i)
        state->appendLine(OutputLine::Kind::userPrompt, u"more %1"_s.arg(i));
    settleUi();
    ASSERT_GT(scrollBar()->maximum(), 0);
    scrollBar()->setValue(0);
    for (int i = 0; i < 10; ++i)
        state->appendLine(OutputLine::Kind::userPrompt, u"later %1"_s.arg(i));
    settleUi();
    EXPECT_EQ(scrollBar()->value(), 0);
    // Back at the bottom it follows again: a hidden line still scrolls to the
    // newest visible one.
    scrollBar()->setValue(scrollBar()->maximum());
    for (int i = 0; i < 10; ++i)
        state->appendLine(OutputLine::Kind::userPrompt, u"again %1"_s.arg(i));
    settleUi();
    state->appendLine(OutputLine::Kind::stdout, u"hidden in Highlights"_s);
    settleUi();
    EXPECT_EQ(scrollBar()->value(), scrollBar()->maximum());
}

TEST_F(AgentPaneViewTest, RenamingInPlace)
{
    AgentPaneState *state = spawnTaskPane();
    showPane(state);
    auto *name = view->findChild<ElidedLabel *>(u"nameLabel"_s);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->toolTip(), u"Double-click to rename"_s);

    QTest::mouseDClick(name, Qt::LeftButton);
    PaneRenameField *field = view->renameField();
    ASSERT_TRUE(field->isVisible());
    EXPECT_FALSE(name->isVisible());
    EXPECT_EQ(field->text(), u"Claude 1"_s);
    EXPECT_TRUE(field->hasFocus());

    // The same name, or only spaces: the field closes and nothing is renamed.
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_FALSE(field->isVisible());
    view->beginRename();
    field->selectAll();
    QTest::keyClicks(field, u"   "_s);
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_TRUE(renamed.isEmpty());

    // Losing the focus keeps the field; Escape closes it and clears the draft.
    view->beginRename();
    QTest::keyClicks(field, u"x"_s);
    field->clearFocus();
    EXPECT_TRUE(field->isVisible());
    QTest::keyClick(field, Qt::Key_Escape);
    EXPECT_FALSE(field->isVisible());
    EXPECT_TRUE(view->renameState().draft.isEmpty());
    EXPECT_TRUE(renamed.isEmpty());

    // The context menu's one item starts renaming; a new name arrives trimmed.
    std::unique_ptr<QMenu> menu(view->buildNameMenu(nullptr));
    ASSERT_EQ(menu->actions().size(), 1);
    EXPECT_EQ(menu->actions()[0]->text(), u"Rename…"_s);
    menu->actions()[0]->trigger();
    field->selectAll();
    QTest::keyClicks(field, u"  Atlas  "_s);
    QTest::keyClick(field, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(renamed, (QStringList{u"Atlas"_s}));
}

TEST_F(AgentPaneViewTest, EscapeCancelsARenameBeforeItCollapsesTheExpandedPane)
{
    open();
    AgentPaneState *state = spawnTaskPane();
    canvas->toggleExpandedPane(state->id());
    AgentPaneView::Callbacks callbacks;
    callbacks.onToggleExpand = [this, id = state->id()] { canvas->toggleExpandedPane(id); };
    showPane(state, callbacks);
    view->setExpanded(true);

    // The canvas screen's window shortcut: Escape collapses the expanded pane.
    auto *collapse = new QShortcut(QKeySequence(Qt::Key_Escape), window.get());
    QObject::connect(collapse, &QShortcut::activated, [this] {
        if (canvas->expandedPaneId())
            canvas->toggleExpandedPane(*canvas->expandedPaneId());
    });

    view->beginRename();
    QTest::keyClicks(view->renameField(), u"Someone"_s);
    QTest::keyClick(view->renameField(), Qt::Key_Escape);
    EXPECT_FALSE(view->renameState().isEditing);
    EXPECT_EQ(canvas->expandedPaneId(), state->id());
    EXPECT_EQ(state->agentName(), u"Claude 1"_s);

    // The second Escape reaches the window.
    QTest::keyClick(window.get(), Qt::Key_Escape);
    EXPECT_FALSE(canvas->expandedPaneId());
}

TEST_F(AgentPaneViewTest, ASystemPaneHasAWandAndNeitherRoleMenuNorRenaming)
{
    open();
    auto *deploy = new AgentPaneState(QUuid::createUuid(), u"deploy"_s, u"Deploy"_s, 0, true, AgentRole::code, {});
    canvas->appendPane(deploy);
    showPane(deploy);
    EXPECT_TRUE(view->findChild<QWidget *>(u"systemName"_s)->isVisible());
    EXPECT_EQ(view->findChild<QWidget *>(u"systemName"_s)->toolTip(),
              u"Nerim-owned pane — see plans/SELF_HEALING_PREVIEW.md"_s);
    EXPECT_FALSE(view->roleMenu()->isVisible());
    EXPECT_FALSE(view->findChild<QWidget *>(u"nameLabel"_s)->isVisible());
    view->beginRename();
    EXPECT_FALSE(view->renameField()->isVisible());
}

TEST_F(AgentPaneViewTest, AgentTextIsShownAsTextAndOnlyWebLinksOpen)
{
    UrlRecorder urls({u"http"_s, u"https"_s, u"file"_s, u"nerim"_s, u"javascript"_s});
    AgentPaneState *state = spawnTaskPane();
    state->setAgentName(u"<img src=x onerror=alert(1)>"_s);
    state->setResponsibility(u"<a href='nerim://x'>y</a>"_s);
    showPane(state);
    EXPECT_EQ(view->findChild<ElidedLabel *>(u"nameLabel"_s)->text(), u"<img src=x onerror=alert(1)>"_s);
    EXPECT_EQ(view->findChild<ElidedLabel *>(u"responsibility"_s)->text(), u"<a href='nerim://x'>y</a>"_s);

    state->appendLine(OutputLine::Kind::stderr, u"<b>bold?</b>"_s);
    state->appendLine(OutputLine::Kind::stdout,
                      u"See [the docs](https://example.com/docs), [me](nerim://open?x=1) and <i>this</i>"_s);
    settleUi();
    auto *stderrText = rowsOfType<OutputLineView>().last()->findChild<QLabel *>(u"lineText"_s);
    EXPECT_EQ(stderrText->textFormat(), Qt::PlainText);
    EXPECT_EQ(stderrText->text(), u"<b>bold?</b>"_s);

    auto *prose = rowsOfType<StdoutRunView>().last()->findChild<MarkdownTextLabel *>();
    ASSERT_NE(prose, nullptr);
    EXPECT_FALSE(prose->text().contains(u"nerim:"_s)); // no anchor, only its label
    for (const QString &link : {u"nerim://open?x=1"_s, u"file:///etc/passwd"_s, u"javascript:alert(1)"_s})
        emit prose->linkActivated(link);
    EXPECT_TRUE(urls.opened.isEmpty());
    emit prose->linkActivated(u"https://example.com/docs"_s);
    EXPECT_EQ(urls.opened, (QList<QUrl>{QUrl(u"https://example.com/docs"_s)}));
}

TEST_F(AgentPaneViewTest, EachFinishedTaskPulsesAndFocusDimsTheOthers)
{
    MotionPreferences::shared().setReduceMotion(false);
    AgentPaneState *state = spawnTaskPane();
    showPane(state);
    auto *pulse = TaskCompletePulseWrapper::apply(view); // the pane's own pulse
    double now = 10.0;
    pulse->setClock([&] { return now; });
    EXPECT_DOUBLE_EQ(pulse->brightness(), 0.0);
    state->appendLine(OutputLine::Kind::taskComplete, u"Added the form"_s);
    now = 10.4;
    EXPECT_GT(pulse->brightness(), 0.0);
    EXPECT_EQ(view->taskCompleteCount(), 1);
    // Any other line plays nothing new.
    now = 11.5;
    state->appendLine(OutputLine::Kind::stdout, u"more"_s);
    EXPECT_DOUBLE_EQ(pulse->brightness(), 0.0);

    MotionPreferences::shared().setReduceMotion(true);
    view->setFocused(true);
    view->setFocused(false);
    auto *effect = view->graphicsEffect();
    ASSERT_NE(effect, nullptr);
    EXPECT_DOUBLE_EQ(effect->property("opacity").toDouble(), 0.85);
    view->setFocused(true);
    EXPECT_DOUBLE_EQ(effect->property("opacity").toDouble(), 1.0);
}

// A finished task's summary that fits the pane is one line in its chip, at
// the app's font; one too long for the pane wraps inside it.
TEST_F(AgentPaneViewTest, ATaskCompleteChipKeepsASummaryThatFitsOnOneLine)
{
    AgentPaneState *state = spawnTaskPane();
    showPane(state);
    const QStringList summaries{u"Added a notes file"_s, u"Checked the form"_s, u"Done"_s,
                                u"Signups are saved to the database"_s, u"Fixed the email check on signup"_s,
                                u"Moved the recipe cards into a grid"_s};
    for (const QString &summary : summaries)
        state->appendLine(OutputLine::Kind::taskComplete, summary);
    const QString longSummary = u"Rewrote the whole signup flow so that every field checks itself as you type, "
                                u"and the form keeps what you typed when the server is slow"_s;
    state->appendLine(OutputLine::Kind::taskComplete, longSummary);
    settleUi();
    // On a busy machine the view takes its rows in over several turns.
    const auto chips = [&] {
        qsizetype count = 0;
        for (OutputLineView *row : rowsOfType<OutputLineView>())
            count += row->line().kind == OutputLine::Kind::taskComplete;
        return count;
    };
    ASSERT_TRUE(waitUntil([&] { return chips() == summaries.size() + 1; }));
    settleUi();

    const QList<OutputLineView *> rows = rowsOfType<OutputLineView>();
    QStringList seen;
    for (OutputLineView *row : rows) {
        auto *text = row->findChild<QLabel *>(u"lineText"_s);
        if (row->line().kind != OutputLine::Kind::taskComplete || !text)
            continue;
        seen.append(text->text());
        SCOPED_TRACE(text->text().toStdString());
        const int oneLine = text->heightForWidth(10000);
        EXPECT_LE(row->width(), view->width());
        if (text->text() == longSummary) {
            EXPECT_GT(text->height(), oneLine);
            continue;
        }
        EXPECT_EQ(text->height(), oneLine);
        EXPECT_EQ(text->heightForWidth(text->width()), oneLine);
    }
    EXPECT_EQ(seen, summaries + QStringList{longSummary});
}

} // namespace
} // namespace nerim::test

namespace nerim::test {
namespace {

// What the pane's parent repaints, region by region.
class ParentPaints : public QObject {
public:
    explicit ParentPaints(QWidget *parent) { parent->installEventFilter(this); }
    QList<QRegion> regions;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            regions.append(static_cast<QPaintEvent *>(event)->region());
        return false;
    }
};

// A focus change fades a pane's opacity; each frame of it repaints the pane
// and its shadow, never the whole parent (the column under every pane), a
// hidden pane's fade repaints nothing, and the spring's tail, too small to
// see, is not drawn frame by frame.
TEST_F(AgentPaneViewTest, AFocusFadeRepaintsOnlyThePaneItChanges)
{
    AgentPaneState *state = spawnTaskPane();
    AgentPaneView &shown = showPane(state);
    auto *hidden = new AgentPaneView(spawnTaskPane(), AppState::OutputMode::verbose, {}, window.get());
    hidden->setGeometry(0, 320, 360, 200);
    hidden->hide();
    settleUi();
    ParentPaints paints(window.get());
    NmSurfaceModifier *surface = NmSurfaceModifier::of(&shown);
    ASSERT_NE(surface, nullptr);
    const QRect shadow = surface->shadowRectInParent();
    ASSERT_LT(QRegion(shadow).boundingRect().width() * qint64(shadow.height()),
              qint64(window->width()) * window->height());

    NmMotionEffect::of(&shown)->setOpacity(0.9);
    settleUi();
    ASSERT_FALSE(paints.regions.isEmpty());
    for (const QRegion &region : std::as_const(paints.regions))
        EXPECT_TRUE(QRegion(shadow).united(region) == QRegion(shadow)) << "repainted beyond the pane's shadow";

    paints.regions.clear();
    NmMotionEffect::of(hidden)->setOpacity(0.9);
    NmMotionEffect::of(hidden)->setOpacity(0.95);
    settleUi();
    EXPECT_TRUE(paints.regions.isEmpty());

    // With motion on, the fade ends exactly at rest, and no frame of it
    // moves the opacity by less than half a colour level.
    const bool reduced = MotionPreferences::shared().reduceMotion();
    MotionPreferences::shared().setReduceMotion(false);
    NmMotionEffect *effect = NmMotionEffect::of(&shown);
    effect->setOpacity(1.0);
    QList<double> frames;
    QObject::connect(effect, &NmMotionEffect::valuesChanged, effect, [&] { frames.append(effect->opacity()); });
    shown.setFocused(true);
    shown.setFocused(false);
    ASSERT_TRUE(waitUntil([&] { return !effect->findChild<QVariantAnimation *>(); }, 5000));
    MotionPreferences::shared().setReduceMotion(reduced);
    ASSERT_FALSE(frames.isEmpty());
    EXPECT_DOUBLE_EQ(frames.last(), 0.85);
    for (double opacity : std::as_const(frames)) {
        if (opacity != 0.85) {
            EXPECT_GE(std::abs(opacity - 0.85), 0.5 / 255) << "an unseen step of the fade was drawn";
        }
    }
}

// A finished task's pulse brightens the pane alone: its shadow, drawn by
// the window under it, is the same at any brightness and is not drawn again.
TEST_F(AgentPaneViewTest, APulseRepaintsThePaneButNotItsShadow)
{
    AgentPaneView &shown = showPane(spawnTaskPane());
    settleUi();
    ParentPaints paints(window.get());
    NmMotionEffect *effect = NmMotionEffect::of(&shown);
    ASSERT_NE(effect, nullptr);
    effect->setBrightness(0.2);
    settleUi();
    effect->setBrightness(0.1);
    settleUi();
    ASSERT_FALSE(paints.regions.isEmpty());
    const QRegion pane(shown.geometry());
    for (const QRegion &region : std::as_const(paints.regions))
        EXPECT_TRUE(pane.united(region) == pane) << "repainted beyond the pane";
    effect->setBrightness(0);
}

} // namespace
} // namespace nerim::test
