#pragma once

#include "foundation/NmColor.h"

#include <QColor>

namespace nerim {

// The QColor of a palette token, in sRGB, optionally at an opacity (0…1).
// Components are the token's bytes divided by 255, exactly.
QColor qColor(NmRgb rgb, double opacity = 1.0);

} // namespace nerim
