#pragma once

#include "foundation/SerialExecutor.h"

#include <QByteArray>
#include <QString>
#include <atomic>
#include <memory>

namespace nerim {

// Plays freedesktop sound-theme events ("complete", "message", ...) through
// libcanberra, so the user's sound theme and desktop event-sound setting
// (GNOME's org.gnome.desktop.sound) apply. Everything runs on a thread of
// its own: play() only queues the event and returns. Without a sound server,
// with event sounds switched off, or with a theme lacking the event, nothing
// is heard; a failure is logged once and never reaches the caller.
class CanberraEventSound {
public:
    CanberraEventSound();
    ~CanberraEventSound();

    CanberraEventSound(const CanberraEventSound &) = delete;
    CanberraEventSound &operator=(const CanberraEventSound &) = delete;

    void play(const QByteArray &eventId, const QString &description);

    // Waits until every queued event has been handed to the sound system (tests).
    void waitForIdle() { m_worker.waitForIdle(); }

private:
    struct Player;
    std::shared_ptr<Player> m_player;
    std::shared_ptr<std::atomic<int>> m_queued;
    SerialExecutor m_worker;
};

} // namespace nerim
