#include "voice/VoiceHotkeyMonitor.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QWidget>
#include <QWindow>
#include <gtest/gtest.h>

using namespace nerim;
using namespace std::chrono_literals;

namespace {

constexpr quint32 leftShiftKeysym = 0xffe1;

class VoiceHotkeyMonitorTest : public ::testing::Test {
protected:
    VoiceHotkeyMonitorTest()
        : monitor([this] { ++taps; }, [this] { return now; })
    {
        window.resize(200, 100);
        window.create();
    }

    // One key going down and up in the window, at the current time.
    void tap(int key, quint32 keysym, Qt::KeyboardModifiers modifiers = Qt::NoModifier, const QString &text = {})
    {
        QKeyEvent press(QEvent::KeyPress, key, modifiers, 0, keysym, 0, text);
        QCoreApplication::sendEvent(&window, &press);
        QKeyEvent release(QEvent::KeyRelease, key, modifiers, 0, keysym, 0, text);
        QCoreApplication::sendEvent(&window, &release);
    }
    void rightShift() { tap(Qt::Key_Shift, VoiceHotkeyMonitor::rightShiftKeysym); }

    QWindow window;
    std::chrono::milliseconds now{10'000};
    int taps = 0;
    VoiceHotkeyMonitor monitor;
};

} // namespace

TEST_F(VoiceHotkeyMonitorTest, TwoQuickRightShiftTapsFireOnce)
{
    monitor.start();
    rightShift();
    now += 250ms;
    rightShift();
    EXPECT_EQ(taps, 1);

    // The pair is used up: a third tap starts a new pair.
    now += 100ms;
    rightShift();
    EXPECT_EQ(taps, 1);
    now += VoiceHotkeyMonitor::doubleTapInterval;
    rightShift();
    EXPECT_EQ(taps, 2) << "a second tap exactly at the interval still counts";
}

TEST_F(VoiceHotkeyMonitorTest, OtherKeysAndSlowTapsDoNotFire)
{
    monitor.start();

    // Left Shift, twice, or mixed with Right Shift.
    tap(Qt::Key_Shift, leftShiftKeysym);
    now += 100ms;
    tap(Qt::Key_Shift, leftShiftKeysym);
    now += 100ms;
    rightShift();
    now += 100ms;
    tap(Qt::Key_Shift, leftShiftKeysym);
    EXPECT_EQ(taps, 0);

    // Shift and a letter between the taps: typing a capital.
    now += 1s;
    rightShift();
    now += 50ms;
    tap(Qt::Key_A, 0x41, Qt::ShiftModifier, QStringLiteral("A"));
    now += 50ms;
    rightShift();
    EXPECT_EQ(taps, 0);

    // A slow second tap becomes the first of a new pair.
    now += 1s;
    rightShift();
    now += VoiceHotkeyMonitor::doubleTapInterval + 1ms;
    rightShift();
    EXPECT_EQ(taps, 0);
    now += 200ms;
    rightShift();
    EXPECT_EQ(taps, 1);

    // Right Shift pressed with Control held is a shortcut, not a tap.
    now += 1s;
    tap(Qt::Key_Shift, VoiceHotkeyMonitor::rightShiftKeysym, Qt::ControlModifier);
    now += 100ms;
    tap(Qt::Key_Shift, VoiceHotkeyMonitor::rightShiftKeysym, Qt::ControlModifier);
    EXPECT_EQ(taps, 1);
}

TEST_F(VoiceHotkeyMonitorTest, ListensOnlyBetweenStartAndStopAndStopForgetsTheFirstTap)
{
    rightShift();
    now += 100ms;
    rightShift();
    EXPECT_EQ(taps, 0) << "creating the monitor installs nothing";

    monitor.start();
    monitor.start(); // a second start does not install a second filter
    now += 1s;
    rightShift();
    now += 100ms;
    rightShift();
    EXPECT_EQ(taps, 1) << "one filter, one call";

    now += 1s;
    rightShift();
    monitor.stop();
    monitor.start();
    now += 100ms;
    rightShift();
    EXPECT_EQ(taps, 1) << "the tap before stop was forgotten";

    monitor.stop();
    monitor.stop();
    now += 100ms;
    rightShift();
    now += 100ms;
    rightShift();
    EXPECT_EQ(taps, 1);
    EXPECT_FALSE(monitor.isStarted());
}

TEST(VoiceHotkeyMonitor, AKeyPassingThroughWidgetsCountsOnce)
{
    std::chrono::milliseconds now{5'000};
    int taps = 0;
    VoiceHotkeyMonitor monitor([&] { ++taps; }, [&] { return now; });
    monitor.start();

    // A focused child that ignores Shift: the press travels from the window to
    // the child and up to its parent, passing the filter each time.
    QWidget top;
    auto *child = new QWidget(&top);
    child->setFocusPolicy(Qt::StrongFocus);
    top.show();
    child->setFocus();
    top.activateWindow();
    QWindow *window = top.windowHandle();
    ASSERT_NE(window, nullptr);

    QKeyEvent press(QEvent::KeyPress, Qt::Key_Shift, Qt::NoModifier, 0, VoiceHotkeyMonitor::rightShiftKeysym, 0);
    QCoreApplication::sendEvent(window, &press);
    EXPECT_EQ(taps, 0) << "one press is one tap, however far it travels";
    now += 200ms;
    QKeyEvent second(QEvent::KeyPress, Qt::Key_Shift, Qt::NoModifier, 0, VoiceHotkeyMonitor::rightShiftKeysym, 0);
    QCoreApplication::sendEvent(window, &second);
    EXPECT_EQ(taps, 1);
}
