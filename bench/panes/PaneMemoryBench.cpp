// What agent output costs in memory once it is on screen, each figure printed
// beside its target:
//  1. three panes, each shown in full-transcript mode, receive 100,000 lines
//     of output as a stream delivers them (transcript, turn, recent output),
//     the views kept up to date as they go;
//  2. the whole application: Nerim's window on a project whose three agents
//     (the stand-in `claude` program) print 100,000 lines each, shown in full,
//     through the controller, its stream consumers and the canvas screen.
// Prints the growth of resident memory per byte of output.
#include "agents/AgentPaneState.h"
#include "ui/design/MotionPreferences.h"
#include "ui/panes/AgentPaneView.h"
#ifdef PANE_MEMORY_BENCH_WHOLE_APP
#include "../BenchLoop.h"
#include "../BenchTiming.h"
#include "../BenchWindow.h"
#include "agents/ClaudeCodeProvider.h"
#include "app/AppShellViewModel.h"
#include "canvas/ProjectCanvasViewModel.h"
#include "persistence/AppStateActor.h"
#include "support/claude-standin/ClaudeStandin.h"
#include "ui/workspace/ProjectCanvasView.h"

#include <QCoro/QCoroFuture>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#endif

#include <QApplication>
#include <QFile>
#include <QUuid>
#include <cstdio>
#include <malloc.h>
#include <memory>
#include <vector>

using namespace nerim;

namespace {

using bench::report;

// A field of /proc/self/status, in kB.
qint64 statusField(const char *name)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(name))
            return line.mid(qstrlen(name)).trimmed().split(' ').value(0).toLongLong();
    return 0;
}

constexpr int lineCount = 100000;

void benchPanes()
{
    constexpr int burst = 500;

    // The window and one empty pane first, so what they cost is not counted.
    std::vector<std::unique_ptr<AgentPaneState>> panes;
    std::vector<std::unique_ptr<AgentPaneView>> views;
    for (int p = 1; p <= 3; ++p) {
        panes.push_back(std::make_unique<AgentPaneState>(QUuid::createUuid(), QStringLiteral("bench-%1").arg(p),
                                                         QStringLiteral("Claude %1").arg(p), p, false,
                                                         AgentRole::code, QString()));
        views.push_back(std::make_unique<AgentPaneView>(panes.back().get(), AppState::OutputMode::verbose,
                                                        AgentPaneView::Callbacks{}));
        views.back()->resize(420, 640);
        views.back()->show();
    }
    for (int i = 0; i < 4; ++i)
        QApplication::processEvents();
    malloc_trim(0);
    const qint64 before = statusField("VmRSS:");

    qint64 outputBytes = 0;
    for (int p = 0; p < 3; ++p) {
        AgentPaneState &pane = *panes[p];
        pane.beginTurn(QStringLiteral("print"));
        for (int i = 0; i < lineCount; ++i) {
            // About 80 bytes, built per line, as the stream delivers them.
            const QString line = QStringLiteral("line %1 of pane %2: ").arg(i).arg(p) + QString(60, QLatin1Char('x'));
            outputBytes += line.size() + 1; // ASCII: one byte per character, and the line feed
            pane.appendCurrentStdout(line);
            pane.appendLine(OutputLine::Kind::stdout, line);
            pane.appendStdoutToTurn(line);
            if (i % burst == burst - 1)
                QApplication::processEvents();
        }
        pane.closeTurn(std::nullopt);
        pane.markExited(0);
        for (int i = 0; i < 4; ++i)
            QApplication::processEvents();
    }
    malloc_trim(0);
    const double ratio = double(statusField("VmRSS:") - before) * 1024.0 / double(outputBytes);
    std::printf("  (%.1f MB of output, three panes shown in full)\n", outputBytes / 1e6);
    report("memory per byte of output, 3 x 100,000 lines, views shown", ratio, "x", "<= 3", ratio <= 3);
}

