#pragma once

// What a Deploy run's `git push` must not carry, by path: a commit that adds
// or changes a .env file (the examples aside) or anything in a .nerim folder,
// or a file outside the project folder or inside Nerim's own data folder.
// Which commits a push carries is read from its arguments and asked of git
// itself (`git log` of those its targets do not hold, PushTarget.h). What
// it carries by content is PushContent.h's.
//
// This applies where the guard was started with --refuse-pushing-secrets
// (ChildProcess::Options::refusePushingSecrets, set for Deploy runs), to
// `git push` also when reached through an alias. The commits are those of
// `git log -m --root --name-only` (deletions left out) of the refs the push
// sends from, but for what its targets already hold.
// Each path is placed from the work tree git reported, so a path outside the
// project folder or in Nerim's data folder (NERIM_GIT_NERIM_DATA) refuses the
// push: its `api-keys.json` is not pushed even from a project that holds that
// folder.
//
// Plain C++ without Qt: the shim links it.

#include "platform/guard/GitEnvironment.h"
#include "platform/guard/GitInvocation.h"
#include "platform/guard/GitSettings.h"
#include "platform/guard/PushTarget.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nerim::platform::guard {

// Whether a file name is a local .env file, whose values stay on this
// computer: ".env" and ".env.<anything>", but the examples (".env.example",
// ".env.sample", ".env.template"). ".envrc" or ".environment" are ordinary
// files. The path check and the content check share this one rule.
bool isLocalDotEnvName(std::string_view name);

// Whether a path a push would carry holds a secret: a `.env` or `.env.*`
// file (but for the examples) or anything in a `.nerim` folder, at any depth.
bool isSecretPath(std::string_view path);

// The revisions `git push <arguments>` names as its refspecs' sources
// ("--all" when that is not plain from the arguments). The checks take what
// a push sends from git itself (PushTarget.h), not from this reading.
std::vector<std::string> pushedRevisions(const std::vector<std::string> &arguments);

// Why `git push` (as `overrides` resolved it) must not run: a commit it would
// carry to its targets (`range`) adds or changes a secret path. Asked of the
// real git with the environment the push runs with.
std::optional<std::string> pushSecretRefusal(const std::string &realGit, const GitInvocation &invocation,
                                             const GitOverrides &overrides, const Environment &environment,
                                             const PushRange &range);

} // namespace nerim::platform::guard
