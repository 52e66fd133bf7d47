// Three agents stream at once into a project's canvas screen on the window
// background, as the user sees it: the stand-in `claude` prints 100,000 lines
// for each of three panes, consumed by the canvas controller and shown by the
// pane views with the full transcript (and once more in Highlights, for
// comparison, and once more with one pane expanded). Every turn of the event loop ends with a zero-interval timer
// firing; the gaps between firings in which output arrived are how long the
// GUI thread was busy per turn: its wall time and its own CPU time (which
// other programs on the machine do not inflate), each printed with its target.
//
// With one pane expanded it also types into the prompt field while the panes
// stream, a key every 50 ms, and times each key from being posted to the end
// of the first repaint of the window that draws the field with it (the key's
// pixels reach the window's surface): the 99th percentile against 32 ms (two
// frames), and the median. Every layout also prints what painting takes of a
// turn.
//
// Arguments: the lines per pane (100000 unless given), then optionally one
// layout to time alone: "stacked", "highlights" or "expanded". Runs in a temporary
// home; offscreen unless QT_QPA_PLATFORM says otherwise (e.g. xcb on a real X
// server, which adds what the display costs).
#include "../BenchLoop.h"
#include "../BenchTiming.h"
#include "canvas/ProjectCanvasViewModel.h"
#include "agents/ClaudeCodeProvider.h"
#include "foundation/SerialFileWriter.h"
#include "support/claude-standin/ClaudeStandin.h"
#include "ui/design/MotionPreferences.h"
#include "ui/design/widgets/AtmosphereView.h"
#include "ui/panes/AgentColumnView.h"
#include "ui/panes/AgentPaneView.h"
#include "ui/panes/TranscriptView.h"
#include "ui/workspace/ProjectCanvasView.h"

#include <QApplication>
#include <QCoro/QCoroTask>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>
#include <deque>
#include <ctime>
#include <vector>

using namespace nerim;
namespace claudeStandin = nerim::test::claudeStandin;

namespace {

using bench::report;
using bench::inform;
using bench::awaitTask;
using bench::percentile;
using bench::runUntil;
using bench::threadCpuMs;

// The application, timing what painting the windows takes (the update
// requests that repaint a window's dirty parts), in CPU milliseconds of the
// GUI thread since the start.
//
// It also follows keys typed into one widget (`typedInto`): when each was
// posted, delivered and drawn, and how long each took to its pixels.
class PaintTimingApplication : public QApplication {
public:
    using QApplication::QApplication;
    double paintCpuMs = 0;

    QPointer<QPlainTextEdit> typedInto;
    QElapsedTimer clock;
    // Milliseconds from a key's posting to the end of the window repaint
    // that drew the field with it.
    std::vector<double> keyToPixelsMs;

    // Types `text` into the field: posted, as a key from the window system
    // comes in, to be handled in a later turn.
    void postKey(const QString &text)
    {
        if (!typedInto)
            return;
        m_keys.push_back({clock.nsecsElapsed(), false, false});
        QCoreApplication::postEvent(typedInto, new QKeyEvent(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, text));
        QCoreApplication::postEvent(typedInto, new QKeyEvent(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, text));
    }

