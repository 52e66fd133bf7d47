// The cost of saving panes while three agents print, as the canvas saves them
// (a snapshot every 2 seconds of output, appended to the change log; the fold
// into panes.json waits for a save that is not made while output streams),
// each figure printed with its target:
//  1. CPU per printed line (all threads: the snapshot on the calling thread,
//     encoding and writing on the writer's), with panes that start small and
//     with panes that start at 1,000,000 lines: the cost must not grow with
//     the transcript;
//  2. the bytes written (change log and any whole write of panes.json) for
//     each byte the files grow by (the printed lines as JSON): 1 when only
//     what is new is written, more for each rewrite of what was there;
//  3. the save when the three runs end (three long closed turns), which may
//     fold the log back: the bytes written, which must not be a whole write
//     of panes.json when the panes started at 1,000,000 lines.
// Usage: panes_streaming_save_bench [SECONDS-OF-OUTPUT]
#include "../BenchTiming.h"
#include "agents/AgentPaneState.h"
#include "agents/SavedPanes.h"
#include "panes-store/PanesChangeLog.h"
#include "panes-store/PanesSnapshot.h"
#include "panes-store/PanesSnapshotStore.h"
#include "foundation/SerialFileWriter.h"
#include "foundation/UuidText.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdio>
#include <ctime>
#include <memory>
#include <sys/stat.h>
#include <vector>

using namespace nerim;

namespace {

using bench::inform;
using bench::report;

constexpr int linesPerSecondPerPane = 2000;
constexpr int saveEverySeconds = 2;

double processCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

struct FileState {
    ino_t inode = 0;
    qint64 size = 0;
};

FileState stateOf(const QString &path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    return {st.st_ino, qint64(st.st_size)};
}

// Bytes written to panes.json and its change log since the states given:
// a new panes.json counts whole, a log counts what it grew by (whole when new).
struct WriteMeter {
    QString panes, log;
    FileState panesBefore, logBefore;
    qint64 bytes = 0;
    int wholeWrites = 0;

