#pragma once

#include "voice/AudioCaptureSource.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>
#include <chrono>
#include <memory>

namespace nerim {

// Records one dictation from an audio source into memory: 16 kHz mono 16-bit
// samples, at most 60 seconds of them, handed back as a WAV file's bytes.
// Nothing is written to disk. The source is open only between start() and
// stop() (or discard()); at the cap the source closes by itself and what was
// recorded is kept for stop(). GUI thread.
class WavRecorder : public QObject {
    Q_OBJECT

public:
    static constexpr int sampleRate = 16000;
    static constexpr int bytesPerSample = 2;
    static constexpr std::chrono::seconds recordingCap{60};
    static constexpr qint64 capBytes = qint64(recordingCap.count()) * sampleRate * bytesPerSample;

    explicit WavRecorder(std::unique_ptr<AudioCaptureSource> source, QObject *parent = nullptr);
    ~WavRecorder() override;

    // Opens the source and starts collecting. Throws what the source throws
    // (VoiceTranscriberError::audioEngineFailed).
    void start();
    // Closes the source and returns the recording as a WAV file (a header
    // alone when nothing was captured). The recorder is then empty.
    QByteArray stop();
    // Closes the source and drops the recording.
    void discard();

    bool isCapturing() const { return m_capturing; }
    // The samples collected so far, in bytes.
    qint64 recordedBytes() const { return m_pcm.size(); }

    // A WAV (RIFF, PCM) file holding `pcm` as 16-bit mono samples at `rate`.
    static QByteArray wavFile(const QByteArray &pcm, int rate = sampleRate);

signals:
    // The cap was reached and the source closed; the recording waits for stop().
    void capReached();

private:
    void append(const QByteArray &pcm);
    void closeSource();

    std::unique_ptr<AudioCaptureSource> m_source;
    QByteArray m_pcm;
    QTimer m_capTimer;
    bool m_capturing = false;
};

} // namespace nerim