    bool notify(QObject *receiver, QEvent *event) override
    {
        if (event->type() == QEvent::KeyPress && receiver == typedInto) {
            const bool result = QApplication::notify(receiver, event);
            for (Key &key : m_keys)
                if (!key.delivered) {
                    key.delivered = true;
                    break;
                }
            return result;
        }
        if (event->type() == QEvent::Paint && typedInto && receiver == typedInto->viewport()) {
            const bool result = QApplication::notify(receiver, event);
            for (Key &key : m_keys)
                key.drawn = key.drawn || key.delivered;
            return result;
        }
        if (event->type() != QEvent::UpdateRequest || m_inPaint)
            return QApplication::notify(receiver, event);
        m_inPaint = true;
        const double start = threadCpuMs();
        const bool result = QApplication::notify(receiver, event);
        paintCpuMs += threadCpuMs() - start;
        m_inPaint = false;
        // The repaint that drew the keys is over: their pixels are out.
        const qint64 now = clock.nsecsElapsed();
        while (!m_keys.empty() && m_keys.front().drawn) {
            keyToPixelsMs.push_back((now - m_keys.front().postedNs) / 1e6);
            m_keys.pop_front();
        }
        return result;
    }

private:
    struct Key {
        qint64 postedNs = 0;
        bool delivered = false;
        bool drawn = false;
    };
    bool m_inPaint = false;
    std::deque<Key> m_keys;
};

PaintTimingApplication *paintTiming() { return static_cast<PaintTimingApplication *>(qApp); }

struct Figures {
    double p99WallMs = 0;
    double worstWallMs = 0;
    double p99CpuMs = 0;
    // Of the turns' CPU time, what painting took (99th percentile).
    double p99PaintCpuMs = 0;
    double linesPerSecond = 0;
    size_t turns = 0;
    // Keys typed while the panes streamed (none unless asked for).
    double p99KeyToPixelsMs = 0;
    double medianKeyToPixelsMs = 0;
    size_t keys = 0;
    int keysTyped = 0;
    qsizetype fieldLength = 0;
};

Figures streamThree(AppState::OutputMode mode, int lineCount, bool expanded = false, bool typing = false)
{
    QTemporaryDir project;
    const QString text = QStringLiteral("Compiled module {n} of `src/app` with **strict** checks and a "
                                        "[note](https://example.com/notes) about it ")
                         + QString(24, QLatin1Char('x'));
    claudeStandin::setCommands(
        QStringLiteral("repeat %1 %2\nout TASK_COMPLETE: printed everything\nexit 0").arg(lineCount).arg(text));

    // The window as the app shows a project: the canvas screen on the background.
    AtmosphereView background;
    auto *layout = new QVBoxLayout(&background);
    layout->setContentsMargins(0, 0, 0, 0);
    const auto factory = [](const QString &id, const QString &path, const QString &name) {
        ClaudeCodeProvider::Options options;
        options.resolveBinary = [] { return std::optional<QString>(claudeStandin::path()); };
        return std::make_shared<ProjectCanvasViewModel>(id, path, name,
                                                        std::make_shared<ClaudeCodeProvider>(path, options));
    };
    auto *screen = new ProjectCanvasView(QStringLiteral("bench"), QUrl::fromLocalFile(project.path()),
                                         QStringLiteral("Bench"), nullptr, [] {}, factory, &background);
    layout->addWidget(screen);
    background.resize(1180, 760);
    background.show();
    QApplication::setActiveWindow(&background);
    runUntil([&] { return screen->phase() == ProjectCanvasView::Phase::ready; });
    ProjectCanvasViewModel *canvas = screen->canvas();
    awaitTask(canvas->setOutputMode(mode));
    canvas->spawnAgents(3);
    const QList<AgentPaneState *> panes = canvas->panes();
    // One pane fills the canvas while all three stream.
    if (expanded)
        canvas->toggleExpandedPane(panes.first()->id());
    // The panes have come in (their entrance animations are over).
    runUntil([] { return false; }, 1000);

    std::vector<double> wall;
    std::vector<double> cpu;
    std::vector<double> paint;
    paint.reserve(1000000);
    wall.reserve(1000000);
    cpu.reserve(1000000);
    QElapsedTimer clock;
    clock.start();
    qint64 lastWall = clock.nsecsElapsed();
    double lastCpu = threadCpuMs();
    double lastPaint = paintTiming()->paintCpuMs;
    qsizetype linesBefore = 0;
    // A turn counts when output arrived in it or the views took some in
    // (a view that fell behind catches up over later turns).
    const QList<TranscriptView *> views = screen->findChildren<TranscriptView *>();
    const auto linesNow = [&] {
        qsizetype lines = 0;
        for (AgentPaneState *pane : panes)
            lines += pane->outputLines().size();
        for (TranscriptView *view : views)
            lines += view->shownLineCount();
        return lines;
    };
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        const qint64 nowWall = clock.nsecsElapsed();
        const double nowCpu = threadCpuMs();
        const qsizetype lines = linesNow();
        // Only the turns in which output was handled count: most turns of a
        // fast loop are empty and would hide the long ones in the percentile.
        if (lines != linesBefore) {
            wall.push_back((nowWall - lastWall) / 1e6);
            cpu.push_back(nowCpu - lastCpu);
            paint.push_back(paintTiming()->paintCpuMs - lastPaint);
        }
        linesBefore = lines;
        lastWall = clock.nsecsElapsed();
        lastCpu = threadCpuMs();
        lastPaint = paintTiming()->paintCpuMs;
    });
    heartbeat.start(0);

    // The user types into the prompt field at a steady pace while the panes
    // stream (words and spaces, as a prompt is typed).
    QTimer typist;
    const QString typed = QStringLiteral("make the sign up page greet people by name ");
    int typedCount = 0;
    if (typing) {
        auto *field = screen->findChild<QPlainTextEdit *>(QStringLiteral("promptField"));
        if (!field)
            std::printf("no prompt field to type into\n");
        paintTiming()->typedInto = field;
        paintTiming()->keyToPixelsMs.clear();
        paintTiming()->clock.start();
        QObject::connect(&typist, &QTimer::timeout, [&] {
            paintTiming()->postKey(typed.at(typedCount++ % typed.size()));
        });
        typist.setTimerType(Qt::PreciseTimer);
    }

    QElapsedTimer run;
    run.start();
    for (AgentPaneState *pane : panes) {
        canvas->selectPromptTarget(PromptTarget::pane(pane->id()));
        canvas->setInputPrompt(QStringLiteral("print a lot"));
        awaitTask(canvas->submitPrompt(ContextEntry::PromptSource::text));
    }
    if (typing)
        typist.start(50);
    runUntil([&] {
        for (AgentPaneState *pane : panes)
            if (pane->status() != AgentStatus::done && pane->status() != AgentStatus::error)
                return false;
        for (TranscriptView *view : views)
            if (view->hasPendingSync())
                return false;
        return true;
    });
    heartbeat.stop();
    typist.stop();
    // The last key's repaint comes within a frame or two.
    runUntil([] { return false; }, 100);
    std::vector<double> keys = paintTiming()->keyToPixelsMs;
    paintTiming()->typedInto = nullptr;
    const double seconds = run.nsecsElapsed() / 1e9;
    qint64 consumed = 0;
    for (AgentPaneState *pane : panes)
        consumed += pane->currentStdoutLineCount();
    if (consumed != 3 * qint64(lineCount + 1))
        std::printf("unexpected run: %lld lines consumed\n", static_cast<long long>(consumed));

    Figures figures{percentile(wall, 0.99), percentile(wall, 1.0), percentile(cpu, 0.99), percentile(paint, 0.99),
                    consumed / seconds, wall.size()};
    if (!keys.empty()) {
        figures.p99KeyToPixelsMs = percentile(keys, 0.99);
        figures.medianKeyToPixelsMs = percentile(keys, 0.5);
        figures.keys = keys.size();
    }
    figures.keysTyped = typedCount;
    if (auto *field = screen->findChild<QPlainTextEdit *>(QStringLiteral("promptField")))
        figures.fieldLength = field->toPlainText().size();
    QCoro::Task<> tearingDown = canvas->teardown();
    runUntil([&] { return canvas->isTornDown(); });
    // The panes are saved before the project folder goes.
    SerialFileWriter::shared().flush();
    return figures;
}

} // namespace

