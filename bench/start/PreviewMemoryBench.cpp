// Memory with the preview open: Nerim's window (built as the application
// builds it) on a project whose three panes hold 20,000 lines each, with the
// preview showing a page, against a bare QWebEngineView showing the same
// page. PSS of the process and of every process it started (the web
// engine's), after a rest. Run it under an X server (Xvfb will do).
#include "../BenchWindow.h"
#include "../ProcessFigures.h"
#include "agents/OutputLine.h"
#include "agents/PanesSnapshot.h"
#include "app/AppShellViewModel.h"
#include "app/MainWindow.h"
#include "canvas/ProjectCanvasViewModel.h"
#include "persistence/AppStateActor.h"
#include "preview/PreviewState.h"
#include "ui/workspace/ProjectCanvasView.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
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

constexpr double kTarget = 1.15;
constexpr int kLinesPerPane = 20000;
constexpr int kRestMs = 3000;



} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/.local/share")).toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/.config")).toUtf8());
    qputenv("XDG_CACHE_HOME", (home.path() + QStringLiteral("/.cache")).toUtf8());
    // As the application does.
    QApplication::setAttribute(Qt::AA_DontCreateNativeWidgetSiblings);
    QApplication app(argc, argv);
    QTextStream out(stdout);
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        out << "preview_memory_bench needs an X server (DISPLAY), e.g. under Xvfb\n";
        return 2;
    }

    const QString project = home.path() + QStringLiteral("/Recipes");
    QDir().mkpath(project + QStringLiteral("/.nerim"));
    PanesSnapshot snapshot;
    snapshot.nextAgentNumber = 4;
    for (int p = 1; p <= 3; ++p) {
        PaneDiskSnapshot pane;
        pane.id = QUuid::createUuid();
        pane.agentId = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
        pane.agentName = QStringLiteral("Claude %1").arg(p);
        pane.paneNumber = p;
        for (int i = 0; i < kLinesPerPane; ++i)
            pane.outputLines.append(OutputLine::make(
                i % 50 == 0 ? OutputLine::Kind::userPrompt : OutputLine::Kind::stdout,
                QStringLiteral("Pane %1, line %2: updated the **recipe card** and its `props`.").arg(p).arg(i)));
        snapshot.panes.append(pane);
    }
    QFile panes(project + QStringLiteral("/.nerim/panes.json"));
    if (!panes.open(QIODevice::WriteOnly) || panes.write(snapshot.encode()) < 0)
        return 1;
    panes.close();
    const QString page = home.path() + QStringLiteral("/page.html");
    QFile pageFile(page);
    if (!pageFile.open(QIODevice::WriteOnly))
        return 1;
    pageFile.write("<!doctype html><title>Recipes</title><body style='font:16px sans-serif'><h1>Recipes</h1>"
                   "<p>A page of the app being built.</p></body>");
    pageFile.close();

    AppState::ProjectRegistryEntry entry;
    {
        QFuture<std::shared_ptr<AppStateActor>> loadingActor = AppStateActor::load();
        loadingActor.waitForFinished();
        QFuture<AppState::ProjectRegistryEntry> registering =
            loadingActor.result()->registerProject(project, QStringLiteral("Recipes"), Timestamp::now());
        registering.waitForFinished();
        entry = registering.result();
    }

    MainWindow window;
    window.resize(1280, 800);
    window.show();
    if (!bench::showOverview(window))
        return 1;
    QCoro::Task<> opening = window.shell()->openProject(entry);
    if (!waitFor([&] {
            ProjectCanvasView *screen = window.shellView()->canvasScreen();
            return screen && screen->phase() == ProjectCanvasView::Phase::ready && screen->canvas()->panes().size() == 3;
        }, 120000))
        return 1;
    ProjectCanvasViewModel *canvas = window.shellView()->canvasScreen()->canvas();
    canvas->preview().setVisible(true);
    canvas->preview().navigate(QUrl::fromLocalFile(page).toString());
    if (!waitFor([&] { return canvas->preview().title() == QStringLiteral("Recipes"); }, 60000)) {
        out << "the preview showed no page\n";
        return 1;
    }
    runFor(kRestMs);
    const double nerimPss = bench::treePssMegabytes(pid_t(getpid()));

    QProcess bare;
    bare.setStandardErrorFile(QProcess::nullDevice());
    bare.start(QStringLiteral(NERIM_BARE_WEB_VIEW), {QUrl::fromLocalFile(page).toString()});
    QByteArray output;
    while (!output.contains("loaded\n")) {
        if (!bare.waitForReadyRead(60000)) {
            out << "the bare web view showed no page\n";
            return 1;
        }
        output += bare.readAllStandardOutput();
    }
    QThread::msleep(kRestMs);
    const double barePss = bench::treePssMegabytes(pid_t(bare.processId()));
    bare.terminate();
    if (!bare.waitForFinished(10000))
        bare.kill();

    const double ratio = nerimPss / barePss;
    out << "PSS with 3 × " << kLinesPerPane << " lines and the preview open: nerim " << QString::number(nerimPss, 'f', 1)
        << " MB, bare QWebEngineView " << QString::number(barePss, 'f', 1) << " MB: " << QString::number(ratio, 'f', 2)
        << "× (target ≤ " << kTarget << "×) " << (ratio <= kTarget ? "MET" : "MISSED") << "\n";
    out.flush();

    QCoro::Task<> tearingDown = canvas->teardown();
    waitFor([&] { return canvas->isTornDown(); }, 10000);
    return 0;
}
