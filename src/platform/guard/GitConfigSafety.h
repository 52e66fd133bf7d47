#pragma once

// What keeps a repository's own git configuration from running programs in
// the processes Nerim starts.
//
// A project folder may come from anyone, and its .git/config (with whatever it
// includes) can name programs that git runs on the most routine commands: a
// file-system monitor or hooks on `git status` and `git commit`, a clean
// filter on `git add`, a text converter on `git diff`, an alias, a credential
// helper... Those would run with the agent's or the deploy's credentials in
// their environment. Every program Nerim starts is therefore given
// command-scope git settings (GIT_CONFIG_COUNT, GIT_CONFIG_KEY_<n>,
// GIT_CONFIG_VALUE_<n>), which git reads after every configuration file: for
// each such key the repository may set, the user's own value (system or
// global configuration) where there is one, and otherwise a value that runs
// nothing of the repository's. Keys without a name of their own (core.pager,
// core.hooksPath...) are always set, so that a repository found below the
// project folder gains nothing either; named ones (filter.<driver>.clean,
// diff.<driver>.textconv, alias.<name>...) are found by reading the
// repository's configuration and every file it includes, without running
// anything.
//
// Plain C++ without Qt: the process guard links this and runs it before it
// starts the program, off Nerim's own threads.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nerim::platform::guard {

// One "key = value" line of a git configuration file.
struct GitConfigEntry {
    std::string section; // lower case
    std::string subsection; // as written: compared with its letter case
    bool hasSubsection = false;
    std::string name; // lower case
    // None for a key written without "=" (a boolean true).
    std::optional<std::string> value;
    // The folder of the file it was read from (where a relative include path points).
    std::string folder;
};

// The key as git names it: "section.name" or "section.subsection.name".
std::string keyOf(const GitConfigEntry &entry);

// Parses the text of one configuration file as git does (sections old and new
// style, quoting, escapes, continued lines, comments, a key on the header's
// line). A line git would refuse is skipped: git itself then refuses the file,
// so nothing it names runs.
std::vector<GitConfigEntry> parseGitConfig(std::string_view text, const std::string &folder = {});

// A program's environment, by variable name.
using Environment = std::map<std::string, std::string>;

struct GitRepository {
    std::string gitDir; // the repository's own folder (".git", or a linked worktree's)
    std::string commonDir; // where its shared configuration lives (the same but for a linked worktree)
};

// The repository git would use for a command run in `folder` (GIT_DIR when
// the environment sets it; else the first folder from `folder` upwards that
// has a ".git" folder or file, or that is itself a repository).
std::optional<GitRepository> findGitRepository(const std::string &folder, const Environment &environment);

// Every entry of the repository's own configuration: its config and
// config.worktree, those of its submodules, and every file they include,
// whatever an includeIf's condition.
std::vector<GitConfigEntry> repositoryGitConfig(const GitRepository &repository, const Environment &environment);

// The user's own configuration as git would read it for `repository`: the
// system file, the global files, and command-scope entries already in the
// environment, with their includes (an includeIf only where its gitdir or
// onbranch condition holds).
std::vector<GitConfigEntry> userGitConfig(const Environment &environment, const std::optional<GitRepository> &repository);

struct GitSafety {
    // Command-scope settings, in order.
    std::vector<std::pair<std::string, std::string>> settings;
    // Further environment variables (GIT_PROXY_COMMAND).
    std::vector<std::pair<std::string, std::string>> variables;
};

// The settings that take every program-naming key of `repository` away,
// keeping the user's own value for each.
GitSafety gitSafety(const std::vector<GitConfigEntry> &repository, const std::vector<GitConfigEntry> &user,
                    const Environment &environment);

// The variables to set in the environment of a program started in `folder`:
// GIT_CONFIG_COUNT and its keys and values (the environment's own entries
// first, unchanged), and the further variables of gitSafety.
std::vector<std::pair<std::string, std::string>> gitSafetyEnvironment(const std::string &folder,
                                                                      const Environment &environment);

// Whether `text` matches the glob `pattern` as git matches includeIf
// conditions: "*" and "?" stop at "/", "**" spans folders, "[...]" is a set.
bool gitWildcardMatch(std::string_view pattern, std::string_view text, bool ignoreCase);

} // namespace nerim::platform::guard
