#pragma once

#include "voice/AppActivity.h"

#include <QString>

namespace nerim {

// Speaks short announcements ("Claude 1 is done."). Lives on the GUI thread.
class VoiceNarratorService {
public:
    // What actually speaks. Must return at once.
    class Speaker {
    public:
        virtual ~Speaker() = default;
        virtual void say(const QString &text) = 0;
    };

    // A speaker that stays silent (no speech engine on this system).
    class SilentSpeaker : public Speaker {
    public:
        void say(const QString &) override {}
    };

    // `speaker` and `activity` must outlive the service; null means the silent
    // speaker and the shared activity source.
    explicit VoiceNarratorService(Speaker *speaker = nullptr, AppActivitySource *activity = nullptr);

    // Speaks the text unless narration is muted, the application is inactive or
    // the text is blank after trimming. Returns at once and never fails.
    void speak(const QString &text) noexcept;

    // The user's mute switch (the menu's narration toggle), one for the whole
    // application and kept across launches: the boolean `mutedSettingsKey` in
    // the user's settings file (QSettings, organisation and application
    // "Nerim": ~/.config/Nerim/Nerim.conf). Read from the file once (the
    // window's menu does that when it is made) and kept in memory after that:
    // speaking reads no file. Safe from any thread.
    static inline const QString mutedSettingsKey = QStringLiteral("app.nerim.voice.narrator.muted");
    bool isMuted() const;
    void setMuted(bool muted);

    // The process-wide narrator the canvas uses by default.
    static VoiceNarratorService &shared();
    // Replaces the shared narrator's speaker; null restores the silent one.
    static void setSharedSpeaker(Speaker *speaker);

private:
    Speaker *m_speaker;
    AppActivitySource *m_activity;
};

} // namespace nerim
