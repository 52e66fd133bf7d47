#pragma once

// What keeps a repository's own git configuration from running programs or
// choosing hosts in the processes Nerim starts, decided by asking git itself.
//
// A project folder may come from anyone, and its .git/config (with whatever
// it includes) can name programs git runs on the most routine commands: a
// file-system monitor, hooks, a clean filter, a text converter, an alias, a
// credential helper... and hosts it talks to: a proxy, a URL rewrite. Those
// would run, or send, with the agent's or the deploy's credentials.
//
// Every git the tree starts is `nerim-git` (see GitRouting.h). At each
// invocation it reads the global options before the command (each one git
// takes is known; any other refuses the command), then asks the real git what
// it will read, with the invocation's own options, folder and environment:
//     git config --list --show-scope -z --includes
// (which runs nothing). Every key git knows has a rule (GitConfigKeys.h): a
// harmless key applies as the repository set it; for every other one whose
// value does not come from the user's own system, global or command scope it
// adds a command-scope setting (GIT_CONFIG_COUNT, GIT_CONFIG_KEY_<n>,
// GIT_CONFIG_VALUE_<n>, read after every file): the user's own value where
// there is one, else one that runs nothing of the repository's. The keys
// whose neutral value is git's own default are set on every command, so a
// configuration swapped in after the question cannot bring them back. What
// cannot be overridden that way (a key git takes the first value of, a URL
// rewrite where the longest match wins), a work tree or a file to send or
// write outside the project folder, what cannot be read whole, and more
// settings than the budget allows make it refuse the command instead, with
// one line saying why.
//
// This file holds that policy: from git's listing of what it will read, the
// overrides or the refusal. Reading the command line is GitInvocation.h's,
// the environment's command-scope settings GitEnvironment.h's, asking the
// real git AskGit.h's, and what a Deploy run's push must not carry
// PushPaths.h's and PushContent.h's.
//
// Plain C++ without Qt: the guard and the shim link it.

#include "platform/guard/GitEnvironment.h"
#include "platform/guard/GitInvocation.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nerim::platform::guard {

// Every refusal starts with this.
inline constexpr const char *refusalPrefix = "nerim: git was not run: ";

// One entry of `git config --list --show-scope -z`.
struct GitConfigItem {
    std::string scope; // "system", "global", "local", "worktree", "command", ...
    std::string key; // section and name in lower case, a subsection as written
    std::optional<std::string> value; // none: written without "=" (true)
};

// The entries of the query's output; none when it is not the whole of a
// well-formed listing.
std::optional<std::vector<GitConfigItem>> parseConfigListing(std::string_view output);

struct GitOverrides {
    std::vector<Setting> settings; // command-scope settings, in order
    std::vector<Setting> variables; // further environment variables (GIT_PROXY_COMMAND)
    std::optional<std::string> refusal; // why the command must not run
    // The command the invocation ends in once its aliases are expanded, and
    // its arguments; empty for a shell alias (the gits it runs are asked
    // about again) or a pack program.
    std::string finalCommand;
    std::vector<std::string> finalArguments;
    // The work tree git will use, where it was asked (a work tree named by
    // core.worktree, GIT_WORK_TREE or --work-tree, or a run that refuses
    // pushing secrets); empty otherwise or without one.
    std::string workTree;
};

// Most command-scope settings one invocation may add, and their bytes.
inline constexpr size_t maxOverrides = 512;
inline constexpr size_t maxOverrideBytes = 256 * 1024;

// What one invocation needs, from what git says it will read.
GitOverrides gitOverrides(const std::vector<GitConfigItem> &items, const GitInvocation &invocation,
                          const Environment &environment);

// The small fixed set the guard puts in every tree's environment, for
// programs that run git by its full path: the settings set on every command
// (alwaysSetRules: core.hooksPath, core.fsmonitor, core.pager, the editors,
// core.sshCommand, core.askPass, gpg.program, http.sslVerify,
// http.saveCookies), protocol.ext.allow and the credential helpers, each the
// user's own value from `items` (read outside any repository) or one that
// runs nothing.
std::vector<Setting> fixedGitSettings(const std::vector<GitConfigItem> &items, const Environment &environment);

// `path` (relative to `base`) with every folder that exists resolved as the
// kernel would (links followed); empty when a link leads nowhere yet.
std::string resolvedPath(const std::string &path, const std::string &base);

// Whether `path` is `folder` or inside it (both resolved).
bool isWithin(const std::string &path, const std::string &folder);

// Where a repository's file setting leads when that is outside the project
// folder (`projectVariable`; `~/` is the home folder, a relative path counts
// from `base`, by default the project); none when it is inside.
std::optional<std::string> pathOutsideProject(const std::string &value, const Environment &environment,
                                              const std::string &base = {});

} // namespace nerim::platform::guard
