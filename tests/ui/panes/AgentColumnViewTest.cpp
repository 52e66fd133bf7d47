// The agent column over a real controller: layouts, chips, closing, and
// spawning through the popover.
#include "PaneViewsFixture.h"

#include "ui/design/Colors.h"
#include "ui/design/widgets/NmFrameMotion.h"
#include "ui/panes/AgentColumnButtons.h"
#include "ui/panes/AgentColumnView.h"
#include "ui/panes/AgentPaneHeader.h"
#include "ui/panes/AgentPaneView.h"
#include "ui/panes/SpawnPopover.h"

#include <QLineEdit>
#include <QMenu>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace nerim::test {
namespace {

class AgentColumnViewTest : public PaneViewsTest {
protected:
    AgentColumnView *column = nullptr;

    AgentColumnView &showColumn()
    {
        open();
        column = show(new AgentColumnView(canvas.get()));
        // Held at the height it asks for, as a row that aligns it to the top does.
        auto *layout = new QVBoxLayout(window.get());
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(column, 0, Qt::AlignTop | Qt::AlignLeft);
        QApplication::processEvents();
        return *column;
    }

    void typeIntoPopover(const QString &text)
    {
        QLineEdit *field = column->spawnPopover()->field();
        QTest::keyClicks(field, text);
    }

    void chooseRoleInPopover(const QString &title)
    {
        std::unique_ptr<QMenu> menu(column->spawnPopover()->roleButton()->buildMenu(nullptr));
        for (QAction *action : menu->actions())
            if (action->text() == title)
                action->trigger();
    }

    QStringList visiblePaneNames() const
    {
        QStringList names;
        for (AgentPaneView *view : column->paneViews())
            if (view->isVisible())
                names.append(view->pane()->agentName());
        return names;
    }
};

TEST_F(AgentColumnViewTest, LayoutsFollowThePanesAndTheExpandedPane)
{
    AgentColumnView &view = showColumn();
    const int fixedWidth = AgentColumnLook::columnWidth + 2 * AgentColumnView::shadowMarginSide;
    EXPECT_EQ(view.layoutKind(), AgentColumnLook::Layout::empty);
    EXPECT_EQ(view.width(), fixedWidth);
    EXPECT_TRUE(view.spawnButton()->isEnabled());

    AgentPaneState *first = canvas->spawnPane(QString(), AgentRole::unspecified);
    AgentPaneState *second = canvas->spawnPane(QString(), AgentRole::unspecified);
    AgentPaneState *third = canvas->spawnPane(QString(), AgentRole::unspecified);
    settleUi();
    EXPECT_EQ(view.layoutKind(), AgentColumnLook::Layout::stacked);
    EXPECT_EQ(visiblePaneNames(), (QStringList{u"Claude 1"_s, u"Claude 2"_s, u"Claude 3"_s}));
    // The three share the 400-point area with 16-point gaps, each at most 360 wide.
    int heights = 0;
    for (AgentPaneView *pane : view.paneViews()) {
        heights += pane->height();
        EXPECT_LE(pane->width(), 360);
    }
    EXPECT_EQ(heights, 400 - 2 * 16);
    EXPECT_FALSE(view.spawnButton()->isEnabled());
    EXPECT_EQ(view.spawnButton()->look().counter, u"3 / 3"_s);
    EXPECT_EQ(view.spawnButton()->toolTip(), u"Agent limit reached"_s);

    // Expanding the second shows it alone, with chips for the first and the third.
    QTest::mouseClick(view.paneView(second->id())->expandButton(), Qt::LeftButton);
    settleUi();
    EXPECT_EQ(view.layoutKind(), AgentColumnLook::Layout::expanded);
    EXPECT_TRUE(view.takesFullWidth());
    EXPECT_EQ(visiblePaneNames(), (QStringList{u"Claude 2"_s}));
    EXPECT_TRUE(view.paneView(second->id())->isExpanded());
    EXPECT_EQ(view.paneView(second->id())->expandButton()->toolTip(), u"Return to tiled view"_s);
    ASSERT_EQ(view.chips().size(), 2);
    EXPECT_EQ(view.chips()[0]->chip().id, first->id());
    EXPECT_EQ(view.chips()[1]->chip().id, third->id());
    EXPECT_EQ(view.chips()[0]->toolTip(), u"Switch focus to Claude 1"_s);
    // The chip's dot is drawn in its pane's status colour.
    first->setStatus(AgentStatus::error);
    settleUi();
    const QImage chip = view.chips()[0]->grab().toImage();
    const qreal ratio = chip.devicePixelRatio();
    EXPECT_EQ(chip.pixelColor(QPoint(int(13 * ratio), chip.height() / 2)).rgb(), qColor(NmColor::danger).rgb());

    // A chip expands and focuses its pane; the chips then stand for the others.
    QTest::mouseClick(view.chips()[0], Qt::LeftButton);
    settleUi();
    EXPECT_EQ(canvas->expandedPaneId(), first->id());
    EXPECT_EQ(canvas->focusedPaneId(), first->id());
    EXPECT_EQ(visiblePaneNames(), (QStringList{u"Claude 1"_s}));
    ASSERT_EQ(view.chips().size(), 2);
    EXPECT_EQ(view.chips()[0]->chip().id, second->id());
    EXPECT_EQ(view.chips()[1]->chip().id, third->id());

    // Closing the expanded pane goes back to the stack at 360 points.
    QTest::mouseClick(view.paneView(first->id())->closeButton(), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return canvas->panes().size() == 2; }));
    settleUi();
    EXPECT_EQ(view.layoutKind(), AgentColumnLook::Layout::stacked);
    EXPECT_FALSE(view.takesFullWidth());
    EXPECT_EQ(NmLayoutLimits::maximumSize(&view).width(), fixedWidth);
    EXPECT_EQ(view.paneView(first->id()), nullptr);
    EXPECT_TRUE(view.spawnButton()->isEnabled());
    EXPECT_FALSE(view.spawnButton()->look().counter);
}

