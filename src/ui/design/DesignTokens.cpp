#include "ui/design/DesignTokens.h"

#include <QPointF>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace nerim {

double NmSpring::angularFrequency() const
{
    return 2.0 * std::numbers::pi / response;
}

double NmSpring::value(double t) const
{
    if (t <= 0)
        return 0;
    const double w = angularFrequency();
    const double z = damping;
    if (z < 1.0) {
        const double wd = w * std::sqrt(1.0 - z * z);
        return 1.0 - std::exp(-z * w * t) * (std::cos(wd * t) + (z * w / wd) * std::sin(wd * t));
    }
    if (z == 1.0)
        return 1.0 - std::exp(-w * t) * (1.0 + w * t);
    // Overdamped: the sum of two decaying exponentials.
    const double root = std::sqrt(z * z - 1.0);
    const double r1 = -w * (z - root);
    const double r2 = -w * (z + root);
    const double c1 = r2 / (r1 - r2);
    const double c2 = -r1 / (r1 - r2);
    return 1.0 + c1 * std::exp(r1 * t) + c2 * std::exp(r2 * t);
}

double NmSpring::settleTime(double tolerance) const
{
    // The deviation from 1 is bounded by a decaying envelope; step forwards
    // in milliseconds until the envelope itself is inside the tolerance.
    const double w = angularFrequency();
    const double z = damping;
    auto envelope = [&](double t) {
        if (z < 1.0)
            return std::exp(-z * w * t) / std::sqrt(1.0 - z * z);
        if (z == 1.0)
            return std::exp(-w * t) * (1.0 + w * t);
        return std::abs(1.0 - value(t)); // monotonic without overshoot
    };
    double t = 0;
    while (envelope(t) > tolerance && t < 10.0)
        t += 0.001;
    return t;
}

namespace {

// QEasingCurve takes a plain function, so each spring token gets its own.
// Progress p of the animation maps to the spring's position at p × settle
// time, scaled so that the curve ends exactly at 1.
template <const NmSpring &spring>
qreal springEasing(qreal progress)
{
    static const double settle = spring.settleTime();
    static const double end = spring.value(settle);
    if (progress >= 1.0)
        return 1.0;
    return spring.value(progress * settle) / end;
}

NmAnimation springAnimation(const NmSpring &spring, QEasingCurve::EasingFunction function)
{
    NmAnimation animation;
    animation.curve.setCustomType(function);
    animation.durationMs = int(std::lround(spring.settleTime() * 1000.0));
    return animation;
}

} // namespace

NmAnimation NmAnimation::easeInOut(double seconds)
{
    NmAnimation animation;
    animation.curve = QEasingCurve(QEasingCurve::BezierSpline);
    animation.curve.addCubicBezierSegment(QPointF(0.42, 0.0), QPointF(0.58, 1.0), QPointF(1.0, 1.0));
    animation.durationMs = int(std::lround(seconds * 1000.0));
    return animation;
}

MaterializeValues MaterializeValues::interpolate(const MaterializeValues &from, const MaterializeValues &to,
                                                 double progress)
{
    auto mix = [progress](double a, double b) { return a + (b - a) * progress; };
    MaterializeValues v;
    v.blur = std::max(0.0, mix(from.blur, to.blur));
    v.opacity = std::clamp(mix(from.opacity, to.opacity), 0.0, 1.0);
    v.scale = mix(from.scale, to.scale);
    return v;
}

bool MaterializeValues::isIdentity() const
{
    return blur <= 0.0 && opacity >= 1.0 && scale == 1.0;
}

namespace NmMotion {

const NmAnimation &standard()
{
    static const NmAnimation animation = springAnimation(standardSpring, &springEasing<standardSpring>);
    return animation;
}

const NmAnimation &quick()
{
    static const NmAnimation animation = springAnimation(quickSpring, &springEasing<quickSpring>);
    return animation;
}

NmTransition materialize()
{
    return NmTransition{MaterializeValues{12.0, 0.0, 0.96}};
}

NmTransition opacity()
{
    return NmTransition{MaterializeValues{0.0, 0.0, 1.0}};
}

} // namespace NmMotion

} // namespace nerim
