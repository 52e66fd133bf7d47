#pragma once

#include "deploy/DeployProvider.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace nerim {

// The commands a Deploy agent run may execute: each provider tool's, git's and
// the shell helpers', built for one run from what it works with (RunScope),
// the Supabase tool's fence, and how a value reaches a provider's store.
// DeploySession::startRun builds a run's RunScope from what Nerim itself
// holds, so a run can reach only its provider and the git host the project
// already had. The DeployRuns namespace is split by what it holds: these
// commands and RunScope, a run's arguments and check hook
// (DeployRunArguments), which names a value or token may go under
// (DeployVariableRules) and the held tokens (DeployHeldTokens).
//
// How the installed program (2.1.197) applies the rules, tried against a
// loopback Messages API:
// - a rule without ":*" is exact: `git push -u origin main --receive-pack=…`
//   and `git  push` (two blanks) are refused by "Bash(git push)";
// - a command holding `$VAR` ("Contains simple_expansion") or `$(…)` is
//   refused, as is one led by a variable assignment (`GIT_SSH_COMMAND=… git
//   push`); so the briefing never shows a variable: each provider's tool reads
//   its token variable by itself, and a value reaches a tool as
//   `printenv NAME | vercel env add NAME production`;
// - an exact rule may hold quotes: "Bash(git commit -m \"Deploy from Nerim\")"
//   matches that command only;
// - read-only commands (`git log`, `cat`, `grep`, `head`) run without a rule,
//   file reads inside the project only ("cat in '…' was blocked"), and file
//   writes outside the project are blocked; `.git/config` or `.git/remotes/*`
//   written with the Write tool is refused as a sensitive file. Nerim's check
//   (DeployCommandCheck) refuses those reads all the same;
// - a "--disallowedTools" rule with `*` inside ("Bash(supabase *--workdir*)")
//   is matched against the command's text, so `--work''dir` passes it: such
//   rules are only a second fence behind the Supabase script.
// DeployAllowListRealProgramTest runs, against the program NERIM_REAL_CLAUDE
// names, every command the briefings show, one use of each allowed command
// and each refused one (the environment printed, a DNS server or a file
// given to `dig`/`nslookup`, a remote added, changed or named by URL,
// `git commit -F`/`--pathspec-from-file`, a file outside the project read,
// `vercel env pull`, `--local-config`, `-A`, `--cwd`, a folder to deploy, a
// name, domain or deployment not of the run), and checks that neither the
// token nor the key file's content reached any result. The README lists the
// rules for users.
namespace DeployRuns {

// One command a Deploy run may execute, as the agent program matches it
// against the run's allowed tools: `words` exactly as written, followed by any
// arguments (`withArguments`, the rule "Bash(words:*)") or by none (the rule
// "Bash(words)"). The program matches whole words from the start of each
// command of a line ("git push" allows neither "git pushx" nor
// "git -c … push"), refuses a command that holds a variable or a command
// substitution, and checks each command of a pipe or list on its own.
struct AllowedCommand {
    QString words;
    bool withArguments = true;

    // "Bash(vercel deploy:*)", "Bash(git init)".
    QString rule() const;
    friend bool operator==(const AllowedCommand &, const AllowedCommand &) = default;
};

// What one run works with, besides its providers: the values Nerim put into
// its environment, the variables it may upload, the domain the user typed and
// the deployment a rollback returns to. The rules that name such a thing are
// built from it, one exact rule per name, so a run can touch nothing else.
struct RunScope {
    RunScope(QList<DeployProvider> providers = {}) : providers(std::move(providers)) {}

