#include "voice/VoiceNarratorService.h"

#include "foundation/Log.h"

#include <QSettings>

namespace nerim {

namespace {

QSettings userSettings()
{
    return QSettings(QSettings::UserScope, QStringLiteral("Nerim"), QStringLiteral("Nerim"));
}

VoiceNarratorService::SilentSpeaker &silentSpeaker()
{
    static VoiceNarratorService::SilentSpeaker speaker;
    return speaker;
}

class SharedSpeaker : public VoiceNarratorService::Speaker {
public:
    void say(const QString &text) override { (target ? *target : silentSpeaker()).say(text); }
    VoiceNarratorService::Speaker *target = nullptr;
};

SharedSpeaker &sharedSpeaker()
{
    static SharedSpeaker speaker;
    return speaker;
}

} // namespace

VoiceNarratorService::VoiceNarratorService(Speaker *speaker, AppActivitySource *activity)
    : m_speaker(speaker ? speaker : &silentSpeaker()), m_activity(activity)
{
}

void VoiceNarratorService::speak(const QString &text) noexcept
{
    try {
        if (text.trimmed().isEmpty() || isMuted())
            return;
        const AppActivitySource &activity = m_activity ? *m_activity : AppActivitySource::shared();
        if (!activity.isApplicationActive())
            return;
        m_speaker->say(text);
    } catch (...) {
        logLine(QStringLiteral("[Nerim] narration failed"));
    }
}

bool VoiceNarratorService::isMuted() const
{
    return userSettings().value(mutedSettingsKey, false).toBool();
}

void VoiceNarratorService::setMuted(bool muted)
{
    userSettings().setValue(mutedSettingsKey, muted);
}

VoiceNarratorService &VoiceNarratorService::shared()
{
    static VoiceNarratorService narrator(&sharedSpeaker());
    return narrator;
}

void VoiceNarratorService::setSharedSpeaker(Speaker *speaker)
{
    sharedSpeaker().target = speaker;
}

} // namespace nerim