#ifdef PANE_MEMORY_BENCH_WHOLE_APP
void benchWholeApplication()
{
    using bench::waitFor;
    namespace claudeStandin = nerim::test::claudeStandin;
    QTemporaryDir home;
    bench::useTemporaryHome(home);
    const QString project = home.path() + QStringLiteral("/Recipes");
    QDir().mkpath(project);

    std::weak_ptr<ProjectCanvasViewModel> opened;
    AppShellView::Options options;
    options.controllerFactory = [&](const QString &id, const QString &path, const QString &name) {
        ClaudeCodeProvider::Options provider;
        provider.resolveBinary = [] { return std::optional<QString>(claudeStandin::path()); };
        auto canvas = std::make_shared<ProjectCanvasViewModel>(
            id, path, name, std::make_shared<ClaudeCodeProvider>(path, provider));
        opened = canvas;
        return canvas;
    };
    MainWindow window(options);
    window.setAttribute(Qt::WA_DontShowOnScreen);
    window.resize(1600, 1000);
    window.show();
    if (!bench::showOverview(window)) {
        std::printf("whole application: the overview did not show\n");
        return;
    }
    QFuture<AppState::ProjectRegistryEntry> registering =
        window.shell()->appStateActor()->registerProject(project, QStringLiteral("Recipes"), Timestamp::now());
    registering.waitForFinished();
    QCoro::Task<> opening = window.shell()->openProject(registering.result());
    const auto ready = [&] {
        ProjectCanvasView *screen = window.shellView()->canvasScreen();
        return screen && screen->phase() == ProjectCanvasView::Phase::ready && !opened.expired();
    };
    if (!waitFor(ready)) {
        std::printf("whole application: the canvas did not open\n");
        return;
    }
    const std::shared_ptr<ProjectCanvasViewModel> canvas = opened.lock();
    QCoro::Task<> mode = canvas->setOutputMode(AppState::OutputMode::verbose);
    canvas->spawnAgents(3);
    const QList<AgentPaneState *> panes = canvas->panes();
    waitFor([&] { return mode.isReady(); });
    bench::runFor(300);

    const QString text = QStringLiteral("compiling module {n} ") + QString(60, QLatin1Char('x'));
    claudeStandin::setCommands(
        QStringLiteral("repeat %1 %2\nout TASK_COMPLETE: printed everything\nexit 0").arg(lineCount).arg(text));
    malloc_trim(0);
    const qint64 before = statusField("VmRSS:");
    qint64 outputBytes = 0;
    for (int i = 0; i < lineCount; ++i)
        outputBytes += text.size() - 3 + QString::number(i).size() + 1; // "{n}" replaced, and the line feed
    outputBytes *= panes.size();
    for (AgentPaneState *pane : panes) {
        canvas->selectPromptTarget(PromptTarget::pane(pane->id()));
        canvas->setInputPrompt(QStringLiteral("print a lot"));
        QCoro::Task<> submitting = canvas->submitPrompt(ContextEntry::PromptSource::text);
        waitFor([&] { return submitting.isReady(); });
    }
    const bool finished = waitFor(
        [&] {
            for (AgentPaneState *pane : panes)
                if (pane->status() != AgentStatus::done && pane->status() != AgentStatus::error)
                    return false;
            return true;
        },
        600000);
    bench::runFor(500);
    malloc_trim(0);
    const double ratio = double(statusField("VmRSS:") - before) * 1024.0 / double(outputBytes);
    qsizetype shown = 0;
    for (AgentPaneState *pane : panes)
        shown += pane->outputLines().size();
    std::printf("  (%.1f MB of output, %lld transcript lines%s)\n", outputBytes / 1e6, static_cast<long long>(shown),
                finished ? "" : ", NOT FINISHED");
    report("whole application: memory per byte of output, 3 x 100,000 lines", ratio, "x", "<= 3", ratio <= 3);
    window.shellView()->canvasScreen()->leaveProject();
    waitFor([&] { return window.shellView()->overview() != nullptr; });
}
#endif

} // namespace

int main(int argc, char **argv)
{
    nerim::bench::printLoadOnce();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    MotionPreferences::shared().setReduceMotion(true);
    bench::noteDebugBuild();
    // Each figure in a process of its own, so that memory one freed does not
    // serve the other: "panes" or "app"; by default both, one after another.
    const QString which = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (which.isEmpty() || which == QStringLiteral("panes"))
        benchPanes();
#ifdef PANE_MEMORY_BENCH_WHOLE_APP
    if (which == QStringLiteral("app")) {
        benchWholeApplication();
    } else if (which.isEmpty()) {
        std::fflush(stdout);
        QProcess other;
        other.setProcessChannelMode(QProcess::ForwardedChannels);
        other.start(QCoreApplication::applicationFilePath(), {QStringLiteral("app")});
        other.waitForFinished(-1);
    }
#endif
    return 0;
}
