// Memory with the preview open: Nerim's window (preview_memory_window, built
// as the application builds it) on a project whose three panes hold 20,000
// lines each, with the preview showing a page, against a bare QWebEngineView
// (bare_web_view) showing the same page. Each is its own program, measured
// from here after a rest with the other's processes gone, so neither shares
// pages with the other (shared pages count only part to each sharer, which
// made the two look alike). PSS of the program and of every process it
// started (the web engine's), A/B alternated; NERIM_PREVIEW_ROUNDS sets the
// number of rounds (3). Run it under an X server (Xvfb will do).
#include "../BenchLoop.h"
#include "../ProcessFigures.h"
#include "panes-store/OutputLine.h"
#include "panes-store/PanesSnapshot.h"
#include "persistence/AppStateActor.h"
#include "preview/PreviewSandbox.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QUrl>

#include <algorithm>
#include <csignal>
#include <optional>
#include <unistd.h>

using namespace nerim;

namespace {

constexpr double kTarget = 1.15;
constexpr int kLinesPerPane = 20000;
constexpr int kRestMs = 3000;

struct Program {
    QString path;
    QStringList arguments;
    QByteArray readyLine;
};

// Starts the program, waits for its ready line and a rest, measures the PSS of
// its process tree, ends it and waits until every process of the tree is gone.
std::optional<double> measure(const Program &program, QTextStream &out)
{
    QProcess process;
    process.setStandardErrorFile(qEnvironmentVariableIsSet("NERIM_PREVIEW_LOG") ? qEnvironmentVariable("NERIM_PREVIEW_LOG")
                                                                                 : QProcess::nullDevice(),
                                 QIODevice::Append);
    process.start(program.path, program.arguments);
    if (!process.waitForStarted(10000))
        return std::nullopt;
    QByteArray output;
    while (!output.contains(program.readyLine)) {
        if (!process.waitForReadyRead(180000)) {
            out << QFileInfo(program.path).fileName() << " did not get ready: " << output << "\n";
            process.kill();
            process.waitForFinished(5000);
            return std::nullopt;
        }
        output += process.readAllStandardOutput();
    }
    QThread::msleep(kRestMs);
    const pid_t root = pid_t(process.processId());
    const QList<pid_t> tree = bench::processTree(root);
    const double pss = bench::treePssMegabytes(root);

    process.terminate();
    if (!process.waitForFinished(20000)) {
        process.kill();
        process.waitForFinished(5000);
    }
    // The engine's helper processes leave after their parent; the next
    // program is measured only once none of them is left.
    const auto alive = [&tree] {
        return std::any_of(tree.begin(), tree.end(), [](pid_t pid) { return ::kill(pid, 0) == 0; });
    };
    QElapsedTimer waited;
    waited.start();
    while (alive() && waited.elapsed() < 10000)
        QThread::msleep(50);
    if (alive()) {
        for (pid_t pid : tree)
            ::kill(pid, SIGKILL);
        QThread::msleep(500);
    }
    return pss;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values[values.size() / 2];
}

QString figure(double value, int decimals = 1) { return QString::number(value, 'f', decimals); }

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
        out << "preview_memory_bench needs an X server (DISPLAY), e.g. under Xvfb\n";
        return 2;
    }
    const int rounds =
        qEnvironmentVariableIsSet("NERIM_PREVIEW_ROUNDS") ? qEnvironmentVariableIntValue("NERIM_PREVIEW_ROUNDS") : 3;

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
    // Written before each of Nerim's runs: leaving the project saves it again.
    const QByteArray panesFile = snapshot.encode();
    const QString page = home.path() + QStringLiteral("/page.html");
    QFile pageFile(page);
    if (!pageFile.open(QIODevice::WriteOnly))
        return 1;
    pageFile.write("<!doctype html><title>Recipes</title><body style='font:16px sans-serif'><h1>Recipes</h1>"
                   "<p>A page of the app being built.</p></body>");
    pageFile.close();
    {
        QFuture<std::shared_ptr<AppStateActor>> loadingActor = AppStateActor::load();
        loadingActor.waitForFinished();
        QFuture<AppState::ProjectRegistryEntry> registering =
            loadingActor.result()->registerProject(project, QStringLiteral("Recipes"), Timestamp::now());
        registering.waitForFinished();
    }

    const Program nerim{QStringLiteral(NERIM_PREVIEW_MEMORY_WINDOW), {project, page}, "ready\n"};
    // The bare view gets the engine the arguments the application gives it
    // (as root, no sandbox, or the engine refuses to start).
    const QStringList bareArguments =
        QStringList{QUrl::fromLocalFile(page).toString()} + PreviewSandbox::engineArguments(::geteuid());
    const Program bare{QStringLiteral(NERIM_BARE_WEB_VIEW), bareArguments, "loaded\n"};

    QList<double> nerimPss, barePss;
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            const bool isBare = (round + turn) % 2 == 1;
            if (!isBare) {
                QFile panes(project + QStringLiteral("/.nerim/panes.json"));
                if (!panes.open(QIODevice::WriteOnly | QIODevice::Truncate) || panes.write(panesFile) < 0)
                    return 1;
            }
            const std::optional<double> pss = measure(isBare ? bare : nerim, out);
            if (!pss)
                return 1;
            (isBare ? barePss : nerimPss).append(*pss);
        }
    }

    const double ratio = median(nerimPss) / median(barePss);
    const auto range = [](const QList<double> &values) {
        return figure(*std::min_element(values.begin(), values.end())) + QStringLiteral("–") +
               figure(*std::max_element(values.begin(), values.end()));
    };
    out << "rounds " << rounds << ", A/B alternated, each program measured with the other's processes gone\n";
    out << "PSS with 3 × " << kLinesPerPane << " lines and the preview open: nerim " << figure(median(nerimPss))
        << " MB (median; " << range(nerimPss) << "), bare QWebEngineView " << figure(median(barePss)) << " MB ("
        << range(barePss) << "): " << figure(ratio, 2) << "× (target ≤ " << kTarget << "×) "
        << (ratio <= kTarget ? "MET" : "MISSED") << "\n";
    return 0;
}
