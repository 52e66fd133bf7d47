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
// In more detail:
// - Scopes `system`, `global` and `command` are the user's. A key is found
//   by its section and name in any letter case and its subsection as written
//   (GitConfigKeys.h), so `alias.a.b` and `pager.a.b` are an alias and a
//   pager, and a URL with dots is one subsection.
// - Always set, besides the always-set keys: `protocol.ext.allow` never and
//   the credential helpers (an empty `credential.helper`, which forgets the
//   repository's, then the user's in order, as helpers add up). A
//   `.git/config` swapped in by rename between the question and git's own
//   reading cannot bring those back, nor an alias of the command. What such a
//   swap can still bring in is a key with a subsection nothing set at the
//   question: a filter, text converter or merge driver the attributes name.
// - Pagers: every `pager.<cmd>` the repository sets becomes the user's or
//   false, and git runs with `--no-pager` put first (git pages with the pager
//   of whichever command it runs inside: `git stash show` pages as diff), so
//   no pager runs unless the command asks with `-p`, which uses core.pager.
// - Aliases: only the alias the command names and the chain it expands
//   through; each name the command goes by gets the user's alias or an empty
//   one (git refuses an empty alias, and looks for one only when no command
//   of its own or installed one has that name). Where the user's own
//   `help.autocorrect` would run a corrected command, every alias of the
//   repository's is emptied, or, past the budget, corrections are only
//   suggested.
// - `protocol.<name>.allow`, when the repository sets any protocol rule: the
//   user's or git's own rule for http, https, ssh, git and file, and
//   `protocol.allow` the user's or "user". A repository's `core.gitProxy`
//   (the first match wins) is answered with an empty GIT_PROXY_COMMAND.
// - Refused where it may reach a remote (push, fetch, pull, clone,
//   ls-remote, remote, send-pack, fetch-pack, submodule, maintenance, lfs,
//   `archive --remote`, also through the user's aliases): the
//   refusedForTransport keys, and a URL's own value (`http.<url>.<key>`) of
//   any key that is not harmless. The repository's `remote.<name>.url` stays.
// - A file setting (pathInProject) refuses the command when it leads outside
//   the project folder: `~/` expanded, a relative path counted from the
//   project, every folder that exists resolved with its links, so a link in
//   the project that leads out counts as outside.
// - Any command is refused when the query fails, times out (an include that
//   is a pipe) or its answer is not whole, and when the overrides exceed the
//   budget (maxOverrides, maxOverrideBytes). A refusal is one line on
//   standard error, `refusalPrefix` and the reason, and exit status 128.
//   Otherwise nerim-git execs the real git (for a dashed pack program, the
//   real exec path's one) with the original arguments after `--no-pager`.
//   The environment stays small: a project with 60,000 aliases runs.
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
