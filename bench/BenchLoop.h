#pragma once

// What the headless and streaming benchmarks share: a temporary home, and
// running the event loop (a real one, so that turns are timed as the app's
// are) until something holds.

#include <QCoro/QCoroTask>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

namespace nerim::bench {

// Points HOME and the XDG data and configuration folders into `home`, so
// that nothing of the real home is read or written.
inline void useTemporaryHome(const QTemporaryDir &home)
{
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/.local/share")).toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/.config")).toUtf8());
}

// Before the application object of a benchmark with windows: the temporary
// home, and the offscreen platform unless another one is asked for.
inline void prepareWindowBench(const QTemporaryDir &home)
{
    useTemporaryHome(home);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

// Runs the event loop until `condition` holds or `timeoutMs` have passed;
// whether it holds.
template <typename F>
bool runUntil(F condition, int timeoutMs = 600000)
{
    QElapsedTimer timer;
    timer.start();
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (condition() || timer.elapsed() > timeoutMs)
            loop.quit();
    });
    poll.start(1);
    if (!condition())
        loop.exec();
    return condition();
}

// Runs the event loop until `task` has finished.
template <typename T>
void awaitTask(QCoro::Task<T> &&task)
{
    bool done = false;
    auto driver = [&]() -> QCoro::Task<> {
        co_await std::move(task);
        done = true;
    };
    auto running = driver();
    runUntil([&] { return done; });
}

} // namespace nerim::bench
