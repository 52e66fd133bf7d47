#pragma once

// Reading a git command line as git itself would: the global options before
// the command (each one git 2.39 takes is known, with what it does with the
// words after it; any other leaves the command refused rather than guessed
// at), which of them choose the repository and its settings, and the command
// with its arguments; and the question that asks git, with those options,
// what settings it will read.
//
// The options known: `-C`, `-c` and `--shallow-file` take the next word;
// `--config-env`, `--git-dir`, `--work-tree`, `--namespace` and
// `--super-prefix` take the next word or an `=value`; `--exec-path[=…]`,
// `--list-cmds=…`, the pathspec flags, the pager flags, `--bare`,
// `--no-replace-objects`, `--no-optional-locks` and the `--…-path` flags take
// none; `--help`, `-h`, `--version` and `-v` end them as git does. Any other,
// or one missing its value, refuses the command ("git's options before the
// command are not all ones Nerim knows (…)"), so that, say,
// `git --shallow-file X alias` is read as git reads it.
//
// Plain C++ without Qt: the guard and the shim link it.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nerim::platform::guard {

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

// The query's arguments for `invocation` (argv[0] first):
//     git --no-pager <queryOptions> config --list --show-scope -z --includes
std::vector<std::string> queryArguments(const GitInvocation &invocation);

} // namespace nerim::platform::guard
