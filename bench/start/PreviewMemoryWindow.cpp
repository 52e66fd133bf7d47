// The Nerim side of the preview memory benchmark (PreviewMemoryBench starts
// it): Nerim's window, built as the application builds it, opens the project
// given as the first argument (already registered in the application state
// under $HOME) and shows the page given as the second in the preview. Prints
// "ready" once the page has shown, then stays open until it is ended
// (SIGTERM), when it leaves the project in order.
#include "../BenchWindow.h"
#include "app/AppShellViewModel.h"
#include "app/MainWindow.h"
#include "canvas/ProjectCanvasViewModel.h"
#include "persistence/AppStateActor.h"
#include "platform/TerminationSignals.h"
#include "preview/PreviewState.h"
#include "ui/workspace/ProjectCanvasView.h"

#include <QApplication>
#include <QTextStream>
#include <QUrl>

using namespace nerim;

int main(int argc, char **argv)
{
    bench::ApplicationArguments arguments(argc, argv);
    QApplication app(arguments.count(), arguments.values());
    QTextStream out(stdout);
    if (argc < 3) {
        out << "usage: preview_memory_window <project folder> <page>\n";
        return 2;
    }
    const QString project = QString::fromLocal8Bit(argv[1]);
    const QString page = QString::fromLocal8Bit(argv[2]);

    std::optional<AppState::ProjectRegistryEntry> entry;
    {
        QFuture<std::shared_ptr<AppStateActor>> loading = AppStateActor::load();
        loading.waitForFinished();
        QFuture<AppState> reading = loading.result()->state();
        reading.waitForFinished();
        for (const AppState::ProjectRegistryEntry &known : reading.result().projects)
            if (known.path == project)
                entry = known;
    }
    if (!entry) {
        out << "the project is not registered\n";
        return 1;
    }

    platform::TerminationSignals terminationSignals;
    QObject::connect(&terminationSignals, &platform::TerminationSignals::received, &app, &QApplication::quit);

    MainWindow window;
    window.resize(1280, 800);
    window.show();
    if (!bench::showOverview(window))
        return 1;
    QCoro::Task<> opening = window.shell()->openProject(*entry);
    if (!bench::waitFor([&] {
            ProjectCanvasView *screen = window.shellView()->canvasScreen();
            return screen && screen->phase() == ProjectCanvasView::Phase::ready && screen->canvas()->panes().size() == 3;
        }, 120000))
        return 1;
    ProjectCanvasViewModel *canvas = window.shellView()->canvasScreen()->canvas();
    canvas->preview().setVisible(true);
    canvas->preview().navigate(QUrl::fromLocalFile(page).toString());
    if (!bench::waitFor([&] { return canvas->preview().title() == QStringLiteral("Recipes"); }, 60000)) {
        out << "the preview showed no page\n";
        return 1;
    }
    out << "ready\n";
    out.flush();

    QApplication::exec();
    QCoro::Task<> tearingDown = canvas->teardown();
    bench::waitFor([&] { return canvas->isTornDown(); }, 10000);
    return 0;
}
