#pragma once

#include <sys/types.h>

namespace nerim::platform {

// Makes Nerim a child subreaper, for where no cgroup holds a run's tree: the
// processes a killed process guard leaves behind (a server an agent started
// in a session of its own, say) then come to Nerim rather than to the
// system's init, and ChildProcess ends them (see RunMarker).
//
// A subreaper also inherits orphans of its own making, which nobody else
// will reap: a program started detached (the desktop's settings, a browser)
// once its launcher has exited. Such a process is reaped when it has ended,
// from the event loop of the thread that installed the reaper (the GUI
// thread), without stealing an exit status another part of Nerim waits for:
// the process guards' (which ChildProcess claims here), and QProcess's, whose
// children are reaped from the same event loop as soon as they end, so the
// reaper only takes a child that has stayed unreaped for two seconds. The
// web engine's own processes are left to it. A child a guard watch has
// claimed is never taken. The reaper wakes on SIGCHLD (its handler chains to
// the one installed before it); `main` installs it.
class OrphanReaper {
public:
    // Once, on the GUI thread, before any child process is started. Returns
    // whether this process is now a subreaper.
    static bool install();
    static bool isInstalled();

    // A child some part of Nerim waits for itself (a process guard), and the
    // end of that claim once it has been reaped. Any thread.
    static void claim(pid_t pid);
    static void release(pid_t pid);
};

} // namespace nerim::platform
