#include "voice/SoundCueService.h"

#include "foundation/Log.h"

#include <QtGlobal>

namespace nerim {

namespace {

SoundCueService::SilentPlayer &silentPlayer()
{
    static SoundCueService::SilentPlayer player;
    return player;
}

std::chrono::milliseconds steadyNow()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch());
}

// Forwards to whatever player is installed for the shared service.
class SharedPlayer : public SoundCueService::Player {
public:
    void playCue(SoundCueService::Cue cue) override { (target ? *target : silentPlayer()).playCue(cue); }
    SoundCueService::Player *target = nullptr;
};

SharedPlayer &sharedPlayer()
{
    static SharedPlayer player;
    return player;
}

} // namespace

SoundCueService::SoundCueService(Player *player, AppActivitySource *activity, Clock clock)
    : m_player(player ? player : &silentPlayer()), m_activity(activity), m_clock(clock ? std::move(clock) : Clock(steadyNow))
{
}

void SoundCueService::play(Cue cue) noexcept
{
    try {
        const AppActivitySource &activity = m_activity ? *m_activity : AppActivitySource::shared();
        if (!activity.isApplicationActive())
            return;
        const std::chrono::milliseconds now = m_clock();
        const auto last = m_lastPlayed.constFind(static_cast<int>(cue));
        if (last != m_lastPlayed.constEnd() && now - *last < repeatInterval)
            return;
        m_lastPlayed.insert(static_cast<int>(cue), now);
        m_player->playCue(cue);
    } catch (...) {
        // A cue is decoration: nothing about it may disturb the caller.
        logLine(QStringLiteral("[Nerim] sound cue failed"));
    }
}

SoundCueService &SoundCueService::shared()
{
    // No fixed activity source: the one installed at the time of each cue decides.
    static SoundCueService service(&sharedPlayer(), nullptr);
    return service;
}

void SoundCueService::setSharedPlayer(Player *player)
{
    sharedPlayer().target = player;
}

} // namespace nerim
