#pragma once

// What each configuration key git knows may do when a repository sets it.
//
// Every key the installed git lists (`git help --config`: "core.fsmonitor",
// wildcard entries such as "pager.<cmd>", "alias.*", "http.<url>.*") and the
// few it reads without listing them (a filter's `process`, a trailer's `cmd`,
// a tar format's `command`...) has one entry here. A key git does not know is
// not read by git; the few of git-lfs's that run programs are listed too, as
// git-lfs reads its settings through `git config`.
//
// For git 2.39 `git help --config` prints 843 keys and patterns; 769 of them
// are harmless (among them files git only reads, such as core.excludesFile
// or diff.orderFile, and the trace2.* and uploadpack.packObjectsHook
// settings git takes only from the user's files). A key is found by its
// section and name in any letter case and its subsection as written, in the
// forms `section.sub.name`, `section.<>.name`, `section.sub.<>`,
// `section.<>.*`, `section.*` and `section.<>`. GitConfigKeysTest fails when
// the installed git lists a key this table does not have.
//
// Plain C++ without Qt: the shim links it.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nerim::platform::guard {

enum class KeyClass {
    // Applies as the repository set it.
    harmless,
    // A command-scope value (the user's own, else one that runs nothing of
    // the repository's) replaces the repository's.
    neutralised,
    // git takes the first value or the best URL match, so no later value
    // wins: a command that may reach a remote does not run.
    refusedForTransport,
    // As `neutralised` where the user has a value of their own, else as
    // `refusedForTransport` (an empty value would turn a check off).
    usersOrRefused,
    // Names a file whose content leaves the repository (into a commit, a
    // patch, a connection) or that git writes: a value outside the project
    // folder refuses the command.
    pathInProject,
    // Handled on its own (aliases, pagers, credential helpers, core.gitProxy,
    // core.worktree, submodule updates, autocorrection).
    special,
};

// A program's environment, by variable name (the same as GitEnvironment.h's `Environment`).
using KeyEnvironment = std::map<std::string, std::string>;

struct KeyRule {
    const char *listed; // as git lists it: "filter.<driver>.clean"
    KeyClass kind;
    // What replaces a repository's value of a neutralised key when the user
    // has none: `neutral` where there is one, else `constant`.
    const char *constant = "";
    std::string (*neutral)(const KeyEnvironment &, const std::optional<std::string> &subsection) = nullptr;
    // Set on every command, whether or not anything sets it (an exact key
    // whose neutral value is what git does when nothing sets it).
    bool always = false;
};

// The rule of one key as git prints it in a listing (section and name in
// any letter case, a subsection as written); null for a key git does not know.
const KeyRule *ruleOfKey(std::string_view key);

// The rules set on every command.
std::vector<const KeyRule *> alwaysSetRules();

// `text` with ASCII letters in lower case, as git folds section and key names.
std::string lowered(std::string_view text);

// What git would run as the editor with no core.editor: ":" (accept the text
// as it is) where it would run none.
std::string neutralEditor(const KeyEnvironment &environment);

// The entry of one key as git prints it in a listing (section and name in
// lower case, a subsection as written); none for a key git does not know.
std::optional<KeyClass> classOfKey(std::string_view key);

// The entry of one line of `git help --config` ("pager.<cmd>", "alias.*",
// "core.fsmonitor"); none when the table does not have it.
std::optional<KeyClass> classOfListedKey(std::string_view listed);

} // namespace nerim::platform::guard
