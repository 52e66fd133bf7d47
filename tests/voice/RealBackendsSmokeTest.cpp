#include "TestEnvironment.h"
#include "support/voice-fakes/VoiceFakes.h"
#include "voice/CanberraCuePlayer.h"
#include "voice/DesktopVoiceBackends.h"
#include "voice/FliteSpeaker.h"
#include "voice/SoundCueService.h"
#include "voice/VoiceBackendLibrary.h"
#include "voice/VoiceNarratorService.h"
#include "voice/VoiceTranscriberError.h"

#include <QCoreApplication>
#include <QSemaphore>
#include <QTest>
#include <QThread>
#include <gtest/gtest.h>

using namespace nerim;
using namespace nerim::test;

// The tests run without a sound server (scripts/test starts none). The real
// sound and speech backends must then stay quiet: no exception, no hang,
// nothing but a log line.

namespace {
int linesStartingWith(const LogCapture &log, const QString &prefix)
{
    int count = 0;
    for (const QString &line : log.lines())
        count += line.startsWith(prefix);
    return count;
}
} // namespace

TEST(RealBackendsSmoke, TheApplicationsBackendsInstallAndStaySilent)
{
    LogCapture log;
    {
        DesktopVoiceBackends backends;
        SoundCueService::shared().play(SoundCueService::Cue::taskComplete);
        SoundCueService::shared().play(SoundCueService::Cue::agentSpawned);
        VoiceNarratorService::shared().speak(QStringLiteral("Agent 1 is done."));
        VoiceNarratorService::shared().speak(QStringLiteral("Agent 2 is done."));
        // Give the speech engine time to try; without a sound server it reports a playback error.
        QTest::qWait(300);
        VoiceNarratorService::shared().speak(QStringLiteral("Agent 3 is done."));
        QTest::qWait(300);
    }
    EXPECT_LE(linesStartingWith(log, QStringLiteral("[Nerim voice] narration")), 1)
        << "a narrator that cannot be heard says so once";
    EXPECT_EQ(linesStartingWith(log, QStringLiteral("[Nerim voice] narration is off")), 0)
        << "the flite engine is installed with the application";

    // Uninstalled again: the shared services are silent stand-ins once more.
    SoundCueService::shared().play(SoundCueService::Cue::voiceSubmitted);
    VoiceNarratorService::shared().speak(QStringLiteral("Nobody hears this."));
}

TEST(RealBackendsSmoke, EventSoundsAreQueuedBoundedAndFailuresLoggedOnce)
{
    LogCapture log;
    {
        CanberraCuePlayer player;
        player.playCue(SoundCueService::Cue::taskComplete);
        player.play("no-such-event-in-any-theme", QStringLiteral("Nothing"));
        for (int i = 0; i < 50; ++i)
            player.playCue(SoundCueService::Cue::voiceSubmitted); // more than the queue takes
        player.waitForIdle();
    }
    EXPECT_LE(linesStartingWith(log, QStringLiteral("[Nerim sound]")), 2) << "not a line for every cue";
}

TEST(RealBackendsSmoke, TheMicrophoneComesFromItsLibraryAndItsFailuresReachTheCaller)
{
    LogCapture log;
    std::unique_ptr<AudioCaptureSource> microphone = VoiceBackendLibrary::createMicrophone();
    ASSERT_NE(microphone, nullptr);
    // Without a sound server it cannot open; the library's error is the
    // application's own type, so the transcriber can tell the user why.
    try {
        microphone->start([](const QByteArray &) {});
        microphone->stop();
    } catch (const VoiceTranscriberError &error) {
        EXPECT_EQ(error.kind(), VoiceTranscriberError::Kind::audioEngineFailed);
    }
    microphone.reset();
    // A second one comes from the library already loaded.
    EXPECT_NE(VoiceBackendLibrary::createMicrophone(), nullptr);
    EXPECT_EQ(linesStartingWith(log, QStringLiteral("[Nerim voice] the audio capture library")), 0);
}

TEST(RealBackendsSmoke, TheSpeechEngineIsMadeAndUsedOffTheCallersThread)
{
    // An engine that takes its time to load (plugins, the sound system's
    // devices): the caller hands its sentences over and goes on at once.
    class Recording : public VoiceNarratorService::Speaker {
    public:
        explicit Recording(QStringList *said) : m_said(said) {}
        void say(const QString &text) override
        {
            m_said->append(text + (QThread::currentThread() == QCoreApplication::instance()->thread() ? "@caller" : ""));
        }
        QStringList *m_said;
    };
    QSemaphore loaded;
    QStringList said;
    QThread *madeOn = nullptr;
    {
        VoiceBackendLibrary::SpeakerOnFirstUse speaker([&]() -> std::unique_ptr<VoiceNarratorService::Speaker> {
            madeOn = QThread::currentThread();
            // Held until the caller has gone on; a caller that waited for the
            // engine would never get here first.
            loaded.tryAcquire(1, 10000);
            return std::make_unique<Recording>(&said);
        });
        FixedAppActivity active;
        VoiceNarratorService narrator(&speaker, &active);
        narrator.speak(QStringLiteral("Agent 1 is on it."));
        narrator.speak(QStringLiteral("Agent 2 is on it."));
        loaded.release();
        ASSERT_NE(speaker.speechThread(), nullptr);
        EXPECT_NE(speaker.speechThread(), QCoreApplication::instance()->thread());
    } // waits for the engine to go
    EXPECT_NE(madeOn, QCoreApplication::instance()->thread());
    EXPECT_EQ(said, QStringList({QStringLiteral("Agent 1 is on it."), QStringLiteral("Agent 2 is on it.")}))
        << "in order, none on the caller's thread";
}