// The frames a stacked column of `count` panes gives its panes (in the column).
QList<QRect> stackedFrames(int count)
{
    QList<QRect> frames;
    const int available = AgentColumnLook::paneAreaHeight - AgentColumnLook::spacing * (count - 1);
    int top = AgentColumnView::shadowMarginTop;
    for (int i = 0; i < count; ++i) {
        const int height = available / count + (i < available % count ? 1 : 0);
        frames.append(QRect(AgentColumnView::shadowMarginSide, top, AgentColumnLook::columnWidth, height));
        top += height + AgentColumnLook::spacing;
    }
    return frames;
}

QList<QRect> paneFrames(const AgentColumnView &view)
{
    QList<QRect> frames;
    for (AgentPaneView *pane : view.paneViews())
        if (pane->isVisible())
            frames.append(pane->geometry());
    return frames;
}

TEST_F(AgentColumnViewTest, PanesMoveToTheirNewFramesAndEndExactlyThere)
{
    AgentColumnView &view = showColumn();
    AgentPaneState *first = canvas->spawnPane(QString(), AgentRole::unspecified);
    canvas->spawnPane(QString(), AgentRole::unspecified);
    settleUi();
    ASSERT_EQ(paneFrames(view), stackedFrames(2));

    // A third pane: the two make room gradually, from where they were.
    MotionPreferences::shared().setReduceMotion(false);
    canvas->spawnPane(QString(), AgentRole::unspecified);
    ASSERT_TRUE(view.frameMotion()->isRunning());
    const QList<QRect> target = stackedFrames(3);
    AgentPaneView *firstView = view.paneView(first->id());
    EXPECT_EQ(view.restingGeometry(firstView), target[0]);
    EXPECT_EQ(firstView->geometry(), stackedFrames(2)[0]);
    ASSERT_TRUE(waitUntil([&] { return !view.frameMotion()->isRunning(); }));
    EXPECT_EQ(paneFrames(view), target);

    // Expanding grows the pane's width from 360 to the column's (given the
    // whole width, as the canvas gives it).
    delete window->layout();
    view.resize(900, view.height());
    settleUi();
    QTest::mouseClick(firstView->expandButton(), Qt::LeftButton);
    ASSERT_TRUE(view.frameMotion()->isRunning());
    EXPECT_LE(firstView->width(), AgentColumnLook::columnWidth);
    ASSERT_TRUE(waitUntil([&] { return !view.frameMotion()->isRunning(); }));
    EXPECT_EQ(firstView->width(), 900 - 2 * AgentColumnView::shadowMarginSide);
    EXPECT_EQ(firstView->geometry(), view.restingGeometry(firstView));
}

