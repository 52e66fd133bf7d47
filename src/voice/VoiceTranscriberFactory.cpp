#include "voice/VoiceTranscribing.h"

#include "persistence/IntentProcessorConstants.h"
#include "voice/WhisperTranscriber.h"

#include <QDir>

namespace nerim {

namespace {

// `path` with the home folder written as "~".
QString withTilde(const QString &path)
{
    const QString home = QDir::homePath();
    if (home.isEmpty() || home == QLatin1String("/"))
        return path;
    if (path == home)
        return QStringLiteral("~");
    if (path.startsWith(home + QLatin1Char('/')))
        return QLatin1Char('~') + path.mid(home.size());
    return path;
}

} // namespace

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
    return QStringLiteral("Voice input needs a Groq key in %1.").arg(withTilde(IntentProcessorConstants::apiKeysFilePath()));
}

} // namespace nerim
