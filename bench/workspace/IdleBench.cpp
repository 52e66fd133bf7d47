// What the window costs while nothing happens: the CPU time of Nerim and of
// every process it started (the web engine's among them) over a quiet
// stretch, as a share of one core, beside the target of 1%. At 1600 × 1000
// and at 1280 × 800 it measures the projects overview, then a project's
// canvas with three idle panes and the prompt field focused, the canvas with
// the preview showing a still page, the canvas after the preview was closed
// (focused and unfocused field), and the canvas under Reduce Motion. Each
// stretch starts after the caret has come to rest (the desktop stops a
// caret's blinking after 10 s without input). Run it under a real X server
// with a window manager for figures that include drawing on screen; without
// DISPLAY it runs offscreen. NERIM_IDLE_SECONDS sets the stretch (20 s).
//
// The web engine gets the arguments the application gives it (as root it
// runs without its sandbox, or it would end the process); a preview that does
// not load ends the run with a message instead of a missing figure.
#include "../BenchLoop.h"
#include "../BenchWindow.h"
#include "../ProcessFigures.h"
#include "ProjectPanes.h"
#include "panes-store/OutputLine.h"
#include "panes-store/PanesSnapshot.h"
#include "app/AppShellViewModel.h"
#include "app/MainWindow.h"
#include "canvas/ProjectCanvasViewModel.h"
#include "persistence/AppStateActor.h"
#include "preview/PreviewState.h"
#include "ui/design/MotionPreferences.h"
#include "ui/design/widgets/AtmosphereView.h"
#include "ui/design/CaretBlinkRest.h"
#include "ui/workspace/ProjectCanvasView.h"
#include "ui/workspace/PromptBarField.h"
#include "ui/workspace/PromptBarView.h"

#include <QApplication>
#include <QCoro/QCoroFuture>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <unistd.h>

using namespace nerim;
using bench::waitFor;
using bench::runFor;

namespace {

constexpr double kTargetPercent = 1.0;



// CPU seconds (user and system) of this process and all its descendants;
// `selfOnly` counts this process alone.
double treeCpuSeconds(bool selfOnly = false)
{
    if (selfOnly)
        return bench::cpuSeconds(getpid());
    double total = 0;
    for (pid_t pid : bench::processTree(getpid()))
        total += bench::cpuSeconds(pid);
    return total;
}

QList<OutputLine> transcript(int pane)
{
    QList<OutputLine> lines;
    for (int i = 0; i < 40; ++i)
        lines.append(OutputLine::make(i % 10 == 0 ? OutputLine::Kind::userPrompt : OutputLine::Kind::stdout,
                                      QStringLiteral("Pane %1, line %2: updated the **recipe card** and its `props`.")
                                          .arg(pane)
                                          .arg(i)));
    return lines;
}

} // namespace