TEST_F(AgentColumnViewTest, UnderReduceMotionPanesJumpToTheirFrames)
{
    AgentColumnView &view = showColumn();
    canvas->spawnPane(QString(), AgentRole::unspecified);
    settleUi();
    canvas->spawnPane(QString(), AgentRole::unspecified);
    EXPECT_FALSE(view.frameMotion()->isRunning());
    EXPECT_EQ(paneFrames(view), stackedFrames(2));
}

TEST_F(AgentColumnViewTest, APaneClosedWhileThePanesMoveLeavesTheOthersAtTheirFrames)
{
    AgentColumnView &view = showColumn();
    canvas->spawnPane(QString(), AgentRole::unspecified);
    AgentPaneState *second = canvas->spawnPane(QString(), AgentRole::unspecified);
    settleUi();

    MotionPreferences::shared().setReduceMotion(false);
    canvas->spawnPane(QString(), AgentRole::unspecified);
    ASSERT_TRUE(view.frameMotion()->isRunning());
    AgentPaneView *closing = view.paneView(second->id());
    QTest::mouseClick(closing->closeButton(), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return canvas->panes().size() == 2; }));
    // The closed pane's view is gone from the motion at once.
    EXPECT_EQ(view.paneView(second->id()), nullptr);
    EXPECT_FALSE(view.frameMotion()->isMoving(closing));
    ASSERT_TRUE(waitUntil([&] { return !view.frameMotion()->isRunning(); }));
    settleUi();
    EXPECT_EQ(paneFrames(view), stackedFrames(2));
}

TEST_F(AgentColumnViewTest, ExpandingTheOnlyPaneShowsNoChipsAndEverySlotHasAnOverlay)
{
    AgentColumnView &view = showColumn();
    AgentPaneState *only = canvas->spawnPane(QString(), AgentRole::unspecified);
    settleUi();
    QWidget *overlay = view.deployOverlay(only->id());
    ASSERT_NE(overlay, nullptr);
    // The overlay sits right above its pane and takes no room.
    EXPECT_EQ(overlay->height(), 0);
    EXPECT_EQ(overlay->geometry().bottom() + 1, view.paneView(only->id())->geometry().top());

    canvas->toggleExpandedPane(only->id());
    settleUi();
    EXPECT_EQ(view.layoutKind(), AgentColumnLook::Layout::expanded);
    EXPECT_TRUE(view.chips().isEmpty());
}

TEST_F(AgentColumnViewTest, SpawningThroughThePopover)
{
    AgentColumnView &view = showColumn();
    QTest::mouseClick(view.spawnButton(), Qt::LeftButton);
    ASSERT_TRUE(view.spawnPopover()->isVisible());

    chooseRoleInPopover(u"Designer"_s);
    typeIntoPopover(u"UI build"_s);
    // One Return is one pane.
    QTest::keyClick(view.spawnPopover()->field(), Qt::Key_Return);
    settleUi();
    ASSERT_EQ(canvas->panes().size(), 1);
    EXPECT_EQ(canvas->panes()[0]->responsibility(), u"UI build"_s);
    EXPECT_EQ(canvas->panes()[0]->role(), AgentRole::designer);
    EXPECT_FALSE(view.spawnPopover()->isVisible());
    EXPECT_TRUE(view.spawnDraft().responsibility.isEmpty());
    EXPECT_EQ(view.spawnDraft().role, AgentRole::unspecified);

    // An empty responsibility is fine; the Spawn button commits as Return does.
    QTest::mouseClick(view.spawnButton(), Qt::LeftButton);
    QTest::mouseClick(view.spawnPopover()->findChild<QAbstractButton *>(u"spawnCommitButton"_s), Qt::LeftButton);
    settleUi();
    ASSERT_EQ(canvas->panes().size(), 2);
    EXPECT_TRUE(canvas->panes()[1]->responsibility().isEmpty());
}

