#pragma once

#include <QString>

namespace nerim {

// Where voice input stands, as the prompt bar shows it.
class VoiceState {
public:
    enum class Kind { idle, requestingPermissions, recording, transcribing, submitting, permissionDenied, error };
    enum class DeniedAuthorization { microphone, speechRecognition };

    static VoiceState idle() { return VoiceState(Kind::idle); }
    static VoiceState requestingPermissions() { return VoiceState(Kind::requestingPermissions); }
    static VoiceState recording() { return VoiceState(Kind::recording); }
    static VoiceState transcribing() { return VoiceState(Kind::transcribing); }
    static VoiceState submitting() { return VoiceState(Kind::submitting); }
    static VoiceState permissionDenied(DeniedAuthorization which)
    {
        VoiceState state(Kind::permissionDenied);
        state.m_denied = which;
        return state;
    }
    static VoiceState error(QString message)
    {
        VoiceState state(Kind::error);
        state.m_message = std::move(message);
        return state;
    }

    Kind kind() const { return m_kind; }
    // permissionDenied only.
    DeniedAuthorization deniedAuthorization() const { return m_denied; }
    // error only.
    const QString &message() const { return m_message; }

    friend bool operator==(const VoiceState &, const VoiceState &) = default;

private:
    explicit VoiceState(Kind kind) : m_kind(kind) {}

    Kind m_kind;
    DeniedAuthorization m_denied = DeniedAuthorization::microphone;
    QString m_message;
};

} // namespace nerim
