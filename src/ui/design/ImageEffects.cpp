#include "ui/design/ImageEffects.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace nerim {

namespace {

// Widths of three successive box filters whose combination approximates a
// Gaussian of the given sigma.
std::array<int, 3> boxWidths(double sigma)
{
    const int passes = 3;
    const double ideal = std::sqrt(12.0 * sigma * sigma / passes + 1.0);
    int lower = int(std::floor(ideal));
    if (lower % 2 == 0)
        --lower;
    const int upper = lower + 2;
    const double m = (12.0 * sigma * sigma - passes * lower * lower - 4.0 * passes * lower - 3.0 * passes) /
                     (-4.0 * lower - 4.0);
    const int lowerCount = int(std::lround(m));
    std::array<int, 3> widths{};
    for (int i = 0; i < passes; ++i)
        widths[i] = i < lowerCount ? lower : upper;
    return widths;
}

// One box pass along a line of `count` pixels, read from contiguous `source`
// and written `stride` pixels apart into `target`, with transparent pixels
// beyond both ends.
void boxLine(const QRgb *source, QRgb *target, int count, int stride, int radius)
{
    const int width = 2 * radius + 1;
    int sum[4] = {0, 0, 0, 0};
    auto add = [&](QRgb p, int sign) {
        sum[0] += sign * int(qAlpha(p));
        sum[1] += sign * int(qRed(p));
        sum[2] += sign * int(qGreen(p));
        sum[3] += sign * int(qBlue(p));
    };
    for (int i = 0; i <= radius && i < count; ++i)
        add(source[i], 1);
    for (int i = 0; i < count; ++i) {
        target[i * stride] = qRgba((sum[1] + width / 2) / width, (sum[2] + width / 2) / width,
                                   (sum[3] + width / 2) / width, (sum[0] + width / 2) / width);
        const int incoming = i + radius + 1;
        const int outgoing = i - radius;
        if (incoming < count)
            add(source[incoming], 1);
        if (outgoing >= 0)
            add(source[outgoing], -1);
    }
}

} // namespace

void gaussianBlur(QImage &image, double sigma)
{
    if (sigma < 0.5 || image.isNull())
        return;
    if (image.format() != QImage::Format_ARGB32_Premultiplied)
        image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const int w = image.width();
    const int h = image.height();
    const int stride = int(image.bytesPerLine() / sizeof(QRgb));
    auto *pixels = reinterpret_cast<QRgb *>(image.bits());
    std::vector<QRgb> line(size_t(std::max(w, h)));

    for (int width : boxWidths(sigma)) {
        const int radius = (width - 1) / 2;
        if (radius <= 0)
            continue;
        for (int y = 0; y < h; ++y) {
            QRgb *row = pixels + y * stride;
            std::copy(row, row + w, line.begin());
            boxLine(line.data(), row, w, 1, radius);
        }
        for (int x = 0; x < w; ++x) {
            for (int y = 0; y < h; ++y)
                line[size_t(y)] = pixels[y * stride + x];
            boxLine(line.data(), pixels + x, h, stride, radius);
        }
    }
}

void addBrightness(QImage &image, double amount)
{
    if (amount == 0.0 || image.isNull())
        return;
    if (image.format() != QImage::Format_ARGB32_Premultiplied)
        image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const int add = int(std::lround(amount * 255.0));
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = line[x];
            const int a = qAlpha(p);
            if (a == 0)
                continue;
            const int delta = (add * a + 127) / 255;
            auto channel = [&](int c) { return std::clamp(c + delta, 0, a); };
            line[x] = qRgba(channel(qRed(p)), channel(qGreen(p)), channel(qBlue(p)), a);
        }
    }
}

} // namespace nerim
