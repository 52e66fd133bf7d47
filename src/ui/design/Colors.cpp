#include "ui/design/Colors.h"

#include <algorithm>

namespace nerim {

QColor qColor(NmRgb rgb, double opacity)
{
    QColor color(rgb.red, rgb.green, rgb.blue);
    color.setAlphaF(float(std::clamp(opacity, 0.0, 1.0)));
    return color;
}

} // namespace nerim
