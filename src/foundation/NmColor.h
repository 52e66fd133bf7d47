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

// The application's palette: every colour a screen draws with is one of these.
// The values are plain data so that layers without widgets (agent statuses, for
// one) can name a colour; ui/design turns them into QColors.
// ink/inkSurface and paper/atmosphereBase share a value but are separate tokens:
// a later change to one must not move the other.
namespace NmColor {
// Paper: backgrounds and surface fills.
inline constexpr NmRgb paper{245, 241, 232};
inline constexpr NmRgb paperBright{251, 248, 241};
inline constexpr NmRgb paperShade{239, 233, 220};
inline constexpr NmRgb inkSurface{27, 23, 18};
// The drifting window background.
inline constexpr NmRgb mist{214, 226, 232};
inline constexpr NmRgb sand{239, 229, 216};
inline constexpr NmRgb atmosphereBase{245, 241, 232};
// Text and lines.
inline constexpr NmRgb ink{27, 23, 18};
inline constexpr NmRgb inkSecondary{106, 98, 82};
inline constexpr NmRgb inkTertiary{166, 158, 142};
inline constexpr NmRgb hairline{199, 192, 176};
// Accents and statuses.
inline constexpr NmRgb accent{176, 138, 80};
inline constexpr NmRgb accentSoft{232, 217, 191};
inline constexpr NmRgb success{90, 123, 78};
inline constexpr NmRgb warning{184, 137, 92};
inline constexpr NmRgb danger{163, 74, 62};
inline constexpr NmRgb neutral{139, 132, 121};
} // namespace NmColor

} // namespace nerim
