#include "ui/design/SurfaceStyles.h"

#include "ui/design/Colors.h"

#include <QList>
#include <QMutex>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace nerim::SurfaceStyles {

namespace {

constexpr qreal kStrokeWidth = 0.5;
constexpr double kShadowOpacityFocused = 0.09;
constexpr double kShadowOpacity = 0.06;
constexpr qreal kShadowRadiusFocused = 32;
constexpr qreal kShadowRadius = 24;
constexpr qreal kShadowOffsetY = 8;

} // namespace

NmShadow shadow(bool focused)
{
    // The shadow colour is ink's value, written out: it is not a themed token.
    QColor colour(0x1B, 0x17, 0x12);
    colour.setAlphaF(float(focused ? kShadowOpacityFocused : kShadowOpacity));
    return NmShadow{colour, focused ? kShadowRadiusFocused : kShadowRadius, QPointF(0, kShadowOffsetY)};
}

NmSurfaceLook pane(bool focused)
{
    NmSurfaceLook look;
    look.shape = NmShape::roundedRect(kPaneCornerRadius);
    look.material = qColor(NmColor::paper, kRegularMaterialOpacity);
    look.fill = qColor(NmColor::paperBright, focused ? 0.72 : 0.62);
    look.strokeWidth = kStrokeWidth;
    look.stroke = qColor(NmColor::hairline, 0.25);
    look.shadow = shadow(focused);
    return look;
}

NmSurfaceLook promptBar(bool focused)
{
    NmSurfaceLook look;
    look.shape = NmShape::capsule();
    look.material = qColor(NmColor::paper, kThinMaterialOpacity);
    look.fill = qColor(NmColor::paperBright, focused ? 0.62 : 0.42);
    look.strokeWidth = kStrokeWidth;
    look.stroke = focused ? qColor(NmColor::accent, 0.35) : qColor(NmColor::hairline, 0.3);
    look.shadow = shadow(focused);
    return look;
}

namespace {

QColor mixColor(const QColor &from, const QColor &to, double t)
{
    const auto mix = [t](float a, float b) { return a + (b - a) * float(t); };
    return QColor::fromRgbF(mix(from.redF(), to.redF()), mix(from.greenF(), to.greenF()),
                            mix(from.blueF(), to.blueF()), mix(from.alphaF(), to.alphaF()));
}

} // namespace

NmSurfaceLook between(const NmSurfaceLook &from, const NmSurfaceLook &to, double progress)
{
    const double t = std::clamp(progress, 0.0, 1.0);
    if (t <= 0.0)
        return from;
    if (t >= 1.0)
        return to;
    NmSurfaceLook look = to;
    look.material = mixColor(from.material, to.material, t);
    look.fill = mixColor(from.fill, to.fill, t);
    look.strokeWidth = from.strokeWidth + (to.strokeWidth - from.strokeWidth) * t;
    look.stroke = mixColor(from.stroke, to.stroke, t);
    look.shadow.color = mixColor(from.shadow.color, to.shadow.color, t);
    look.shadow.radius = from.shadow.radius + (to.shadow.radius - from.shadow.radius) * t;
    look.shadow.offset = from.shadow.offset + (to.shadow.offset - from.shadow.offset) * t;
    return look;
}

void paint(QPainter &painter, const NmSurfaceLook &look, const QRectF &rect)
{
    NmPainter::fill(painter, look.shape, rect, look.material);
    NmPainter::fill(painter, look.shape, rect, look.fill);
    NmPainter::strokeInside(painter, look.shape, rect, look.strokeWidth, look.stroke);
}

namespace {

// What a sliced image is drawn from.
struct SliceKey {
    int kind = 0;
    qreal extent = 0;
    QSizeF source;
    QRgb material = 0;
    QRgb fill = 0;
    QRgb stroke = 0;
    qreal strokeWidth = 0;
    qreal dpr = 1;
    friend bool operator==(const SliceKey &, const SliceKey &) = default;
};

// The images of the last looks drawn, the newest first: a window shows a
// handful of looks, found here without building a key text on every paint.
constexpr qsizetype kSlicedLooksKept = 32;
QMutex slicedLookMutex;
QList<std::pair<SliceKey, QImage>> &slicedLooks()
{
    static QList<std::pair<SliceKey, QImage>> images;
    return images;
}

} // namespace

