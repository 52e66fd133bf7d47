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

// The shell commands besides the providers' tools and git that the briefing
// needs: `printf` and `cat` to hand a value to a tool on its standard input,
// `sleep` to wait between checks, `dig` and `nslookup` to look at DNS records.
const QStringList &shellHelpers();

// The agent's allowed tools for a deploy with these providers: each provider's
// command-line tool, git and the shell helpers, as "Bash(name:*)" rules. No
// npm, npx, node or package script: those run any package, or the project's
// own scripts, with the run's tokens in their environment.
QStringList allowedTools(const QList<DeployProvider> &providers);

// The extra arguments of such a run: "--allowedTools" and the rules, space-separated.
QStringList runArguments(const QList<DeployProvider> &providers);

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
// only the token of the provider it works for; the canvas clears them when
// the session ends (live, stuck, cancelled) or the project closes.
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
