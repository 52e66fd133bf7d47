#pragma once

#include "ui/design/DesignTokens.h"

#include <QVariant>

#include <optional>

namespace nerim {

// The motion rules as plain functions of time and the Reduce Motion flag;
// the widgets in widgets/ only drive them with timers.

// An insertion or removal as it will run: under Reduce Motion every
// transition becomes a plain 0.2 s ease-in-out fade (no blur, no scale),
// whatever was asked; otherwise it runs as given.
struct ResolvedTransition {
    NmTransition transition;
    NmAnimation animation;
};
ResolvedTransition resolveTransition(const NmTransition &transition, const NmAnimation &animation,
                                     bool reduceMotion);

// A change of an animated value: the animation to run it with, or none when
// the change is applied at once (Reduce Motion).
std::optional<NmAnimation> resolveAnimation(const NmAnimation &animation, bool reduceMotion);

// The brief brightening of a view each time a trigger value changes.
class TaskCompletePulseTrack {
public:
    static constexpr double kRiseSeconds = 0.4;
    static constexpr double kFallSeconds = 0.4;
    static constexpr double kPeak = 0.08; // brightness added at the top

    // The brightness added `elapsed` seconds into a pulse: 0, easing up to
    // kPeak at 0.4 s and back down to 0 at 0.8 s, 0 outside.
    static double brightnessAt(double elapsed);

    // Records the trigger's value at time `now` (seconds). The first value
    // only sets the baseline; a different value starts the pulse again from
    // its beginning; the same value changes nothing. Under Reduce Motion the
    // value is recorded and nothing plays. Returns whether a pulse started.
    bool setTrigger(const QVariant &value, double now, bool reduceMotion);

    // The brightness to draw with at `now`; 0 under Reduce Motion.
    double brightness(double now, bool reduceMotion) const;
    bool isRunning(double now) const;

private:
    std::optional<QVariant> m_trigger;
    std::optional<double> m_startedAt;
};

// The loading hint's breathing line: opacity 0.55 rising to 1.0 over 1.6 s
// (ease-in-out) and falling back over the next 1.6 s, for ever, from the
// moment it appears; a still 0.7 under Reduce Motion.
double breathingOpacity(double secondsSinceAppearing, bool reduceMotion);

} // namespace nerim
