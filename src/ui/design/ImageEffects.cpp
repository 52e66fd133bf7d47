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
    // Rounded division by `width` as a multiplication: exact while a sum
    // times the width stays below 2^32 (boxes of up to 4,000 pixels).
    const quint64 reciprocal = ((quint64(1) << 32) + quint64(width) - 1) / quint64(width);
    const auto divided = [reciprocal, half = quint64(width / 2)](quint32 sum) {
        return uint(((quint64(sum) + half) * reciprocal) >> 32);
    };
    quint32 a = 0, r = 0, g = 0, b = 0;
    const auto add = [&](QRgb p) {
        a += qAlpha(p);
        r += qRed(p);
        g += qGreen(p);
        b += qBlue(p);
    };
    const auto remove = [&](QRgb p) {
        a -= qAlpha(p);
        r -= qRed(p);
        g -= qGreen(p);
        b -= qBlue(p);
    };
    for (int i = 0; i <= radius && i < count; ++i)
        add(source[i]);
    for (int i = 0; i < count; ++i) {
        target[i * stride] = qRgba(divided(r), divided(g), divided(b), divided(a));
        const int incoming = i + radius + 1;
        const int outgoing = i - radius;
        if (incoming < count)
            add(source[incoming]);
        if (outgoing >= 0)
            remove(source[outgoing]);
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

QImage shrunk(const QImage &image, int factor)
{
    if (factor <= 1 || image.isNull())
        return image;
    const QImage source = image.format() == QImage::Format_ARGB32_Premultiplied
                              ? image
                              : image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const int w = (source.width() + factor - 1) / factor;
    const int h = (source.height() + factor - 1) / factor;
    QImage result(w, h, QImage::Format_ARGB32_Premultiplied);
    const int sourceWidth = source.width();
    const int sourceHeight = source.height();
    std::vector<quint32> sums(size_t(w) * 4);
    for (int y = 0; y < h; ++y) {
        std::fill(sums.begin(), sums.end(), 0u);
        const int top = y * factor;
        const int rows = std::min(factor, sourceHeight - top);
        for (int sy = top; sy < top + rows; ++sy) {
            const auto *line = reinterpret_cast<const QRgb *>(source.constScanLine(sy));
            for (int x = 0; x < sourceWidth; ++x) {
                quint32 *sum = &sums[size_t(x / factor) * 4];
                const QRgb p = line[x];
                sum[0] += qAlpha(p);
                sum[1] += qRed(p);
                sum[2] += qGreen(p);
                sum[3] += qBlue(p);
            }
        }
        auto *out = reinterpret_cast<QRgb *>(result.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const int columns = std::min(factor, sourceWidth - x * factor);
            const quint32 count = quint32(columns * rows);
            const quint32 *sum = &sums[size_t(x) * 4];
            out[x] = qRgba((sum[1] + count / 2) / count, (sum[2] + count / 2) / count, (sum[3] + count / 2) / count,
                           (sum[0] + count / 2) / count);
        }
    }
    return result;
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
