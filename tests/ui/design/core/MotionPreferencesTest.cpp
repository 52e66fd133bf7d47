#include "platform/DesktopAnimationSetting.h"
#include "ui/design/Colors.h"
#include "ui/design/MotionPreferences.h"

#include <QDBusConnection>
#include <QProcess>
#include <QSignalSpy>
#include <memory>
#include <gtest/gtest.h>

namespace nerim {
namespace {

TEST(MotionPreferencesTest, EnvironmentOverrideAcceptsOnlyOneOrZero)
{
    EXPECT_EQ(MotionPreferences::parseOverride("1"), true);
    EXPECT_EQ(MotionPreferences::parseOverride("0"), false);
    EXPECT_EQ(MotionPreferences::parseOverride(" 1\n"), true);
    EXPECT_EQ(MotionPreferences::parseOverride(""), std::nullopt);
    EXPECT_EQ(MotionPreferences::parseOverride("true"), std::nullopt);
    EXPECT_EQ(MotionPreferences::parseOverride("yes"), std::nullopt);
}

TEST(MotionPreferencesTest, FollowsTheDesktopUntilSomethingDecides)
{
    DesktopAnimationSetting desktop;
    MotionPreferences preferences(std::nullopt);
    QSignalSpy changes(&preferences, &MotionPreferences::reduceMotionChanged);
    preferences.followDesktop(&desktop);
    EXPECT_FALSE(preferences.reduceMotion()); // nothing known: animations on

    desktop.setAnimationsEnabled(false);
    EXPECT_TRUE(preferences.reduceMotion());
    desktop.setAnimationsEnabled(true);
    EXPECT_FALSE(preferences.reduceMotion());
    EXPECT_EQ(changes.count(), 2);

    // An explicit choice wins over later desktop readings.
    preferences.setReduceMotion(true);
    desktop.setAnimationsEnabled(false);
    desktop.setAnimationsEnabled(true);
    EXPECT_TRUE(preferences.reduceMotion());
    EXPECT_EQ(changes.count(), 3);
}

TEST(MotionPreferencesTest, EnvironmentOverrideIgnoresTheDesktop)
{
    DesktopAnimationSetting desktop;
    desktop.setAnimationsEnabled(false);
    MotionPreferences preferences(false);
    preferences.followDesktop(&desktop);
    EXPECT_FALSE(preferences.reduceMotion());
    desktop.setAnimationsEnabled(true);
    desktop.setAnimationsEnabled(false);
    EXPECT_FALSE(preferences.reduceMotion());

    MotionPreferences reduced(true);
    EXPECT_TRUE(reduced.reduceMotion());
}

TEST(MotionPreferencesTest, TakesAKnownDesktopReadingAtOnce)
{
    DesktopAnimationSetting desktop;
    desktop.setAnimationsEnabled(false);
    MotionPreferences preferences(std::nullopt);
    preferences.followDesktop(&desktop);
    EXPECT_TRUE(preferences.reduceMotion());
}

TEST(MotionPreferencesTest, ReadsGsettingsAnswers)
{
    EXPECT_EQ(DesktopAnimationSetting::parseGsettingsValue("true\n"), true);
    EXPECT_EQ(DesktopAnimationSetting::parseGsettingsValue("false\n"), false);
    EXPECT_EQ(DesktopAnimationSetting::parseGsettingsValue("No such key “enable-animations”\n"), std::nullopt);
    EXPECT_EQ(DesktopAnimationSetting::parseGsettingsValue(""), std::nullopt);
}

// Held, a reading that needs `gsettings` starts no process until released;
// objects gone meanwhile are passed over.
TEST(MotionPreferencesTest, AHeldGsettingsReadingWaitsForTheRelease)
{
    if (QDBusConnection::sessionBus().isConnected())
        GTEST_SKIP() << "a session bus is there: the reading asks the portal first";
    DesktopAnimationSetting::holdProcesses();
    DesktopAnimationSetting desktop;
    auto gone = std::make_unique<DesktopAnimationSetting>();
    desktop.start();
    gone->start();
    EXPECT_TRUE(desktop.isWaitingForRelease());
    EXPECT_TRUE(desktop.findChildren<QProcess *>().isEmpty());
    gone.reset();

    DesktopAnimationSetting::releaseProcesses();
    EXPECT_FALSE(desktop.isWaitingForRelease());
    EXPECT_EQ(desktop.findChildren<QProcess *>().size(), 1);

    // Not held any more: a new reading starts at once.
    DesktopAnimationSetting later;
    later.start();
    EXPECT_FALSE(later.isWaitingForRelease());
    EXPECT_EQ(later.findChildren<QProcess *>().size(), 1);
}

TEST(ColorsTest, TokensKeepTheirExactBytesAndTwinTokensStaySeparate)
{
    const QColor paper = qColor(NmColor::paper);
    EXPECT_EQ(paper.red(), 245);
    EXPECT_EQ(paper.green(), 241);
    EXPECT_EQ(paper.blue(), 232);
    EXPECT_EQ(paper.alpha(), 255);
    EXPECT_NEAR(qColor(NmColor::hairline, 0.25).alphaF(), 0.25, 1e-4);
    EXPECT_EQ(qColor(NmColor::accent, 2.0).alpha(), 255);
    // Equal values, different tokens.
    EXPECT_EQ(qColor(NmColor::ink), qColor(NmColor::inkSurface));
    EXPECT_EQ(NmColor::paper, NmColor::atmosphereBase);
    EXPECT_NE(&NmColor::ink, &NmColor::inkSurface);
    EXPECT_NE(&NmColor::paper, &NmColor::atmosphereBase);
}

} // namespace
} // namespace nerim
