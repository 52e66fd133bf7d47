#pragma once

#include "voice/VoiceNarratorService.h"

#include <QObject>
#include <QStringList>
#include <memory>

class QTextToSpeech;

namespace nerim {

// Speaks the narrator's sentences with Qt TextToSpeech's flite engine, one
// after the other. The engine is loaded on first use; synthesis and playback
// run off the GUI thread, so say() returns at once. An engine that does not
// load, or a sound system that cannot play, makes it silent with one log
// line. (The narrator in front decides whether to speak at all: not muted,
// application active, text not blank.) Lives on the thread that made it,
// which runs an event loop: the application makes it on a speech thread of
// its own (VoiceBackendLibrary::SpeakerOnFirstUse), never on the GUI thread.
class FliteSpeaker : public QObject, public VoiceNarratorService::Speaker {
    Q_OBJECT

public:
    static inline const QString engineName = QStringLiteral("flite");
    // Sentences waiting beyond this many are dropped: old news by the time they would be heard.
    static constexpr int maximumWaiting = 3;

    explicit FliteSpeaker(QObject *parent = nullptr);
    ~FliteSpeaker() override;

    void say(const QString &text) override;

    // False once the engine failed to load.
    bool isUsable() const { return !m_unusable; }

private:
    bool ensureEngine();
    void speakNext();
    void disable(const QString &reason);

    std::unique_ptr<QTextToSpeech> m_speech;
    QStringList m_waiting;
    bool m_unusable = false;
    bool m_playbackErrorLogged = false;
};

} // namespace nerim
