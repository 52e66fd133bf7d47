#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace nerim {

// Nerim's own check of every tool call a Deploy run's agent makes, run by the
// agent program before each call (the `nerim-deploy-check` program, given to
// it as a PreToolUse hook). The agent program's rules match a command's text
// by prefix and let read-only commands through on their own, so `printf '%s\n'
// ~/…/*` listed a folder outside the project and a file command chained after
// an allowed one ran; this check is the exact list.
//
// A command line is accepted only when it is written in a small part of the
// shell's language that the shell (bash, or zsh with any options: the program
// runs the user's) reads exactly as this check does: words of plain
// characters (letters, digits, `_-.,:/@%+`, and `=` but at a word's start),
// '…' (anything but a quote) and "…" (no `$`, backquote, backslash or `!`),
// separated by blanks, and commands joined by `|` alone.
// Nothing the shell would expand (a glob, `~`, `$`, a brace, a command
// substitution), no `;`, `&`, `&&`, `||`, redirection, parenthesis, comment
// or line break. Every command of the pipe must then be one of the run's
// allowed commands word for word (one that takes arguments: its words, then
// any words), `printf` and `sleep` take plain words only (no option, no
// `[`/`]`, printf formats `%s`/`%%` and escapes `\n`/`\t`/`\\`, sleep a
// duration), and every word that names an existing file or folder must lie
// inside the project once links are followed. The Read tool may read inside
// the project only; any other tool is refused.
namespace DeployCommandCheck {

// One allowed command: its words as the shell reads them, with or without
// further arguments.
struct Rule {
    QStringList words;
    bool withArguments = false;
};

// The commands of a pipe as the shell reads them, each a list of words; none
// when the line uses anything outside the small part of the language above.
std::optional<QList<QStringList>> pipelineWords(const QString &line);

// A rule from its written form ("git commit -m \"Deploy from Nerim\""); none
// when the text is outside that part of the language or holds a pipe.
std::optional<Rule> ruleFrom(const QString &text, bool withArguments);

// Why `line` must not run, in one sentence; nothing when it may.
// `project` is the project folder, relative words count from it.
std::optional<QString> commandRefusal(const QString &line, const QList<Rule> &rules, const QString &project);

// Why the Read tool must not read `path`: outside the project once links are
// followed, or not there at all.
std::optional<QString> readRefusal(const QString &path, const QString &project);

// Why the tool call the agent program describes in `hookInput` (its JSON:
// "tool_name", "tool_input", "cwd") must not run; nothing when it may. Fails
// closed: input that does not read, a working folder other than the project,
// an unknown tool, a field of the call the check does not know (Bash:
// command, description, timeout; Read: file_path, offset, limit).
std::optional<QString> toolCallRefusal(const QByteArray &hookInput, const QList<Rule> &rules, const QString &project);

// The rules the hook is given as arguments: "=" and the command's written
// form for an exact command, "+" and it for one that takes arguments; none
// when any argument is not such a rule.
std::optional<QList<Rule>> rulesFromArguments(const QStringList &arguments);

} // namespace DeployCommandCheck
} // namespace nerim
