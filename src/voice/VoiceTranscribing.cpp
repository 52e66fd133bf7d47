#include "voice/VoiceTranscribing.h"

namespace nerim {

namespace {
QString describe(VoiceTranscriberError::Kind kind, const QString &detail)
{
    using Kind = VoiceTranscriberError::Kind;
    switch (kind) {
    case Kind::speechRecognitionUnavailable: return QStringLiteral("Speech recognition isn't available for %1.").arg(detail);
    case Kind::audioEngineFailed: return QStringLiteral("The microphone couldn't start: %1").arg(detail);
    case Kind::recognitionTaskFailed: return QStringLiteral("Transcription failed: %1").arg(detail);
    case Kind::microphonePermissionDenied: return QStringLiteral("Microphone access was denied.");
    case Kind::speechRecognitionPermissionDenied: return QStringLiteral("Speech recognition access was denied.");
    case Kind::onDeviceRecognitionUnavailable: return QStringLiteral("On-device transcription isn't available.");
    case Kind::noSpeechDetected: return QStringLiteral("No speech was detected.");
    case Kind::cancelled: return QStringLiteral("Voice input was cancelled.");
    }
    return QString();
}
} // namespace

VoiceTranscriberError::VoiceTranscriberError(Kind kind, QString detail)
    : m_kind(kind), m_detail(std::move(detail)), m_description(describe(m_kind, m_detail)),
      m_utf8(m_description.toUtf8())
{
}

std::shared_ptr<VoiceTranscribing> makeVoiceTranscriber()
{
    return nullptr;
}

} // namespace nerim
