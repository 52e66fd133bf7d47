#include "ui/design/AtmosphereMesh.h"
#include "ui/design/Colors.h"

#include <gtest/gtest.h>

namespace nerim {
namespace {

// A time near today's, so the double-precision path is the one the app runs.
constexpr double kManyPeriods = 45.0 * 60.0 * 400000.0; // a multiple of 45 s and of 60 s

TEST(AtmosphereMeshTest, ReduceMotionHoldsTheRestingShapeAtAnyTime)
{
    for (double t : {0.0, 11.25, 1234.5, kManyPeriods + 33.75}) {
        SCOPED_TRACE(t);
        const AtmosphereMesh mesh = atmosphereMesh(t, true);
        // sin 0 = 0 and cos 0 = 1: the middle row sits at 0.32 + 0.015, added in
        // single precision (one unit in the last place below the literal 0.335f).
        const float middle = 0.32f + 0.015f;
        EXPECT_FLOAT_EQ(middle, 0.335f);
        const std::array<AtmosphereMesh::Point, 9> expected = {{
            {0.0f, 0.0f}, {0.5f, 0.0f}, {1.0f, 0.0f},
            {0.0f, middle}, {0.5f, middle}, {1.0f, middle},
            {0.0f, 1.0f}, {0.5f, 1.0f}, {1.0f, 1.0f},
        }};
        EXPECT_EQ(mesh.points, expected);
    }
}

TEST(AtmosphereMeshTest, MiddleColumnDriftsSidewaysOverFortyFiveSeconds)
{
    const struct {
        double t;
        float x;
    } cases[] = {{kManyPeriods + 11.25, 0.52f}, {kManyPeriods + 33.75, 0.48f}, {kManyPeriods, 0.5f}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.t);
        const AtmosphereMesh mesh = atmosphereMesh(c.t, false);
        for (int i : {1, 4, 7})
            EXPECT_FLOAT_EQ(mesh.points[size_t(i)].x, c.x);
        // Edges and corners never move.
        for (int i : {0, 3, 6})
            EXPECT_EQ(mesh.points[size_t(i)].x, 0.0f);
        for (int i : {2, 5, 8})
            EXPECT_EQ(mesh.points[size_t(i)].x, 1.0f);
        for (int i : {0, 1, 2})
            EXPECT_EQ(mesh.points[size_t(i)].y, 0.0f);
    }
    // The middle row rides the 60 s period: at a quarter of it, cos is 0.
    EXPECT_NEAR(atmosphereMesh(kManyPeriods + 15.0, false).points[4].y, 0.32f, 1e-6);
}

TEST(AtmosphereMeshTest, ColoursRunMistSandBaseOverPaper)
{
    const AtmosphereMesh mesh = atmosphereMesh(0, false);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(mesh.colours[size_t(i)], (AtmosphereMesh::Colour{NmColor::mist, 0.98f}));
        EXPECT_EQ(mesh.colours[size_t(3 + i)], (AtmosphereMesh::Colour{NmColor::sand, 0.98f}));
        EXPECT_EQ(mesh.colours[size_t(6 + i)], (AtmosphereMesh::Colour{NmColor::atmosphereBase, 1.0f}));
    }
    EXPECT_EQ(mesh.background, NmColor::paper);
}

int distance(QRgb a, QRgb b)
{
    return std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)), std::abs(qBlue(a) - qBlue(b))});
}

TEST(AtmosphereMeshTest, RenderBlendsFromMistAtTheTopToPaperAtTheBottom)
{
    const QImage image = renderAtmosphere(atmosphereMesh(0, true), QSize(40, 200));
    ASSERT_EQ(image.size(), QSize(40, 200));
    // Mist at 0.98 over paper.
    const QRgb top = qRgb(int(std::lround(214 * 0.98 + 245 * 0.02)), int(std::lround(226 * 0.98 + 241 * 0.02)),
                          int(std::lround(232 * 0.98 + 232 * 0.02)));
    EXPECT_LE(distance(image.pixel(20, 0), top), 2);
    EXPECT_LE(distance(image.pixel(20, 199), qColor(NmColor::atmosphereBase).rgb()), 2);
    // Smooth: no jump between neighbouring rows anywhere.
    for (int y = 1; y < 200; ++y)
        EXPECT_LE(distance(image.pixel(20, y), image.pixel(20, y - 1)), 2) << y;
    // The rows hold one colour each: columns differ only by the dither.
    EXPECT_LE(distance(image.pixel(0, 67), image.pixel(39, 67)), 1);
}

TEST(AtmosphereMeshTest, RenderFollowsTheDriftUnlessMotionIsReduced)
{
    const QSize size(8, 300);
    const QImage rest = renderAtmosphere(atmosphereMesh(kManyPeriods, false), size);
    const QImage drifted = renderAtmosphere(atmosphereMesh(kManyPeriods + 30.0, false), size);
    const QImage reduced = renderAtmosphere(atmosphereMesh(kManyPeriods + 30.0, true), size);
    EXPECT_NE(rest, drifted);
    EXPECT_EQ(renderAtmosphere(atmosphereMesh(0, true), size), reduced);
}

} // namespace
} // namespace nerim
