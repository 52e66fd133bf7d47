#include "ui/design/NmPainter.h"

#include "ui/design/Colors.h"
#include "ui/design/ImageEffects.h"

#include <QCache>
#include <QMutex>
#include <QPainter>
#include <optional>

#include <algorithm>
#include <cmath>

namespace nerim {

namespace {

// A continuous corner starts this many radii away from the corner point.
constexpr qreal kContinuousCornerReach = 1.52866483;

void addContinuousCorners(QPainterPath &path, const QRectF &rect, qreal r)
{
    const qreal l = rect.left();
    const qreal t = rect.top();
    const qreal ri = rect.right();
    const qreal b = rect.bottom();
    const qreal k = kContinuousCornerReach;
    // Each corner is three cubic segments; written for the top-right corner
    // and mirrored for the others.
    struct Corner {
        QPointF origin;
        qreal sx, sy; // direction from the corner into the shape
        bool clockwiseFromHorizontal;
    };
    auto point = [](const QPointF &o, qreal sx, qreal sy, qreal along, qreal across, bool horizontalFirst) {
        // `along` runs back along the incoming edge, `across` into the shape.
        return horizontalFirst ? QPointF(o.x() + sx * along, o.y() + sy * across)
                               : QPointF(o.x() + sx * across, o.y() + sy * along);
    };
    auto corner = [&](const QPointF &o, qreal sx, qreal sy, bool horizontalFirst) {
        auto p = [&](qreal along, qreal across) { return point(o, sx, sy, along, across, horizontalFirst); };
        path.lineTo(p(k * r, 0));
        path.cubicTo(p(1.08849323 * r, 0), p(0.86840689 * r, 0), p(0.66993427 * r, 0.06549600 * r));
        path.cubicTo(p(0.43065100 * r, 0.17223000 * r), p(0.17223000 * r, 0.43065100 * r),
                     p(0.06549600 * r, 0.66993427 * r));
        path.cubicTo(p(0, 0.86840689 * r), p(0, 1.08849323 * r), p(0, k * r));
    };
    path.moveTo(l + k * r, t);
    corner(QPointF(ri, t), -1, 1, true);  // top right: along the top edge, then down
    corner(QPointF(ri, b), -1, -1, false); // bottom right: along the right edge, then left
    corner(QPointF(l, b), 1, -1, true);   // bottom left: along the bottom edge, then up
    corner(QPointF(l, t), 1, 1, false);   // top left: along the left edge, then right
    path.closeSubpath();
}

} // namespace

QPainterPath NmPainter::capsulePath(const QRectF &rect)
{
    QPainterPath path;
    const qreal r = std::min(rect.width(), rect.height()) / 2.0;
    path.addRoundedRect(rect, r, r);
    return path;
}

QPainterPath NmPainter::continuousRoundedRectPath(const QRectF &rect, qreal radius)
{
    QPainterPath path;
    const qreal half = std::min(rect.width(), rect.height()) / 2.0;
    if (radius <= 0 || half <= 0) {
        path.addRect(rect);
        return path;
    }
    if (radius * kContinuousCornerReach > half) {
        const qreal r = std::min(radius, half);
        path.addRoundedRect(rect, r, r);
        return path;
    }
    addContinuousCorners(path, rect, radius);
    return path;
}

QPainterPath NmShape::path(const QRectF &r) const
{
    switch (kind) {
    case Kind::continuousRoundedRect: return NmPainter::continuousRoundedRectPath(r, radius);
    case Kind::capsule: return NmPainter::capsulePath(r);
    case Kind::rect: break;
    }
    QPainterPath p;
    p.addRect(r);
    return p;
}

QPainterPath NmShape::insetPath(const QRectF &r, qreal inset) const
{
    const QRectF inner = r.adjusted(inset, inset, -inset, -inset);
    if (kind == Kind::continuousRoundedRect)
        return NmPainter::continuousRoundedRectPath(inner, std::max<qreal>(0, radius - inset));
    return NmShape{kind, radius}.path(inner);
}

qreal NmShape::cornerExtent(const QRectF &r) const
{
    const qreal half = std::min(r.width(), r.height()) / 2.0;
    switch (kind) {
    case Kind::continuousRoundedRect:
        return radius * kContinuousCornerReach > half ? std::min(radius, half) : radius * kContinuousCornerReach;
    case Kind::capsule: return half;
    case Kind::rect: break;
    }
    return 0;
}

qreal NmShadow::spread() const
{
    // Three standard deviations hold all but a sliver of the blur.
    return std::ceil(3.0 * radius / 2.0);
}

QRectF NmShadow::bounds(const QRectF &rect) const
{
    const qreal s = spread();
    return rect.adjusted(-s, -s, s, s).translated(offset);
}

QVector<qreal> NmPainter::dashPattern(std::initializer_list<qreal> points, qreal penWidth)
{
    return dashPattern(QVector<qreal>(points), penWidth);
}

QVector<qreal> NmPainter::dashPattern(const QVector<qreal> &points, qreal penWidth)
{
    QVector<qreal> pattern;
    pattern.reserve(points.size());
    const qreal width = penWidth > 0 ? penWidth : 1.0;
    for (qreal p : points)
        pattern.append(p / width);
    return pattern;
}

void NmPainter::fill(QPainter &painter, const NmShape &shape, const QRectF &rect, const QColor &color)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawPath(shape.path(rect));
    painter.restore();
}

