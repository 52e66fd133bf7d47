#include "ui/design/MotionMath.h"

#include <gtest/gtest.h>

namespace nerim {
namespace {

TEST(TaskCompletePulseTest, BrightnessRisesToThePeakAndBackInPointEightSeconds)
{
    using P = TaskCompletePulseTrack;
    EXPECT_EQ(P::brightnessAt(0.0), 0.0);
    EXPECT_DOUBLE_EQ(P::brightnessAt(0.4), 0.08);
    EXPECT_EQ(P::brightnessAt(0.8), 0.0);
    EXPECT_EQ(P::brightnessAt(-0.1), 0.0);
    EXPECT_EQ(P::brightnessAt(5.0), 0.0);
    // The fall mirrors the rise.
    EXPECT_NEAR(P::brightnessAt(0.2), 0.04, 1e-12);
    EXPECT_NEAR(P::brightnessAt(0.1), P::brightnessAt(0.7), 1e-12);
    double previous = 0;
    for (int ms = 10; ms <= 400; ms += 10) {
        const double b = P::brightnessAt(ms / 1000.0);
        EXPECT_GT(b, previous) << ms;
        EXPECT_LE(b, 0.08);
        previous = b;
    }
}

TEST(TaskCompletePulseTest, OnlyAChangedTriggerPlaysAndAChangeRestartsIt)
{
    TaskCompletePulseTrack track;
    // The first value is the baseline: no pulse on appearing.
    EXPECT_FALSE(track.setTrigger(0, 10.0, false));
    EXPECT_EQ(track.brightness(10.2, false), 0.0);
    // Same value: nothing.
    EXPECT_FALSE(track.setTrigger(0, 11.0, false));
    EXPECT_FALSE(track.isRunning(11.1));
    // A change plays the track.
    EXPECT_TRUE(track.setTrigger(1, 12.0, false));
    EXPECT_DOUBLE_EQ(track.brightness(12.4, false), 0.08);
    // Changing again half-way starts over from 0 and rises again.
    EXPECT_TRUE(track.setTrigger(2, 12.5, false));
    EXPECT_EQ(track.brightness(12.5, false), 0.0);
    EXPECT_DOUBLE_EQ(track.brightness(12.9, false), 0.08);
    EXPECT_TRUE(track.isRunning(13.2));
    EXPECT_FALSE(track.isRunning(13.3));
    EXPECT_EQ(track.brightness(13.3, false), 0.0);
}

TEST(TaskCompletePulseTest, ReduceMotionLeavesBrightnessUntouched)
{
    TaskCompletePulseTrack track;
    track.setTrigger(QStringLiteral("a"), 0.0, true);
    EXPECT_FALSE(track.setTrigger(QStringLiteral("b"), 1.0, true));
    EXPECT_EQ(track.brightness(1.4, true), 0.0);
    // A pulse already running shows nothing once motion is reduced.
    EXPECT_TRUE(track.setTrigger(QStringLiteral("c"), 2.0, false));
    EXPECT_EQ(track.brightness(2.4, true), 0.0);
    // And a change recorded under Reduce Motion is the new baseline.
    EXPECT_FALSE(track.setTrigger(QStringLiteral("c"), 3.0, false));
}

TEST(ReducedMotionTest, TransitionsBecomeAShortFadeAndAnimationsApplyAtOnce)
{
    const ResolvedTransition normal = resolveTransition(NmMotion::materialize(), NmMotion::standard(), false);
    EXPECT_EQ(normal.transition, NmMotion::materialize());
    EXPECT_EQ(normal.animation.durationMs, NmMotion::standard().durationMs);

    const ResolvedTransition reduced = resolveTransition(NmMotion::materialize(), NmMotion::standard(), true);
    EXPECT_EQ(reduced.transition.away, (MaterializeValues{0.0, 0.0, 1.0}));
    EXPECT_EQ(reduced.animation.durationMs, 200);
    // Ease-in-out: slow at both ends, half-way at the middle.
    EXPECT_NEAR(reduced.animation.curve.valueForProgress(0.5), 0.5, 1e-3);
    EXPECT_LT(reduced.animation.curve.valueForProgress(0.1), 0.1);
    EXPECT_GT(reduced.animation.curve.valueForProgress(0.9), 0.9);

    EXPECT_TRUE(resolveAnimation(NmMotion::quick(), false).has_value());
    EXPECT_FALSE(resolveAnimation(NmMotion::quick(), true).has_value());
}

TEST(MaterializeTest, InterpolatesFromBlurredAndSmallToSharpAndClampsOvershoot)
{
    const MaterializeValues away = NmMotion::materialize().away;
    EXPECT_EQ(away, (MaterializeValues{12.0, 0.0, 0.96}));
    const MaterializeValues identity;
    EXPECT_TRUE(identity.isIdentity());
    EXPECT_EQ(MaterializeValues::interpolate(away, identity, 0.0), away);
    EXPECT_EQ(MaterializeValues::interpolate(away, identity, 1.0), identity);
    const MaterializeValues half = MaterializeValues::interpolate(away, identity, 0.5);
    EXPECT_DOUBLE_EQ(half.blur, 6.0);
    EXPECT_DOUBLE_EQ(half.opacity, 0.5);
    EXPECT_DOUBLE_EQ(half.scale, 0.98);
    // A spring that overshoots never gives negative blur or opacity above 1.
    const MaterializeValues over = MaterializeValues::interpolate(away, identity, 1.01);
    EXPECT_EQ(over.blur, 0.0);
    EXPECT_EQ(over.opacity, 1.0);
}

TEST(BreathingTest, BreathesBetweenPointFiveFiveAndOneUnlessMotionIsReduced)
{
    for (double t : {0.0, 0.8, 1.6, 100.0})
        EXPECT_EQ(breathingOpacity(t, true), 0.7);
    EXPECT_DOUBLE_EQ(breathingOpacity(0.0, false), 0.55);
    EXPECT_DOUBLE_EQ(breathingOpacity(1.6, false), 1.0);
    EXPECT_NEAR(breathingOpacity(3.2, false), 0.55, 1e-9);
    EXPECT_NEAR(breathingOpacity(0.8, false), 0.775, 1e-3);
    // Rises through the first 1.6 s, falls through the next, and repeats.
    EXPECT_LT(breathingOpacity(0.5, false), breathingOpacity(1.0, false));
    EXPECT_GT(breathingOpacity(2.0, false), breathingOpacity(2.5, false));
    EXPECT_NEAR(breathingOpacity(0.5, false), breathingOpacity(3.7, false), 1e-9);
}

TEST(SpringTest, SpringsSettleAtOneWithinTheirDurationAndQuickNeverOvershoots)
{
    for (const NmSpring &spring : {NmMotion::standardSpring, NmMotion::quickSpring}) {
        EXPECT_EQ(spring.value(0), 0.0);
        EXPECT_NEAR(spring.value(spring.settleTime()), 1.0, 1e-3);
        EXPECT_NEAR(spring.angularFrequency() * spring.response, 2 * 3.14159265358979, 1e-9);
    }
    const NmAnimation &quick = NmMotion::quick();
    const NmAnimation &standard = NmMotion::standard();
    EXPECT_LT(quick.durationMs, standard.durationMs);
    EXPECT_GT(quick.durationMs, 200); // it outlasts its response
    for (const NmAnimation *animation : {&quick, &standard}) {
        EXPECT_EQ(animation->curve.valueForProgress(0.0), 0.0);
        EXPECT_EQ(animation->curve.valueForProgress(1.0), 1.0);
    }
    // Critically damped: monotonic, never above 1.
    double previous = 0;
    for (int i = 1; i <= 100; ++i) {
        const double v = quick.curve.valueForProgress(i / 100.0);
        EXPECT_GE(v, previous);
        EXPECT_LE(v, 1.0);
        previous = v;
    }
    // A spring moves fast early: most of the way there by a third of the time.
    EXPECT_GT(standard.curve.valueForProgress(0.33), 0.75);
}

} // namespace
} // namespace nerim
