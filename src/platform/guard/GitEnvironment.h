#pragma once

// The environment nerim-git and the guard work with: the variables they hand
// to each other (where the real git is, the project folder, a Deploy run's
// secrets...), and the command-scope settings git reads after every file
// (GIT_CONFIG_COUNT, GIT_CONFIG_KEY_<n>, GIT_CONFIG_VALUE_<n>): the user's
// own read out of it, and the ones a guard or shim adds written into it with
// a mark (ownSettingsVariable), so that the next shim down can tell them apart.
//
// Plain C++ without Qt: the guard and the shim link it.

#include <map>
#include <optional>
#include <string>
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

// The value of `name` in `environment`; null when it is not set.
const std::string *environmentValue(const Environment &environment, const char *name);

// The value of `name`, or `fallback` when it is not set or empty.
std::string environmentValueOr(const Environment &environment, const char *name, const std::string &fallback = {});

// How long a question to git may take, in milliseconds: queryTimeoutVariable
// where it holds 100 to 600000, else 10 seconds.
int queryTimeoutMs(const Environment &environment);

// The command-scope entries of `environment`, without those a guard or shim
// marked as its own (see ownSettingsVariable); none when GIT_CONFIG_COUNT is
// malformed (git refuses such an environment itself).
std::optional<std::vector<Setting>> usersCommandSettings(const Environment &environment);

// The variables that replace every GIT_CONFIG_COUNT/KEY/VALUE variable and
// the mark: `user` first, then `added`, marked as added.
std::vector<Setting> commandScopeVariables(const std::vector<Setting> &user, const std::vector<Setting> &added);

// The environment as NAME=value lines, and back.
Environment environmentFrom(char **environ);
std::vector<std::string> environmentLines(const Environment &environment);

// `environment` with its command-scope variables replaced by `user` then
// `added` (marked as added), and `variables` set.
Environment environmentWith(Environment environment, const std::vector<Setting> &user,
                            const std::vector<Setting> &added, const std::vector<Setting> &variables = {});

} // namespace nerim::platform::guard