int main(int argc, char **argv)
{
    nerim::bench::printLoadOnce();
    QTemporaryDir home;
    bench::prepareWindowBench(home);
    PaintTimingApplication app(argc, argv);
    // Each figure is out as soon as it is known.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    MotionPreferences::shared().setReduceMotion(false);
    bench::noteDebugBuild();
    const int lines = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100000;
    std::printf("three panes streaming %d lines each, platform %s\n", lines, qPrintable(app.platformName()));
    const QString only = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    const auto wanted = [&](const char *layout) { return only.isEmpty() || only == QLatin1String(layout); };
    const auto print = [](const char *what, const Figures &figures, bool worst) {
        const QByteArray p99Wall = QByteArray(what) + ": event-loop turn, 99th percentile (wall)";
        const QByteArray p99Cpu = QByteArray(what) + ": event-loop turn, 99th percentile (GUI CPU)";
        report(p99Wall.constData(), figures.p99WallMs, "ms", "<= 16", figures.p99WallMs <= 16);
        report(p99Cpu.constData(), figures.p99CpuMs, "ms", "<= 16", figures.p99CpuMs <= 16);
        const QByteArray p99Paint = QByteArray(what) + ": painting in a turn, 99th percentile (GUI CPU)";
        inform(p99Paint.constData(), figures.p99PaintCpuMs, "ms");
        if (worst) {
            const QByteArray worstWall = QByteArray(what) + ": event-loop turn, worst (wall)";
            report(worstWall.constData(), figures.worstWallMs, "ms", "<= 16", figures.worstWallMs <= 16);
        }
        std::printf("  (%zu turns with output, %.0f lines/s)\n", figures.turns, figures.linesPerSecond);
        if (figures.keys > 0) {
            const QByteArray p99Key = QByteArray(what) + ": key typed to its pixels, 99th percentile (wall)";
            const QByteArray medianKey = QByteArray(what) + ": key typed to its pixels, median (wall)";
            report(p99Key.constData(), figures.p99KeyToPixelsMs, "ms", "<= 32", figures.p99KeyToPixelsMs <= 32);
            inform(medianKey.constData(), figures.medianKeyToPixelsMs, "ms");
            std::printf("  (%zu of %d keys typed while streaming drawn; the field holds %lld characters)\n",
                        figures.keys, figures.keysTyped, static_cast<long long>(figures.fieldLength));
        }
    };
    if (wanted("stacked"))
        print("full transcript", streamThree(AppState::OutputMode::verbose, lines), true);
    if (wanted("highlights"))
        print("highlights", streamThree(AppState::OutputMode::notification, lines), false);
    if (wanted("expanded"))
        print("one pane expanded", streamThree(AppState::OutputMode::verbose, lines, true, true), false);
    return 0;
}
