// The spawn popover over the canvas offscreen: on a screen that composites it
// is a translucent window with a shadow; without a compositing manager it is
// opaque and cut to its rounded outline, so no black corners show.
#include "WorkspaceWidgetTest.h"

#include "ui/design/Colors.h"
#include "ui/panes/SpawnPopover.h"

#include <QImage>
#include <QPainter>
#include <QPushButton>

using namespace Qt::StringLiterals;
using namespace nerim;
using namespace nerim::test;

namespace {

class SpawnPopoverLookTest : public ::testing::Test {
protected:
    void SetUp() override { MotionPreferences::shared().setReduceMotion(true); }
    void TearDown() override { SpawnPopover::setCompositingProbe({}); }

    // The popover opened under a button of a window, and drawn.
    std::unique_ptr<SpawnPopover> openUnderButton(bool composites)
    {
        SpawnPopover::setCompositingProbe([composites] { return composites; });
        host = std::make_unique<QWidget>();
        host->setAttribute(Qt::WA_DontShowOnScreen);
        host->resize(600, 400);
        auto *button = new QPushButton(u"+"_s, host.get());
        button->setGeometry(280, 40, 40, 24);
        host->show();
        auto popover = std::make_unique<SpawnPopover>(host.get());
        popover->setAttribute(Qt::WA_DontShowOnScreen);
        popover->showDraft(u"Builds the page"_s, AgentRole::code);
        popover->popUp(button);
        settleEvents();
        return popover;
    }

    std::unique_ptr<QWidget> host;
};

QImage drawn(QWidget *widget)
{
    QImage image(widget->size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    widget->render(&image, QPoint(), QRegion(), QWidget::DrawWindowBackground | QWidget::DrawChildren);
    return image;
}

TEST_F(SpawnPopoverLookTest, WithoutACompositorThePopoverIsOpaqueAndRounded)
{
    std::unique_ptr<SpawnPopover> popover = openUnderButton(false);
    ASSERT_TRUE(popover->isVisible());
    EXPECT_FALSE(popover->isTranslucent());
    EXPECT_FALSE(popover->testAttribute(Qt::WA_TranslucentBackground));

    // The window is cut to the outline: its corners and the margin around
    // the body are outside the mask, the body and the arrow's tip inside.
    const QRegion mask = popover->mask();
    ASSERT_FALSE(mask.isEmpty());
    const QRectF body = popover->outline().boundingRect();
    EXPECT_FALSE(mask.contains(QPoint(0, 0)));
    EXPECT_FALSE(mask.contains(QPoint(popover->width() - 1, popover->height() - 1)));
    EXPECT_FALSE(mask.contains(body.topLeft().toPoint() + QPoint(1, 1 + 8))); // a rounded corner
    EXPECT_TRUE(mask.contains(body.center().toPoint()));

    // What is drawn is opaque paper, never black, up to the mask's edge.
    const QImage image = drawn(popover.get());
    const int middle = int(body.center().y());
    for (const QPoint p : {QPoint(int(body.left()) + 3, middle), body.center().toPoint()}) {
        ASSERT_TRUE(mask.contains(p)) << p.x() << "," << p.y();
        const QColor c = image.pixelColor(p);
        EXPECT_EQ(c.alpha(), 255) << p.x() << "," << p.y();
        EXPECT_GT(c.lightness(), 200) << p.x() << "," << p.y();
    }
}

TEST_F(SpawnPopoverLookTest, OnACompositingScreenThePopoverIsTranslucentWithAShadow)
{
    std::unique_ptr<SpawnPopover> popover = openUnderButton(true);
    EXPECT_TRUE(popover->isTranslucent());
    EXPECT_TRUE(popover->testAttribute(Qt::WA_TranslucentBackground));
    EXPECT_TRUE(popover->mask().isEmpty());
    const QImage image = drawn(popover.get());
    EXPECT_LT(image.pixelColor(0, 0).alpha(), 255);
}

} // namespace
