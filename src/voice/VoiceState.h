#pragma once

#include <QString>

namespace nerim {

// Where a dictation stands, as the prompt bar shows it: idle, asking for the
// microphone, recording, waiting for the transcript, handing it on, refused
// access, or failed with a sentence for the user.
class VoiceState {
public:
    enum class Kind { idle, requestingPermissions, recording, transcribing, submitting, permissionDenied, error };
    // What the user refused (permissionDenied only).
    enum class DeniedAuthorization { microphone, speechRecognition };

    VoiceState() = default; // idle

    static VoiceState idle() { return VoiceState(Kind::idle); }
    static VoiceState requestingPermissions() { return VoiceState(Kind::requestingPermissions); }
    static VoiceState recording() { return VoiceState(Kind::recording); }
    static VoiceState transcribing() { return VoiceState(Kind::transcribing); }
    static VoiceState submitting() { return VoiceState(Kind::submitting); }
    static VoiceState permissionDenied(DeniedAuthorization what);
    static VoiceState error(QString message);

    Kind kind() const { return m_kind; }
    // permissionDenied only; microphone for the other cases.
    DeniedAuthorization deniedAuthorization() const { return m_denied; }
    // error only; empty for the other cases.
    const QString &message() const { return m_message; }

    // For log lines and test output: the case name with its payload,
    // e.g. `permissionDenied(microphone)` or `error("Didn't catch that. Try again.")`.
    QString debugDescription() const;

    friend bool operator==(const VoiceState &, const VoiceState &) = default;

private:
    explicit VoiceState(Kind kind) : m_kind(kind) {}

    Kind m_kind = Kind::idle;
    DeniedAuthorization m_denied = DeniedAuthorization::microphone;
    QString m_message;
};

} // namespace nerim
