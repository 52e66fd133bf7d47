#pragma once

// What a Deploy run's `git push` would send, as its target says at the time
// of the push: the refs it sends from and what each place it goes to already
// holds. The path check (PushPaths.h) and the content check (PushContent.h)
// read the commits and objects of the tips that the targets do not hold.
//
// Both halves are asked of git, with the push's own options, environment
// and settings:
// - which local refs the push sends, from a dry run of the same command
//   (`push --dry-run --porcelain`), which resolves its refspecs, the
//   remote's configured push refspecs and push.default as the push will.
//   A source that is not one of the project's own branches or tags
//   (refs/heads/…, refs/tags/…, HEAD) refuses the push: a remote-tracking
//   ref, a raw object name or any other ref holds whatever someone put
//   there, not what the project committed;
// - what the target holds, from the target itself: `ls-remote` of each URL
//   the push goes to (`remote get-url --push --all` of the remote the push
//   names or git chooses for the current branch, or the URL or path the
//   push names). A local remote-tracking ref is never taken for what the
//   target holds. When the push goes to several URLs, only what all of
//   them advertise counts as held, so each one's share is read.
// A target that cannot be asked refuses the push with one line.
//
// Plain C++ without Qt: nerim-git links it.

#include "platform/guard/GitEnvironment.h"
#include "platform/guard/GitInvocation.h"
#include "platform/guard/GitSettings.h"

#include <optional>
#include <string>
#include <vector>

namespace nerim::platform::guard {

struct PushRange {
    // The local refs the push sends from (refs/heads/…, refs/tags/…, HEAD).
    std::vector<std::string> tips;
    // The object names every target advertises; those this repository
    // lacks are passed over by the walks.
    std::vector<std::string> held;

    // The walk's input for `--stdin --ignore-missing`: each tip, then each
    // held object negated.
    std::string revisionInput() const;
};

// The repository word of `git push <arguments>` (a remote's name, a URL or a
// path); empty when the push names none and git chooses.
std::string pushRepository(const std::vector<std::string> &arguments);

// What `git push` (as `overrides` resolved it) would send and what its
// targets hold; or none with `why` set to the refusal.
std::optional<PushRange> pushRange(const std::string &realGit, const GitInvocation &invocation,
                                   const GitOverrides &overrides, const Environment &environment, std::string &why);

} // namespace nerim::platform::guard
