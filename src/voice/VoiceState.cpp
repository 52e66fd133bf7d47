#include "voice/VoiceState.h"

namespace nerim {

VoiceState VoiceState::permissionDenied(DeniedAuthorization what)
{
    VoiceState state(Kind::permissionDenied);
    state.m_denied = what;
    return state;
}

VoiceState VoiceState::error(QString message)
{
    VoiceState state(Kind::error);
    state.m_message = std::move(message);
    return state;
}

QString VoiceState::debugDescription() const
{
    switch (m_kind) {
    case Kind::idle: return QStringLiteral("idle");
    case Kind::requestingPermissions: return QStringLiteral("requestingPermissions");
    case Kind::recording: return QStringLiteral("recording");
    case Kind::transcribing: return QStringLiteral("transcribing");
    case Kind::submitting: return QStringLiteral("submitting");
    case Kind::permissionDenied:
        return m_denied == DeniedAuthorization::microphone ? QStringLiteral("permissionDenied(microphone)")
                                                           : QStringLiteral("permissionDenied(speechRecognition)");
    case Kind::error: return QStringLiteral("error(\"%1\")").arg(m_message);
    }
    return QString();
}

} // namespace nerim
