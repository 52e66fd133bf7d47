// Start and memory at rest: `nerim` against two yardsticks built in the same
// tree, taken in turn: a bare Qt window, and a window that draws the
// overview's texts in its faces and sizes (text_window). Each run is timed
// from the start of the program to its first overview on the screen (a
// yardstick: its first paint), the picture in the X server's hands; then,
// after the window has rested, the PSS of the program and of every process it
// started, and the shared libraries it has loaded. Nerim's start is held to
// the text window's, its memory to the bare window's. Run it under an X
// server (Xvfb will do). NERIM_START_ROUNDS sets the number of rounds (7); NERIM_START_APP
// another `nerim` to measure (an earlier build, say); NERIM_START_WRAPPER a
// command that runs `nerim` (words split on spaces), such as the profiler
// bench/start/startup-order.py reads the start-up's code from.
//
// All three windows open at the size MainWindow opens at (the build reads it
// from MainWindow.h), so all paint and keep as many pixels, and all carry the
// preloaded first_paint_probe, so work a program queues for after its first
// picture is not counted. Last it says which libraries a bare window does not
// load (the web engine, Qt Network, the SVG icon engine, image format plugins)
// `nerim` had loaded at rest. Beside it, gui_turn_probe is preloaded into
// `nerim` by app_turns.py, which drives the window with xdotool, and
// startup-order.py turns a callgrind profile of one round (through
// NERIM_START_WRAPPER) into src/app/startup-order.txt.
#include "../BenchLoop.h"
#include "persistence/AppStateActor.h"
#include "../ProcessFigures.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <algorithm>
#include <optional>

using namespace nerim;

