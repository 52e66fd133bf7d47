#pragma once

#include <QByteArray>
#include <QString>
#include <QCoro/QCoroTask>
#include <exception>
#include <memory>

namespace nerim {

// The failures of voice input.
class VoiceTranscriberError : public std::exception {
public:
    enum class Kind {
        speechRecognitionUnavailable, // payload: the locale identifier
        audioEngineFailed,            // payload: the underlying text
        recognitionTaskFailed,        // payload: the underlying text
        microphonePermissionDenied,
        speechRecognitionPermissionDenied,
        onDeviceRecognitionUnavailable,
        noSpeechDetected,
        cancelled,
    };

    VoiceTranscriberError(Kind kind, QString detail = QString());

    Kind kind() const { return m_kind; }
    // The locale or the underlying text, for the cases that carry one.
    const QString &detail() const { return m_detail; }
    QString description() const { return m_description; }
    const char *what() const noexcept override { return m_utf8.constData(); }

private:
    Kind m_kind;
    QString m_detail;
    QString m_description;
    QByteArray m_utf8;
};

// Turns speech into text: one recording at a time, from `start` to
// `stopRecordingAndAwaitTranscript`. Used from the GUI thread.
class VoiceTranscribing {
public:
    virtual ~VoiceTranscribing() = default;
    // Asks for the microphone as needed and starts recording. Throws
    // VoiceTranscriberError (or another error).
    virtual QCoro::Task<> start() = 0;
    // Stops recording and returns the transcript. Throws.
    virtual QCoro::Task<QString> stopRecordingAndAwaitTranscript() = 0;
};

// The transcriber this system can offer, or none. No transcription engine is
// available yet, so there is none and the prompt bar hides its microphone.
std::shared_ptr<VoiceTranscribing> makeVoiceTranscriber();

} // namespace nerim
