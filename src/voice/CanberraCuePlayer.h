#pragma once

#include "foundation/SerialExecutor.h"
#include "voice/SoundCueService.h"

#include <QByteArray>
#include <QString>
#include <atomic>
#include <memory>

namespace nerim {

// Makes the sound cues heard: each cue is a freedesktop sound-theme event
// played through libcanberra, so the user's sound theme and desktop
// event-sound setting (GNOME's org.gnome.desktop.sound) apply. Everything
// runs on a thread of its own: playing only queues the event and returns.
// Without a sound server, with event sounds switched off, or with a theme
// lacking the event, nothing is heard; a failure is logged once and never
// reaches the caller. (The service in front decides whether a cue plays at
// all: application active, not repeated within 0.8 s.)
class CanberraCuePlayer : public SoundCueService::Player {
public:
    CanberraCuePlayer();
    ~CanberraCuePlayer() override;

    CanberraCuePlayer(const CanberraCuePlayer &) = delete;
    CanberraCuePlayer &operator=(const CanberraCuePlayer &) = delete;

    void playCue(SoundCueService::Cue cue) override;

    // The sound-theme event of each cue: "service-login" (agent spawned),
    // "complete" (task complete), "device-added" (recording started),
    // "message" (voice submitted).
    static QByteArray eventId(SoundCueService::Cue cue);

    // Queues any theme event; returns at once.
    void play(const QByteArray &eventId, const QString &description);

    // The sound library, loaded on the worker thread at the first cue; when it
    // cannot be loaded, that is logged once and the cues stay silent.
    static inline const char *const libraryName = "libcanberra.so.0";

    // Waits until every queued event has been handed to the sound system (tests).
    void waitForIdle() { m_worker.waitForIdle(); }

private:
    struct Context;
    std::shared_ptr<Context> m_context;
    std::shared_ptr<std::atomic<int>> m_queued;
    SerialExecutor m_worker;
};

} // namespace nerim
