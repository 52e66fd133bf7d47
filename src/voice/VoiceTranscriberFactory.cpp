#include "voice/VoiceTranscribing.h"

#include "foundation/DisplayPath.h"
#include "persistence/IntentProcessorConstants.h"
#include "voice/WhisperTranscriber.h"

namespace nerim {

std::shared_ptr<VoiceTranscribing> makeVoiceTranscriber()
{
    return makeVoiceTranscriber(IntentProcessorConstants::cachedKeys().groqKey);
}

std::shared_ptr<VoiceTranscribing> makeVoiceTranscriber(const QString &groqKey)
{
    const QString key = groqKey.trimmed();
    if (!IntentProcessorConstants::isUsableKey(key))
        return nullptr;
    return std::make_shared<WhisperTranscriber>(key);
}

QString voiceInputUnavailableMessage()
{
    return QStringLiteral("Voice input needs a Groq key in %1.")
        .arg(pathForDisplay(IntentProcessorConstants::apiKeysFilePath()));
}

} // namespace nerim
