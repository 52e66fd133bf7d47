#pragma once

#include "voice/CanberraCuePlayer.h"
#include "voice/GuiAppActivity.h"
#include "voice/VoiceBackendLibrary.h"

namespace nerim {

// The real sound, speech and activity backends of the desktop application,
// installed behind the shared SoundCueService, VoiceNarratorService and
// AppActivitySource for as long as this object lives. The application makes
// one after its QApplication and lets it go before the application object;
// without it everything stays silent (headless tools and tests). The sound
// and speech libraries are loaded at the first cue and the first sentence.
class DesktopVoiceBackends {
public:
    DesktopVoiceBackends();
    ~DesktopVoiceBackends();

    DesktopVoiceBackends(const DesktopVoiceBackends &) = delete;
    DesktopVoiceBackends &operator=(const DesktopVoiceBackends &) = delete;

private:
    GuiAppActivity m_activity;
    CanberraCuePlayer m_cues;
    VoiceBackendLibrary::SpeakerOnFirstUse m_speaker;
};

} // namespace nerim
