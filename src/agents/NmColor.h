#pragma once

#include <QString>

namespace nerim {

// A fixed, fully opaque sRGB colour given by its three 8-bit components.
struct NmRgb {
    int red = 0;
    int green = 0;
    int blue = 0;

    constexpr double redF() const { return red / 255.0; }
    constexpr double greenF() const { return green / 255.0; }
    constexpr double blueF() const { return blue / 255.0; }
    // "#RRGGBB", upper-case hexadecimal.
    QString hexName() const
    {
        return QStringLiteral("#%1%2%3")
            .arg(red, 2, 16, QLatin1Char('0'))
            .arg(green, 2, 16, QLatin1Char('0'))
            .arg(blue, 2, 16, QLatin1Char('0'))
            .toUpper();
    }

    friend constexpr bool operator==(NmRgb, NmRgb) = default;
};

// The colour tokens in which agent statuses are drawn. The design system owns the
// full palette; these are the ones the agent runtime refers to.
namespace NmColor {
inline constexpr NmRgb neutral{0x8B, 0x84, 0x79};
inline constexpr NmRgb warning{0xB8, 0x89, 0x5C};
inline constexpr NmRgb success{0x5A, 0x7B, 0x4E};
inline constexpr NmRgb danger{0xA3, 0x4A, 0x3E};
inline constexpr NmRgb inkTertiary{0xA6, 0x9E, 0x8E};
} // namespace NmColor

} // namespace nerim
