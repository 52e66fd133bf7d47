#pragma once

#include "deploy/DeployAllowedCommands.h"

#include <QString>
#include <QStringList>

namespace nerim {

// The extra arguments a Deploy agent run is started with: its tools, its
// allowed commands as rules, and Nerim's check of every tool call.
namespace DeployRuns {

// The extra arguments of a Deploy run with this scope: "--tools" "Bash,Read" (no tool that
// edits, fetches or starts another agent), "--settings" with
// `checkHookSettings`, "--allowedTools" and the rules, space-separated, then
// "--disallowedTools" and the refused ones when the run uses Supabase. With
// the permission mode a Deploy run has (ClaudeCodeProvider: "dontAsk") the
// program runs nothing its rules do not allow, and Nerim's check runs before
// every call it allows.
QStringList runArguments(const RunScope &scope);

// Nerim's check of each tool call (see DeployCommandCheck.h), beside Nerim's
// own program.
QString checkProgram();

// The agent program's settings that run `program` before every tool call
// with this scope's allowed commands as its rules ("=" exact, "+" with
// arguments), refusing the call when the check does not allow it, also
// where it cannot start; hooks are turned on whatever the user's settings say.
// The hook is a PreToolUse hook on every tool ("*"), run as "'…' || exit 2",
// since the program lets a call go on when a hook fails any other way; the
// check gets the call as JSON on standard input and the project folder in
// NERIM_GIT_PROJECT.
// Checked with the installed program (2.1.197) against a loopback stand-in:
// in "dontAsk" chains, `$(…)`, redirections and file commands are refused,
// but `printf '%s\n' ~/…/*` and `echo $HOME` ran (this hook refuses them); a
// user's `disableAllHooks: true` is overridden by these settings, and a
// user's own hook answering "allow" does not override this one's deny.
QString checkHookSettings(const RunScope &scope, const QString &program);

} // namespace DeployRuns
} // namespace nerim
