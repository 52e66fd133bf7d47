#include "app/StartupChores.h"

#include <QApplication>
#include <QPainter>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include <sched.h>
#include <unistd.h>

using nerim::runAfterFirstPaint;

namespace {

class Painted : public QWidget {
public:
    int paints = 0;

protected:
    void paintEvent(QPaintEvent *) override
    {
        ++paints;
        QPainter(this).fillRect(rect(), Qt::white);
    }
};

} // namespace

// Fontconfig's start-up runs on a thread of its own, then what was asked
// after it, once; wait() returns when both are done. The thread is started
// away from the caller's core, but is not kept off it: it ends free to run on
// every core the process may use.
TEST(StartupChores, FontconfigStartsOnAThreadOfItsOwnThatIsNotKeptOffAnyCore)
{
    std::thread::id ranOn;
    int runs = 0;
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    {
        nerim::FontconfigPreload preload([&] {
            ++runs;
            ranOn = std::this_thread::get_id();
            ::sched_getaffinity(0, sizeof allowed, &allowed);
        });
        preload.wait();
        EXPECT_EQ(runs, 1);
        preload.wait();
    }
    EXPECT_EQ(runs, 1);
    EXPECT_NE(ranOn, std::this_thread::get_id());
    cpu_set_t process;
    ASSERT_EQ(::sched_getaffinity(::getpid(), sizeof process, &process), 0);
    EXPECT_TRUE(CPU_EQUAL(&allowed, &process));
}

// The chore waits for the window's first paint (a child's will do), runs once
// after it, and not again on later paints.
TEST(StartupChores, AChoreRunsOnceAfterTheFirstPaintOfTheWindow)
{
    QWidget window;
    window.resize(200, 120);
    auto *inside = new Painted;
    inside->setParent(&window);
    inside->setGeometry(10, 10, 50, 50);
    int runs = 0;
    int paintsWhenRun = -1;
    runAfterFirstPaint(&window, [&] {
        ++runs;
        paintsWhenRun = inside->paints;
    }, 60000);

    // Another window's paint is not this one's.
    Painted other;
    other.resize(80, 80);
    other.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&other));
    QTRY_VERIFY(other.paints > 0);
    QApplication::processEvents();
    EXPECT_EQ(runs, 0);

    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QTRY_COMPARE(runs, 1);
    EXPECT_GE(paintsWhenRun, 1);

    inside->update();
    QTRY_VERIFY(inside->paints > paintsWhenRun);
    QTest::qWait(20);
    EXPECT_EQ(runs, 1);
}

// A window never painted still gets its chores, late; one that is gone never
// does.
TEST(StartupChores, UnpaintedWindowsRunTheChoreLateAndClosedOnesNever)
{
    QWidget hidden;
    int hiddenRuns = 0;
    runAfterFirstPaint(&hidden, [&] { ++hiddenRuns; }, 30);
    QTRY_COMPARE(hiddenRuns, 1);
    QTest::qWait(50);
    EXPECT_EQ(hiddenRuns, 1);

    int goneRuns = 0;
    {
        auto gone = std::make_unique<QWidget>();
        runAfterFirstPaint(gone.get(), [&] { ++goneRuns; }, 30);
    }
    QTest::qWait(80);
    EXPECT_EQ(goneRuns, 0);
}

// Only the paints the filter accepts count: the window's own painted while
// the screen that counts is not there yet leaves the chore waiting.
TEST(StartupChores, OnlyAPaintTheFilterAcceptsStartsTheChore)
{
    Painted window;
    window.resize(200, 120);
    Painted *screen = nullptr;
    int runs = 0;
    runAfterFirstPaint(&window, [&] { ++runs; }, 60000,
                       [&](const QWidget *painted) { return screen && painted == screen; });
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QTRY_VERIFY(window.paints > 0);
    QTest::qWait(20);
    EXPECT_EQ(runs, 0);

    screen = new Painted;
    screen->setParent(&window);
    screen->setGeometry(0, 0, 100, 100);
    screen->show();
    QTRY_COMPARE(runs, 1);
    EXPECT_GE(screen->paints, 1);
}
