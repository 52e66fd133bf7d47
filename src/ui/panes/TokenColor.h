#pragma once

#include "foundation/NmColor.h"

namespace nerim {

// A palette token at an opacity: what a look function says a thing is drawn in.
struct TokenColor {
    NmRgb rgb;
    double opacity = 1.0;
    friend constexpr bool operator==(TokenColor, TokenColor) = default;
};

} // namespace nerim
