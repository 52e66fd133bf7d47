#pragma once

#include <QEasingCurve>
#include <QFont>
#include <QString>

namespace nerim {

// Family names of the fonts the application draws with.
namespace NmFontFamily {
// Debian's fonts-inter ships Inter as static files under this family name.
inline const QString inter = QStringLiteral("Inter");
} // namespace NmFontFamily

// One type token: a size in points (device-independent pixels), a weight and
// whether it is the monospaced face.
struct NmFontSpec {
    double size = 13;
    QFont::Weight weight = QFont::Normal;
    bool monospaced = false;
};

// The type scale. QFont values for these live in NmFont (Font.h).
namespace NmFontSpecs {
inline constexpr NmFontSpec display{48, QFont::Thin, false};
inline constexpr NmFontSpec largeTitle{28, QFont::Light, false};
inline constexpr NmFontSpec title{22, QFont::Light, false};
inline constexpr NmFontSpec subtitle{15, QFont::Normal, false};
inline constexpr NmFontSpec body{13, QFont::Normal, false};
inline constexpr NmFontSpec bodyMedium{13, QFont::Medium, false};
inline constexpr NmFontSpec caption{11, QFont::Normal, false};
inline constexpr NmFontSpec captionMedium{11, QFont::Medium, false};
inline constexpr NmFontSpec micro{9.5, QFont::Medium, false};
inline constexpr NmFontSpec mono{12, QFont::Normal, true};
inline constexpr NmFontSpec monoSmall{11, QFont::Normal, true};
} // namespace NmFontSpecs

// A damped spring that settles from 0 to 1, described the way designers tune
// it: `response` is the period in seconds of the undamped oscillation and
// `damping` the damping ratio (1 = critically damped, no overshoot).
struct NmSpring {
    double response = 0.35;
    double damping = 1.0;

    double angularFrequency() const; // ω₀ = 2π ÷ response
    // Position at `seconds` after release from 0 with no initial velocity.
    double value(double seconds) const;
    // The time after which the position stays within `tolerance` of 1.
    double settleTime(double tolerance = 0.001) const;

    friend constexpr bool operator==(const NmSpring &, const NmSpring &) = default;
};

// What drives an animation: an easing curve over a duration. Springs become a
// custom curve whose duration is the spring's settle time.
struct NmAnimation {
    QEasingCurve curve;
    int durationMs = 0;

    // The ease-in-out timing curve (cubic Bézier 0.42, 0, 0.58, 1).
    static NmAnimation easeInOut(double seconds);
};

// The values of a view on its way in or out: Gaussian blur radius in points,
// opacity and uniform scale about the centre.
struct MaterializeValues {
    double blur = 0;
    double opacity = 1;
    double scale = 1;

    // Linear mix: `progress` 0 gives `from`, 1 gives `to`. Blur never goes below
    // 0 and opacity stays within 0…1, even when a spring overshoots.
    static MaterializeValues interpolate(const MaterializeValues &from, const MaterializeValues &to,
                                         double progress);
    bool isIdentity() const;
    friend bool operator==(const MaterializeValues &, const MaterializeValues &) = default;
};

// An insertion or removal: the look at the "away" end, shown before an
// insertion and after a removal. The other end is always the identity.
struct NmTransition {
    MaterializeValues away;
    friend bool operator==(const NmTransition &, const NmTransition &) = default;
};

namespace NmMotion {
inline constexpr NmSpring standardSpring{0.35, 0.95};
inline constexpr NmSpring quickSpring{0.2, 1.0};
// Larger regions: panes, panels, onboarding steps, the preview.
const NmAnimation &standard();
// Hover and small state changes: pills, cards, buttons, the prompt bar.
const NmAnimation &quick();
// Panes and panels come into view from blurred, transparent and slightly small.
NmTransition materialize();
NmTransition opacity();
} // namespace NmMotion

} // namespace nerim
