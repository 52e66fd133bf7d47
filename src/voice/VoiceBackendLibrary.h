#pragma once

#include "voice/AudioCaptureSource.h"
#include "voice/VoiceNarratorService.h"

#include <functional>
#include <memory>

class QObject;
class QThread;

namespace nerim {

// The speech engine and the microphone live in libraries of their own beside
// the `nerim` executable (and are looked for nowhere else), loaded
// the first time they are needed, so that Nerim starts without Qt
// TextToSpeech, Qt Multimedia and the sound server's client. A library that
// cannot be loaded is said once in the log. createSpeaker and createMicrophone
// may be called on any one thread each.
namespace VoiceBackendLibrary {

// The flite speaker (see FliteSpeaker), or null when the speech library
// cannot be loaded.
std::unique_ptr<VoiceNarratorService::Speaker> createSpeaker();

// The default microphone (see MicrophoneAudioSource). Throws
// VoiceTranscriberError::audioEngineFailed when the capture library cannot be
// loaded.
std::unique_ptr<AudioCaptureSource> createMicrophone();

// The application's speaker: the speech library is loaded, and its engine
// made and used, on a thread of its own, started at the first sentence.
// Loading the engine reads plugins from disk and asks the sound system for
// its devices; none of that runs on the caller's thread: `say` hands the text
// over and returns at once. The engine is a QObject that lives and dies on
// that thread. Silent when the library cannot be loaded (said once in the log).
class SpeakerOnFirstUse : public VoiceNarratorService::Speaker {
public:
    using Factory = std::function<std::unique_ptr<VoiceNarratorService::Speaker>()>;

    // `makeSpeaker` (run on the speech thread, once) stands in for
    // createSpeaker in tests.
    explicit SpeakerOnFirstUse(Factory makeSpeaker = {});
    // Stops the speech thread after the engine it made is gone.
    ~SpeakerOnFirstUse() override;

    void say(const QString &text) override;

    // The thread the engine is made and used on; null before the first sentence.
    QThread *speechThread() const { return m_thread.get(); }

private:
    Factory m_makeSpeaker;
    std::unique_ptr<QThread> m_thread;
    // Lives on the speech thread; the texts are queued to it.
    QObject *m_context = nullptr;
    // Touched only on the speech thread.
    bool m_tried = false;
    std::unique_ptr<VoiceNarratorService::Speaker> m_speaker;
};

} // namespace VoiceBackendLibrary
} // namespace nerim
