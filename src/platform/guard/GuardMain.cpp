// nerim-guard: the small process that stands between Nerim and every program
// Nerim runs (agents, development servers, tools), so that nothing those
// programs start can outlive its reason to run.
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
#include "platform/guard/GuardProtocol.h"
#include "platform/guard/ProcessTree.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace nerim::platform::guard;
using Clock = std::chrono::steady_clock;

namespace {

struct Arguments {
    pid_t parent = 0;
    std::chrono::milliseconds grace{2000};
    bool endTreeOnExit = false;
    const char *workingDirectory = nullptr;
    char **program = nullptr; // PROGRAM and its arguments, null-terminated
};

bool parseArguments(int argc, char **argv, Arguments &out)
{
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--") {
            if (i + 1 >= argc)
                return false;
            out.program = argv + i + 1;
            return true;
        }
        if (option == "--end-tree-on-exit") {
            out.endTreeOnExit = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const char *value = argv[++i];
        char *end = nullptr;
        if (option == "--parent") {
            out.parent = static_cast<pid_t>(std::strtol(value, &end, 10));
        } else if (option == "--grace-ms") {
            out.grace = std::chrono::milliseconds(std::strtol(value, &end, 10));
        } else if (option == "--cwd") {
            out.workingDirectory = value;
            continue;
        } else {
            return false;
        }
        if (!end || *end != '\0')
            return false;
    }
    return false;
}

void report(const std::string &line)
{
    const std::string text = line + '\n';
    // The socket may be gone with Nerim; nothing is left to tell then.
    (void)::send(controlDescriptor, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

enum class Stage : int { chdir = 1, exec = 2 };

// In the forked child: becomes PROGRAM, or writes why it could not to `reportFd`.
[[noreturn]] void runProgram(const Arguments &args, pid_t guard, int reportFd)
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    setpgid(0, 0);
    // Should the guard itself be killed outright, the program is still told to go.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != guard)
        _exit(126);
    const auto fail = [reportFd](Stage stage) {
        const int failure[2] = {static_cast<int>(stage), errno};
        (void)!write(reportFd, failure, sizeof failure);
        _exit(127);
    };
    if (args.workingDirectory && chdir(args.workingDirectory) != 0)
        fail(Stage::chdir);
    execvp(args.program[0], args.program);
    fail(Stage::exec);
    _exit(127);
}

class Guard {
public:
    Guard(const Arguments &args, int signals) : m_args(args), m_signals(signals), m_self(getpid()) {}

    // Starts PROGRAM; false when it could not be started (reported already).
    bool launch()
    {
        int reportPipe[2];
        if (pipe2(reportPipe, O_CLOEXEC) != 0) {
            report(std::string(failedMessage) + " exec " + std::to_string(errno));
            return false;
        }
        const pid_t child = fork();
        if (child < 0) {
            report(std::string(failedMessage) + " exec " + std::to_string(errno));
            return false;
        }
        if (child == 0)
            runProgram(m_args, m_self, reportPipe[1]);
        close(reportPipe[1]);
        int failure[2] = {0, 0};
        ssize_t got;
        do {
            got = read(reportPipe[0], failure, sizeof failure);
        } while (got < 0 && errno == EINTR);
        close(reportPipe[0]);
        if (got == static_cast<ssize_t>(sizeof failure)) {
            int status = 0;
            waitpid(child, &status, 0);
            report(std::string(failedMessage) + (failure[0] == static_cast<int>(Stage::chdir) ? " chdir " : " exec ") +
                   std::to_string(failure[1]));
            return false;
        }
        m_child = child;
        // Setting the group from this side too means no signal sent from now on can miss it.
        setpgid(child, child);
        report(std::string(startedMessage) + " " + std::to_string(child));
        return true;
    }

    [[noreturn]] void run()
    {
        for (;;) {
            reap();
            if (m_childExited && m_noChildren)
                std::exit(0);
            escalateWhenDue();

            pollfd fds[2] = {{m_signals, POLLIN, 0}, {m_controlOpen ? controlDescriptor : -1, POLLIN, 0}};
            const int ready = poll(fds, 2, pollTimeout());
            if (ready < 0 && errno != EINTR)
                std::exit(1);
            if (ready <= 0)
                continue;
            if (fds[0].revents & POLLIN)
                readSignals();
            if (fds[1].revents & (POLLIN | POLLHUP | POLLERR))
                readControl();
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
                if (pid == m_child)
                    childEnded(status);
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

    Arguments m_args;
    int m_signals;
    pid_t m_self;
    pid_t m_child = 0;
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
    Arguments args;
    if (!parseArguments(argc, argv, args) || fcntl(controlDescriptor, F_GETFD) < 0) {
        std::fprintf(stderr, "nerim-guard: runs programs for Nerim and is started by it\n");
        return 2;
    }
    // Only what Nerim handed over on purpose reaches the program.
    close_range(controlDescriptor + 1, ~0U, 0);
    fcntl(controlDescriptor, F_SETFD, FD_CLOEXEC);
    signal(SIGPIPE, SIG_IGN);

    prctl(PR_SET_CHILD_SUBREAPER, 1);
    if (args.parent > 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != args.parent)
            return 0; // Nerim is already gone: nothing is started
    }

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
    if (!guard.launch())
        return 0;

    // The guard keeps none of the program's standard streams open, so their
    // ends are seen as soon as the program's tree closes them.
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int fd = 0; fd <= 2 && null >= 0; ++fd)
        dup2(null, fd);
    guard.run();
}
