#include "DesignWidgetsTestSupport.h"

#include "ui/design/widgets/NmFrameMotion.h"

#include <QHBoxLayout>
#include <QTest>

namespace nerim {
namespace {

// A row like the canvas's: a panel limited to 100 points beside one that
// takes the rest, both placed through the motion.
class FrameMotionTest : public test::DesignWidgetTest {
protected:
    QWidget host;
    QHBoxLayout *row = new QHBoxLayout(&host);
    NmFrameMotion *motion = new NmFrameMotion(&host);
    QWidget *panel = new QWidget(&host);
    QWidget *rest = new QWidget(&host);

    void SetUp() override
    {
        DesignWidgetTest::SetUp();
        row->setContentsMargins(0, 0, 0, 0);
        row->setSpacing(0);
        for (QWidget *widget : {panel, rest}) {
            widget->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
            row->addItem(new NmMovingWidgetItem(widget, motion));
        }
        NmLayoutLimits::setMaximumSize(panel, QSize(100, QWIDGETSIZE_MAX));
        showOffscreen(&host, QSize(600, 200));
    }

    void expandPanel()
    {
        motion->capture({panel, rest}, NmMotion::standard());
        NmLayoutLimits::setMaximumSize(panel, QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
        row->activate();
    }

    bool waitForEnd()
    {
        for (int i = 0; i < 300 && motion->isRunning(); ++i)
            QTest::qWait(10);
        return !motion->isRunning();
    }
};

TEST_F(FrameMotionTest, ALayoutChangeMovesWidgetsFromTheirFramesToTheNewOnes)
{
    ASSERT_EQ(panel->width(), 100);
    expandPanel();
    ASSERT_TRUE(motion->isRunning());
    // Not there yet: the widget itself is not bound by the limit it had.
    EXPECT_EQ(panel->width(), 100);
    EXPECT_EQ(motion->target(panel).width(), 300);
    ASSERT_TRUE(waitForEnd());
    EXPECT_EQ(panel->geometry(), QRect(0, 0, 300, 200));
    EXPECT_EQ(rest->geometry(), QRect(300, 0, 300, 200));

    // A target that changes while moving (the window resized) is followed.
    NmLayoutLimits::setMaximumSize(panel, QSize(100, QWIDGETSIZE_MAX));
    motion->capture({panel, rest}, NmMotion::standard());
    row->activate();
    host.resize(800, 200);
    QApplication::processEvents();
    ASSERT_TRUE(waitForEnd());
    EXPECT_EQ(panel->geometry(), QRect(0, 0, 100, 200));
    EXPECT_EQ(rest->geometry(), QRect(100, 0, 700, 200));
}

TEST_F(FrameMotionTest, UnderReduceMotionWidgetsJumpAndADeletedWidgetIsDropped)
{
    reduceMotion(true);
    expandPanel();
    EXPECT_FALSE(motion->isRunning());
    EXPECT_EQ(panel->width(), 300);

    // A hidden widget's limits take no room.
    NmLayoutLimits::setMinimumSize(rest, QSize(250, 0));
    rest->hide();
    row->activate();
    EXPECT_EQ(panel->width(), 600);
    rest->show();
    row->activate();

    reduceMotion(false);
    NmLayoutLimits::setMaximumSize(panel, QSize(100, QWIDGETSIZE_MAX));
    motion->capture({panel, rest}, NmMotion::standard());
    delete rest;
    rest = nullptr;
    row->activate();
    ASSERT_TRUE(waitForEnd());
    EXPECT_EQ(panel->width(), 100);
}

} // namespace
} // namespace nerim
