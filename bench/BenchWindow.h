#pragma once

// What the window benchmarks share: running the event loop until something
// holds, and bringing Nerim's window up to its painted projects overview.

#include "app/AppShellView.h"
#include "app/AppStartup.h"
#include "app/MainWindow.h"
#include "preview/PreviewSandbox.h"

#include <QApplication>
#include <QCoro/QCoroTask>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <functional>
#include <optional>
#include <unistd.h>
#include <vector>

namespace nerim::bench {

// The command line the application gives itself before it makes its
// QApplication: the given arguments, then the web engine's own (as root, the
// engine runs without its sandbox or it would end the process); also, like
// the application, native widgets get no native siblings. Keep it alive while
// the QApplication made from it lives.
class ApplicationArguments {
public:
    ApplicationArguments(int argc, char **argv)
        : m_values(argv, argv + argc)
    {
        QApplication::setAttribute(Qt::AA_DontCreateNativeWidgetSiblings);
        for (const QString &argument : PreviewSandbox::engineArguments(::geteuid()))
            m_engine.push_back(argument.toUtf8());
        for (QByteArray &argument : m_engine)
            m_values.push_back(argument.data());
        m_count = int(m_values.size());
        m_values.push_back(nullptr);
    }
    int &count() { return m_count; }
    char **values() { return m_values.data(); }

private:
    std::vector<QByteArray> m_engine;
    std::vector<char *> m_values;
    int m_count = 0;
};

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
