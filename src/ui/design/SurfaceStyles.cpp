#include "ui/design/SurfaceStyles.h"

#include "ui/design/Colors.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>

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

void paint(QPainter &painter, const NmSurfaceLook &look, const QRectF &rect)
{
    NmPainter::fill(painter, look.shape, rect, look.material);
    NmPainter::fill(painter, look.shape, rect, look.fill);
    NmPainter::strokeInside(painter, look.shape, rect, look.strokeWidth, look.stroke);
}

void paintShadow(QPainter &painter, const NmSurfaceLook &look, const QRectF &rect, qreal opacity)
{
    if (opacity <= 0.0 || rect.isEmpty())
        return;
    NmShadow shadow = look.shadow;
    shadow.color.setAlphaF(float(shadow.color.alphaF() * std::min<qreal>(opacity, 1.0)));
    QPainterPath outside;
    outside.addRect(shadow.bounds(rect).adjusted(-1, -1, 1, 1));
    // Half a point inside the edge, so the clip's own (aliased) edge hides under
    // the surface's stroke.
    outside = outside.subtracted(look.shape.insetPath(rect, 0.5));
    painter.save();
    painter.setClipPath(outside, Qt::IntersectClip);
    NmPainter::paintShadow(painter, look.shape, rect, shadow);
    painter.restore();
}

} // namespace nerim::SurfaceStyles
