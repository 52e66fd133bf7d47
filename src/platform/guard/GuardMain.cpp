// nerim-guard: the small process that stands between Nerim and every program
// Nerim runs (agents, development servers, tools), so that nothing those
// programs start can outlive its reason to run.
//
// Where the kernel allows it (as root, or through an unprivileged user
// namespace) the program runs in a PID namespace of its own, below a tiny init
// process the guard starts first. Whatever the program starts stays in that
// namespace, and when its init dies every process in it is killed by the
// kernel. The init dies with the guard (its parent-death signal is SIGKILL), so
// even a guard killed outright with SIGKILL takes the whole tree with it. The
// namespace also gets a /proc of its own, so that process ids the program
// reads there are the ones its kill(1) understands. Without namespaces the
// guard falls back to what it does in either case:
//
// The guard is a child subreaper: every process below it whose parent exits
// (a server sent to the background, a tool command started in a session of its
// own with setsid) is re-parented to the guard rather than to init, so the
// guard always sees the whole tree it started. It ends that tree, SIGTERM to
// every process, then SIGKILL to whatever is left after the grace period,
//   - when Nerim asks (a line on the control socket),
//   - when Nerim is gone (the control socket reaches its end; Nerim alone held
//     the other end, so this happens however Nerim ended, SIGKILL included;
//     the parent-death signal is a second line of defence),
//   - when it is sent SIGTERM, SIGINT or SIGHUP,
//   - when the program ends, if asked to with --end-tree-on-exit.
// It reports the program's start and end on the control socket (see
// GuardProtocol.h) and exits once no process of the tree is left.
//
// The guard runs in a session of its own (Nerim starts it so) and starts the
// program in another: neither has a controlling terminal, so nothing in the
// tree can read from, or type into, the terminal Nerim was started from.
//
// Given a cgroup (--cgroup), the guard moves itself into it before it starts
// anything, so the whole tree is in that group; should the guard be killed
// outright, Nerim kills what is left in the group (see RunCgroup.h).
//
// Before it starts the program the guard makes every git the tree runs come
// through nerim-git, which keeps the repository's own configuration from
// running anything or choosing a host (see GitRouting.h), and in the
// program's mount namespace it hides what it was asked to hide (--hide) and,
// confined (--confine), lets the program write only the places it was given
// (--writable, --read-only, --private) and a private /tmp, keeps it from the
// session's abstract sockets and from signalling anything outside its tree
// where the kernel has Landlock scopes (see AppConfinement.h). A program with
// hidden paths, or confined, runs without capabilities (as root too), so it
// cannot unmount any of that.
//
// Reading what Nerim asks is GuardArguments.h's and starting the program (the
// namespace, its init, the exec) ProgramLaunch.h's; this file is the guard's
// own loop: reaping, reporting on the control socket, ending the tree.
#include "platform/guard/GitRouting.h"
#include "platform/guard/GuardArguments.h"
#include "platform/guard/GuardProtocol.h"
#include "platform/guard/ProcessTree.h"
#include "platform/guard/ProgramLaunch.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace nerim::platform::guard;
using Clock = std::chrono::steady_clock;

