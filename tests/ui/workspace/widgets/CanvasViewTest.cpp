// The project canvas screen over the real controller (with a fake agent
// provider): its states, keyboard commands, leaving, and the controls of its
// header and sidebar.
#include "WorkspaceWidgetTest.h"
#include "foundation/SerialFileWriter.h"

#include "ui/design/widgets/NmLoadingHint.h"
#include "ui/panes/AgentColumnButtons.h"
#include "ui/panes/AgentColumnView.h"
#include "ui/panes/AgentPaneView.h"
#include "ui/panels/PlansPanelView.h"
#include "ui/panels/PreviewPanelView.h"
#include "ui/workspace/AppServerPill.h"
#include "ui/workspace/HeaderToggles.h"
#include "ui/workspace/OutputModeToggle.h"
#include "ui/workspace/PromptBarField.h"
#include "ui/workspace/PromptBarView.h"
#include "ui/workspace/SidebarView.h"

#include <QLabel>
#include <QLineEdit>
#include <QShortcut>
#include <QTest>
#include <algorithm>

using namespace Qt::StringLiterals;
using namespace nerim;
using namespace nerim::test;

namespace {

void clickCentre(QWidget *widget)
{
    QTest::mouseClick(widget, Qt::LeftButton, {}, widget->rect().center());
}

void clickProjectsButton(ProjectCanvasView &screen)
{
    SidebarButton *projects = screen.sidebar()->buttons().first();
    QTest::mouseClick(projects, Qt::LeftButton, {}, projects->clickArea().center());
}

} // namespace

class CanvasViewTest : public WorkspaceWidgetTest {};

TEST_F(CanvasViewTest, OpensLoadsAndBecomesReady)
{
    screen = std::make_unique<ProjectCanvasView>(u"project-id"_s, QUrl::fromLocalFile(project), u"Site"_s, nullptr,
                                                 [] {}, factory());
    // Not shown yet: the opening hint, no controller.
    EXPECT_EQ(screen->phase(), ProjectCanvasView::Phase::opening);
    auto *opening = screen->findChild<NmLoadingHint *>();
    ASSERT_TRUE(opening);
    EXPECT_EQ(opening->primaryLabel()->text(), u"Opening project…"_s);
    EXPECT_EQ(opening->secondaryLabel()->text(), u"Site"_s);

    screen->setAttribute(Qt::WA_DontShowOnScreen);
    screen->resize(1180, 760);
    screen->show();
    // The controller exists at once and the canvas shows while memory loads.
    ASSERT_TRUE(screen->canvas());
    EXPECT_EQ(screen->phase(), ProjectCanvasView::Phase::loading);
    EXPECT_TRUE(screen->findChild<QWidget *>(u"preparingMemory"_s));
    EXPECT_TRUE(screen->promptBar()->isVisible());
    EXPECT_TRUE(screen->sidebar()->isVisible());

    ASSERT_TRUE(waitForPhase(ProjectCanvasView::Phase::ready));
    settleEvents();
    EXPECT_FALSE(screen->findChild<QWidget *>(u"preparingMemory"_s));
    EXPECT_FALSE(screen->findChild<QWidget *>(u"failurePill"_s));
    EXPECT_TRUE(screen->canvas()->voiceHotkey().isStarted());
    EXPECT_EQ(screen->findChild<QLabel *>(u"projectTitle"_s)->text(), u"SITE"_s);

    // Hidden and shown again: the same controller, and the hotkey stays stopped.
    screen->hide();
    EXPECT_FALSE(screen->canvas()->voiceHotkey().isStarted());
    screen->show();
    settleEvents();
    EXPECT_EQ(controllersMade, 1);
    EXPECT_FALSE(screen->canvas()->voiceHotkey().isStarted());
}