void paintSliced(QPainter &painter, const NmSurfaceLook &look, const QRectF &rect)
{
    if (rect.isEmpty())
        return;
    // The corners as drawn, and a point beyond them on each side: the
    // stretched middle of the image is straight edge and flat fill.
    const qreal extent = look.shape.cornerExtent(rect);
    const qreal corner = std::ceil(extent) + 1;
    const qreal sliceLength = 2 * corner + 2;
    const bool sliceX = rect.width() > sliceLength;
    const bool sliceY = rect.height() > sliceLength;
    if (!sliceX && !sliceY) {
        paint(painter, look, rect);
        return;
    }
    const QSizeF source(sliceX ? sliceLength : rect.width(), sliceY ? sliceLength : rect.height());
    const qreal dpr = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const SliceKey key{int(look.shape.kind), extent,           source,           look.material.rgba(),
                       look.fill.rgba(),     look.stroke.rgba(), look.strokeWidth, dpr};
    QImage image;
    {
        QMutexLocker lock(&slicedLookMutex);
        QList<std::pair<SliceKey, QImage>> &images = slicedLooks();
        const auto found = std::find_if(images.begin(), images.end(),
                                        [&](const std::pair<SliceKey, QImage> &entry) { return entry.first == key; });
        if (found != images.end()) {
            image = found->second;
            if (found != images.begin())
                std::rotate(images.begin(), found, found + 1);
        }
    }
    if (image.isNull()) {
        image = QImage(QSize(int(std::ceil(source.width() * dpr)), int(std::ceil(source.height() * dpr))),
                       QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(dpr);
        image.fill(Qt::transparent);
        {
            QPainter p(&image);
            paint(p, look, QRectF(QPointF(0, 0), source));
        }
        QMutexLocker lock(&slicedLookMutex);
        QList<std::pair<SliceKey, QImage>> &images = slicedLooks();
        images.prepend({key, image});
        if (images.size() > kSlicedLooksKept)
            images.removeLast();
    }
    painter.save();
    // At a whole device pixel ratio every slice lands on whole pixels and the
    // stretched ones are the same all along: no filtering needed.
    painter.setRenderHint(QPainter::SmoothPixmapTransform, dpr != std::floor(dpr));
    NmPainter::drawNineSlice(painter, image, source, rect,
                             QSizeF(sliceX ? corner : source.width() / 2, sliceY ? corner : source.height() / 2));
    painter.restore();
}

namespace {

// Paints `look`'s shadow over `rect` outside the surface, for each of
// `parts` (the look's share of the shadow, 0 to 1).
void paintShadowParts(QPainter &painter, const NmSurfaceLook &clipLook,
                      std::initializer_list<std::pair<const NmSurfaceLook *, qreal>> parts, const QRectF &rect,
                      qreal opacity)
{
    if (opacity <= 0.0 || rect.isEmpty())
        return;
    QPainterPath outside;
    QRectF reach;
    for (const auto &[look, share] : parts)
        reach = reach.united(look->shadow.bounds(rect));
    outside.addRect(reach.adjusted(-1, -1, 1, 1));
    // Half a point inside the edge, so the clip's own (aliased) edge hides under
    // the surface's stroke.
    outside = outside.subtracted(clipLook.shape.insetPath(rect, 0.5));
    // What lies that far inside the surface's edge is clipped away whatever
    // the corners: the shadow's middle there (most of its area, and the
    // dearest part to draw through the clip) is not drawn at all.
    const qreal inside = clipLook.shape.cornerExtent(rect) + 1.5;
    const QRectF hidden = rect.adjusted(inside, inside, -inside, -inside);
    painter.save();
    painter.setClipPath(outside, Qt::IntersectClip);
    for (const auto &[look, share] : parts) {
        if (share <= 0.0)
            continue;
        NmShadow shadow = look->shadow;
        shadow.color.setAlphaF(float(shadow.color.alphaF() * std::min<qreal>(opacity, 1.0) * share));
        NmPainter::paintShadow(painter, look->shape, rect, shadow, hidden);
    }
    painter.restore();
}

} // namespace

void paintShadow(QPainter &painter, const NmSurfaceLook &look, const QRectF &rect, qreal opacity)
{
    paintShadowParts(painter, look, {{&look, 1.0}}, rect, opacity);
}

void paintShadowBetween(QPainter &painter, const NmSurfaceLook &from, const NmSurfaceLook &to, double progress,
                        const QRectF &rect, qreal opacity)
{
    const double t = std::clamp(progress, 0.0, 1.0);
    if (t <= 0.0) {
        paintShadow(painter, from, rect, opacity);
        return;
    }
    if (t >= 1.0) {
        paintShadow(painter, to, rect, opacity);
        return;
    }
    paintShadowParts(painter, to, {{&from, 1.0 - t}, {&to, t}}, rect, opacity);
}

} // namespace nerim::SurfaceStyles