namespace {

void report(const std::string &line)
{
    const std::string text = line + '\n';
    // The socket may be gone with Nerim; nothing is left to tell then.
    (void)::send(controlDescriptor, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}


// Once the tree has ended, the guard leaves the tree's cgroup for the one
// above it and removes the group, so that no empty group is left behind even
// when Nerim is already gone. (Best effort: Nerim removes it otherwise.)
void leaveCgroup(const char *cgroup)
{
    if (!cgroup)
        return;
    const std::string group = cgroup;
    const std::string::size_type slash = group.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return;
    writeControlFile((group.substr(0, slash) + "/cgroup.procs").c_str(), "0");
    // A namespace's init may still be on its way out; it is given a moment.
    const auto deadline = Clock::now() + std::chrono::seconds(1);
    while (rmdir(cgroup) != 0 && errno == EBUSY && Clock::now() < deadline) {
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        usleep(10 * 1000);
    }
}


class Guard {
public:
    Guard(const GuardArguments &args, int signals) : m_args(args), m_signals(signals), m_self(getpid()) {}

    // Starts PROGRAM; false when it could not be started (reported already).
    bool launch()
    {
        int reportPipe[2];
        if (pipe2(reportPipe, O_CLOEXEC) != 0) {
            report(std::string(failedMessage) + " exec " + std::to_string(errno));
            return false;
        }
        // In a namespace: the init's reports, and the word that lets the
        // program go on to exec once the guard has found its id.
        int statusPipe[2] = {-1, -1};
        int goPipe[2] = {-1, -1};
        const bool isolated = m_args.pidNamespace && pipe2(statusPipe, O_CLOEXEC) == 0 &&
                              pipe2(goPipe, O_CLOEXEC) == 0 && enterPidNamespace();
        if (!isolated) {
            for (const int fd : {statusPipe[0], statusPipe[1], goPipe[0], goPipe[1]})
                if (fd >= 0)
                    close(fd);
        }
        const pid_t child = fork();
        if (child < 0) {
            report(std::string(failedMessage) + " exec " + std::to_string(errno));
            return false;
        }
        if (child == 0) {
            if (isolated) {
                close(statusPipe[0]);
                close(goPipe[1]);
                runInit(m_args, reportPipe[1], statusPipe[1], m_signals, goPipe[0]);
            }
            runProgram(m_args, m_self, reportPipe[1], false);
        }
        close(reportPipe[1]);
        pid_t program = child;
        ssize_t got;
        if (isolated) {
            close(statusPipe[1]);
            close(goPipe[0]);
            m_isolated = true;
            m_initStatus = statusPipe[0];
            InitReport started{0, 0};
            do {
                got = read(m_initStatus, &started, sizeof started);
            } while (got < 0 && errno == EINTR);
            if (got == static_cast<ssize_t>(sizeof started) && started.kind == 1)
                program = outerPidOf(child, started.value, m_table);
            // The program waits for this before it runs, so it was still there
            // to be found; should it not be, the init's id stands in for it.
            (void)!write(goPipe[1], "g", 1);
            close(goPipe[1]);
            if (program <= 0)
                program = child;
        }
        int failure[2] = {0, 0};
        do {
            got = read(reportPipe[0], failure, sizeof failure);
        } while (got < 0 && errno == EINTR);
        close(reportPipe[0]);
        if (got == static_cast<ssize_t>(sizeof failure)) {
            int status = 0;
            waitpid(child, &status, 0);
            closeInitStatus();
            report(std::string(failedMessage) + (failure[0] == static_cast<int>(LaunchStage::chdir) ? " chdir " : " exec ") +
                   std::to_string(failure[1]));
            return false;
        }
        m_child = child;
        // (The program made its own session, and with it its group, before
        // its exec ended the report: it has it by now.)
        if (isolated)
            fcntl(m_initStatus, F_SETFL, O_NONBLOCK);
        report(std::string(startedMessage) + " " + std::to_string(program));
        return true;
    }

    [[noreturn]] void run()
    {
        for (;;) {
            reap();
            if (m_childExited && (m_noChildren || m_namespaceEmpty)) {
                leaveCgroup(m_args.cgroup);
                std::exit(0);
            }
            escalateWhenDue();

            pollfd fds[3] = {{m_signals, POLLIN, 0},
                             {m_controlOpen ? controlDescriptor : -1, POLLIN, 0},
                             {m_initStatus, POLLIN, 0}};
            const int ready = poll(fds, 3, pollTimeout());
            if (ready < 0 && errno != EINTR)
                std::exit(1);
            if (ready <= 0)
                continue;
            if (fds[0].revents & POLLIN)
                readSignals();
            if (fds[1].revents & (POLLIN | POLLHUP | POLLERR))
                readControl();
            if (fds[2].revents & (POLLIN | POLLHUP | POLLERR))
                readInitStatus();
        }
    }

    // Ends the tree: SIGTERM to every process now (and SIGCONT, so a stopped
    // one can act on it), SIGKILL for what remains after the grace period.
    void beginStop()
    {
        if (m_stopping)
            return;
        m_stopping = true;
        m_deadline = Clock::now() + m_args.grace;
        signalTree(SIGTERM);
        signalTree(SIGCONT);
    }

private:
    int signalTree(int signal) { return signalDescendants(m_self, signal, m_table, &sendThroughPidfd); }

    void reap()
    {
        for (;;) {
            int status = 0;
            const pid_t pid = waitpid(-1, &status, WNOHANG);
            if (pid > 0) {
                if (pid == m_child) {
                    if (!m_isolated) {
                        childEnded(status);
                    } else {
                        // The init has gone, and with it the whole namespace.
                        // What it had still to tell is in the pipe; a program
                        // it could not report on went down with it (SIGKILL).
                        readInitStatus();
                        closeInitStatus();
                        if (!m_childExited)
                            childEnded(WIFSIGNALED(status) ? status : SIGKILL);
                    }
                }
                continue;
            }
            if (pid < 0 && errno == EINTR)
                continue;
            // Being a subreaper, the guard has no child left only when no
            // process of the tree is left at all.
            m_noChildren = pid < 0 && errno == ECHILD;
            return;
        }
    }

    void readInitStatus()
    {
        InitReport message{0, 0};
        for (;;) {
            const ssize_t got = read(m_initStatus, &message, sizeof message);
            if (got == static_cast<ssize_t>(sizeof message)) {
                if (message.kind == 2 && !m_childExited)
                    childEnded(message.value);
                if (message.kind == 3)
                    m_namespaceEmpty = true;
                continue;
            }
            if (got < 0 && errno == EINTR)
                continue;
            if (got == 0)
                closeInitStatus();
            return;
        }
    }

    void closeInitStatus()
    {
        if (m_initStatus >= 0)
            close(m_initStatus);
        m_initStatus = -1;
    }

    void childEnded(int status)
    {
        m_childExited = true;
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 0;
        const int signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        report(std::string(exitedMessage) + " " + std::to_string(code) + " " + std::to_string(signal));
        if (m_args.endTreeOnExit)
            beginStop();
    }

    void escalateWhenDue()
    {
        if (!m_stopping || Clock::now() < m_deadline)
            return;
        if (!m_killing) {
            if (descendantsOf(m_self, m_table.list()).empty())
                return; // only exited processes wait to be reaped
            m_killing = true;
            report(killingMessage);
        }
        // Again on every turn: a process forked meanwhile is caught on the next.
        signalTree(SIGKILL);
    }

    int pollTimeout() const
    {
        if (!m_stopping)
            return -1;
        const auto now = Clock::now();
        if (m_killing || now >= m_deadline)
            return 20;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - now).count();
        return static_cast<int>(std::max<long long>(1, left));
    }

    void readSignals()
    {
        signalfd_siginfo info;
        while (read(m_signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            if (info.ssi_signo != SIGCHLD)
                beginStop();
        }
    }

    void readControl()
    {
        char buffer[256];
        const ssize_t got = recv(controlDescriptor, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (got <= 0) {
            m_controlOpen = false; // Nerim is gone
            close(controlDescriptor);
        }
        beginStop();
    }

    GuardArguments m_args;
    int m_signals;
    pid_t m_self;
    // The program's process when it runs directly below the guard, else the
    // namespace's init.
    pid_t m_child = 0;
    // Whether the program runs in a namespace of its own below an init.
    bool m_isolated = false;
    // Read end of the init's status pipe; -1 without a namespace or once closed.
    int m_initStatus = -1;
    // The init has seen the last process of the namespace end (only the
    // init itself is left, and it is exiting).
    bool m_namespaceEmpty = false;
    ProcProcessTable m_table;
    bool m_childExited = false;
    bool m_noChildren = false;
    bool m_controlOpen = true;
    bool m_stopping = false;
    bool m_killing = false;
    Clock::time_point m_deadline;
};

} // namespace

int main(int argc, char **argv)
{
    GuardArguments args;
    if (!parseGuardArguments(argc, argv, args) || fcntl(controlDescriptor, F_GETFD) < 0) {
        std::fprintf(stderr, "nerim-guard: runs programs for Nerim and is started by it\n");
        return 2;
    }
    // Only what Nerim handed over on purpose reaches the program.
    close_range(controlDescriptor + 1, ~0U, 0);
    fcntl(controlDescriptor, F_SETFD, FD_CLOEXEC);
    signal(SIGPIPE, SIG_IGN);

    int gitError = 0;
    if (!routeGitThroughShim(GitRoutingOptions{args.refusePushingSecrets, args.workingDirectory}, gitError)) {
        report(std::string(failedMessage) + " exec " + std::to_string(gitError));
        return 0;
    }

    prctl(PR_SET_CHILD_SUBREAPER, 1);
    if (args.parent > 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != args.parent)
            return 0; // Nerim is already gone: nothing is started
    }

    // Into the tree's own cgroup first, so that everything started from here
    // on is in it: Nerim ends what is left there should the guard be killed
    // outright. Best effort: without it the subreaper still holds the tree.
    if (args.cgroup)
        writeControlFile((std::string(args.cgroup) + "/cgroup.procs").c_str(), "0");

    sigset_t handled;
    sigemptyset(&handled);
    for (const int signal : {SIGCHLD, SIGTERM, SIGINT, SIGHUP})
        sigaddset(&handled, signal);
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    const int signals = signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signals < 0) {
        report(std::string(failedMessage) + " exec " + std::to_string(errno));
        return 1;
    }

    Guard guard(args, signals);
    if (!guard.launch()) {
        leaveCgroup(args.cgroup);
        return 0;
    }

    // The guard keeps none of the program's standard streams open, so their
    // ends are seen as soon as the program's tree closes them.
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int fd = 0; fd <= 2 && null >= 0; ++fd)
        dup2(null, fd);
    guard.run();
}