TEST_F(CanvasViewTest, AFailedLoadIsShownAndTheCanvasStaysUsable)
{
    const QString missing = project + u"/gone"_s;
    openScreen(u"Gone"_s, missing);
    ASSERT_TRUE(waitForPhase(ProjectCanvasView::Phase::failed));
    settleEvents();
    auto *text = screen->findChild<QLabel *>(u"failureText"_s);
    ASSERT_TRUE(text);
    EXPECT_EQ(text->textFormat(), Qt::PlainText);
    EXPECT_EQ(text->text(), u"Memory unavailable · "_s + screen->canvas()->bootstrapStatus().message());
    EXPECT_TRUE(text->text().contains(missing));

    // Agents can still be started and given prompts.
    AgentColumnView *column = screen->agentColumn();
    ASSERT_TRUE(column->isVisible());
    column->openSpawnPopover();
    column->commitSpawn();
    ASSERT_EQ(screen->canvas()->panes().size(), 1);
    EXPECT_TRUE(screen->promptBar()->field()->isEnabled());
}

TEST_F(CanvasViewTest, CtrlETogglesThePreviewAndEscapeCollapsesAnExpandedPaneOrPanel)
{
    openScreen();
    ASSERT_TRUE(waitForPhase(ProjectCanvasView::Phase::ready));
    QApplication::setActiveWindow(screen.get());
    ProjectCanvasViewModel *canvas = screen->canvas();
    EXPECT_EQ(screen->togglePreviewShortcut()->objectName(), u"__toggle-preview"_s);
    EXPECT_EQ(screen->collapsePaneShortcut()->objectName(), u"__collapse-expanded-pane"_s);

    QTest::keyClick(screen.get(), Qt::Key_E, Qt::ControlModifier);
    EXPECT_TRUE(canvas->preview().isVisible());
    QTest::keyClick(screen.get(), Qt::Key_E, Qt::ControlModifier);
    EXPECT_FALSE(canvas->preview().isVisible());

    // With no pane expanded, Escape is not the screen's: it reaches the field.
    EXPECT_FALSE(screen->collapsePaneShortcut()->isEnabled());
    AgentPaneState *pane = canvas->spawnPane(QString(), AgentRole::unspecified);
    canvas->toggleExpandedPane(pane->id());
    EXPECT_TRUE(screen->collapsePaneShortcut()->isEnabled());
    settleEvents();

    // The first Escape cancels a rename in the expanded pane; the second collapses it.
    AgentPaneView *view = screen->agentColumn()->paneView(pane->id());
    ASSERT_TRUE(view);
    view->beginRename();
    settleEvents();
    QWidget *field = view->findChild<QWidget *>(u"renameField"_s);
    ASSERT_TRUE(field && field->isVisible());
    field->setFocus();
    QTest::keyClick(field, Qt::Key_Escape);
    EXPECT_FALSE(view->renameState().isEditing);
    EXPECT_EQ(canvas->expandedPaneId(), pane->id());
    QTest::keyClick(screen.get(), Qt::Key_Escape);
    EXPECT_FALSE(canvas->expandedPaneId());
    EXPECT_FALSE(screen->collapsePaneShortcut()->isEnabled());

    // An expanded panel collapses on Escape too, the panel before a pane.
    canvas->toggleExpandedPane(pane->id());
    canvas->plan().setIsExpanded(true);
    EXPECT_TRUE(screen->collapsePaneShortcut()->isEnabled());
    QTest::keyClick(screen.get(), Qt::Key_Escape);
    EXPECT_FALSE(canvas->plan().isExpanded());
    EXPECT_EQ(canvas->expandedPaneId(), pane->id());
    QTest::keyClick(screen.get(), Qt::Key_Escape);
    canvas->preview().setExpanded(true);
    QTest::keyClick(screen.get(), Qt::Key_Escape);
    EXPECT_FALSE(canvas->preview().isExpanded());
    EXPECT_FALSE(canvas->expandedPaneId());
    EXPECT_FALSE(screen->collapsePaneShortcut()->isEnabled());
}

