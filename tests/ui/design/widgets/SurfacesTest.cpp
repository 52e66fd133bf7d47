#include "DesignWidgetsTestSupport.h"

#include "ui/design/Colors.h"
#include "ui/design/SurfaceStyles.h"
#include "ui/design/widgets/NmSurfaceModifier.h"

#include <QLabel>
#include <QPainter>
#include <QTest>
#include <QVBoxLayout>

namespace nerim {
namespace {

using test::channelDistance;
using test::over;

class SurfacesTest : public test::DesignWidgetTest {
protected:
    // The looks of the two focus states, without the motion between them.
    void SetUp() override { reduceMotion(true); }

    // A white host with one 200 × 100 surface at (60, 40).
    struct Scene {
        QWidget host;
        QWidget *surface = nullptr;
    };

    std::unique_ptr<Scene> scene()
    {
        auto s = std::make_unique<Scene>();
        s->host.setAutoFillBackground(true);
        QPalette palette = s->host.palette();
        palette.setColor(QPalette::Window, Qt::white);
        s->host.setPalette(palette);
        s->surface = new QWidget(&s->host);
        s->surface->setGeometry(60, 40, 200, 100);
        showOffscreen(&s->host, QSize(320, 220));
        return s;
    }

    static QColor probe(QWidget &host, QPoint at) { return host.grab().toImage().pixelColor(at); }
};

TEST_F(SurfacesTest, PaneFillsArePaperOverTheBackground)
{
    auto s = scene();
    NmSurfaceModifier *pane = NmPaneSurfaceModifier::apply(s->surface, false);
    // Material stand-in (paper), then paperBright at 0.62 / 0.72.
    const QColor material = over(qColor(NmColor::paper), 0.5, Qt::white);
    QApplication::processEvents();
    EXPECT_LE(channelDistance(probe(s->host, {160, 90}), over(qColor(NmColor::paperBright), 0.62, material)), 3);
    pane->setFocused(true);
    QApplication::processEvents();
    EXPECT_LE(channelDistance(probe(s->host, {160, 90}), over(qColor(NmColor::paperBright), 0.72, material)), 3);
}

TEST_F(SurfacesTest, PromptBarFillsAreLighterAndFocusTurnsTheStrokeBrass)
{
    auto s = scene();
    NmSurfaceModifier *bar = NmPromptBarSurfaceModifier::apply(s->surface, false);
    const QColor material = over(qColor(NmColor::paper), 0.3, Qt::white);
    QApplication::processEvents();
    EXPECT_LE(channelDistance(probe(s->host, {160, 90}), over(qColor(NmColor::paperBright), 0.42, material)), 3);
    bar->setFocused(true);
    QApplication::processEvents();
    EXPECT_LE(channelDistance(probe(s->host, {160, 90}), over(qColor(NmColor::paperBright), 0.62, material)), 3);
    // The stroke along the top edge is now brass: more red than blue.
    const QColor edge = probe(s->host, {160, 40});
    EXPECT_GT(edge.red() - edge.blue(), 8);
}

TEST_F(SurfacesTest, ParentPaintsTheShadowBelowAndItDeepensWithFocus)
{
    auto s = scene();
    NmSurfaceModifier *pane = NmPaneSurfaceModifier::apply(s->surface, false);
    QApplication::processEvents();
    // Below the surface (offset 8 down): darker than the white host; far away: white.
    const QColor below = probe(s->host, {160, 146});
    EXPECT_LT(below.red(), 250);
    EXPECT_EQ(probe(s->host, {5, 5}), QColor(Qt::white));
    // The corners outside the rounded shape show the host (with the shadow), not the fill.
    const QColor corner = probe(s->host, {60, 40});
    EXPECT_GT(corner.blue(), 240);
    pane->setFocused(true);
    QApplication::processEvents();
    EXPECT_LT(probe(s->host, {160, 146}).red(), below.red());
}

// A repaint of part of the parent draws the shadow there exactly as a whole
// repaint does: nothing inside the surface away from its corners, each
// corner's part where it reaches one, and all of it around the surface.
TEST_F(SurfacesTest, APartialRepaintDrawsTheShadowAsAWholeOneDoes)
{
    auto s = scene();
    for (const bool focused : {false, true}) {
        NmSurfaceModifier *pane = NmPaneSurfaceModifier::apply(s->surface, focused);
        pane->setFocused(focused);
        QApplication::processEvents();
        const auto shadowOver = [&](const QRegion &painted) {
            QImage image(s->host.size(), QImage::Format_ARGB32_Premultiplied);
            image.fill(Qt::white);
            QPainter painter(&image);
            if (!painted.isEmpty())
                painter.setClipRegion(painted);
            pane->paintShadow(painter, painted);
            return image;
        };
        const QImage whole = shadowOver(QRegion());
        const QRect surface = s->surface->geometry();
        const QList<QRegion> parts{
            // The transcript's part: the bottom of the surface, corners and all.
            QRegion(surface.adjusted(0, 30, 0, 0)),
            // Well inside: no shadow drawn at all.
            QRegion(surface.adjusted(20, 20, -20, -20)),
            // A top corner, the edge below and the space around the surface.
            QRegion(surface.left() - 10, surface.top() - 10, 30, 30) + QRegion(surface.left(), surface.bottom() - 3, surface.width(), 20)
                + QRegion(0, 0, 40, 220),
        };
        for (const QRegion &part : parts) {
            const QImage drawn = shadowOver(part);
            for (const QRect &rect : part)
                for (int y = rect.top(); y <= rect.bottom(); ++y)
                    for (int x = rect.left(); x <= rect.right(); ++x)
                        ASSERT_EQ(drawn.pixel(x, y), whole.pixel(x, y)) << focused << " at " << x << "," << y;
        }
        // The shadow does show in the corner and below the surface.
        EXPECT_NE(whole.pixel(surface.left() + 1, surface.bottom() + 1), qRgb(255, 255, 255));
    }
}

TEST_F(SurfacesTest, ChildrenReachingIntoTheCornersAreClippedToTheShape)
{
    auto s = scene();
    auto *layout = new QVBoxLayout(s->surface);
    layout->setContentsMargins(0, 0, 0, 0);
    auto *child = new QLabel(s->surface);
    child->setAutoFillBackground(true);
    QPalette palette = child->palette();
    palette.setColor(QPalette::Window, Qt::black);
    child->setPalette(palette);
    layout->addWidget(child);
    NmPaneSurfaceModifier::apply(s->surface, false);
    QApplication::processEvents();
    QApplication::processEvents();
    // The black child shows in the middle but not in the rounded-off corner.
    EXPECT_EQ(probe(s->host, {160, 90}), QColor(Qt::black));
    EXPECT_GT(probe(s->host, {61, 41}).red(), 200);
}

TEST_F(SurfacesTest, AFocusChangeOnScreenMovesFillAndShadowWithTheQuickSpring)
{
    reduceMotion(false);
    auto s = scene();
    NmSurfaceModifier *pane = NmPaneSurfaceModifier::apply(s->surface, false);
    const QColor material = over(qColor(NmColor::paper), 0.5, Qt::white);
    QApplication::processEvents();
    pane->setFocused(true);
    // Still the unfocused look when the change begins, the focused one at the end.
    EXPECT_TRUE(pane->focused());
    EXPECT_LT(pane->focusProgress(), 1.0);
    EXPECT_EQ(pane->look().shadow, SurfaceStyles::shadow(false));
    const auto settled = [&] { return pane->focusProgress() == 1.0; };
    for (int i = 0; i < 200 && !settled(); ++i)
        QTest::qWait(10);
    ASSERT_TRUE(settled());
    EXPECT_EQ(pane->look().shadow, SurfaceStyles::shadow(true));
    QApplication::processEvents();
    EXPECT_LE(channelDistance(probe(s->host, {160, 90}), over(qColor(NmColor::paperBright), 0.72, material)), 3);
}

TEST_F(SurfacesTest, AFocusChangeIsImmediateUnderReduceMotionOrWhileHidden)
{
    auto s = scene();
    NmSurfaceModifier *pane = NmPaneSurfaceModifier::apply(s->surface, false);
    pane->setFocused(true);
    EXPECT_EQ(pane->focusProgress(), 1.0);

    reduceMotion(false);
    s->surface->hide();
    pane->setFocused(false);
    EXPECT_EQ(pane->focusProgress(), 0.0);
    EXPECT_EQ(pane->look().fill, SurfaceStyles::pane(false).fill);
}

TEST_F(SurfacesTest, LooksBetweenTheFocusStatesMixEveryValue)
{
    const NmSurfaceLook from = SurfaceStyles::promptBar(false);
    const NmSurfaceLook to = SurfaceStyles::promptBar(true);
    const NmSurfaceLook half = SurfaceStyles::between(from, to, 0.5);
    EXPECT_NEAR(half.fill.alphaF(), (0.42 + 0.62) / 2, 0.01);
    EXPECT_NEAR(half.shadow.radius, 28, 1e-9);
    EXPECT_NEAR(half.shadow.color.alphaF(), (0.06 + 0.09) / 2, 0.01);
    EXPECT_EQ(SurfaceStyles::between(from, to, 0).fill, from.fill);
    EXPECT_EQ(SurfaceStyles::between(from, to, 1).stroke, to.stroke);
    // A spring's overshoot stays within the two looks.
    EXPECT_EQ(SurfaceStyles::between(from, to, 1.2).fill, to.fill);
}

} // namespace
} // namespace nerim
