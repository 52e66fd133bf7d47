#include "ui/design/ImageEffects.h"
#include "ui/design/NmPainter.h"
#include "ui/design/SurfaceStyles.h"

#include <QPainter>
#include <functional>
#include <gtest/gtest.h>

namespace nerim {
namespace {

QImage canvas(QSize size)
{
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

TEST(PainterTest, DashesInPointsBecomePenWidths)
{
    EXPECT_EQ(NmPainter::dashPattern({6, 4}, 2.0), (QVector<qreal>{3, 2}));
    EXPECT_EQ(NmPainter::dashPattern({6, 4}, 0.5), (QVector<qreal>{12, 8}));
    // A hairline pen (width 0) counts as one point wide.
    EXPECT_EQ(NmPainter::dashPattern({6, 4}, 0.0), (QVector<qreal>{6, 4}));

    // Drawn: a 2-point pen with 6-point dashes and 4-point gaps repeats every 10 pixels.
    QImage image = canvas(QSize(60, 4));
    {
        QPainter p(&image);
        QPen pen(Qt::black, 2.0);
        pen.setCapStyle(Qt::FlatCap);
        pen.setDashPattern(NmPainter::dashPattern({6, 4}, 2.0));
        p.setPen(pen);
        p.drawLine(QPointF(0, 2), QPointF(60, 2));
    }
    for (int x = 0; x < 60; ++x)
        EXPECT_EQ(qAlpha(image.pixel(x, 1)) > 128, x % 10 < 6) << x;
}

TEST(PainterTest, InsideStrokesStayInsideTheShape)
{
    const QRectF rect(10, 10, 80, 40);
    for (const NmShape &shape : {NmShape::roundedRect(14), NmShape::capsule(), NmShape::rect()}) {
        QImage stroked = canvas(QSize(100, 60));
        QImage filled = canvas(QSize(100, 60));
        {
            QPainter p(&stroked);
            NmPainter::strokeInside(p, shape, rect, 3.0, Qt::black);
            QPainter q(&filled);
            NmPainter::fill(q, shape, rect, Qt::black);
        }
        int strokePixels = 0;
        for (int y = 0; y < 60; ++y) {
            for (int x = 0; x < 100; ++x) {
                const int s = qAlpha(stroked.pixel(x, y));
                if (s > 0)
                    ++strokePixels;
                // Nothing outside the shape, and never clearly more coverage
                // than the shape itself has (antialiasing varies a little).
                const int f = qAlpha(filled.pixel(x, y));
                if (f == 0) {
                    EXPECT_EQ(s, 0) << int(shape.kind) << " " << x << "," << y;
                }
                EXPECT_LE(s, f + 24) << int(shape.kind) << " " << x << "," << y;
            }
        }
        EXPECT_GT(strokePixels, 200);
    }
}

TEST(PainterTest, ContinuousCornersAreRoundAndReachFurtherThanCircularOnes)
{
    const QRectF rect(0, 0, 100, 100);
    const QPainterPath continuous = NmPainter::continuousRoundedRectPath(rect, 14);
    QPainterPath circular;
    circular.addRoundedRect(rect, 14, 14);
    EXPECT_EQ(continuous.boundingRect(), rect);
    EXPECT_FALSE(continuous.contains(QPointF(1, 1)));
    EXPECT_TRUE(continuous.contains(QPointF(50, 50)));
    EXPECT_TRUE(continuous.contains(QPointF(50, 0.5)));
    // The smooth corner starts earlier along the edge: a point that the
    // circular corner still covers lies outside the continuous one.
    EXPECT_TRUE(circular.contains(QPointF(12, 0.3)));
    EXPECT_FALSE(continuous.contains(QPointF(12, 0.3)));
    // Where the corners cannot fit, the shape becomes a capsule.
    const QRectF thin(0, 0, 100, 20);
    EXPECT_EQ(NmPainter::continuousRoundedRectPath(thin, 14).boundingRect(), thin);
    EXPECT_FALSE(NmPainter::continuousRoundedRectPath(thin, 14).contains(QPointF(1, 1)));
    EXPECT_TRUE(NmPainter::continuousRoundedRectPath(thin, 14).contains(QPointF(10, 10)));
}

TEST(PainterTest, SlicedShadowsMatchAShadowRenderedWhole)
{
    // A large shadow is drawn from nine slices of a small cached image; it
    // must look like the blurred shape itself, on normal and dense screens.
    const NmShadow shadow{QColor(27, 23, 18, 255), 24, QPointF(0, 8)};
    const QRectF rect(60, 60, 300, 240);
    const QSize size(420, 380);
    for (qreal dpr : {1.0, 2.0}) {
        for (const NmShape &shape : {NmShape::roundedRect(14), NmShape::capsule()}) {
            SCOPED_TRACE(testing::Message() << "shape " << int(shape.kind) << " dpr " << dpr);
            QImage sliced = canvas(size * dpr);
            sliced.setDevicePixelRatio(dpr);
            {
                QPainter p(&sliced);
                NmPainter::paintShadow(p, shape, rect, shadow);
            }
            QImage whole = canvas(size * dpr);
            whole.setDevicePixelRatio(dpr);
            {
                QPainter p(&whole);
                p.setRenderHint(QPainter::Antialiasing);
                p.setPen(Qt::NoPen);
                p.setBrush(shadow.color);
                p.drawPath(shape.path(rect.translated(shadow.offset)));
            }
            gaussianBlur(whole, shadow.radius / 2.0 * dpr);
            int worst = 0;
            for (int y = 0; y < whole.height(); ++y)
                for (int x = 0; x < whole.width(); ++x)
                    worst = std::max(worst, std::abs(qAlpha(sliced.pixel(x, y)) - qAlpha(whole.pixel(x, y))));
            EXPECT_LE(worst, 6);
            // Darkest under the middle of the shape, nothing far outside it.
            EXPECT_GT(qAlpha(sliced.pixel(int(210 * dpr), int(188 * dpr))), 250);
            EXPECT_EQ(qAlpha(sliced.pixel(2, 2)), 0);
        }
    }
}

TEST(PainterTest, ShadowOpacityComesFromTheColour)
{
    const NmShadow shadow{QColor(27, 23, 18, 23), 24, QPointF(0, 8)};
    QImage image = canvas(QSize(300, 300));
    {
        QPainter p(&image);
        NmPainter::paintShadow(p, NmShape::roundedRect(14), QRectF(50, 50, 200, 200), shadow);
    }
    // Premultiplied: under the shape, alpha 23 and ink's red scaled by it.
    const QRgb centre = image.pixel(150, 158);
    EXPECT_NEAR(qAlpha(centre), 23, 1);
    EXPECT_NEAR(qRed(centre), 27 * 23 / 255.0, 1);
}

// A shape's shadow is blurred once: drawn at other opacities (a focus change
// fades them) and at other sizes long enough to slice, it reuses that image.
TEST(PainterTest, OneShadowImageServesEveryOpacityAndSlicedSize)
{
    const NmShape shape = NmShape::roundedRect(11.5); // a radius no other test draws
    const auto draw = [&](int alpha, const QRectF &rect) {
        QImage image = canvas(QSize(700, 500));
        QPainter p(&image);
        NmPainter::paintShadow(p, shape, rect, NmShadow{QColor(27, 23, 18, alpha), 20, QPointF(0, 8)});
        return image;
    };
    const int before = NmPainter::shadowImageCount();
    const QImage faint = draw(30, QRectF(60, 60, 300, 200));
    EXPECT_EQ(NmPainter::shadowImageCount(), before + 1);
    const QImage strong = draw(120, QRectF(60, 60, 300, 200));
    draw(23, QRectF(40, 50, 560, 380));
    draw(200, QRectF(100, 100, 180, 130));
    EXPECT_EQ(NmPainter::shadowImageCount(), before + 1);
    // Four times the opacity, four times the shadow (within rounding).
    const QRgb below = faint.pixel(210, 268);
    EXPECT_GT(qAlpha(below), 8);
    EXPECT_NEAR(qAlpha(strong.pixel(210, 268)), 4 * qAlpha(below), 4);
}

// A surface whose focus is changing casts its two resting shadows faded into
// each other: all of the unfocused one at the start, all of the focused one
// at the end, and between the two on the way.
TEST(PainterTest, SurfaceShadowFadesBetweenItsTwoLooks)
{
    const NmSurfaceLook from = SurfaceStyles::pane(false);
    const NmSurfaceLook to = SurfaceStyles::pane(true);
    const QRectF rect(60, 60, 240, 160);
    const auto draw = [&](const std::function<void(QPainter &)> &paint) {
        QImage image = canvas(QSize(360, 300));
        QPainter p(&image);
        paint(p);
        return image;
    };
    const QImage unfocused = draw([&](QPainter &p) { SurfaceStyles::paintShadow(p, from, rect); });
    const QImage focused = draw([&](QPainter &p) { SurfaceStyles::paintShadow(p, to, rect); });
    EXPECT_EQ(draw([&](QPainter &p) { SurfaceStyles::paintShadowBetween(p, from, to, 0.0, rect); }), unfocused);
    EXPECT_EQ(draw([&](QPainter &p) { SurfaceStyles::paintShadowBetween(p, from, to, 1.0, rect); }), focused);
    const int images = NmPainter::shadowImageCount();
    const QImage half = draw([&](QPainter &p) { SurfaceStyles::paintShadowBetween(p, from, to, 0.5, rect); });
    EXPECT_EQ(NmPainter::shadowImageCount(), images);
    for (const QPoint at : {QPoint(180, 235), QPoint(180, 255), QPoint(310, 140)}) {
        SCOPED_TRACE(testing::Message() << at.x() << "," << at.y());
        const int a = qAlpha(unfocused.pixel(at));
        const int b = qAlpha(focused.pixel(at));
        EXPECT_NE(a, b);
        EXPECT_GE(qAlpha(half.pixel(at)), std::min(a, b) - 1);
        EXPECT_LE(qAlpha(half.pixel(at)), std::max(a, b) + 1);
    }
    // Nothing is drawn inside the surface.
    EXPECT_EQ(qAlpha(half.pixel(180, 140)), 0);
}

// A surface drawn from its cached slices (its middle filled with the one
// colour it has) is the surface drawn whole, for the pane's rounded
// rectangle, the prompt bar's capsule and a code block's opaque box, on
// normal and dense screens, including sizes too small to slice.
TEST(PainterTest, SlicedSurfaceMatchesTheSurfacePaintedWhole)
{
    NmSurfaceLook codeBox;
    codeBox.shape = NmShape::roundedRect(8);
    codeBox.material = Qt::transparent;
    codeBox.fill = QColor(0xEF, 0xE8, 0xDC);
    codeBox.strokeWidth = 1;
    codeBox.stroke = QColor(0, 0, 0, 40);
    for (qreal dpr : {1.0, 2.0, 1.5}) {
        for (const NmSurfaceLook &look : {SurfaceStyles::pane(true), SurfaceStyles::promptBar(false), codeBox}) {
            for (const QRectF rect : {QRectF(0, 0, 420, 300), QRectF(0, 0, 240, 44), QRectF(0, 0, 30, 20)}) {
                SCOPED_TRACE(testing::Message() << "dpr " << dpr << " shape " << int(look.shape.kind) << " "
                                                << rect.width() << "x" << rect.height());
                const QSize pixels = (rect.size() * dpr).toSize();
                QImage sliced = canvas(pixels);
                sliced.setDevicePixelRatio(dpr);
                QImage whole = canvas(pixels);
                whole.setDevicePixelRatio(dpr);
                {
                    QPainter p(&sliced);
                    SurfaceStyles::paintSliced(p, look, rect);
                }
                {
                    QPainter p(&whole);
                    SurfaceStyles::paint(p, look, rect);
                }
                int worst = 0;
                for (int y = 0; y < pixels.height(); ++y)
                    for (int x = 0; x < pixels.width(); ++x) {
                        const QRgb a = sliced.pixel(x, y);
                        const QRgb b = whole.pixel(x, y);
                        worst = std::max({worst, std::abs(qAlpha(a) - qAlpha(b)), std::abs(qRed(a) - qRed(b)),
                                          std::abs(qBlue(a) - qBlue(b))});
                    }
                EXPECT_LE(worst, 2);
            }
        }
    }
}

TEST(ImageEffectsTest, BlurSpreadsWithoutGainingOrLosingMuchAndStaysCentred)
{
    QImage image = canvas(QSize(61, 61));
    image.setPixel(30, 30, qRgba(255, 255, 255, 255));
    image.setPixel(29, 30, qRgba(255, 255, 255, 255));
    image.setPixel(31, 30, qRgba(255, 255, 255, 255));
    gaussianBlur(image, 4.0);
    long total = 0;
    for (int y = 0; y < 61; ++y)
        for (int x = 0; x < 61; ++x)
            total += qAlpha(image.pixel(x, y));
    EXPECT_NEAR(total, 3 * 255, 3 * 255 * 0.15);
    EXPECT_EQ(qAlpha(image.pixel(30 - 8, 30)), qAlpha(image.pixel(30 + 8, 30)));
    EXPECT_GT(qAlpha(image.pixel(30, 30)), qAlpha(image.pixel(30, 36)));
}

TEST(ImageEffectsTest, ShrinkingAveragesEachBlockAndTheCutBlocksAtTheEdgesAverageWhatTheyHold)
{
    // 5 x 3 pixels shrunk by 2: blocks of 2 x 2, those at the right and
    // bottom edges cut to what lies inside the image.
    QImage image = canvas(QSize(5, 3));
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x)
            image.setPixel(x, y, qRgba(0, 0, 0, 0));
    image.setPixel(0, 0, qRgba(200, 100, 40, 255));
    image.setPixel(1, 1, qRgba(100, 50, 20, 101));
    image.setPixel(4, 0, qRgba(80, 80, 80, 80));
    image.setPixel(4, 2, qRgba(255, 255, 255, 255));
    const QImage small = shrunk(image, 2);
    ASSERT_EQ(small.size(), QSize(3, 2));
    EXPECT_EQ(small.pixel(0, 0), qRgba(75, 38, 15, 89)); // (255 + 101) / 4, rounded
    EXPECT_EQ(small.pixel(1, 0), qRgba(0, 0, 0, 0));
    EXPECT_EQ(small.pixel(2, 0), qRgba(40, 40, 40, 40)); // one column of two rows
    EXPECT_EQ(small.pixel(2, 1), qRgba(255, 255, 255, 255)); // the corner pixel alone
    EXPECT_EQ(shrunk(image, 1), image);
}

TEST(ImageEffectsTest, BrightnessAddsToColourButNotToTransparentPixels)
{
    QImage image = canvas(QSize(3, 1));
    image.setPixel(0, 0, qRgba(100, 100, 100, 255));
    image.setPixel(1, 0, qRgba(50, 50, 50, 128)); // premultiplied half coverage
    image.setPixel(2, 0, qRgba(250, 250, 250, 255));
    addBrightness(image, 0.08);
    EXPECT_EQ(image.pixel(0, 0), qRgba(120, 120, 120, 255));
    EXPECT_EQ(image.pixel(1, 0), qRgba(60, 60, 60, 128));
    EXPECT_EQ(image.pixel(2, 0), qRgba(255, 255, 255, 255));
    QImage clear = canvas(QSize(2, 2));
    addBrightness(clear, 0.08);
    EXPECT_EQ(clear.pixel(1, 1), 0u);
}

} // namespace
} // namespace nerim