TEST_F(CanvasViewTest, OneExpandedPanelAtATimeAndTheColumnMakesWay)
{
    openScreen();
    ASSERT_TRUE(waitForPhase(ProjectCanvasView::Phase::ready));
    ProjectCanvasViewModel *canvas = screen->canvas();
    canvas->spawnPane(QString(), AgentRole::unspecified);
    canvas->plan().toggleVisibility();
    canvas->preview().toggleVisibility();
    settleEvents();
    EXPECT_TRUE(screen->plansPanel()->isVisible());
    EXPECT_TRUE(screen->previewPanel()->isVisible());
    EXPECT_TRUE(screen->agentColumn()->isVisible());

    canvas->plan().setIsExpanded(true);
    canvas->preview().setExpanded(true);
    EXPECT_FALSE(canvas->plan().isExpanded());
    settleEvents();
    EXPECT_TRUE(screen->previewPanel()->isVisible());
    EXPECT_FALSE(screen->agentColumn()->isVisible());
    EXPECT_EQ(screen->panelRow().horizontalPadding, 40);

    canvas->plan().setIsExpanded(true);
    EXPECT_FALSE(canvas->preview().isExpanded());
    canvas->plan().toggleVisibility(); // hiding also leaves expanded mode
    waitFor([this] { return screen->agentColumn()->isVisible(); });
    EXPECT_EQ(screen->panelRow().horizontalPadding, 0);
}

// Leaving tears the controller down first; a second click while that runs is
// ignored; a screen destroyed meanwhile is never called back.
TEST_F(CanvasViewTest, LeavingRunsOnceAndAfterTheTeardown)
{
    openScreen();
    ASSERT_TRUE(waitForPhase(ProjectCanvasView::Phase::ready));
    AgentPaneState *pane = screen->canvas()->spawnPane(QString(), AgentRole::unspecified);
    FakeAgentProvider::Script slow = FakeAgentProvider::running();
    slow.terminatedExitDelayMs = 200;
    provider->enqueue(slow);
    screen->canvas()->setInputPrompt(u"build it"_s);
    await(screen->canvas()->submitPrompt(ContextEntry::PromptSource::text));
    ASSERT_TRUE(waitFor([pane] { return pane->status() == AgentStatus::working; }));

    clickProjectsButton(*screen);
    clickProjectsButton(*screen);
    screen->leaveProject();
    EXPECT_TRUE(screen->isLeaving());
    EXPECT_EQ(returns, 0);
    ASSERT_TRUE(waitFor([this] { return returns > 0; }));
    settleEvents();
    EXPECT_EQ(returns, 1);
    EXPECT_TRUE(tornDownAtReturn);
    EXPECT_EQ(provider->terminated().size(), 1);
}

TEST_F(CanvasViewTest, AScreenDestroyedWhileLeavingIsNotCalledBack)
{
    openScreen();
    ASSERT_TRUE(waitForPhase(ProjectCanvasView::Phase::ready));
    AgentPaneState *pane = screen->canvas()->spawnPane(QString(), AgentRole::unspecified);
    FakeAgentProvider::Script slow = FakeAgentProvider::running();
    slow.terminatedExitDelayMs = 300;
    provider->enqueue(slow);
    screen->canvas()->setInputPrompt(u"build it"_s);
    await(screen->canvas()->submitPrompt(ContextEntry::PromptSource::text));
    ASSERT_TRUE(waitFor([pane] { return pane->status() == AgentStatus::working; }));

    screen->leaveProject();
    screen.reset();
    // The controller outlives its screen until its teardown has finished.
    ASSERT_TRUE(controller);
    ASSERT_TRUE(waitFor([this] { return !controller; }));
    EXPECT_EQ(returns, 0);
    EXPECT_EQ(provider->terminated().size(), 1);

    // Closed without leaving (the window going away): agents still stop.
    FakeAgentProvider::Script running = FakeAgentProvider::running();
    provider->enqueue(running);
    openScreen();
    ASSERT_TRUE(waitForPhase(ProjectCanvasView::Phase::ready));
    ASSERT_EQ(screen->canvas()->panes().size(), 1); // restored from panes.json
    screen->canvas()->setInputPrompt(u"again"_s);
    await(screen->canvas()->submitPrompt(ContextEntry::PromptSource::text));
    screen.reset();
    ASSERT_TRUE(waitFor([this] { return !controller; }));
    EXPECT_EQ(provider->terminated().size(), 2);
}

