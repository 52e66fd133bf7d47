#pragma once

// Recording stand-ins for what makes sounds, speaks and taps, so tests can see
// which cues, announcements and taps the code asked for.

#include "voice/AppActivity.h"
#include "voice/HapticPerformer.h"
#include "voice/SoundCueService.h"
#include "voice/VoiceNarratorService.h"

#include <QList>
#include <QStringList>
#include <chrono>

namespace nerim::test {

class RecordingCuePlayer : public SoundCueService::Player {
public:
    void playCue(SoundCueService::Cue cue) override { played.append(cue); }
    QList<SoundCueService::Cue> played;
};

class RecordingSpeaker : public VoiceNarratorService::Speaker {
public:
    void say(const QString &text) override { said.append(text); }
    QStringList said;
};

class RecordingHaptics : public HapticPerformer {
public:
    void perform(Pattern pattern) override { performed.append(pattern); }
    QList<Pattern> performed;
};

// A clock that moves only when told to.
class ManualClock {
public:
    SoundCueService::Clock function()
    {
        return [this] { return now; };
    }
    void advance(std::chrono::milliseconds by) { now += by; }
    std::chrono::milliseconds now{100000};
};

// Everything a canvas needs to make noise, recorded, with an activity switch.
struct RecordedFeedback {
    FixedAppActivity activity{true};
    RecordingCuePlayer cues;
    RecordingSpeaker speaker;
    RecordingHaptics haptics;
    ManualClock clock;
    SoundCueService soundService{&cues, &activity, clock.function()};
    VoiceNarratorService narrator{&speaker, &activity};
};

} // namespace nerim::test
