#pragma once

#include <QtGlobal>

namespace nerim::platform {

// A low-level check on process groups. Nerim's own children are run and
// stopped through ChildProcess, which never signals a process id or group id it
// remembered (an id may have been reused by then); this remains for checks
// such as "is anything of this group still alive".

// True while any process of the group is alive; processes that have exited
// but are not yet reaped (zombies) do not count.
bool processGroupHasLiveMembers(qint64 groupId);

} // namespace nerim::platform
