#pragma once

#include "deploy/DeployProvider.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace nerim {

// What a Deploy agent run may do and what it is given: its allowed commands,
// the tokens it may ask for, and which held tokens reach it.
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

// The subcommands of a provider's tool that a deploy needs: signing in, linking,
// deploying, variables, domains, listing, rolling back and git connection.
// Never one that runs the project's own code or scripts on this computer
// (`vercel build`, `vercel dev`, `railway run`, `railway shell`,
// `supabase start`, `supabase functions serve`), signs in or out
// interactively, buys something or deletes a project.
QList<AllowedCommand> toolCommands(DeployProvider provider);

// What a deploy may do with git: make a repository, stage and commit, name the
// remote and push main to it, and look at the state. No global option comes
// before the subcommand (so no "-c" setting and no alias), `git init` takes no
// template and a push names no program to run (only the exact forms here).
const QList<AllowedCommand> &gitCommands();

// The shell helpers: `printenv` and `printf` to hand a value to a tool on its
// standard input, `cat` to read a file, `sleep` to wait between checks, `dig`
// and `nslookup` to look at DNS records.
const QList<AllowedCommand> &shellHelpers();

// Every command a Deploy run with these providers may execute: their tools'
// subcommands, then git's, then the shell helpers. No npm, npx, node or
// package script: those run any package, or the project's own scripts, with
// the run's token in their environment.
QList<AllowedCommand> allowedCommands(const QList<DeployProvider> &providers);

// The agent's allowed tools for such a run, one rule per allowed command.
QStringList allowedTools(const QList<DeployProvider> &providers);

// The extra arguments of such a run: "--allowedTools" and the rules, space-separated.
QStringList runArguments(const QList<DeployProvider> &providers);

// The allowed commands as the briefing lists them: "vercel deploy …", "git init".
QString allowedCommandsText(const QList<DeployProvider> &providers);

// How a value in the run's environment reaches the provider's store of
// variables without appearing on a command line: "printenv NAME | vercel env
// add NAME production". Empty for a provider that takes no variables.
QString uploadFromEnvironmentCommand(DeployProvider provider, const QString &name);

// Whether a name may be set in a Deploy run's environment as the value the
// user gave for it: an environment name ([A-Za-z_][A-Za-z0-9_]*) that is no
// provider's token variable and none that changes how programs run or where
// they look (PATH, HOME, BASH_ENV, ENV, NODE_OPTIONS, LD_*, GIT_*, PYTHON*,
// npm_config_*, proxies, Nerim's own credentials and the like; letter case
// does not matter).
bool isSettableVariable(const QString &name);

// The provider whose token a token request names, when that provider is one of
// this deploy's; nothing for any other name (a name compares without regard
// to letter case, the provider's own spelling is what the run then gets).
std::optional<DeployProvider> providerForTokenRequest(const QString &variable, const QList<DeployProvider> &providers);

// "VERCEL_TOKEN, SUPABASE_ACCESS_TOKEN": the names this deploy's agent may ask for.
QString askableTokenNames(const QList<DeployProvider> &providers);

// What the agent is told when it asked for a token it cannot have:
// "Nerim can't give you VARIABLE. The only tokens you can ask for are NAMES."
QString refusedTokenReply(const QString &variable, const QList<DeployProvider> &providers);

// The log line of a refusal; it names the variable and nothing else the agent wrote.
QString refusedTokenLogLine(const QString &variable);

// The tokens a deploy session holds, each for its own provider. A run is given
// only the token of the provider it works for; they stay for the later
// operations on the live deploy and are cleared when the user cancels a
// deploy or the project closes.
class HeldTokens {
public:
    void hold(DeployProvider provider, const QString &token);
    bool contains(DeployProvider provider) const { return m_tokens.contains(provider); }
    bool isEmpty() const { return m_tokens.isEmpty(); }
    // Every held token, for masking them in what the pane shows.
    QList<QString> values() const { return m_tokens.values(); }
    void clear() { m_tokens.clear(); }

    // The environment of a run for `provider`: that provider's token variable,
    // when held; nothing for a run of no provider.
    QHash<QString, QString> environmentFor(std::optional<DeployProvider> provider) const;

private:
    QHash<DeployProvider, QString> m_tokens;
};

} // namespace DeployRuns
} // namespace nerim
