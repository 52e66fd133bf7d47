#include "voice/VoiceNarratorService.h"

#include "foundation/Log.h"

#include <QMutex>
#include <QSettings>
#include <optional>

namespace nerim {

namespace {

QSettings userSettings()
{
    return QSettings(QSettings::UserScope, QStringLiteral("Nerim"), QStringLiteral("Nerim"));
}

// The mute switch as last read or set, kept in memory so that speaking reads
// no file: read once for the user whose settings they are (the configuration
// folder in the environment), after that changed only by setMuted.
struct MuteSwitch {
    QMutex mutex;
    QByteArray owner;
    std::optional<bool> muted;
};

MuteSwitch &muteSwitch()
{
    static MuteSwitch state;
    return state;
}

QByteArray settingsOwner() { return qgetenv("XDG_CONFIG_HOME") + '\n' + qgetenv("HOME"); }

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
    MuteSwitch &state = muteSwitch();
    const QByteArray owner = settingsOwner();
    QMutexLocker lock(&state.mutex);
    if (!state.muted || state.owner != owner) {
        state.owner = owner;
        state.muted = userSettings().value(mutedSettingsKey, false).toBool();
    }
    return *state.muted;
}

void VoiceNarratorService::setMuted(bool muted)
{
    MuteSwitch &state = muteSwitch();
    QMutexLocker lock(&state.mutex);
    state.owner = settingsOwner();
    state.muted = muted;
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