namespace {

constexpr double kStartTarget = 1.15;
constexpr double kPssTarget = 1.5;
constexpr int kRestMs = 3000;

struct Run {
    double startMs = 0;
    double pssMb = 0;
    int libraries = 0;
    // What a bare window does not load, and Nerim loads only when it is used.
    bool webEngine = false;
    bool network = false;
    bool iconEngine = false;
    bool imagePlugins = false;
};

std::optional<Run> measure(const QString &program, const QProcessEnvironment &environment,
                           const QStringList &wrapper = {})
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    if (wrapper.isEmpty())
        process.start(program, {});
    else
        process.start(wrapper.constFirst(), wrapper.mid(1) << program);
    if (!process.waitForStarted(10000))
        return std::nullopt;
    QByteArray output;
    while (!output.contains("painted\n")) {
        if (!process.waitForReadyRead(30000))
            return std::nullopt;
        output += process.readAllStandardOutput();
    }
    Run run;
    run.startMs = double(clock.nsecsElapsed()) / 1e6;
    QThread::msleep(kRestMs);
    const pid_t pid = pid_t(process.processId());
    run.pssMb = bench::treePssMegabytes(pid);
    run.libraries = bench::loadedLibraries(pid);
    run.webEngine = bench::hasLibrary(pid, "WebEngineCore");
    run.network = bench::hasLibrary(pid, "libQt6Network");
    run.iconEngine = bench::hasLibrary(pid, "/iconengines/");
    run.imagePlugins = bench::hasLibrary(pid, "/imageformats/");
    process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(5000);
    }
    return run;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    nerim::bench::printLoadOnce();
    QTemporaryDir home;
    bench::useTemporaryHome(home);
    qputenv("XDG_CACHE_HOME", (home.path() + QStringLiteral("/.cache")).toUtf8());
    const QString runtime = home.path() + QStringLiteral("/runtime");
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", runtime.toUtf8());
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        out << "start_bench needs an X server (DISPLAY), e.g. under Xvfb\n";
        return 2;
    }
    const int rounds = qEnvironmentVariableIsSet("NERIM_START_ROUNDS") ? qEnvironmentVariableIntValue("NERIM_START_ROUNDS") : 7;

    // Three known projects, so that the overview shows cards.
    {
        QFuture<std::shared_ptr<AppStateActor>> loading = AppStateActor::load();
        loading.waitForFinished();
        std::shared_ptr<AppStateActor> actor = loading.result();
        for (const QString &name : {QStringLiteral("Recipes"), QStringLiteral("Book Club"), QStringLiteral("Invoices")}) {
            QDir().mkpath(home.path() + QLatin1Char('/') + name);
            QFuture<AppState::ProjectRegistryEntry> made =
                actor->registerProject(home.path() + QLatin1Char('/') + name, name, Timestamp::now());
            made.waitForFinished();
        }
    }

    const QString nerim = qEnvironmentVariableIsEmpty("NERIM_START_APP") ? QStringLiteral(NERIM_APP)
                                                                          : qEnvironmentVariable("NERIM_START_APP");
    const QStringList wrapper = qEnvironmentVariable("NERIM_START_WRAPPER").split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // Without a session bus, Nerim runs with none (it never starts one),
    // while a bare Qt program would start one through dbus-launch for its
    // accessibility bridge, at every start: both get the address that starts
    // none (Nerim's own choice), so that neither pays for a bus a desktop
    // would have running already.
    if (environment.value(QStringLiteral("DBUS_SESSION_BUS_ADDRESS")).isEmpty())
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("disabled:"));
    // Both programs carry the same probe that reports their first paint.
    environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(NERIM_FIRST_PAINT_PROBE));
    QProcessEnvironment nerimEnvironment = environment;
    QProcessEnvironment textEnvironment = environment;
    environment.insert(QStringLiteral("NERIM_FIRST_PAINT_CLASS"), QStringLiteral("BareWindow"));
    textEnvironment.insert(QStringLiteral("NERIM_FIRST_PAINT_CLASS"), QStringLiteral("TextWindow"));
    nerimEnvironment.insert(QStringLiteral("NERIM_FIRST_PAINT_CLASS"), QStringLiteral("nerim::ProjectsOverviewView"));

    QList<double> bareStart, textStart, nerimStart, barePss, textPss, nerimPss;
    int bareLibraries = 0, nerimLibraries = 0;
    Run loadedAtStart; // what any of Nerim's runs had loaded at rest
    enum Program { bare, text, nerimApp };
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < 3; ++turn) {
            // Each program goes first, second and third in turn.
            const auto program = Program((round + turn) % 3);
            const std::optional<Run> run =
                program == bare   ? measure(QStringLiteral(NERIM_BARE_WINDOW), environment)
                : program == text ? measure(QStringLiteral(NERIM_TEXT_WINDOW), textEnvironment)
                                  : measure(nerim, nerimEnvironment, wrapper);
            if (!run) {
                out << (program == bare ? "the bare window" : program == text ? "the text window" : "nerim")
                    << " showed no first paint\n";
                return 1;
            }
            (program == bare ? bareStart : program == text ? textStart : nerimStart).append(run->startMs);
            (program == bare ? barePss : program == text ? textPss : nerimPss).append(run->pssMb);
            if (program == bare)
                bareLibraries = run->libraries;
            if (program == nerimApp) {
                nerimLibraries = run->libraries;
                loadedAtStart.webEngine |= run->webEngine;
                loadedAtStart.network |= run->network;
                loadedAtStart.iconEngine |= run->iconEngine;
                loadedAtStart.imagePlugins |= run->imagePlugins;
            }
        }
    }

    const auto figure = [](double value, int decimals = 1) { return QString::number(value, 'f', decimals); };
    const double startRatio = median(nerimStart) / median(textStart);
    const double pssRatio = median(nerimPss) / median(barePss);
    const auto range = [&](const QList<double> &values) {
        return figure(median(values)) + " ms (median; " + figure(*std::min_element(values.begin(), values.end()))
            + "–" + figure(*std::max_element(values.begin(), values.end())) + ")";
    };
    out << "rounds " << rounds << ", the three programs in turn, platform X11 (" << qgetenv("DISPLAY") << ")\n";
    out << "start to the first overview on the screen: nerim " << range(nerimStart) << ", text window "
        << range(textStart) << ": " << figure(startRatio, 2) << "× (target ≤ " << kStartTarget << "×) "
        << (startRatio <= kStartTarget ? "MET" : "MISSED") << "\n";
    out << "  the same against the bare window " << range(bareStart) << ": "
        << figure(median(nerimStart) / median(bareStart), 2) << "× (text window "
        << figure(median(textStart) / median(bareStart), 2) << "×)\n";
    out << "idle PSS on the overview: nerim " << figure(median(nerimPss)) << " MB, bare window " << figure(median(barePss))
        << " MB (text window " << figure(median(textPss)) << " MB): " << figure(pssRatio, 2) << "× (target ≤ " << kPssTarget << "×) "
        << (pssRatio <= kPssTarget ? "MET" : "MISSED") << "\n";
    const auto said = [](bool loaded) { return loaded ? "yes" : "no"; };
    out << "shared libraries loaded at rest: nerim " << nerimLibraries << ", bare window " << bareLibraries << "\n";
    out << "loaded by nerim at start (target: none): web engine " << said(loadedAtStart.webEngine) << ", Qt Network "
        << said(loadedAtStart.network) << ", SVG icon engine " << said(loadedAtStart.iconEngine)
        << ", image format plugins " << said(loadedAtStart.imagePlugins) << "\n";
    return 0;
}