void NmPainter::strokeInside(QPainter &painter, const NmShape &shape, const QRectF &rect, qreal width,
                             const QColor &color, const QVector<qreal> &dashes)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(color, width);
    pen.setCapStyle(Qt::FlatCap);
    pen.setJoinStyle(Qt::MiterJoin);
    if (!dashes.isEmpty())
        pen.setDashPattern(dashPattern(dashes, width));
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(shape.insetPath(rect, width / 2.0));
    painter.restore();
}

void NmPainter::focusRing(QPainter &painter, const NmShape &shape, const QRectF &rect)
{
    constexpr qreal kWidth = 2;
    strokeInside(painter, shape, rect, kWidth, qColor(NmColor::accent));
}

namespace {

struct ShadowImage {
    QImage image; // the blurred shape, at the device pixel ratio
};

QMutex shadowCacheMutex;
QCache<QString, ShadowImage> &shadowCache()
{
    static QCache<QString, ShadowImage> cache(64);
    return cache;
}

// The blurred image of the shape at `size` in `colour` at full opacity; the
// shadow's opacity is applied when it is drawn, so one image serves every
// opacity (a focus change fades the opacity) and keeps its smooth gradient.
//
// A shadow is a wide blur: it is kept at a fraction of the device's
// resolution, a few pixels per standard deviation of the blur, and drawn
// scaled up smoothly. It looks the same and costs a fraction to blur and hold.
QImage renderShadow(const NmShape &shape, const QSizeF &size, const QColor &colour, qreal radius, qreal spread,
                    qreal dpr)
{
    constexpr qreal kPixelsPerDeviation = 3;
    const qreal sigma = radius / 2.0 * dpr; // in device pixels
    const qreal reduction = std::max<qreal>(1, std::floor(sigma / kPixelsPerDeviation));
    const qreal scale = dpr / reduction; // image pixels per point
    const QSizeF full(size.width() + 2 * spread, size.height() + 2 * spread);
    QImage image(QSize(int(std::ceil(full.width() * scale)), int(std::ceil(full.height() * scale))),
                 QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        p.scale(scale, scale);
        NmPainter::fill(p, shape, QRectF(QPointF(spread, spread), size), colour);
    }
    gaussianBlur(image, sigma / reduction);
    image.setDevicePixelRatio(scale);
    return image;
}

QString cacheKey(const NmShape &shape, qreal cornerRadius, const QSizeF &size, QRgb colour, qreal radius, qreal dpr)
{
    return QStringLiteral("%1/%2/%3x%4/%5/%6/%7")
        .arg(int(shape.kind))
        .arg(cornerRadius)
        .arg(size.width())
        .arg(size.height())
        .arg(colour, 0, 16)
        .arg(radius)
        .arg(dpr);
}

} // namespace

int NmPainter::shadowImageCount()
{
    QMutexLocker lock(&shadowCacheMutex);
    return int(shadowCache().count());
}

