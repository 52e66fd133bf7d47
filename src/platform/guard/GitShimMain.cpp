// nerim-git: the `git` of every tree Nerim starts (see GitRouting.h). At each
// invocation it asks the real git what settings it will read, adds the
// command-scope settings that keep the repository's own from running a
// program or choosing a host (see GitSettings.h), and becomes the real git
// with the same arguments after --no-pager; or it refuses, with one line
// saying why.
#include "platform/guard/AskGit.h"
#include "platform/guard/PushContent.h"
#include "platform/guard/PushPaths.h"
#include "platform/guard/PushTarget.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

using namespace nerim::platform::guard;

namespace {

[[noreturn]] void refuse(const std::string &why)
{
    const std::string line = std::string(refusalPrefix) + why + "\n";
    (void)!write(STDERR_FILENO, line.data(), line.size());
    _exit(128);
}

} // namespace

int main(int argc, char **argv)
{
    const Environment environment = environmentFrom(environ);
    const auto real = environment.find(realGitVariable);
    const auto realExecPath = environment.find(realExecPathVariable);
    if (real == environment.end() || real->second.empty() || realExecPath == environment.end() ||
        realExecPath->second.empty())
        refuse("Nerim's record of where the real git is has been lost");

    const std::string program = argc > 0 && argv[0] ? argv[0] : "git";
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    const GitInvocation invocation = parseInvocation(program, arguments);
    const GitOverrides overrides = askGit(real->second, invocation, environment);
    if (overrides.refusal)
        refuse(*overrides.refusal);

    const auto user = usersCommandSettings(environment);
    const Environment run =
        environmentWith(environment, user.value_or(std::vector<Setting>{}), overrides.settings, overrides.variables);
    const auto refuseSecrets = environment.find(refuseSecretsVariable);
    if (refuseSecrets != environment.end() && refuseSecrets->second == "1" && overrides.finalCommand == "push") {
        std::string unlearned;
        const auto range = pushRange(real->second, invocation, overrides, run, unlearned);
        if (!range)
            refuse(unlearned);
        if (const auto why = pushSecretRefusal(real->second, invocation, overrides, run, *range))
            refuse(*why);
        std::string unknown;
        const auto values = pushSecretValues(environment, unknown);
        if (!values)
            refuse("the values a deploy must not push could not be known: " + unknown);
        if (const auto why = pushContentRefusal(real->second, invocation, run, *values, *range))
            refuse(*why);
    }

    // A dashed pack program is the real exec path's program of that name.
    const size_t slash = program.rfind('/');
    const std::string base = slash == std::string::npos ? program : program.substr(slash + 1);
    const std::string path = base.rfind("git-", 0) == 0 ? realExecPath->second + "/" + base : real->second;
    // No pager for any command: git pages with the pager of whichever
    // command it runs inside (`git stash show` pages as diff), so none of
    // a repository's can be left to one name. An explicit -p still pages,
    // with core.pager, which is always the user's or $PAGER.
    std::vector<char *> words(argv, argv + argc);
    char noPager[] = "--no-pager";
    if (base.rfind("git-", 0) != 0)
        words.insert(words.begin() + (argc > 0 ? 1 : 0), noPager);
    words.push_back(nullptr);
    std::vector<std::string> lines = environmentLines(run);
    std::vector<char *> envp;
    for (std::string &line : lines)
        envp.push_back(line.data());
    envp.push_back(nullptr);
    execve(path.c_str(), words.data(), envp.data());
    refuse("the real git (" + path + ") could not be started: " + std::strerror(errno));
}
