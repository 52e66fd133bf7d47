#pragma once

#include "deploy/DeployProvider.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace nerim {

// Which variables a Deploy agent run may be given: the names a value may be
// set under, the secrets the card may ask for, the tokens the agent may ask
// for, and what the agent is told (and the log says) when Nerim refuses.
namespace DeployRuns {

// An environment variable's name: [A-Za-z_][A-Za-z0-9_]*.
bool isVariableName(const QString &name);

// Whether a name may be set in a Deploy run's environment as the value the
// user gave for it: an environment name ([A-Za-z_][A-Za-z0-9_]*) that is no
// provider's token variable and none that a program of the run (the agent
// program, the shell, git, node and npm, the providers' tools, dig) reads to
// decide how it starts, where it works, what it loads or whom it talks to:
// no name starting SUPABASE_, VERCEL_, RAILWAY_, GIT_, NODE_, NPM_, DOTNET_,
// ELECTRON_, LD_, BASH_, CLAUDE_, ANTHROPIC_, LC_, OPENSSL_, SSL_ (and the
// other runtimes' and tools' prefixes), none ending in PATH or _PROXY, and
// not HOME, SHELL, ENV, IFS, TMPDIR, LANG, LANGUAGE, TZ and the like; letter
// case does not matter.
bool isSettableVariable(const QString &name);

// Whether the secret card may ask the user for `name`: a name the project
// declares (`declaredNames`: the names of its .env files, examples included,
// and the checklist's), compared exactly, that `isSettableVariable` accepts.
// A provider's token has a card of its own.
bool isAskableSecret(const QString &name, const QStringList &declaredNames);

// What the agent is told when it asked for a value under a name it cannot
// have; it names the names it can ask for.
QString refusedSecretReply(const QString &variable, const QStringList &declaredNames);

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

} // namespace DeployRuns
} // namespace nerim