void NmPainter::paintShadow(QPainter &painter, const NmShape &shape, const QRectF &rect, const NmShadow &shadow,
                            const QRectF &hidden)
{
    if (rect.isEmpty() || shadow.color.alpha() == 0)
        return;
    const qreal dpr = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const qreal spread = shadow.spread();
    const qreal corner = std::ceil(shape.cornerExtent(rect)) + 1;

    // Along each axis where the corners leave a long enough straight stretch,
    // the shadow is drawn from a short source whose middle is stretched (nine
    // slices); along an axis without one the source has the full length. The
    // source's middle lies a full blur spread away from the corners, so its
    // profile is that of an endless straight edge.
    const qreal sliceLength = 2 * (corner + spread) + 2;
    const bool sliceX = rect.width() > sliceLength;
    const bool sliceY = rect.height() > sliceLength;
    const QSizeF sourceSize(sliceX ? sliceLength : rect.width(), sliceY ? sliceLength : rect.height());
    QColor colour = shadow.color;
    colour.setAlpha(255);
    const QString key = cacheKey(shape, shape.cornerExtent(rect), sourceSize, colour.rgb(), shadow.radius, dpr);

    QImage image;
    {
        QMutexLocker lock(&shadowCacheMutex);
        if (ShadowImage *cached = shadowCache().object(key))
            image = cached->image;
    }
    if (image.isNull()) {
        image = renderShadow(shape, sourceSize, colour, shadow.radius, spread, dpr);
        QMutexLocker lock(&shadowCacheMutex);
        shadowCache().insert(key, new ShadowImage{image});
    }

    const QSizeF source(sourceSize.width() + 2 * spread, sourceSize.height() + 2 * spread);
    const QSizeF slice(sliceX ? corner + 2 * spread : source.width() / 2,
                       sliceY ? corner + 2 * spread : source.height() / 2);
    painter.save();
    painter.setRenderHint(QPainter::SmoothPixmapTransform); // the image is kept at a lower resolution
    painter.setOpacity(painter.opacity() * shadow.color.alphaF());
    drawNineSlice(painter, image, source, shadow.bounds(rect), slice, hidden);
    painter.restore();
}

namespace {

// The colour of every pixel of `area` of a premultiplied image, if they are
// all the same (only small areas are looked at).
std::optional<QColor> uniformColour(const QImage &image, QRect area)
{
    area &= image.rect();
    if (area.isEmpty() || area.width() * area.height() > 64 || image.format() != QImage::Format_ARGB32_Premultiplied)
        return std::nullopt;
    const QRgb first = reinterpret_cast<const QRgb *>(image.constScanLine(area.top()))[area.left()];
    for (int y = area.top(); y <= area.bottom(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = area.left(); x <= area.right(); ++x)
            if (line[x] != first)
                return std::nullopt;
    }
    return QColor::fromRgba(qUnpremultiply(first));
}

} // namespace

void NmPainter::drawNineSlice(QPainter &painter, const QImage &image, const QSizeF &source, const QRectF &target,
                              const QSizeF &corner, const QRectF &hidden)
{
    const qreal mx = corner.width();
    const qreal my = corner.height();
    const qreal xs[4] = {0, mx, source.width() - mx, source.width()};
    const qreal ys[4] = {0, my, source.height() - my, source.height()};
    const qreal xt[4] = {target.left(), target.left() + mx, target.right() - mx, target.right()};
    const qreal yt[4] = {target.top(), target.top() + my, target.bottom() - my, target.bottom()};
    const qreal scale = image.devicePixelRatio(); // image pixels per point
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 3; ++col) {
            if (xs[col + 1] <= xs[col] || ys[row + 1] <= ys[row])
                continue;
            const QRectF s(QPointF(xs[col] * scale, ys[row] * scale), QPointF(xs[col + 1] * scale, ys[row + 1] * scale));
            const QRectF t(QPointF(xt[col], yt[row]), QPointF(xt[col + 1], yt[row + 1]));
            if (hidden.isValid() && hidden.contains(t))
                continue;
            // The middle is stretched most: when it is one colour, it is filled.
            if (row == 1 && col == 1) {
                if (const std::optional<QColor> colour = uniformColour(image, s.toAlignedRect())) {
                    painter.fillRect(t, *colour);
                    continue;
                }
            }
            painter.drawImage(t, image, s);
        }
    }
}

} // namespace nerim
