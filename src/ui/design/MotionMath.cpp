#include "ui/design/MotionMath.h"

#include <algorithm>
#include <cmath>

namespace nerim {

namespace {

constexpr double kReducedFadeSeconds = 0.2;
constexpr double kBreathSeconds = 1.6;
constexpr double kBreathLow = 0.55;
constexpr double kBreathHigh = 1.0;
constexpr double kReducedBreathOpacity = 0.7;

// A cubic ease with zero velocity at both ends.
double cubicEase(double p)
{
    p = std::clamp(p, 0.0, 1.0);
    return p * p * (3.0 - 2.0 * p);
}

} // namespace

ResolvedTransition resolveTransition(const NmTransition &transition, const NmAnimation &animation,
                                     bool reduceMotion)
{
    if (!reduceMotion)
        return {transition, animation};
    return {NmMotion::opacity(), NmAnimation::easeInOut(kReducedFadeSeconds)};
}

std::optional<NmAnimation> resolveAnimation(const NmAnimation &animation, bool reduceMotion)
{
    if (reduceMotion)
        return std::nullopt;
    return animation;
}

double TaskCompletePulseTrack::brightnessAt(double elapsed)
{
    if (elapsed < 0 || elapsed >= kRiseSeconds + kFallSeconds)
        return 0;
    if (elapsed <= kRiseSeconds)
        return kPeak * cubicEase(elapsed / kRiseSeconds);
    return kPeak * (1.0 - cubicEase((elapsed - kRiseSeconds) / kFallSeconds));
}

bool TaskCompletePulseTrack::setTrigger(const QVariant &value, double now, bool reduceMotion)
{
    if (!m_trigger) {
        m_trigger = value;
        return false;
    }
    if (*m_trigger == value)
        return false;
    m_trigger = value;
    if (reduceMotion) {
        m_startedAt.reset();
        return false;
    }
    m_startedAt = now;
    return true;
}

double TaskCompletePulseTrack::brightness(double now, bool reduceMotion) const
{
    if (reduceMotion || !m_startedAt)
        return 0;
    return brightnessAt(now - *m_startedAt);
}

bool TaskCompletePulseTrack::isRunning(double now) const
{
    return m_startedAt && now - *m_startedAt < kRiseSeconds + kFallSeconds;
}

double breathingOpacity(double seconds, bool reduceMotion)
{
    if (reduceMotion)
        return kReducedBreathOpacity;
    static const NmAnimation ease = NmAnimation::easeInOut(kBreathSeconds);
    const double phase = std::fmod(std::max(0.0, seconds), 2.0 * kBreathSeconds);
    const double progress = phase <= kBreathSeconds ? phase / kBreathSeconds : (2.0 * kBreathSeconds - phase) / kBreathSeconds;
    return kBreathLow + (kBreathHigh - kBreathLow) * ease.curve.valueForProgress(progress);
}

} // namespace nerim
