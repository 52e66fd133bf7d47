// The process entry: the Qt application, the one window, and the start-up load
// of the application state, run off the GUI thread while the window is shown.
#include "app/AppStartup.h"
#include "app/MainWindow.h"
#include "foundation/Log.h"
#include "persistence/IntentProcessorConstants.h"

#include <QApplication>
#include <QPointer>

namespace {

QCoro::Task<> startUp(QPointer<nerim::MainWindow> window)
{
    try {
        const nerim::StartupOutcome outcome = co_await nerim::loadApplicationState();
        if (!window)
            co_return;
        window->showStartupOutcome(outcome);
    } catch (const std::exception &e) {
        // Never expected (the load reports through its outcome), but a
        // fire-and-forget task must not swallow a failure silently.
        nerim::logLine(QStringLiteral("[Nerim] Start-up failed: ") + QString::fromUtf8(e.what()));
    }
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Nerim"));
    QApplication::setApplicationDisplayName(QStringLiteral("Nerim"));
    QApplication::setApplicationVersion(nerim::IntentProcessorConstants::appVersion());
    QApplication::setDesktopFileName(QStringLiteral("nerim"));

    nerim::MainWindow window;
    window.show();
    auto startup = startUp(&window);
    return app.exec();
}