TEST_F(AgentColumnViewTest, ThePopoverKeepsItsDraftOnlyAfterAClickOutside)
{
    AgentColumnView &view = showColumn();
    SpawnPopover *popover = view.spawnPopover();

    // 26 letters leave the first 24.
    QTest::mouseClick(view.spawnButton(), Qt::LeftButton);
    typeIntoPopover(u"abcdefghijklmnopqrstuvwxyz"_s);
    EXPECT_EQ(popover->field()->text(), u"abcdefghijklmnopqrstuvwx"_s);

    // Escape cancels: the draft is gone at the next opening.
    chooseRoleInPopover(u"Backend"_s);
    QTest::keyClick(popover->field(), Qt::Key_Escape);
    settleUi();
    EXPECT_FALSE(popover->isVisible());
    EXPECT_TRUE(canvas->panes().isEmpty());
    QTest::mouseClick(view.spawnButton(), Qt::LeftButton);
    EXPECT_TRUE(popover->field()->text().isEmpty());
    EXPECT_EQ(popover->roleButton()->role(), AgentRole::unspecified);

    // A click outside only closes it: text and role come back.
    chooseRoleInPopover(u"Research"_s);
    typeIntoPopover(u"notes"_s);
    // Through the window system, as a real click outside a popup arrives.
    QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {}, QPoint(window->width() - 5, window->height() - 5));
    settleUi();
    EXPECT_FALSE(popover->isVisible());
    EXPECT_FALSE(view.spawnDraft().showing);
    QTest::mouseClick(view.spawnButton(), Qt::LeftButton);
    EXPECT_EQ(popover->field()->text(), u"notes"_s);
    EXPECT_EQ(popover->roleButton()->role(), AgentRole::research);
    EXPECT_TRUE(canvas->panes().isEmpty());
}

TEST_F(AgentColumnViewTest, AtTheLimitTheOpenPopoverClosesSilently)
{
    AgentColumnView &view = showColumn();
    canvas->spawnPane(QString(), AgentRole::unspecified);
    canvas->spawnPane(QString(), AgentRole::unspecified);
    settleUi();
    QTest::mouseClick(view.spawnButton(), Qt::LeftButton);
    typeIntoPopover(u"late"_s);
    // A third pane arrives by another road while the popover is open.
    canvas->spawnPane(QString(), AgentRole::unspecified);
    settleUi();
    QTest::keyClick(view.spawnPopover()->field(), Qt::Key_Return);
    settleUi();
    EXPECT_EQ(canvas->panes().size(), 3);
    EXPECT_FALSE(view.spawnPopover()->isVisible());
    EXPECT_TRUE(view.spawnDraft().responsibility.isEmpty());
    // And the disabled button does not open it again.
    QTest::mouseClick(view.spawnButton(), Qt::LeftButton);
    EXPECT_FALSE(view.spawnPopover()->isVisible());
}

TEST_F(AgentColumnViewTest, PaneActionsReachTheController)
{
    AgentColumnView &view = showColumn();
    AgentPaneState *first = canvas->spawnPane(QString(), AgentRole::unspecified);
    AgentPaneState *second = canvas->spawnPane(QString(), AgentRole::unspecified);
    settleUi();
    ASSERT_EQ(canvas->focusedPaneId(), second->id());
    AgentPaneView *firstView = view.paneView(first->id());
    EXPECT_FALSE(firstView->isFocused());

    // A click in the empty part of the transcript focuses the pane.
    QWidget *transcript = firstView->findChild<QWidget *>(u"transcript"_s);
    QTest::mouseClick(transcript, Qt::LeftButton, {}, QPoint(transcript->width() / 2, transcript->height() - 4));
    EXPECT_EQ(canvas->focusedPaneId(), first->id());
    EXPECT_TRUE(firstView->isFocused());
    EXPECT_FALSE(view.paneView(second->id())->isFocused());

    // Role: through the controller, which adds its line once.
    std::unique_ptr<QMenu> roles(firstView->roleMenu()->buildMenu(nullptr));
    ASSERT_EQ(roles->actions().size(), 5);
    roles->actions()[1]->trigger(); // Designer
    EXPECT_EQ(first->role(), AgentRole::designer);
    EXPECT_EQ(lineTexts(first).last(), u"[role → Designer]"_s);
    const qsizetype lines = first->outputLines().size();
    roles->actions()[1]->trigger();
    EXPECT_EQ(first->outputLines().size(), lines);

    // Rename: through the controller.
    firstView->beginRename();
    firstView->renameField()->selectAll();
    QTest::keyClicks(firstView->renameField(), u"  Atlas "_s);
    QTest::keyClick(firstView->renameField(), Qt::Key_Return);
    EXPECT_EQ(first->agentName(), u"Atlas"_s);
}

} // namespace
} // namespace nerim::test