TEST_F(CanvasViewTest, HeaderControlsAndSidebar)
{
    openScreen();
    ASSERT_TRUE(waitForPhase(ProjectCanvasView::Phase::ready));
    ProjectCanvasViewModel *canvas = screen->canvas();

    auto *server = screen->findChild<AppServerPill *>();
    ASSERT_TRUE(server);
    EXPECT_TRUE(server->isHidden()); // idle: no pill at all

    auto *plan = screen->findChild<PlanToggle *>();
    clickCentre(plan);
    EXPECT_TRUE(canvas->plan().isVisible());
    EXPECT_EQ(plan->look().help, u"Hide the plans panel"_s);
    canvas->plan().setSteps({PlanStep{QUuid::createUuid(), u"One"_s, QString(), PlanStep::Status::pending},
                             PlanStep{QUuid::createUuid(), u"Two"_s, QString(), PlanStep::Status::pending}});
    EXPECT_EQ(plan->look().count, u"2"_s);

    clickCentre(screen->findChild<PreviewToggle *>());
    EXPECT_TRUE(canvas->preview().isVisible());

    auto *modes = screen->findChild<OutputModeToggle *>();
    clickCentre(modes->segments().at(1));
    ASSERT_TRUE(waitFor([canvas] { return canvas->outputMode() == AppState::OutputMode::notification; }));
    EXPECT_TRUE(modes->segments().at(1)->look().active);
    EXPECT_FALSE(modes->segments().at(0)->look().active);

    // The disabled sidebar buttons do nothing; only the projects button leaves.
    const QList<SidebarButton *> buttons = screen->sidebar()->buttons();
    ASSERT_EQ(buttons.size(), 4);
    EXPECT_EQ(screen->sidebar()->height(), 230);
    for (SidebarButton *button : buttons.mid(1)) {
        QTest::mouseClick(button, Qt::LeftButton, {}, button->clickArea().center());
        EXPECT_EQ(button->toolTip(), button->spec().tooltip);
    }
    settleEvents();
    EXPECT_FALSE(screen->isLeaving());
    clickProjectsButton(*screen);
    EXPECT_TRUE(screen->isLeaving());
}

// Names, paths and server reasons are never read as markup.
TEST_F(CanvasViewTest, UserTextIsPlainEverywhere)
{
    const QString name = u"<b>Shop</b> & <i>co</i>"_s;
    screen = std::make_unique<ProjectCanvasView>(u"project-id"_s, QUrl::fromLocalFile(project), name, nullptr, [] {},
                                                 factory());
    QLabel *secondary = screen->findChild<NmLoadingHint *>()->secondaryLabel();
    EXPECT_EQ(secondary->textFormat(), Qt::PlainText);
    EXPECT_EQ(secondary->text(), name);

    screen->setAttribute(Qt::WA_DontShowOnScreen);
    screen->show();
    ASSERT_TRUE(waitForPhase(ProjectCanvasView::Phase::ready));
    auto *title = screen->findChild<QLabel *>(u"projectTitle"_s);
    EXPECT_EQ(title->textFormat(), Qt::PlainText);
    EXPECT_EQ(title->text(), u"<B>SHOP</B> & <I>CO</I>"_s);
}

