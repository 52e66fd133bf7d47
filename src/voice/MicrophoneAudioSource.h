#pragma once

#include "voice/AudioCaptureSource.h"

#include <QPointer>
#include <memory>

class QAudioSource;
class QIODevice;

namespace nerim {

// The system's default audio input through Qt Multimedia, asked for 16 kHz
// mono 16-bit samples (the sound server converts from what the device has).
// Lives on the GUI thread; the sound server captures on its own thread and the
// samples are read here as they arrive, so nothing ever waits on the device.
class MicrophoneAudioSource : public AudioCaptureSource {
public:
    MicrophoneAudioSource();
    ~MicrophoneAudioSource() override;

    void start(DataHandler onData) override;
    void stop() override;

private:
    void readAvailable();

    std::unique_ptr<QAudioSource> m_source;
    QPointer<QIODevice> m_device;
    DataHandler m_onData;
};

} // namespace nerim
