#pragma once

// Asking the real git, for one invocation, what it will read: the listing of
// its settings with the invocation's own options, folder and environment
// (for a pack program, of the repository it serves), turned into the
// overrides or the refusal (GitSettings.h); and, where anything names a work
// tree or the run is a Deploy run, where git's work tree is, which must lie
// in the project folder (be it, for a Deploy run). What cannot be asked whole
// refuses the command.
//
// Plain C++ without Qt: the shim links it.

#include "platform/guard/GitEnvironment.h"
#include "platform/guard/GitInvocation.h"
#include "platform/guard/GitSettings.h"

#include <string>

namespace nerim::platform::guard {

// The command-scope settings the real git needs for `invocation`, asked of
// the real git at `realGit` with `environment`; or why it must not run.
GitOverrides askGit(const std::string &realGit, const GitInvocation &invocation, const Environment &environment);

} // namespace nerim::platform::guard
