#include "platform/guard/ProgramLaunch.h"

#include "platform/guard/GitRouting.h"
#include "platform/guard/GuardProtocol.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace nerim::platform::guard {

namespace {

// The program runs without any capability, and can gain none (not even by
// running a set-user-id program, and not as root): what was laid over in its
// namespace then stays there, as unmounting needs a capability.
bool dropCapabilities()
{
    // A process without CAP_SETPCAP (a normal user outside any namespace of
    // its own) cannot empty its bounding set; with no capability left and
    // no_new_privs set it can gain none either.
    for (int capability = 0; capability <= 63; ++capability) {
        if (prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0 && errno != EINVAL && errno != EPERM)
            return false;
    }
    (void)prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[2] = {};
    if (syscall(SYS_capset, &header, none) != 0)
        return false;
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
}

} // namespace

[[noreturn]] void runProgram(const GuardArguments &args, pid_t parent, int reportFd, bool inNamespace)
{
    const auto fail = [reportFd](LaunchStage stage) {
        const int failure[2] = {static_cast<int>(stage), errno};
        (void)!write(reportFd, failure, sizeof failure);
        _exit(127);
    };
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    // A session of its own, which has no controlling terminal: nothing the
    // program does reaches the terminal Nerim was started from (/dev/tty
    // opens nothing, and no terminal takes its input). The session is also
    // the program's own process group. Failing that, it does not run.
    if (setsid() < 0)
        fail(LaunchStage::exec);
    // Should the guard itself be killed outright, the program is still told to go.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        _exit(126);
    if (args.workingDirectory && chdir(args.workingDirectory) != 0)
        fail(LaunchStage::chdir);
    // A program with paths hidden from it, or confined, may not undo that;
    // confined, it also reaches none of the session's abstract sockets and
    // signals nothing outside its tree, where the kernel has the scopes.
    if (isolating(args) && !dropCapabilities())
        fail(LaunchStage::exec);
    if (args.confinement.confined && !scopeAwayFromTheSession())
        fail(LaunchStage::exec);
    // Without a namespace of its own (the kernel gave none), what it may
    // write is kept to its places where the kernel has Landlock.
    if (args.confinement.confined && !inNamespace && !keepWritesToPlaces(args.confinement))
        fail(LaunchStage::exec);
    execvp(args.program[0], args.program.data());
    fail(LaunchStage::exec);
    _exit(127);
}

bool writeControlFile(const char *path, const std::string &text)
{
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return written;
}

bool enterPidNamespace()
{
    if (unshare(CLONE_NEWPID) == 0)
        return true;
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWPID) != 0)
        return false;
    // Once in the user namespace there is no way back: a failed mapping
    // leaves the program running as the overflow user, which is still
    // sandboxed by the namespace, so it is not treated as fatal.
    writeControlFile("/proc/self/setgroups", "deny");
    writeControlFile("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1");
    writeControlFile("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1");
    return true;
}

[[noreturn]] void runInit(const GuardArguments &args, int reportFd, int statusFd, int signalFd, int goFd)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The guard may have died before the line above took effect; its end of
    // the status pipe is then closed.
    pollfd lifeline{statusFd, POLLOUT, 0};
    if (poll(&lifeline, 1, 0) < 0 || (lifeline.revents & POLLERR))
        _exit(0);
    close(signalFd);
    close(controlDescriptor);
    prctl(PR_SET_NAME, "nerim-guard-init");

    // A /proc showing this namespace, in a mount namespace of its own that
    // still receives the system's later mounts (none, confined: nothing
    // mounted later is writable to the program). Best effort: without it the
    // program sees the system's process ids there. But what is to be hidden
    // from the program, and its confinement, must be: the program is not
    // started otherwise.
    bool laidOut = false;
    const unsigned long propagation = args.confinement.confined ? MS_PRIVATE : MS_SLAVE;
    if (unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | propagation, nullptr) == 0) {
        coverRealGitInThisMountNamespace();
        laidOut = layOutMountNamespace(args.confinement);
    }
    if (isolating(args) && !laidOut) {
        const int failure[2] = {2, errno ? errno : EPERM}; // reported as an exec failure
        (void)!write(reportFd, failure, sizeof failure);
        _exit(127);
    }

    const pid_t program = fork();
    if (program < 0) {
        const int failure[2] = {2, errno}; // reported as an exec failure
        (void)!write(reportFd, failure, sizeof failure);
        _exit(127);
    }
    if (program == 0) {
        // Waits until the guard has found the program's id as Nerim sees it.
        char go = 0;
        ssize_t got;
        do {
            got = read(goFd, &go, 1);
        } while (got < 0 && errno == EINTR);
        close(goFd);
        runProgram(args, 1, reportFd, true);
    }
    close(goFd);
    close(reportFd);
    const InitReport started{1, static_cast<int>(program)};
    (void)!write(statusFd, &started, sizeof started);

    // The program's output goes to Nerim; the init holds none of it open.
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int fd = 0; fd <= 2 && null >= 0; ++fd)
        dup2(null, fd);

    for (;;) {
        int status = 0;
        const pid_t ended = waitpid(-1, &status, 0);
        if (ended == program) {
            const InitReport report{2, status};
            (void)!write(statusFd, &report, sizeof report);
        } else if (ended < 0 && errno == ECHILD) {
            // Nothing of the namespace runs any more. Its teardown may still
            // wait for an outside process that joined a process group of it;
            // the guard need not wait for that.
            const InitReport done{3, 0};
            (void)!write(statusFd, &done, sizeof done);
            _exit(0);
        }
    }
}

pid_t outerPidOf(pid_t parent, pid_t innerPid, const ProcessTable &table)
{
    for (const ProcessEntry &entry : table.list()) {
        if (entry.parent != parent)
            continue;
        FILE *status = std::fopen(("/proc/" + std::to_string(entry.pid) + "/status").c_str(), "re");
        if (!status)
            continue;
        char line[512];
        pid_t inner = 0;
        while (std::fgets(line, sizeof line, status)) {
            if (std::strncmp(line, "NSpid:", 6) != 0)
                continue;
            // The last number is the id in the innermost namespace.
            for (char *field = std::strtok(line + 6, " \t\n"); field; field = std::strtok(nullptr, " \t\n"))
                inner = static_cast<pid_t>(std::strtol(field, nullptr, 10));
            break;
        }
        std::fclose(status);
        if (inner == innerPid)
            return entry.pid;
    }
    return 0;
}

} // namespace nerim::platform::guard
