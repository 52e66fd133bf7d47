// Sound cues and spoken narration: when they are given and when they stay silent.
#include "support/voice-fakes/VoiceFakes.h"

#include <gtest/gtest.h>
#include <stdexcept>

using namespace nerim;
using namespace nerim::test;
using Cue = SoundCueService::Cue;
using namespace std::chrono_literals;

namespace {

class ThrowingPlayer : public SoundCueService::Player {
public:
    void playCue(Cue) override { throw std::runtime_error("no audio device"); }
};

class ThrowingSpeaker : public VoiceNarratorService::Speaker {
public:
    void say(const QString &) override { throw std::runtime_error("no speech engine"); }
};

} // namespace

TEST(SoundCues, ARepeatOfTheSameCueWithinTheIntervalIsSkipped)
{
    RecordedFeedback feedback;
    SoundCueService &sounds = feedback.soundService;
    sounds.play(Cue::taskComplete);
    feedback.clock.advance(799ms);
    sounds.play(Cue::taskComplete); // too soon
    sounds.play(Cue::agentSpawned); // another cue is not held back
    feedback.clock.advance(1ms);
    sounds.play(Cue::taskComplete); // 0.8 s after the first
    sounds.play(Cue::taskComplete);
    EXPECT_EQ(feedback.cues.played, (QList<Cue>{Cue::taskComplete, Cue::agentSpawned, Cue::taskComplete}));
}

TEST(SoundCues, AnInactiveApplicationMakesNoSoundAndASkippedCueDoesNotCount)
{
    RecordedFeedback feedback;
    feedback.activity.setActive(false);
    feedback.soundService.play(Cue::voiceSubmitted);
    feedback.activity.setActive(true);
    feedback.soundService.play(Cue::voiceSubmitted);
    EXPECT_EQ(feedback.cues.played, QList<Cue>{Cue::voiceSubmitted});
}

TEST(SoundCues, AFailingPlayerNeverReachesTheCaller)
{
    ThrowingPlayer player;
    FixedAppActivity activity;
    SoundCueService sounds(&player, &activity);
    EXPECT_NO_THROW(sounds.play(Cue::voiceRecordingStarted));
    // The shared service is silent until a player is installed.
    EXPECT_NO_THROW(SoundCueService::shared().play(Cue::agentSpawned));
}

TEST(Narration, SilentWhenMutedInactiveOrBlank)
{
    RecordedFeedback feedback;
    VoiceNarratorService &narrator = feedback.narrator;
    narrator.speak(QStringLiteral("Claude 1 is done."));
    narrator.speak(QStringLiteral(" \n\t"));
    narrator.setMuted(true);
    narrator.speak(QStringLiteral("Claude 2 is done."));
    narrator.setMuted(false);
    feedback.activity.setActive(false);
    narrator.speak(QStringLiteral("Claude 3 is done."));
    EXPECT_EQ(feedback.speaker.said, QStringList{QStringLiteral("Claude 1 is done.")});

    ThrowingSpeaker broken;
    FixedAppActivity active;
    VoiceNarratorService failing(&broken, &active);
    EXPECT_NO_THROW(failing.speak(QStringLiteral("hello")));
}

TEST(AppActivity, TheSharedSourceCanBeReplacedAndRestored)
{
    EXPECT_TRUE(AppActivitySource::shared().isApplicationActive());
    FixedAppActivity inactive(false);
    AppActivitySource::setShared(&inactive);
    RecordingCuePlayer cues;
    SoundCueService sounds(&cues); // follows the shared source
    sounds.play(Cue::taskComplete);
    EXPECT_TRUE(cues.played.isEmpty());
    AppActivitySource::setShared(nullptr);
    EXPECT_TRUE(AppActivitySource::shared().isApplicationActive());
}
