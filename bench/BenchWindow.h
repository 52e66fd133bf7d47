#pragma once

// What the window benchmarks share: running the event loop until something
// holds, and bringing Nerim's window up to its painted projects overview.

#include "app/AppShellView.h"
#include "app/AppStartup.h"
#include "app/MainWindow.h"

#include <QApplication>
#include <QCoro/QCoroTask>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <functional>
#include <optional>

namespace nerim::bench {

// Runs the event loop until `condition` holds; false after `timeoutMs`.
inline bool waitFor(const std::function<bool()> &condition, int timeoutMs = 60000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

// Runs the event loop (sleeping while nothing happens) for `ms`.
inline void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Loads the application state into `window` (already shown) and waits for the
// projects overview; false when either fails.
inline bool showOverview(MainWindow &window)
{
    std::optional<StartupOutcome> outcome;
    QCoro::Task<> loading = [](std::optional<StartupOutcome> *result) -> QCoro::Task<> {
        *result = co_await loadApplicationState();
    }(&outcome);
    if (!waitFor([&] { return outcome.has_value(); }) || !outcome->succeeded())
        return false;
    window.showStartupOutcome(*outcome);
    return waitFor([&] { return window.shellView()->overview() != nullptr; });
}

} // namespace nerim::bench
