#include "ui/design/AtmosphereMesh.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace nerim {

namespace {

// 2001-01-01T00:00:00Z in Unix seconds.
constexpr double kReferenceDateUnixSeconds = 978307200.0;

constexpr double kDriftXPeriod = 45.0;
constexpr double kDriftXAmplitude = 0.02;
constexpr double kDriftYPeriod = 60.0;
constexpr double kDriftYAmplitude = 0.015;
constexpr float kMiddleRowY = 0.32f;
constexpr float kUpperRowsOpacity = 0.98f;

// Thresholds of a one-dimensional ordered dither down the rows.
constexpr int kRowDither[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};

struct Rgba {
    double r = 0, g = 0, b = 0, a = 0; // premultiplied, 0…1
};

Rgba premultiplied(const AtmosphereMesh::Colour &c)
{
    return {c.rgb.redF() * c.opacity, c.rgb.greenF() * c.opacity, c.rgb.blueF() * c.opacity, c.opacity};
}

// Monotone cubic interpolation through three knots (Fritsch–Carlson
// tangents): smooth at the middle knot, and never overshooting, so no channel
// leaves the range of its neighbours and the blend keeps its hue.
struct Spline3 {
    double knots[3];
    double value(const double values[3], double x) const
    {
        const double h0 = std::max(1e-9, knots[1] - knots[0]);
        const double h1 = std::max(1e-9, knots[2] - knots[1]);
        const double s0 = (values[1] - values[0]) / h0;
        const double s1 = (values[2] - values[1]) / h1;
        double middle = 0;
        if (s0 * s1 > 0) {
            const double w0 = 2 * h1 + h0;
            const double w1 = h1 + 2 * h0;
            middle = (w0 + w1) / (w0 / s0 + w1 / s1);
        }
        const double tangents[3] = {s0, middle, s1};
        const int i = x <= knots[1] ? 0 : 1;
        const double a = knots[i];
        const double h = i == 0 ? h0 : h1;
        const double t = std::clamp((x - a) / h, 0.0, 1.0);
        const double t2 = t * t, t3 = t2 * t;
        const double h00 = 2 * t3 - 3 * t2 + 1, h10 = t3 - 2 * t2 + t, h01 = -2 * t3 + 3 * t2, h11 = t3 - t2;
        return h00 * values[i] + h10 * h * tangents[i] + h01 * values[i + 1] + h11 * h * tangents[i + 1];
    }
};

} // namespace

AtmosphereMesh atmosphereMesh(double t, bool reduceMotion)
{
    if (reduceMotion)
        t = 0;
    const float s = float(std::sin(2.0 * std::numbers::pi * t / kDriftXPeriod) * kDriftXAmplitude);
    const float c = float(std::cos(2.0 * std::numbers::pi * t / kDriftYPeriod) * kDriftYAmplitude);
    AtmosphereMesh mesh;
    mesh.points = {{
        {0.0f, 0.0f}, {0.5f + s, 0.0f}, {1.0f, 0.0f},
        {0.0f, kMiddleRowY + c}, {0.5f + s, kMiddleRowY + c}, {1.0f, kMiddleRowY + c},
        {0.0f, 1.0f}, {0.5f + s, 1.0f}, {1.0f, 1.0f},
    }};
    const AtmosphereMesh::Colour mist{NmColor::mist, kUpperRowsOpacity};
    const AtmosphereMesh::Colour sand{NmColor::sand, kUpperRowsOpacity};
    const AtmosphereMesh::Colour base{NmColor::atmosphereBase, 1.0f};
    mesh.colours = {{mist, mist, mist, sand, sand, sand, base, base, base}};
    mesh.background = NmColor::paper;
    return mesh;
}

double atmosphereTimeNow()
{
    return double(QDateTime::currentMSecsSinceEpoch()) / 1000.0 - kReferenceDateUnixSeconds;
}

QImage renderAtmosphere(const AtmosphereMesh &mesh, QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    if (size.isEmpty())
        return image;
    const Spline3 columns{{mesh.points[0].x, mesh.points[1].x, mesh.points[2].x}};
    const Spline3 rows{{mesh.points[0].y, mesh.points[3].y, mesh.points[6].y}};
    const Rgba background{mesh.background.redF(), mesh.background.greenF(), mesh.background.blueF(), 1.0};

    std::array<Rgba, 9> colours;
    for (size_t i = 0; i < 9; ++i)
        colours[i] = premultiplied(mesh.colours[i]);

    const int w = size.width();
    const int h = size.height();
    // Blend along each row first (per column of pixels), then down the rows.
    std::vector<std::array<Rgba, 3>> rowColours(static_cast<size_t>(w));
    for (int x = 0; x < w; ++x) {
        const double u = (x + 0.5) / w;
        for (int row = 0; row < 3; ++row) {
            auto channel = [&](double Rgba::*member) {
                const double v[3] = {colours[size_t(row * 3)].*member, colours[size_t(row * 3 + 1)].*member,
                                     colours[size_t(row * 3 + 2)].*member};
                return columns.value(v, u);
            };
            rowColours[size_t(x)][size_t(row)] = {channel(&Rgba::r), channel(&Rgba::g), channel(&Rgba::b),
                                                  channel(&Rgba::a)};
        }
    }
    for (int y = 0; y < h; ++y) {
        const double v = (y + 0.5) / h;
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const auto &rc = rowColours[size_t(x)];
            auto channel = [&](double Rgba::*member) {
                const double values[3] = {rc[0].*member, rc[1].*member, rc[2].*member};
                return std::clamp(rows.value(values, v), 0.0, 1.0);
            };
            const double a = channel(&Rgba::a);
            // The gradient spans few 8-bit levels over many rows: an ordered
            // dither down the rows turns the steps between levels into a fine
            // texture instead of bands.
            const double threshold = (kRowDither[y % 16] + 0.5) / 16.0;
            auto level = [&](double premul, double under) {
                const double v = 255.0 * std::clamp(premul + under * (1.0 - a), 0.0, 1.0);
                return std::clamp(int(std::floor(v + threshold)), 0, 255);
            };
            line[x] = qRgb(level(channel(&Rgba::r), background.r), level(channel(&Rgba::g), background.g),
                           level(channel(&Rgba::b), background.b));
        }
    }
    return image;
}

} // namespace nerim
