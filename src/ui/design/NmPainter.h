#pragma once

#include <QColor>
#include <QPainterPath>
#include <QPen>
#include <QPointF>
#include <QRectF>
#include <QVector>

#include <initializer_list>

class QPainter;

namespace nerim {

// The outline shapes the design draws: rounded rectangles with continuous
// (squircle) corners, capsules (fully rounded ends) and plain rectangles.
struct NmShape {
    enum class Kind { continuousRoundedRect, capsule, rect };
    Kind kind = Kind::rect;
    qreal radius = 0; // corner radius of a rounded rectangle

    static NmShape roundedRect(qreal radius) { return {Kind::continuousRoundedRect, radius}; }
    static NmShape capsule() { return {Kind::capsule, 0}; }
    static NmShape rect() { return {Kind::rect, 0}; }

    QPainterPath path(const QRectF &rect) const;
    // The same shape drawn `inset` further in on every side, its corners
    // following the original's (what an inside stroke traces).
    QPainterPath insetPath(const QRectF &rect, qreal inset) const;
    // How far from each corner the outline departs from the straight edges.
    qreal cornerExtent(const QRectF &rect) const;

    friend bool operator==(const NmShape &, const NmShape &) = default;
};

// A drop shadow: colour (with its opacity in the alpha), blur radius in points
// (the Gaussian's sigma is half of it) and offset.
struct NmShadow {
    QColor color;
    qreal radius = 0;
    QPointF offset;

    // How far beyond the shape the shadow reaches on each side, before the offset.
    qreal spread() const;
    // The area a shadow of `rect` paints.
    QRectF bounds(const QRectF &rect) const;
    friend bool operator==(const NmShadow &, const NmShadow &) = default;
};

namespace NmPainter {

// A capsule: a rounded rectangle whose corner radius is half its shorter side.
QPainterPath capsulePath(const QRectF &rect);
// A rounded rectangle with continuous corners (the curvature eases into the
// straight edges). Where the corners would not fit, circular corners of at
// most half the shorter side are used.
QPainterPath continuousRoundedRectPath(const QRectF &rect, qreal radius);

// Qt dash patterns count in pen widths; the design gives dashes in points.
QVector<qreal> dashPattern(std::initializer_list<qreal> points, qreal penWidth);
QVector<qreal> dashPattern(const QVector<qreal> &points, qreal penWidth);

// Fills `shape` over `rect` with `color` (antialiased).
void fill(QPainter &painter, const NmShape &shape, const QRectF &rect, const QColor &color);
// Strokes along the inside edge of `shape`: the line is inset by half its
// width, so it never spills outside the shape. `dashes` (in points) is empty
// for a solid line.
void strokeInside(QPainter &painter, const NmShape &shape, const QRectF &rect, qreal width, const QColor &color,
                  const QVector<qreal> &dashes = {});

// The keyboard focus ring: a 2-point accent line along the inside edge of
// `shape` over `rect` (callers leave room for it around what it surrounds, or
// draw it just inside a card).
void focusRing(QPainter &painter, const NmShape &shape, const QRectF &rect);

// Paints the shadow that `shape` over `rect` casts, from a cached blurred
// image of the shape: nine slices of it, so one image serves every size of the
// shape (only a side too short to slice is drawn whole), and at full opacity,
// so one serves every opacity of the shadow's colour. Slices wholly inside
// `hidden` (a part the caller's clip removes, such as what lies under the
// surface) are not drawn.
void paintShadow(QPainter &painter, const NmShape &shape, const QRectF &rect, const NmShadow &shadow,
                 const QRectF &hidden = QRectF());
// How many blurred shadow images are kept.
int shadowImageCount();

// Draws `image`, a picture of `source` points (at the image's device pixel
// ratio), over `target` in nine slices: `corner.width()` points at its left
// and right and `corner.height()` at its top and bottom as they are, the edges
// between them stretched along their length, the middle stretched both ways.
// A corner of half the source's side leaves no middle on that axis (the
// target then has the source's length there). The stretched parts of the
// source must be the same all along (a straight edge), with a point of the
// same to either side. A slice that falls wholly inside `hidden` is skipped.
void drawNineSlice(QPainter &painter, const QImage &image, const QSizeF &source, const QRectF &target,
                   const QSizeF &corner, const QRectF &hidden = QRectF());

} // namespace NmPainter

} // namespace nerim
