#pragma once

#include "voice/AudioCaptureSource.h"
#include "voice/VoiceNarratorService.h"

#include <memory>

namespace nerim {

// The speech engine and the microphone live in libraries of their own beside
// the `nerim` executable (and are looked for nowhere else), loaded
// the first time they are needed, so that Nerim starts without Qt
// TextToSpeech, Qt Multimedia and the sound server's client. A library that
// cannot be loaded is said once in the log. GUI thread.
namespace VoiceBackendLibrary {

// The flite speaker (see FliteSpeaker), or null when the speech library
// cannot be loaded.
std::unique_ptr<VoiceNarratorService::Speaker> createSpeaker();

// The default microphone (see MicrophoneAudioSource). Throws
// VoiceTranscriberError::audioEngineFailed when the capture library cannot be
// loaded.
std::unique_ptr<AudioCaptureSource> createMicrophone();

// A speaker that loads the speech library at its first sentence and is
// silent when it cannot.
class SpeakerOnFirstUse : public VoiceNarratorService::Speaker {
public:
    void say(const QString &text) override;

private:
    bool m_tried = false;
    std::unique_ptr<VoiceNarratorService::Speaker> m_speaker;
};

} // namespace VoiceBackendLibrary
} // namespace nerim
