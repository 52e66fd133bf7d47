#pragma once

// What a Deploy run's `git push` must not carry, by content: any value of the
// project's .env files (wherever in the project they are, examples aside) or
// of the run's own variables, whatever file or commit message holds it and
// whatever it is called. The commits' content is asked of git itself
// (`rev-list --objects` of what the push sends and its targets do not have,
// then `cat-file --batch` of those objects, searched as they stream), and a
// push whose content or values cannot be known is refused.
//
// Plain C++ without Qt: nerim-git links it.

#include "platform/guard/GitSettings.h"
#include "platform/guard/PushTarget.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nerim::platform::guard {

// One value a push must not carry, and where it comes from ("API_KEY in
// .env", "the deploy's VERCEL_TOKEN"), for the refusal.
struct SecretValue {
    std::string value;
    std::string origin;
    friend bool operator==(const SecretValue &, const SecretValue &) = default;
};

// Whether a value is worth refusing a push for. Shorter than 8 characters it
// is not: such values ("true", "3000", "dev", "admin") turn up in ordinary
// code and would refuse every deploy, and say little on their own. A plain
// lower-case word shorter than 16 characters is not either: those are the
// names of modes and hosts ("production", "development", "localhost") that
// code spells out too.
bool countsAsSecret(std::string_view value);

// The values a .env text sets, read at least as python-dotenv and Node's
// util.parseEnv read them, and in every form a file could hold them in. A
// line ends at LF, CRLF or a lone CR (the text is also read as each reader
// sees it: python with every CR a line end, Node with every CR dropped). Any
// line with "=" that is not a comment sets a value, whatever its name
// (`stripe.key`, `STRIPE-KEY`, `'quoted name'`, `1ST`), with or without
// `export`. A value counts as written after "=", unquoted up to a "#" (Node)
// or a " #" (python), and between single, double or back quotes up to the
// first closing quote and up to the first one not after a backslash, with
// each reader's escapes read; one over several lines counts whole and line
// by line. Reading more than a reader would is what keeps the check on the
// safe side. Only values `countsAsSecret` accepts, each once; `file` names
// the origin. Linear in the text's size.
std::vector<SecretValue> dotEnvValues(std::string_view text, const std::string &file);

// Every value the push must not carry: those of each local .env file in the
// project folder (`projectVariable`), found at any depth (a folder named
// .git or node_modules, and links to folders, are not entered; a link to a
// file is read where it leads), and those of the variables that
// `secretNamesVariable` names in `environment`. A folder or file this user
// may not read is passed over: the run, as the same user, cannot read it
// either. None, with `why` set, when any of them cannot be known otherwise:
// no project folder or names variable, a variable named but not set, a .env
// file that fails to read or is larger than 4 MiB.
std::optional<std::vector<SecretValue>> pushSecretValues(const Environment &environment, std::string &why);

// Why `git push` must not run: an object it would send to its targets
// (`range`) holds one of `values`. Asked of the real git with the
// environment the push runs with; the push is refused when git cannot say.
std::optional<std::string> pushContentRefusal(const std::string &realGit, const GitInvocation &invocation,
                                              const Environment &environment, const std::vector<SecretValue> &values,
                                              const PushRange &range);

} // namespace nerim::platform::guard
