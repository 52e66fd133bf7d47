#pragma once

#include "voice/VoiceTranscriberError.h"

#include <QString>
#include <QCoro/QCoroTask>
#include <memory>

namespace nerim {

// Turns speech into text: records from the microphone between `start` and
// `stopRecordingAndAwaitTranscript`, then transcribes. One dictation at a
// time; called and awaited on the GUI thread, which it never blocks.
class VoiceTranscribing {
public:
    virtual ~VoiceTranscribing() = default;

    // Starts recording (asking for whatever access the platform needs first).
    // Throws VoiceTranscriberError, or another std::exception.
    virtual QCoro::Task<> start() = 0;

    // Stops recording and returns the transcript (possibly blank). Throws
    // VoiceTranscriberError (`cancelled` when cancel() ran meanwhile), or
    // another std::exception.
    virtual QCoro::Task<QString> stopRecordingAndAwaitTranscript() = 0;

    // Abandons the dictation in progress, if any: the microphone closes, the
    // recording is dropped, and a stop being awaited ends with
    // VoiceTranscriberError::cancelled. Returns at once. (A transcriber with
    // nothing to abandon need not override it.)
    virtual void cancel() {}
};

// The transcriber a project uses: the Whisper transcriber when a Groq key is
// configured in api-keys.json ("groq", read once per process), else none.
// Linux has no on-device recognizer good enough to fall back to.
std::shared_ptr<VoiceTranscribing> makeVoiceTranscriber();
// The same decision for a given Groq key (blank or a "REPLACE_WITH_" value gives none).
std::shared_ptr<VoiceTranscribing> makeVoiceTranscriber(const QString &groqKey);

// What a user reads when there is no transcriber: "Voice input needs a Groq
// key in <key file>.", the key file shown with "~" for the home folder.
QString voiceInputUnavailableMessage();

} // namespace nerim
