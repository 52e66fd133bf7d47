#pragma once

#include <QtGlobal>

namespace nerim::platform {

// Small low-level helpers for process groups. Nerim's own children are run and
// stopped through ChildProcess, which never signals a process id or group id it
// remembered (an id may have been reused by then); these remain for checks
// such as "is anything of this group still alive".

// Meant for QProcess::setChildProcessModifier: runs in the forked child before
// exec and makes it the leader of a new process group. Async-signal-safe.
void becomeProcessGroupLeader();

// The parent's half of the same step, for the process id it just forked;
// failures (the child already did it, or already ran exec) are harmless.
void placeInOwnProcessGroup(qint64 pid);

// True while any process of the group is alive; processes that have exited
// but are not yet reaped (zombies) do not count.
bool processGroupHasLiveMembers(qint64 groupId);

} // namespace nerim::platform
