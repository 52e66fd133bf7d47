#include "voice/DesktopVoiceBackends.h"

namespace nerim {

DesktopVoiceBackends::DesktopVoiceBackends()
{
    AppActivitySource::setShared(&m_activity);
    SoundCueService::setSharedPlayer(&m_cues);
    VoiceNarratorService::setSharedSpeaker(&m_speaker);
}

DesktopVoiceBackends::~DesktopVoiceBackends()
{
    VoiceNarratorService::setSharedSpeaker(nullptr);
    SoundCueService::setSharedPlayer(nullptr);
    AppActivitySource::setShared(nullptr);
}

} // namespace nerim
