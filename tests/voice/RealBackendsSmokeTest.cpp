#include "TestEnvironment.h"
#include "voice/CanberraEventSound.h"
#include "voice/FliteSpeech.h"

#include <QTest>
#include <gtest/gtest.h>

using namespace nerim;
using namespace nerim::test;

// The tests run without a sound server (scripts/test starts none). The real
// sound and speech backends must then stay quiet: no exception, no hang,
// nothing but a log line.

TEST(RealBackendsSmoke, EventSoundsWithoutASoundServerAreDroppedQuietly)
{
    LogCapture log;
    {
        CanberraEventSound sounds;
        sounds.play("complete", QStringLiteral("Task complete"));
        sounds.play("no-such-event-in-any-theme", QStringLiteral("Nothing"));
        for (int i = 0; i < 20; ++i)
            sounds.play("message", QStringLiteral("Voice submitted")); // more than the queue takes
        sounds.waitForIdle();
    }
    int soundLines = 0;
    for (const QString &line : log.lines())
        soundLines += line.startsWith(QStringLiteral("[Nerim sound]"));
    EXPECT_LE(soundLines, 3) << "a failure is logged once, not for every cue";
}

TEST(RealBackendsSmoke, NarrationWithoutASoundServerStaysSilent)
{
    LogCapture log;
    FliteSpeech speech;
    speech.say(QStringLiteral("Agent 1 is done."));
    speech.say(QStringLiteral("Agent 2 is done."));
    // Give the engine time to try; without a sound server it reports a playback error.
    QTest::qWait(300);
    speech.say(QStringLiteral("Agent 3 is done."));
    QTest::qWait(300);
    int narrationLines = 0;
    for (const QString &line : log.lines())
        narrationLines += line.startsWith(QStringLiteral("[Nerim voice] narration"));
    EXPECT_LE(narrationLines, 1);
    EXPECT_TRUE(speech.isUsable()) << "the flite engine is installed with the application";
}
