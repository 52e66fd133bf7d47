// The rules in front of the sound and speech backends: which cues and
// sentences reach them.
#include "TestEnvironment.h"
#include "voice-fakes/VoiceFakes.h"

#include <QSettings>
#include <gtest/gtest.h>

using namespace nerim;
using namespace nerim::test;
using namespace std::chrono_literals;
using Cue = SoundCueService::Cue;

TEST(SoundCueService, EachCueIsThrottledOnItsOwnAndOnlyWhileActive)
{
    RecordedFeedback f;
    SoundCueService &cues = f.soundService;

    cues.play(Cue::taskComplete);
    f.clock.advance(300ms);
    cues.play(Cue::taskComplete);  // repeated too soon
    cues.play(Cue::agentSpawned);  // another cue is not held back
    f.clock.advance(499ms);
    cues.play(Cue::taskComplete);  // 799 ms after the first
    f.clock.advance(1ms);
    cues.play(Cue::taskComplete);  // 800 ms: plays
    EXPECT_EQ(f.cues.played, (QList<Cue>{Cue::taskComplete, Cue::agentSpawned, Cue::taskComplete}));

    // Inactive: nothing plays, and a skipped cue does not hold back the next one.
    f.cues.played.clear();
    f.clock.advance(5s);
    f.activity.setActive(false);
    cues.play(Cue::voiceRecordingStarted);
    EXPECT_TRUE(f.cues.played.isEmpty());
    f.activity.setActive(true);
    f.clock.advance(100ms);
    cues.play(Cue::voiceRecordingStarted);
    EXPECT_EQ(f.cues.played, QList<Cue>{Cue::voiceRecordingStarted});
}

TEST(VoiceNarratorService, SpeaksUnlessMutedInactiveOrBlank)
{
    RecordedFeedback f;
    VoiceNarratorService &narrator = f.narrator;

    narrator.speak(QStringLiteral("Agent 1 is done."));
    narrator.speak(QStringLiteral(" \n\t "));
    f.activity.setActive(false);
    narrator.speak(QStringLiteral("Agent 2 is done."));
    f.activity.setActive(true);
    EXPECT_EQ(f.speaker.said, QStringList{QStringLiteral("Agent 1 is done.")});

    // The mute switch is the user's setting, shared by every narrator and kept for the next launch.
    narrator.setMuted(true);
    RecordedFeedback other;
    EXPECT_TRUE(other.narrator.isMuted());
    narrator.speak(QStringLiteral("Agent 3 is done."));
    EXPECT_EQ(f.speaker.said.size(), 1);
    QSettings stored(homeDir() + QStringLiteral("/.config/Nerim/Nerim.conf"), QSettings::IniFormat);
    EXPECT_TRUE(stored.value(QStringLiteral("app.nerim.voice.narrator.muted")).toBool());

    // Switched back on through another narrator (as by the menu in another window).
    other.narrator.setMuted(false);
    narrator.speak(QStringLiteral("Agent 4 is done."));
    EXPECT_EQ(f.speaker.said.last(), QStringLiteral("Agent 4 is done."));

    // Speaking reads the switch from memory, not from the file each time.
    stored.setValue(QStringLiteral("app.nerim.voice.narrator.muted"), true);
    stored.sync();
    narrator.speak(QStringLiteral("Agent 5 is done."));
    EXPECT_EQ(f.speaker.said.last(), QStringLiteral("Agent 5 is done."));
}
