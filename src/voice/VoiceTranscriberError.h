#pragma once

#include <QByteArray>
#include <QString>
#include <exception>

namespace nerim {

// Why a transcriber could not start recording or deliver a transcript. The
// description is a sentence a user can read; the canvas puts its own words in
// front of it where it shows one.
class VoiceTranscriberError : public std::exception {
public:
    enum class Kind {
        speechRecognitionUnavailable,     // for the locale in the payload
        audioEngineFailed,                // the microphone could not be opened or recorded from
        recognitionTaskFailed,            // the transcription itself failed
        microphonePermissionDenied,
        speechRecognitionPermissionDenied,
        onDeviceRecognitionUnavailable,
        noSpeechDetected,                 // nothing was recorded
        cancelled,                        // the recording was abandoned; no transcript follows
    };

    // `detail`: the locale or the underlying text, for the cases that carry one.
    explicit VoiceTranscriberError(Kind kind, QString detail = QString());

    static VoiceTranscriberError speechRecognitionUnavailable(QString locale);
    static VoiceTranscriberError audioEngineFailed(QString underlying);
    static VoiceTranscriberError recognitionTaskFailed(QString underlying);
    static VoiceTranscriberError microphonePermissionDenied();
    static VoiceTranscriberError speechRecognitionPermissionDenied();
    static VoiceTranscriberError onDeviceRecognitionUnavailable();
    static VoiceTranscriberError noSpeechDetected();
    static VoiceTranscriberError cancelled();

    Kind kind() const { return m_kind; }
    // speechRecognitionUnavailable only.
    const QString &locale() const { return m_payload; }
    // audioEngineFailed and recognitionTaskFailed only: what went wrong, as a sentence.
    const QString &underlying() const { return m_payload; }
    // Either of the two above, for the cases that carry one.
    const QString &detail() const { return m_payload; }

    QString description() const { return m_description; }
    const char *what() const noexcept override { return m_utf8.constData(); }

    friend bool operator==(const VoiceTranscriberError &a, const VoiceTranscriberError &b)
    {
        return a.m_kind == b.m_kind && a.m_payload == b.m_payload;
    }

private:
    Kind m_kind;
    QString m_payload;
    QString m_description;
    QByteArray m_utf8;
};

} // namespace nerim
