#pragma once

#include <QByteArray>
#include <functional>

namespace nerim {

// Where a recording's samples come from: the default microphone in the
// application, a prepared recording in tests. Delivers 16 kHz mono signed
// 16-bit little-endian PCM on the thread that started it.
class AudioCaptureSource {
public:
    using DataHandler = std::function<void(const QByteArray &pcm)>;

    virtual ~AudioCaptureSource() = default;

    // Opens the source; from now on every captured block goes to `onData`.
    // Throws VoiceTranscriberError::audioEngineFailed when it cannot open.
    virtual void start(DataHandler onData) = 0;
    // Closes the source: once it returns, no further block is delivered and
    // nothing is captured. Calling it again does nothing.
    virtual void stop() = 0;
};

} // namespace nerim
