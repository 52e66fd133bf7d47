#pragma once

// Asking the real git, for one invocation, what it will read: the listing of
// its settings with the invocation's own options, folder and environment
// (for a pack program, of the repository it serves), turned into the
// overrides or the refusal (GitSettings.h); and, where anything names a work
// tree or the run is a Deploy run, where git's work tree is, which must lie
// in the project folder (be it, for a Deploy run). What cannot be asked whole
// refuses the command.
//
// The work tree is asked where `core.worktree` (any scope), GIT_WORK_TREE or
// `--work-tree` names one, and for every command of a run that refuses
// pushing secrets: `rev-parse --show-toplevel` with the same options,
// environment and the settings found so far. A work tree outside the project
// folder refuses the command ("its work tree (…) is outside the project
// folder"), as does a named one git cannot find; in a Deploy run a work tree
// other than the project itself, also a larger repository the project is a
// folder of, is refused ("a deploy works in the project folder only…"). So a
// repository that names the user's data folder as its work tree
// (`core.worktree = ../../../.local/share`, which made the allowed
// `git add -A -- .` stage it) gets every git command of the run refused.
// The query runs under a time limit (10 s; NERIM_GIT_QUERY_TIMEOUT_MS) and a
// size limit.
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