// The window closing while a repair runs: the screen goes first, then the
// controller ends the repair, which says it was interrupted (the screen,
// half gone, hears nothing of it).
TEST_F(CanvasViewTest, ClosingTheWindowDuringARepairRecordsItAsInterrupted)
{
    openScreen();
    ASSERT_TRUE(waitForPhase(ProjectCanvasView::Phase::ready));
    await(screen->canvas()->runApp()); // nothing here to start: a repair can begin
    provider->enqueue(FakeAgentProvider::running());
    await(screen->canvas()->repairSession().begin());
    ASSERT_TRUE(screen->canvas()->repairSession().state().phase().isActive());
    screen.reset();
    ASSERT_TRUE(waitFor([this] { return !controller; }));
    SerialFileWriter::shared().flush();
    EXPECT_TRUE(readFile(project + u"/.nerim/repair-history.jsonl"_s).contains("\"outcome\":\"interrupted\""));
}

// Tab walks every control a mouse can use, in reading order (the sidebar,
// the header from left to right, the Plans panel, the preview with its
// failure banner, the pane, "Spawn agent", the prompt bar), round to the
// start; Shift+Tab walks it back. Return and Space press what Tab reached
// (the keyboard staying in a banner that changes under it), a
// click on a header control leaves the focus in the prompt field, and
// Escape with nothing expanded leads back to the projects.
TEST_F(CanvasViewTest, TheKeyboardReachesEveryControlInReadingOrder)
{
    openScreen();
    ASSERT_TRUE(waitForPhase(ProjectCanvasView::Phase::ready));
    ProjectCanvasViewModel *canvas = screen->canvas();
    canvas->spawnPane(QString(), AgentRole::unspecified);
    canvas->plan().setIsVisible(true);
    canvas->preview().setVisible(true);
    await(canvas->runApp()); // nothing here to start: the banner offers a repair
    ASSERT_TRUE(waitFor([canvas] { return canvas->preview().hasVisibleError(); }));
    settleEvents();
    QApplication::setActiveWindow(screen.get());
    settleEvents();

    const auto press = [](int key, Qt::KeyboardModifiers modifiers = {}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(key), modifiers);
    };
    const auto walk = [&](Qt::KeyboardModifiers modifiers) {
        QList<QWidget *> walked;
        for (int i = 0; i < 80; ++i) {
            press(Qt::Key_Tab, modifiers);
            QWidget *focused = QApplication::focusWidget();
            if (!walked.isEmpty() && focused == walked.first())
                break;
            walked.append(focused);
        }
        return walked;
    };
    // Where the walk starts is where the focus was (the Plans panel's draft
    // field, focused as the panel appeared): read it from the sidebar on.
    QList<QWidget *> forward = walk({});
    SidebarButton *projects = screen->sidebar()->buttons().first();
    ASSERT_TRUE(forward.contains(projects));
    std::rotate(forward.begin(), forward.begin() + forward.indexOf(projects), forward.end());
    const auto child = [](QWidget *parent, const QString &name) { return parent->findChild<QWidget *>(name); };
    auto *modes = screen->findChild<OutputModeToggle *>();
    QWidget *pane = screen->agentColumn()->paneViews().constFirst();
    const QList<QWidget *> order{
        projects, screen->findChild<PlanToggle *>(), screen->findChild<PreviewToggle *>(), modes->segments().at(0),
        modes->segments().at(1), child(screen->plansPanel(), u"expandButton"_s),
        child(screen->plansPanel(), u"closeButton"_s), child(screen->previewPanel(), u"previewExpandButton"_s),
        child(screen->previewPanel(), u"previewCloseButton"_s), child(screen->previewPanel(), u"askButton"_s),
        child(pane, u"expandButton"_s), child(pane, u"closeButton"_s), screen->agentColumn()->spawnButton(),
        screen->promptBar()->field()};
    for (qsizetype i = 0; i < order.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(order[i]);
        EXPECT_TRUE(forward.contains(order[i]));
        if (i > 0) {
            EXPECT_LT(forward.indexOf(order[i - 1]), forward.indexOf(order[i]));
        }
    }
    // Back again, the same stops the other way round.
    QList<QWidget *> backward = walk(Qt::ShiftModifier);
    std::reverse(backward.begin(), backward.end());
    ASSERT_TRUE(backward.contains(projects));
    std::rotate(backward.begin(), backward.begin() + backward.indexOf(projects), backward.end());
    EXPECT_EQ(backward, forward);

    // Return and Space press the control Tab reached. "Ask Nerim to fix
    // this" starts the repair, and the keyboard stays in the banner.
    provider->enqueue(FakeAgentProvider::running());
    order[9]->setFocus(Qt::TabFocusReason);
    press(Qt::Key_Return);
    ASSERT_TRUE(waitFor([this] { return screen->findChild<QWidget *>(u"cancelRepairButton"_s); }));
    EXPECT_EQ(QApplication::focusWidget(), screen->findChild<QWidget *>(u"cancelRepairButton"_s));
    order[2]->setFocus(Qt::TabFocusReason);
    press(Qt::Key_Return);
    EXPECT_FALSE(canvas->preview().isVisible());
    order[1]->setFocus(Qt::TabFocusReason);
    press(Qt::Key_Space);
    EXPECT_FALSE(canvas->plan().isVisible());
    // A click on a header control leaves the focus where it was.
    QWidget *field = screen->promptBar()->field();
    field->setFocus(Qt::MouseFocusReason);
    clickCentre(modes->segments().at(0));
    ASSERT_TRUE(waitFor([canvas] { return canvas->outputMode() == AppState::OutputMode::verbose; }));
    EXPECT_EQ(QApplication::focusWidget(), field);

    // Escape the field has no use for leads back to the projects, but never
    // while an agent is at work (leaving would stop it).
    canvas->panes().constFirst()->setStatus(AgentStatus::working);
    press(Qt::Key_Escape);
    EXPECT_FALSE(screen->isLeaving());
    canvas->panes().constFirst()->setStatus(AgentStatus::done);
    press(Qt::Key_Escape);
    EXPECT_TRUE(screen->isLeaving());
}

