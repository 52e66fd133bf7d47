#pragma once

#include "voice/AudioCaptureSource.h"
#include "voice/VoiceTranscribing.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>
#include <functional>
#include <memory>

namespace nerim {

class WavRecorder;

// Dictation through the Groq Whisper service: records the default microphone
// into memory (WavRecorder: 16 kHz mono, at most 60 s, never on disk), then
// sends the recording as a multipart POST with the Groq key as a bearer token
// and returns the service's text. The key appears in no log line and no error.
// GUI thread; recording and the request never block it.
class WhisperTranscriber : public QObject, public VoiceTranscribing {
    Q_OBJECT

public:
    // The service's model.
    static inline const QString defaultModel = QStringLiteral("whisper-large-v3-turbo");
    // Overrides of the service's origin (scheme, host and port; the path stays)
    // and of the model, read when a transcriber is made (tests point them at a
    // loopback server).
    static inline const char *const baseEnvironmentVariable = "NERIM_WHISPER_BASE";
    static inline const char *const modelEnvironmentVariable = "NERIM_WHISPER_MODEL";
    // Longest silence allowed while the request is under way.
    static constexpr double requestTimeoutSeconds = 30.0;
    // Shorter recordings are not worth a request: nothing was said.
    static constexpr int minimumSpeechMilliseconds = 100;

    struct Options {
        QUrl endpoint;
        QString model;
        double timeoutSeconds = requestTimeoutSeconds;

        // The Groq transcription endpoint and the default model, each
        // replaced by its environment variable when that is set and not blank.
        static Options fromEnvironment();
    };

    using SourceFactory = std::function<std::unique_ptr<AudioCaptureSource>()>;

    // `makeSource` gives the audio source for each recording; the default is
    // the system's default microphone.
    explicit WhisperTranscriber(QString apiKey, SourceFactory makeSource = {},
                                Options options = Options::fromEnvironment(), QObject *parent = nullptr);
    ~WhisperTranscriber() override;

    // Opens the audio source and starts recording. There is no access to ask
    // for on Linux. Throws VoiceTranscriberError::audioEngineFailed.
    QCoro::Task<void> start() override;
    // Stops recording and sends the audio. Throws VoiceTranscriberError:
    // `noSpeechDetected` for a recording too short to hold speech,
    // `recognitionTaskFailed` with a sentence for a failed request, `cancelled`.
    QCoro::Task<QString> stopRecordingAndAwaitTranscript() override;
    void cancel() override;

    bool isRecording() const;
    const Options &options() const { return m_options; }

    // The request body: a "model" field and the audio as the "file" field
    // ("recording.wav", audio/wav), separated by `boundary`.
    static QByteArray multipartBody(const QByteArray &boundary, const QString &model, const QByteArray &wav);

private:
    QString m_apiKey;
    SourceFactory m_makeSource;
    Options m_options;
    std::unique_ptr<WavRecorder> m_recorder;
    // Changed by every start and cancel, so a request answered afterwards is dropped.
    quint64 m_generation = 0;
};

} // namespace nerim