    QList<DeployProvider> providers;
    // Names whose values the user gave for this run and that are in its
    // environment: each may be read with "printenv NAME" and nothing else.
    QStringList valueNames;
    // Names of variables the run may add to or remove from the provider's
    // store (the project's .env names, the user's chosen ones).
    QStringList variableNames;
    // The custom domain being added, as the user typed it.
    std::optional<QString> domain;
    // The deployment a rollback makes live again.
    std::optional<QString> deploymentID;
};

// The commands of a provider's tool that a deploy needs: signing in, linking,
// deploying, variables, domains, listing, rolling back and git connection.
// Never one that runs the project's own code or scripts on this computer
// (`vercel build`, `vercel dev`, `railway run`, `railway shell`,
// `supabase start`, `supabase functions serve`), signs in or out
// interactively, buys something or deletes a project, nor one that reads or
// writes a file outside the project: Vercel's and Railway's are exact forms
// (a rule with arguments would also let through `--local-config`, `--cwd`, a
// folder to deploy or `env pull <path>`), those naming a variable, a domain or
// a deployment built from the run's scope. Supabase's commands that need an
// id only the provider knows take arguments; `supabaseRefusedTools` keeps
// the options that name a path away from them. No `supabase secrets set`:
// its `--env-file` reads any file.
QList<AllowedCommand> toolCommands(DeployProvider provider, const RunScope &scope = {});

// Rules the program refuses even where an allowed prefix matches: the
// Supabase tool's options that name a folder or file ("--workdir", "--env-file",
// "--import-map"), for the Supabase commands that take arguments.
QStringList supabaseRefusedTools();

// The Supabase tool as a Deploy run finds it, first on the run's PATH: a
// small script that refuses any argument naming a folder or file for the
// tool (`--workdir`, `--env-file`, `--import-map`, `--profile`, with or
// without "=value", in any letter case, with or without "-" and "_" inside)
// before it runs
// the real tool at `program` with the arguments unchanged. It sees the words
// the shell made, so no quoting gets past it, unlike a rule matched against
// the command's text. Exits 2 with a line on standard error when it refuses,
// 127 when `program` is empty.
QByteArray supabaseFenceScript(const QString &program);

// Writes that script as `supabase` in `folder` (made when missing, with its
// parent), for the real tool found first in `searchPath` (outside `folder`),
// mode 0700, through the crash-safe writer. Throws std::runtime_error.
// Touches the disk: call it off the main thread. A run with Supabase writes
// it into `<deploy-tools>/fence`, first on its PATH, through
// SpawnExtras::prepare on the provider's worker thread before the program
// starts; a failed write fails the start.
void writeSupabaseFence(const QString &folder, const QStringList &searchPath);

// What a deploy may do with git (`git status` plain, `--porcelain` or
// `--short`, four `git rev-parse` forms, the stage and commit commands below,
// `git remote`, `git remote -v`, `git push`, `git push origin main`,
// `git push -u origin main`): look at the state, stage everything except
// local secrets and Nerim's folder, commit with Nerim's message, list the
// remotes and push main to the remote the project already has. Only exact
// forms: no global option before the subcommand (so no "-c" setting and no
// alias), no `git init`, no remote added or changed, no file read into a
// commit (`-F`, `--template`, `--pathspec-from-file`). The run's git itself
// (nerim-git, see platform/guard/GitSettings.h) refuses each of them where
// the work tree is not the project folder, and a push whose commits hold a
// secret, a path outside the project or one of Nerim's own files.
const QList<AllowedCommand> &gitCommands();

// The message of a Deploy run's commit, and the one command that makes it.
QString deployCommitMessage();
QString deployCommitCommand();

// The one way a Deploy run stages: everything except `.env`, `.env.*` and
// `.nerim/` at any depth, whatever the project's ignore files say: `:!`
// pathspecs win over any ignore file, and a project `.gitignore` negation
// (`!.env`) would win over the exclude lines GitExcludes writes.
QString deployStageCommand();

// The shell helpers: `printf` to hand text to a tool on its standard input,
// `sleep` to wait between checks (both with literal words only: Nerim's check
// refuses anything the shell would expand), `printenv` for the names of the
// values of this run only, `grep '^NAME=' .env` and `cut -d= -f2-` to pipe a
// value of the project's .env to a tool, and the DNS look-ups of the domain
// being added (no server, port or file argument). Files of the project are
// read with the program's Read tool, inside the project only.
QList<AllowedCommand> shellHelpers(const RunScope &scope = {});

// "grep '^NAME=' .env": the line of the project's .env that sets NAME.
QString readFromDotEnvCommand(const QString &name);
// "cut -d= -f2-": the value of such a line.
QString valueOfLineCommand();

// The DNS look-ups of a domain: "dig +short DOMAIN A" (A, AAAA, CNAME, TXT)
// for the domain and its "www." name, in its ASCII form; nothing for a text
// that is not a plain domain name.
QList<AllowedCommand> domainChecks(const QString &domain);

// Every command a Deploy run with this scope may execute: its providers'
// tools' commands, then git's, then the shell helpers. No npm, npx, node or
// package script: those run any package, or the project's own scripts, with
// the run's token in their environment.
QList<AllowedCommand> allowedCommands(const RunScope &scope);

// The agent's allowed tools for such a run, one rule per allowed command.
QStringList allowedTools(const RunScope &scope);

// The allowed commands as the briefing lists them: "supabase link …", "git remote".
QString allowedCommandsText(const RunScope &scope);

// How a value in the run's environment reaches the provider's store of
// variables without appearing on a command line: "printenv NAME | vercel env
// add NAME production". Empty for a provider that takes no variables.
QString uploadFromEnvironmentCommand(DeployProvider provider, const QString &name);

} // namespace DeployRuns
} // namespace nerim
