#include "app/MainWindow.h"

#include <QApplication>
#include <gtest/gtest.h>

using nerim::MainWindow;

// A pairing link brings the window forward without taking away the size the
// user gave it: only a minimized window changes state.
TEST(MainWindow, BringingToFrontKeepsMaximizedAndFullScreen)
{
    const struct {
        const char *name;
        void (*arrange)(MainWindow &);
        Qt::WindowStates expected;
    } rows[] = {
        {"normal", [](MainWindow &w) { w.show(); }, Qt::WindowNoState},
        {"maximized", [](MainWindow &w) { w.showMaximized(); }, Qt::WindowMaximized},
        {"full screen", [](MainWindow &w) { w.showFullScreen(); }, Qt::WindowFullScreen},
        {"minimized", [](MainWindow &w) { w.showMinimized(); }, Qt::WindowNoState},
        {"minimized from maximized",
         [](MainWindow &w) {
             w.showMaximized();
             w.setWindowState(w.windowState() | Qt::WindowMinimized);
         },
         Qt::WindowMaximized},
        {"hidden", [](MainWindow &) {}, Qt::WindowNoState},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        MainWindow window;
        row.arrange(window);
        QApplication::processEvents();
        window.bringToFront();
        QApplication::processEvents();
        EXPECT_TRUE(window.isVisible());
        EXPECT_FALSE(window.isMinimized());
        EXPECT_EQ(window.windowState() & ~Qt::WindowActive, row.expected);
    }
}
