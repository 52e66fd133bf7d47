#pragma once

#include "foundation/NmColor.h"

#include <QImage>
#include <QSize>

#include <array>

namespace nerim {

// The window background: a 3 × 3 mesh gradient over NmColor.paper whose
// middle column drifts sideways (period 45 s) and middle row up and down
// (period 60 s). Points are in the unit square, y growing downwards, single
// precision, row by row from the top.
struct AtmosphereMesh {
    struct Point {
        float x = 0;
        float y = 0;
        friend bool operator==(const Point &, const Point &) = default;
    };
    struct Colour {
        NmRgb rgb;
        float opacity = 1;
        friend bool operator==(const Colour &, const Colour &) = default;
    };
    std::array<Point, 9> points;
    std::array<Colour, 9> colours;
    NmRgb background = NmColor::paper;
};

// The mesh at `t` seconds since 2001-01-01T00:00:00Z; under Reduce Motion the
// mesh of t = 0, whatever `t` is.
AtmosphereMesh atmosphereMesh(double t, bool reduceMotion);

// Seconds since 2001-01-01T00:00:00Z now.
double atmosphereTimeNow();

// The mesh painted over its background into an opaque image of `size`
// pixels, colours interpolated smoothly between the points and dithered down
// the rows. The mesh's columns share their x and its rows their y, as
// atmosphereMesh makes them.
QImage renderAtmosphere(const AtmosphereMesh &mesh, QSize size);

} // namespace nerim
