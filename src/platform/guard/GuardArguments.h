#pragma once

// What Nerim asks of the guard: the options on its command line (see
// GuardProtocol.h for the whole of it) and PROGRAM with its arguments, which
// come in the environment and leave it before anything is started.
//
// Plain C++ without Qt: the guard links it.

#include "platform/guard/AppConfinement.h"

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace nerim::platform::guard {

// What Nerim asked of this guard.
struct GuardArguments {
    pid_t parent = 0;
    std::chrono::milliseconds grace{2000};
    bool endTreeOnExit = false;
    bool pidNamespace = true;
    const char *workingDirectory = nullptr;
    const char *cgroup = nullptr; // a cgroup v2 group to move into before anything is started
    bool refusePushingSecrets = false; // git push refuses commits holding secret files
    Confinement confinement; // what the program's mount namespace hides and lets it write
    std::vector<std::string> words; // PROGRAM and its arguments
    std::vector<char *> program; // the same, null-terminated, for exec
};

// Reads the command line and takes PROGRAM out of the environment; false when
// either is not what Nerim passes.
bool parseGuardArguments(int argc, char **argv, GuardArguments &out);

// Whether the program is to have a mount namespace laid out for it.
inline bool isolating(const GuardArguments &args)
{
    return args.confinement.confined || !args.confinement.hidden.empty();
}

} // namespace nerim::platform::guard
