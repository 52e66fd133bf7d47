#pragma once

#include "voice/AppActivity.h"

#include <QHash>
#include <chrono>
#include <functional>

namespace nerim {

// Plays the short sounds that mark moments on the canvas. Lives on the GUI thread.
class SoundCueService {
public:
    enum class Cue { agentSpawned, taskComplete, voiceRecordingStarted, voiceSubmitted };

    // What actually makes the sound. Must return at once.
    class Player {
    public:
        virtual ~Player() = default;
        virtual void playCue(Cue cue) = 0;
    };

    // A player that makes no sound (no sound backend on this system).
    class SilentPlayer : public Player {
    public:
        void playCue(Cue) override {}
    };

    // A monotonic clock; replaceable so tests need no waiting.
    using Clock = std::function<std::chrono::milliseconds()>;

    // The same cue again within this time is skipped.
    static constexpr std::chrono::milliseconds repeatInterval{800};

    // `player` and `activity` must outlive the service; null means the silent
    // player and the shared activity source.
    explicit SoundCueService(Player *player = nullptr, AppActivitySource *activity = nullptr, Clock clock = {});

    // Plays the cue while the application is active, unless the same cue was
    // played less than `repeatInterval` ago. Returns at once and never fails.
    void play(Cue cue) noexcept;

    // The process-wide service the canvas uses by default.
    static SoundCueService &shared();
    // Replaces the shared service's player; null restores the silent one.
    static void setSharedPlayer(Player *player);

private:
    Player *m_player;
    AppActivitySource *m_activity;
    Clock m_clock;
    QHash<int, std::chrono::milliseconds> m_lastPlayed;
};

} // namespace nerim
