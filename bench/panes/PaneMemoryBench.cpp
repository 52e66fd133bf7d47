// What agent output costs in memory once it is on screen: three panes, each
// shown in full-transcript mode, receive 100,000 lines of output as a stream
// delivers them (transcript, turn, recent output), the views kept up to date
// as they go. Prints the growth of resident memory per byte of output beside
// its target.
#include "agents/AgentPaneState.h"
#include "ui/design/MotionPreferences.h"
#include "ui/panes/AgentPaneView.h"

#include <QApplication>
#include <QFile>
#include <QUuid>
#include <cstdio>
#include <malloc.h>
#include <memory>
#include <vector>

using namespace nerim;

namespace {

void report(const char *what, double value, const char *unit, const char *target, bool met)
{
    std::printf("%-62s %10.2f %-4s target %-8s %s\n", what, value, unit, target, met ? "met" : "MISSED");
}

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

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    MotionPreferences::shared().setReduceMotion(true);
#ifndef NDEBUG
    std::printf("note: a debug build; build in Release for meaningful figures\n");
#endif
    constexpr int lineCount = 100000;
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
    report("memory per byte of output, 3 x 100,000 lines, views shown", ratio, "x", "<= 4", ratio <= 4);
    return 0;
}
