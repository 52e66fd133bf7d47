#pragma once

// Watches the guard process of one run and reaps it when it exits (through a
// pidfd, or by looking now and then where the kernel has none). When the guard
// went without ending its tree (killed outright), the watch ends what is left:
// by the tree's cgroup where it has one, else by the run mark every process of
// the tree carries. A ChildProcess deleted while its tree still lives hands
// its watch to the application object, which keeps it until the guard has
// finished ending the tree.

#include "platform/RunCgroup.h"

#include <QByteArray>
#include <QObject>
#include <chrono>
#include <functional>
#include <optional>
#include <sys/types.h>

namespace nerim::platform {

class HelperWatch : public QObject {
public:
    HelperWatch(pid_t pid, QObject *parent);
    ~HelperWatch() override;

    // The tree's own cgroup, which the guard has moved into.
    std::optional<RunCgroup> m_cgroup;
    // The run mark every process of the tree carries, and the tree's grace period.
    QByteArray m_mark;
    std::chrono::milliseconds m_grace{2000};

    // Called once with the guard's wait status (-1 when someone else reaped it).
    std::function<void(int)> onEnded;

    // From now on the watch belongs to the application and goes once the guard has.
    void orphan();

private:
    void check();
    void finish(int waitStatus);

    pid_t m_pid;
    int m_pidfd = -1;
    bool m_ended = false;
    // Reaped, and the cgroup (if any) emptied.
    bool m_finished = false;
};

} // namespace nerim::platform
