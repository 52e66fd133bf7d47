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
// Plain C++ without Qt: the guard and the shim link it.

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nerim::platform::guard {

// A program's environment, by variable name.
using Environment = std::map<std::string, std::string>;

using Setting = std::pair<std::string, std::string>;

// The environment variables the guard and the shim hand to each other.
inline constexpr const char *realGitVariable = "NERIM_GIT_REAL"; // the real git program
inline constexpr const char *realExecPathVariable = "NERIM_GIT_REAL_EXEC_PATH"; // its own exec path
// Which command-scope entries the guard or a shim above added ("first:count:hash"),
// so that the next shim asks git without them and does not take them for the user's.
inline constexpr const char *ownSettingsVariable = "NERIM_GIT_OWN";
inline constexpr const char *refuseSecretsVariable = "NERIM_GIT_REFUSE_SECRETS";
// In a Deploy run, the names of the run's own variables whose values a push
// must not carry (its token, the values the user gave), comma-separated; set
// by the agent provider for every Deploy run (empty when there are none).
inline constexpr const char *secretNamesVariable = "NERIM_GIT_SECRET_NAMES";
inline constexpr const char *queryTimeoutVariable = "NERIM_GIT_QUERY_TIMEOUT_MS";
// The folder of the project the tree works in: a work tree, or a file git
// writes or sends, outside it refuses the command.
inline constexpr const char *projectVariable = "NERIM_GIT_PROJECT";
// Nerim's own data folder (its key file...): never pushed from a Deploy run.
inline constexpr const char *nerimDataVariable = "NERIM_GIT_NERIM_DATA";

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

// A git command line, as far as the shim needs it.
struct GitInvocation {
    // The global options that choose the repository and its settings (-C,
    // --git-dir, --work-tree, --bare, -c, --config-env, --namespace...), in
    // order, to be passed on unchanged to the query.
    std::vector<std::string> queryOptions;
    // The command and what follows it; empty command when there is none.
    std::string command;
    std::vector<std::string> arguments;
    // Started as git-upload-pack, git-receive-pack or git-upload-archive (or
    // those commands): the repository is the folder named last, not the
    // current one.
    bool packProgram = false;
    // A global option git does not take (or one without its value): the
    // command is refused rather than guessed at.
    std::optional<std::string> unknownOption;
};

// `program` is the name the shim was started by (its basename decides a
// dashed pack program); `arguments` what follows it.
GitInvocation parseInvocation(std::string_view program, const std::vector<std::string> &arguments);

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

// The command-scope entries of `environment`, without those a guard or shim
// marked as its own (see ownSettingsVariable); none when GIT_CONFIG_COUNT is
// malformed (git refuses such an environment itself).
std::optional<std::vector<Setting>> usersCommandSettings(const Environment &environment);

// The variables that replace every GIT_CONFIG_COUNT/KEY/VALUE variable and
// the mark: `user` first, then `added`, marked as added.
std::vector<Setting> commandScopeVariables(const std::vector<Setting> &user, const std::vector<Setting> &added);

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

// Whether a path a push would carry holds a secret: a `.env` or `.env.*`
// file (but for the examples) or anything in a `.nerim` folder, at any depth.
bool isSecretPath(std::string_view path);

// The revisions whose commits `git push <arguments>` may carry (refspec
// sources; "--all" when that is not plain from the arguments).
std::vector<std::string> pushedRevisions(const std::vector<std::string> &arguments);

// ---- running the real git ----

struct CapturedRun {
    bool started = false;
    bool timedOut = false;
    bool tooLarge = false;
    int status = -1; // the wait status
    std::string output;
    std::string errorOutput; // the first KiB
};

// As runCaptured, with standard input from `inputFd` (-1: /dev/null), and
// each piece of standard output handed to `consume` instead of kept; when
// `consume` returns false the program is stopped and `tooLarge` set.
CapturedRun runStreaming(const std::string &path, const std::vector<std::string> &arguments,
                         const std::vector<std::string> &environment, int timeoutMs, int inputFd,
                         const std::function<bool(std::string_view)> &consume, const char *folder = nullptr);

// Runs `path` with `arguments` (argv[0] first) and `environment` (NAME=value),
// standard input from /dev/null, and takes what it prints; killed when it
// takes longer than `timeoutMs` or prints more than `maxBytes`.
// `folder`: where it runs (null: here).
CapturedRun runCaptured(const std::string &path, const std::vector<std::string> &arguments,
                        const std::vector<std::string> &environment, int timeoutMs, size_t maxBytes,
                        const char *folder = nullptr);

// The query's arguments for `invocation` (argv[0] first).
std::vector<std::string> queryArguments(const GitInvocation &invocation);

// The environment as NAME=value lines, and back.
Environment environmentFrom(char **environ);
std::vector<std::string> environmentLines(const Environment &environment);

// `environment` with its command-scope variables replaced by `user` then
// `added` (marked as added), and `variables` set.
Environment environmentWith(Environment environment, const std::vector<Setting> &user,
                            const std::vector<Setting> &added, const std::vector<Setting> &variables = {});

// Why `git push` (as `overrides` resolved it) must not run: a commit it would
// carry adds or changes a secret path. Asked of the real git with the
// environment the push runs with.
std::optional<std::string> pushSecretRefusal(const std::string &realGit, const GitInvocation &invocation,
                                             const GitOverrides &overrides, const Environment &environment);

// The command-scope settings the real git needs for `invocation`, asked of
// the real git at `realGit` with `environment`; or why it must not run.
GitOverrides askGit(const std::string &realGit, const GitInvocation &invocation, const Environment &environment);

} // namespace nerim::platform::guard
