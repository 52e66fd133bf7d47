#include "voice/VoiceTranscriberError.h"

namespace nerim {

namespace {

QString describe(VoiceTranscriberError::Kind kind, const QString &payload)
{
    using Kind = VoiceTranscriberError::Kind;
    switch (kind) {
    case Kind::speechRecognitionUnavailable:
        return QStringLiteral("Speech recognition isn't available for %1.").arg(payload);
    case Kind::audioEngineFailed: return QStringLiteral("The microphone couldn't record: %1").arg(payload);
    case Kind::recognitionTaskFailed: return payload;
    case Kind::microphonePermissionDenied: return QStringLiteral("Nerim isn't allowed to use the microphone.");
    case Kind::speechRecognitionPermissionDenied:
        return QStringLiteral("Nerim isn't allowed to use speech recognition.");
    case Kind::onDeviceRecognitionUnavailable: return QStringLiteral("On-device transcription isn't available.");
    case Kind::noSpeechDetected: return QStringLiteral("No speech was recorded.");
    case Kind::cancelled: return QStringLiteral("The recording was cancelled.");
    }
    return QString();
}

} // namespace

VoiceTranscriberError::VoiceTranscriberError(Kind kind, QString payload)
    : m_kind(kind), m_payload(std::move(payload)), m_description(describe(m_kind, m_payload)),
      m_utf8(m_description.toUtf8())
{
}

VoiceTranscriberError VoiceTranscriberError::speechRecognitionUnavailable(QString locale)
{
    return VoiceTranscriberError(Kind::speechRecognitionUnavailable, std::move(locale));
}
VoiceTranscriberError VoiceTranscriberError::audioEngineFailed(QString underlying)
{
    return VoiceTranscriberError(Kind::audioEngineFailed, std::move(underlying));
}
VoiceTranscriberError VoiceTranscriberError::recognitionTaskFailed(QString underlying)
{
    return VoiceTranscriberError(Kind::recognitionTaskFailed, std::move(underlying));
}
VoiceTranscriberError VoiceTranscriberError::microphonePermissionDenied()
{
    return VoiceTranscriberError(Kind::microphonePermissionDenied);
}
VoiceTranscriberError VoiceTranscriberError::speechRecognitionPermissionDenied()
{
    return VoiceTranscriberError(Kind::speechRecognitionPermissionDenied);
}
VoiceTranscriberError VoiceTranscriberError::onDeviceRecognitionUnavailable()
{
    return VoiceTranscriberError(Kind::onDeviceRecognitionUnavailable);
}
VoiceTranscriberError VoiceTranscriberError::noSpeechDetected() { return VoiceTranscriberError(Kind::noSpeechDetected); }
VoiceTranscriberError VoiceTranscriberError::cancelled() { return VoiceTranscriberError(Kind::cancelled); }

} // namespace nerim
