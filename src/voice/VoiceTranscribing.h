#pragma once

#include <QString>
#include <QCoro/QCoroTask>

namespace nerim {

// A transcriber: records from the microphone between start and stop, then
// turns the recording into text. One dictation at a time; called and awaited
// on the GUI thread, which it never blocks.
class VoiceTranscribing {
public:
    virtual ~VoiceTranscribing() = default;

    // Starts recording (asking for whatever access the platform needs first).
    // Throws VoiceTranscriberError, or another std::exception.
    virtual QCoro::Task<void> start() = 0;

    // Stops recording and returns the transcript (possibly blank). Throws
    // VoiceTranscriberError (`cancelled` when cancel() ran meanwhile), or
    // another std::exception.
    virtual QCoro::Task<QString> stopRecordingAndAwaitTranscript() = 0;

    // Abandons the dictation in progress, if any: the microphone closes, the
    // recording is dropped, and a start or stop being awaited ends with
    // VoiceTranscriberError::cancelled. Returns at once.
    virtual void cancel() = 0;
};

} // namespace nerim
