#pragma once

// How the guard starts PROGRAM. In the forked child it becomes PROGRAM in a
// session of its own (so with no controlling terminal), in its folder, with
// no capability left where paths are hidden from it or it is confined, and,
// confined, kept from the session's sockets and its writes kept to its places
// where the kernel allows. Where the kernel allows a PID namespace (as root,
// or through an unprivileged user namespace of the guard's own), PROGRAM runs
// below a tiny init, process 1 of that namespace, which dies with the guard
// and so takes the whole namespace with it; the init lays out the program's
// mount namespace (a /proc of its own, nerim-git over the real git, what is
// hidden or read-only) and reports the program's start and end to the guard.
//
// The namespace: as root the guard unshares a PID namespace directly;
// otherwise through a user namespace in which the user's own uid and gid map
// to themselves (sudo and set-user-id programs gain no privilege inside it).
// The init (`nerim-guard-init`, process 1 there) has SIGKILL as its
// parent-death signal: when the guard dies, the init dies and the kernel
// kills every process in the namespace, which a SIGKILL to the guard (the OOM
// killer, `pkill -9 nerim`, which matches the guards too) cannot prevent. The
// init's own /proc lives in a mount namespace of its own that still receives
// the system's later mounts (but for a confined tree), so ids a program reads
// there (`$$`, pid files, `pgrep`) are the ones its `kill` understands. The
// init ignores SIGTERM and leaves when the rest has; a SIGKILL to it ends the
// namespace at once and is reported as the program's SIGKILL. The guard
// still walks and signals the tree from outside, and reports the program's
// id as Nerim sees it (found through `NSpid` while the program waits on a
// pipe before its exec), so a runner's process group, its leftovers and its
// log name host ids.
//
// Plain C++ without Qt: the guard links it.

#include "platform/guard/GuardArguments.h"
#include "platform/guard/ProcessTree.h"

#include <string>
#include <sys/types.h>

namespace nerim::platform::guard {

// Where a start failed, as the child reports it with its errno.
enum class LaunchStage : int { chdir = 1, exec = 2 };

// What the namespace's init tells the guard over its status pipe: first the
// program's process id as the namespace sees it, then its wait status.
struct InitReport {
    int kind; // 1: started (value: its id there), 2: ended (value: its wait status), 3: no process left
    int value;
};

// In the forked child: becomes PROGRAM, or writes why it could not to `reportFd`
// (the stage and errno, as two ints). `parent` is the process that forked it
// (the guard, or the namespace's init).
[[noreturn]] void runProgram(const GuardArguments &args, pid_t parent, int reportFd, bool inNamespace);

// Process 1 of the program's namespace: starts PROGRAM, passes on its end,
// and reaps every orphan of the namespace until none is left. It dies with the
// guard, and the kernel then ends everything in the namespace. `goFd` is
// where the guard's word to go on to exec arrives; `statusFd` takes the
// InitReports.
[[noreturn]] void runInit(const GuardArguments &args, int reportFd, int statusFd, int signalFd, int goFd);

// Makes the processes the guard forks from now on start a new PID namespace.
// With the privilege for it (root) that is all; otherwise through a user
// namespace of the guard's own, in which the guard's user and group are
// mapped to themselves, so programs still run as the user they were.
// False when the kernel allows neither.
bool enterPidNamespace();

// The process id, as this process sees it, of the child of `parent` whose id
// in its own (innermost) namespace is `innerPid`; 0 when there is none.
pid_t outerPidOf(pid_t parent, pid_t innerPid, const ProcessTable &table);

// Writes `text` to a file the kernel offers (/proc, a cgroup's); false when
// it could not be written whole.
bool writeControlFile(const char *path, const std::string &text);

} // namespace nerim::platform::guard
