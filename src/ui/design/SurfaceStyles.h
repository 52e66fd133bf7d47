#pragma once

#include "ui/design/NmPainter.h"

#include <QColor>

class QPainter;

namespace nerim {

// The look of one of the two raised surfaces in one focus state, from the
// bottom layer up: the material stand-in, the paper fill, the inside stroke;
// and the shadow it casts (painted by its parent).
struct NmSurfaceLook {
    NmShape shape;
    QColor material; // translucent paper standing in for a frosted backdrop
    QColor fill;
    qreal strokeWidth = 0.5;
    QColor stroke;
    NmShadow shadow;
};

// Qt Widgets cannot blur what lies behind a widget, so the frosted materials
// are drawn as translucent paper that lets the background show through softly.
namespace SurfaceStyles {
inline constexpr double kRegularMaterialOpacity = 0.5; // pane surfaces
inline constexpr double kThinMaterialOpacity = 0.3;    // the prompt bar
inline constexpr double kPaneCornerRadius = 14.0;

// Rounded rectangle (radius 14, continuous corners) for panes, panels, cards
// and the sidebar.
NmSurfaceLook pane(bool focused);
// Capsule for the prompt bar; focus swaps the stroke to the brass accent.
NmSurfaceLook promptBar(bool focused);
// The shadow both surfaces cast.
NmShadow shadow(bool focused);

// The look part of the way (`progress`, 0 to 1) from `from` to `to`: colours
// and the shadow's radius and offset mixed linearly; the shape is `to`'s.
// Used while a surface's focus changes.
NmSurfaceLook between(const NmSurfaceLook &from, const NmSurfaceLook &to, double progress);

// Paints the look's material, fill and stroke over `rect` (not the shadow).
void paint(QPainter &painter, const NmSurfaceLook &look, const QRectF &rect);
// The same picture drawn from a small cached image of the look, in nine
// slices (see NmPainter::drawNineSlice): one image per shape and look serves
// every surface of any size, and drawing it again costs a few small copies.
// For surfaces at rest; one whose look is changing is painted directly.
void paintSliced(QPainter &painter, const NmSurfaceLook &look, const QRectF &rect);
// Paints the shadow the surface over `rect` casts, scaled in opacity by
// `opacity`. Only the part outside the surface is painted: seen through the
// translucent surface, the smooth shadow would show 8-bit contour lines.
void paintShadow(QPainter &painter, const NmSurfaceLook &look, const QRectF &rect, qreal opacity = 1.0);
// The shadow of a surface part of the way (`progress`, 0 to 1) from `from`'s
// look to `to`'s: the two looks' shadows faded into each other, so a focus
// change draws from the two shadow images the surface keeps at rest instead
// of blurring one for every step in between.
void paintShadowBetween(QPainter &painter, const NmSurfaceLook &from, const NmSurfaceLook &to, double progress,
                        const QRectF &rect, qreal opacity = 1.0);
} // namespace SurfaceStyles

} // namespace nerim