// In a low window the panes shrink before "Spawn agent" leaves the view;
// every pane keeps its whole header, and in a tall one the panes take the
// free height.
class AgentColumnFitTest : public WorkspaceWidgetTest, public ::testing::WithParamInterface<std::pair<QSize, int>> {};

TEST_P(AgentColumnFitTest, SpawnAgentStaysInViewUnderThePanes)
{
    const auto [window, panes] = GetParam();
    openScreen();
    screen->resize(window - QSize(0, 50)); // less the title bar and the desktop's panel
    ASSERT_TRUE(waitForPhase(ProjectCanvasView::Phase::ready));
    for (int i = 0; i < panes; ++i)
        screen->canvas()->spawnPane(QString(), AgentRole::unspecified);
    screen->canvas()->plan().setIsVisible(true);
    screen->canvas()->preview().setVisible(true);
    settleEvents();

    AgentColumnView *column = screen->agentColumn();
    const auto frame = [this](const QWidget *widget) {
        return QRect(widget->mapTo(screen.get(), QPoint(0, 0)), widget->size());
    };
    const QRect spawn = frame(column->spawnButton());
    EXPECT_TRUE(column->spawnButton()->isVisible());
    EXPECT_TRUE(frame(column).contains(spawn));
    for (AgentPaneView *view : column->paneViews()) {
        EXPECT_GE(view->height(), view->compactHeight(true));
        EXPECT_LE(frame(view).bottom(), spawn.top());
    }
    // The row's free height went to the panes: under the button, only its margin.
    EXPECT_LE(frame(screen->findChild<QWidget *>(u"panelRow"_s)).bottom() - spawn.bottom(),
              AgentColumnView::shadowMarginBottom);
}

INSTANTIATE_TEST_SUITE_P(Windows, AgentColumnFitTest,
                         ::testing::Values(std::pair{QSize(1024, 700), 1}, std::pair{QSize(1024, 700), 2},
                                           std::pair{QSize(1600, 1000), 2}));
