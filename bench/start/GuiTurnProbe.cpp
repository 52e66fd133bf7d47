// Put into `nerim` with LD_PRELOAD to time its GUI thread from inside, with
// the program itself unchanged (an earlier build is measured the same way): a
// 4 ms timer on the GUI thread notes, at each firing, the wall time and the
// GUI thread's own CPU time since the previous one. Every gap longer than
// NERIM_TURN_PROBE_MS (8 unless set) of wall or CPU time is a turn the
// window could not answer in; each is written to the file NERIM_TURN_PROBE
// names as "<realtime ms> <wall ms> <cpu ms>", with the process's total CPU
// time in ms every second as "cpu <realtime ms> <process cpu ms>", so that a
// driver can take the worst turn and the CPU of any stretch it timed.
#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <ctime>

namespace {

double clockMs(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

void installProbe()
{
    const QByteArray path = qgetenv("NERIM_TURN_PROBE");
    if (path.isEmpty())
        return;
    std::FILE *out = std::fopen(path.constData(), "w");
    if (!out)
        return;
    const double threshold = qEnvironmentVariableIsSet("NERIM_TURN_PROBE_MS")
                                 ? qEnvironmentVariableIntValue("NERIM_TURN_PROBE_MS")
                                 : 8.0;
    auto *timer = new QTimer(QCoreApplication::instance());
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(4);
    struct State {
        double wall = clockMs(CLOCK_MONOTONIC);
        double cpu = clockMs(CLOCK_THREAD_CPUTIME_ID);
        double lastProcessReport = 0;
    };
    auto *state = new State;
    QObject::connect(timer, &QTimer::timeout, timer, [=] {
        const double wall = clockMs(CLOCK_MONOTONIC);
        const double cpu = clockMs(CLOCK_THREAD_CPUTIME_ID);
        // The timer's own 4 ms are not the program's.
        const double busyWall = wall - state->wall - 4.0;
        const double busyCpu = cpu - state->cpu;
        const double now = clockMs(CLOCK_REALTIME);
        if (busyWall > threshold || busyCpu > threshold)
            std::fprintf(out, "%.1f %.2f %.2f\n", now, busyWall, busyCpu);
        if (now - state->lastProcessReport >= 1000) {
            state->lastProcessReport = now;
            std::fprintf(out, "cpu %.1f %.2f\n", now, clockMs(CLOCK_PROCESS_CPUTIME_ID));
        }
        std::fflush(out);
        state->wall = clockMs(CLOCK_MONOTONIC);
        state->cpu = clockMs(CLOCK_THREAD_CPUTIME_ID);
    });
    timer->start();
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installProbe)
