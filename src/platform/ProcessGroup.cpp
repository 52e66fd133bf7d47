#include "platform/ProcessGroup.h"

#include "platform/guard/ProcessTree.h"

#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace nerim::platform {

bool processGroupHasLiveMembers(qint64 groupId)
{
    if (groupId <= 0)
        return false;
    // Cheap answer first: no process at all carries the group id.
    if (::kill(static_cast<pid_t>(-groupId), 0) != 0 && errno == ESRCH)
        return false;
    for (const guard::ProcessEntry &entry : guard::ProcProcessTable().list()) {
        if (entry.group == groupId && entry.alive())
            return true;
    }
    return false;
}

} // namespace nerim::platform