    void start()
    {
        panesBefore = stateOf(panes);
        logBefore = stateOf(log);
    }
    void measure()
    {
        const FileState p = stateOf(panes), l = stateOf(log);
        if (p.inode != panesBefore.inode) {
            bytes += p.size;
            ++wholeWrites;
        }
        if (l.inode != 0)
            bytes += l.inode == logBefore.inode ? std::max<qint64>(0, l.size - logBefore.size) : l.size;
        panesBefore = p;
        logBefore = l;
    }
};

QString printed(qint64 n) { return QStringLiteral("  const value%1 = compute(input, %1); // printed by the agent").arg(n); }

struct Scenario {
    double cpuPerLineUs = 0;
    double bytesPerSecond = 0;
    double printedPerSecond = 0;
    double savedPerSecond = 0; // how fast what the files hold grows
    int wholeWrites = 0;
    qint64 endBytes = 0;
    int endWholeWrites = 0;
};

Scenario stream(qint64 startLines, int seconds)
{
    QTemporaryDir folder;
    const QString path = folder.path() + QStringLiteral("/panes.json");
    std::vector<std::unique_ptr<AgentPaneState>> panes;
    qint64 printedBytes = 0;
    for (int p = 1; p <= 3; ++p) {
        panes.push_back(std::make_unique<AgentPaneState>(newUuid(), uuidText(newUuid()),
                                                         QStringLiteral("Claude %1").arg(p), p, false,
                                                         AgentRole::code, QString()));
        for (qint64 i = 0; i < startLines / 3; ++i)
            panes.back()->appendLine(OutputLine::Kind::stdout, printed(i));
        panes.back()->beginTurn(QStringLiteral("print for a long time"));
    }
    const auto snapshot = [&] {
        PanesSnapshot s;
        s.nextAgentNumber = 4;
        s.focusedPaneId = panes[0]->id();
        for (const auto &pane : panes)
            s.panes.append(snapshotOfPane(*pane));
        return s;
    };
    PanesSnapshotStore store(path);
    store.save(snapshot());
    SerialFileWriter::shared().flush();

    WriteMeter meter;
    meter.panes = path;
    meter.log = panesChangeLog::pathFor(path);
    meter.start();
    const qint64 heldBefore = stateOf(path).size;
    double saveCpu = 0;
    qint64 n = 0;
    for (int tick = 0; tick < seconds / saveEverySeconds; ++tick) {
        // Two seconds of output on every pane, taken in as the canvas takes it.
        for (auto &pane : panes) {
            for (int i = 0; i < linesPerSecondPerPane * saveEverySeconds; ++i) {
                const QString line = printed(n++);
                printedBytes += line.toUtf8().size() + 1;
                pane->appendLine(OutputLine::Kind::stdout, line);
                pane->appendStdoutToTurn(line);
            }
        }
        const double before = processCpuMs();
        store.save(snapshot(), PanesFoldBack::later);
        SerialFileWriter::shared().flush();
        saveCpu += processCpuMs() - before;
        meter.measure();
    }
    Scenario result;
    result.cpuPerLineUs = saveCpu * 1000.0 / double(n);
    result.bytesPerSecond = double(meter.bytes) / seconds;
    result.printedPerSecond = double(printedBytes) / seconds;
    result.wholeWrites = meter.wholeWrites;
    result.savedPerSecond = double(stateOf(path).size + stateOf(meter.log).size - heldBefore) / seconds;

    // The three runs end: each closes a turn whose answer is all it printed.
    for (auto &pane : panes) {
        pane->appendLine(OutputLine::Kind::system, QStringLiteral("[exited · code 0]"));
        pane->closeTurn(QStringLiteral("Printed for a long time."));
    }
    const qint64 bytesBefore = meter.bytes;
    const int wholeBefore = meter.wholeWrites;
    store.save(snapshot());
    SerialFileWriter::shared().flush();
    meter.measure();
    result.endBytes = meter.bytes - bytesBefore;
    result.endWholeWrites = meter.wholeWrites - wholeBefore;
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    nerim::bench::printLoadOnce();
    QCoreApplication app(argc, argv);
    bench::noteDebugBuild();
    const int seconds = argc > 1 ? std::max(saveEverySeconds, QByteArray(argv[1]).toInt()) : 30;
    std::printf("three panes printing %d lines a second each for %d seconds, saved every %d seconds\n",
                linesPerSecondPerPane, seconds, saveEverySeconds);

    const Scenario small = stream(3 * 1000, seconds);
    const Scenario large = stream(1000000, seconds);

    report("saving while 3 panes print: CPU per line, panes from 1,000 lines", small.cpuPerLineUs, "us", "< 5",
           small.cpuPerLineUs < 5);
    report("saving while 3 panes print: CPU per line, panes from 1,000,000 lines", large.cpuPerLineUs, "us", "< 5",
           large.cpuPerLineUs < 5);
    report("  the same at 1,000,000 lines against 1,000 (does not grow)", large.cpuPerLineUs / small.cpuPerLineUs,
           "x", "< 2", large.cpuPerLineUs < 2 * small.cpuPerLineUs);
    inform("bytes the three agents print per second", small.printedPerSecond / 1024.0, "KiB");
    inform("  what panes.json and its log grow by per second (lines as JSON)", small.savedPerSecond / 1024.0, "KiB");
    const double smallWrites = small.bytesPerSecond / small.savedPerSecond;
    const double largeWrites = large.bytesPerSecond / large.savedPerSecond;
    report("bytes written per byte the files grow by, panes from 1,000 lines", smallWrites, "x", "<= 1.1",
           smallWrites <= 1.1);
    report("bytes written per byte the files grow by, panes from 1,000,000 lines", largeWrites, "x", "<= 1.1",
           largeWrites <= 1.1);
    inform("  whole writes of panes.json while printing, from 1,000 lines", small.wholeWrites, "");
    inform("  whole writes of panes.json while printing, from 1,000,000 lines", large.wholeWrites, "");
    report("save when the three runs end, 1,000,000 lines: bytes written", large.endBytes / 1024.0, "KiB", "< 256",
           large.endBytes < 256 * 1024);
    report("  whole writes of panes.json in that save", large.endWholeWrites, "", "0", large.endWholeWrites == 0);
    return 0;
}
