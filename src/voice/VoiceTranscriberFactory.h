#pragma once

#include "voice/VoiceTranscribing.h"

#include <QString>
#include <memory>

namespace nerim {

// The transcriber a project uses: the Whisper transcriber when a Groq key is
// configured in api-keys.json ("groq", read once per process), else none.
// Linux has no on-device recognizer that is good enough, so there is no
// other choice to fall back to.
std::unique_ptr<VoiceTranscribing> makeVoiceTranscriber();
// The same decision for a given Groq key (blank or a "REPLACE_WITH_" value gives none).
std::unique_ptr<VoiceTranscribing> makeVoiceTranscriber(const QString &groqKey);

// What a user reads when there is no transcriber: "Voice input needs a Groq
// key in <key file>.", the key file shown with "~" for the home folder.
QString voiceInputUnavailableMessage();

} // namespace nerim