int main(int argc, char **argv)
{
    nerim::bench::printLoadOnce();
    QTemporaryDir home;
    bench::useTemporaryHome(home);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    bench::ApplicationArguments arguments(argc, argv);
    QApplication app(arguments.count(), arguments.values());
    QTextStream out(stdout);
    const int seconds = qEnvironmentVariableIsSet("NERIM_IDLE_SECONDS") ? qEnvironmentVariableIntValue("NERIM_IDLE_SECONDS") : 20;

    const QString project = home.path() + QStringLiteral("/Recipes");
    QDir().mkpath(project + QStringLiteral("/.nerim"));
    const PanesSnapshot snapshot = bench::projectPanes(3, [](int p) { return OutputLines(transcript(p)); });
    QFile panes(project + QStringLiteral("/.nerim/panes.json"));
    if (!panes.open(QIODevice::WriteOnly) || panes.write(snapshot.encode()) < 0)
        return 1;
    panes.close();
    const QString page = home.path() + QStringLiteral("/still.html");
    QFile still(page);
    if (!still.open(QIODevice::WriteOnly))
        return 1;
    still.write("<!doctype html><title>Still</title><body style='font:16px sans-serif'><h1>A still page</h1>"
                "<p>Nothing moves here.</p></body>");
    still.close();

    // Three known projects on the overview, the first the one opened later.
    AppState::ProjectRegistryEntry entry;
    {
        QFuture<std::shared_ptr<AppStateActor>> loadingActor = AppStateActor::load();
        loadingActor.waitForFinished();
        std::shared_ptr<AppStateActor> actor = loadingActor.result();
        for (const QString &other : {QStringLiteral("Book Club"), QStringLiteral("Invoices")}) {
            QDir().mkpath(home.path() + QLatin1Char('/') + other);
            QFuture<AppState::ProjectRegistryEntry> made =
                actor->registerProject(home.path() + QLatin1Char('/') + other, other, Timestamp::now());
            made.waitForFinished();
        }
        QFuture<AppState::ProjectRegistryEntry> registering =
            actor->registerProject(project, QStringLiteral("Recipes"), Timestamp::now());
        registering.waitForFinished();
        entry = registering.result();
    }

    const QList<QSize> sizes{QSize(1600, 1000), QSize(1280, 800)};
    MainWindow window;
    window.resize(sizes.first());
    window.show();
    window.activateWindow();
    if (!bench::showOverview(window))
        return 1;
    // Longer than the caret takes to come to rest, so each stretch measures
    // the window as it stays while nobody touches it.
    const int settleMs = int(CaretBlinkRest::shared().timeout().count()) + 2000;

    int missed = 0;
    QString size;
    const auto measure = [&](const QString &what, bool reduceMotion) {
        MotionPreferences::shared().setReduceMotion(reduceMotion);
        runFor(settleMs);
        auto *background = window.findChild<AtmosphereView *>();
        const int rendersBefore = background ? background->renderCount() : 0;
        const double before = treeCpuSeconds();
        const double selfBefore = treeCpuSeconds(true);
        QElapsedTimer wall;
        wall.start();
        runFor(seconds * 1000);
        const double cpu = treeCpuSeconds() - before;
        const double selfPercent = 100.0 * (treeCpuSeconds(true) - selfBefore) / (wall.nsecsElapsed() / 1e9);
        const double percent = 100.0 * cpu / (wall.nsecsElapsed() / 1e9);
        missed += percent < kTargetPercent ? 0 : 1;
        out << size << ", " << what << ", motion " << (reduceMotion ? "off" : "on ") << ": "
            << QString::number(percent, 'f', 2) << "% of one core over " << seconds << " s (target: under "
            << kTargetPercent << "%) " << (percent < kTargetPercent ? "MET" : "MISSED") << " (Nerim's own process "
            << QString::number(selfPercent, 'f', 2) << "%); background changed "
            << (background ? background->renderCount() - rendersBefore : 0) << " times"
            << (background && !background->isAnimating() ? " (resting)" : "") << "\n";
        out.flush();
    };

    out << "platform " << QGuiApplication::platformName() << (::geteuid() == 0 ? ", as root" : "") << "\n";
    QCoro::Task<> opening;
    ProjectCanvasViewModel *canvas = nullptr;
    for (const QSize &windowSize : sizes) {
        window.resize(windowSize);
        size = QStringLiteral("%1 × %2").arg(windowSize.width()).arg(windowSize.height());
        if (!canvas) {
            measure(QStringLiteral("overview"), false);
            opening = window.shell()->openProject(entry);
            if (!waitFor([&] {
                    ProjectCanvasView *screen = window.shellView()->canvasScreen();
                    return screen && screen->phase() == ProjectCanvasView::Phase::ready
                           && screen->canvas()->panes().size() == 3;
                })) {
                out << "the project did not open\n";
                return 1;
            }
            canvas = window.shellView()->canvasScreen()->canvas();
        }
        PromptBarField *field = window.shellView()->canvasScreen()->promptBar()->field();
        const auto focusField = [&] {
            window.activateWindow();
            field->setFocus(Qt::MouseFocusReason);
        };
        focusField();
        measure(QStringLiteral("canvas, three idle panes, prompt field focused"), false);

        canvas->preview().setVisible(true);
        if (!canvas->preview().loadedURL()) {
            canvas->preview().navigate(QUrl::fromLocalFile(page).toString());
            const bool loaded = waitFor(
                [&] { return canvas->preview().loadedURL().has_value() && !canvas->preview().isLoading(); }, 30000);
            if (!loaded) {
                out << "the preview did not load its page"
                    << (canvas->preview().error() ? QStringLiteral(": ") + *canvas->preview().error() : QString())
                    << "; no preview figures\n";
                return 1;
            }
        }
        focusField();
        measure(QStringLiteral("canvas and the preview on a still page, prompt field focused"), false);

        canvas->preview().setVisible(false);
        focusField();
        measure(QStringLiteral("canvas after the preview was closed, prompt field focused"), false);
        if (QWidget *focused = QApplication::focusWidget())
            focused->clearFocus();
        measure(QStringLiteral("canvas after the preview was closed, no field focused"), false);
        focusField();
        measure(QStringLiteral("canvas after the preview was closed, prompt field focused"), true);
    }
    out << (missed == 0 ? "every resting state under the target\n"
                        : QStringLiteral("%1 states at or over the target\n").arg(missed));

    QCoro::Task<> tearingDown = canvas->teardown();
    waitFor([&] { return canvas->isTornDown(); }, 10000);
    return 0;
}
