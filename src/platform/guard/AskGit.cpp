#include "platform/guard/AskGit.h"

#include "platform/guard/CapturedRun.h"
#include "platform/guard/GitConfigKeys.h"

#include <algorithm>
#include <sys/stat.h>
#include <sys/wait.h>

namespace nerim::platform::guard {

namespace {

// The repository a pack program serves, as it finds it: the first of
// <dir>/.git, <dir>, <dir>.git/.git, <dir>.git that exists (only <dir> with --strict).
std::optional<std::string> packRepository(const std::vector<std::string> &arguments)
{
    std::string folder;
    bool strict = false;
    for (const std::string &argument : arguments) {
        if (argument == "--strict")
            strict = true;
        else if (!argument.empty() && argument[0] != '-')
            folder = argument;
    }
    if (folder.empty())
        return std::nullopt;
    const std::vector<std::string> candidates =
        strict ? std::vector<std::string>{folder}
               : std::vector<std::string>{folder + "/.git", folder, folder + ".git/.git", folder + ".git"};
    for (const std::string &candidate : candidates) {
        struct stat info;
        if (stat(candidate.c_str(), &info) == 0 && (S_ISDIR(info.st_mode) || S_ISREG(info.st_mode)))
            return candidate;
    }
    return std::nullopt;
}

} // namespace

GitOverrides askGit(const std::string &realGit, const GitInvocation &invocation, const Environment &environment)
{
    GitOverrides out;
    if (invocation.unknownOption) {
        out.refusal = "git's options before the command are not all ones Nerim knows (" + *invocation.unknownOption + ")";
        return out;
    }
    const auto user = usersCommandSettings(environment);
    if (!user) {
        out.refusal = "GIT_CONFIG_COUNT and its variables in the environment are not what git accepts";
        return out;
    }
    Environment query = environmentWith(environment, *user, {});
    query.erase("GIT_CONFIG"); // read by `git config` alone: the command itself never sees it
    GitInvocation asked = invocation;
    if (invocation.packProgram) {
        const auto repository = packRepository(invocation.arguments);
        if (!repository) {
            out.refusal = "the repository it serves could not be found";
            return out;
        }
        asked.queryOptions.push_back("--git-dir=" + *repository);
    }
    const CapturedRun run =
        runCaptured(realGit, queryArguments(asked), environmentLines(query), queryTimeoutMs(environment), 64u << 20);
    const auto unreadable = [&out](const std::string &why) {
        out.refusal = "this repository's settings could not be read whole (" + why + ")";
        return out;
    };
    if (!run.started)
        return unreadable("git could not be started");
    if (run.timedOut)
        return unreadable("git took too long to read them");
    if (run.tooLarge)
        return unreadable("they are too large");
    if (!WIFEXITED(run.status) || WEXITSTATUS(run.status) != 0)
        return unreadable(run.errorOutput.empty() ? std::string("git could not read them")
                                                  : run.firstErrorLine());
    const auto items = parseConfigListing(run.output);
    if (!items)
        return unreadable("git's answer was not complete");
    out = gitOverrides(*items, invocation, environment);
    if (out.refusal || invocation.packProgram)
        return out;

    // Where the work tree is: asked of git (with the settings found so far)
    // where anything names one, and for every command of a run that refuses
    // pushing secrets (a Deploy run), whose work tree must be the project.
    const std::string *workTreeVariable = environmentValue(environment, "GIT_WORK_TREE");
    const bool named =
        (workTreeVariable && !workTreeVariable->empty()) ||
        std::any_of(items->begin(), items->end(),
                    [](const GitConfigItem &item) { return lowered(item.key) == "core.worktree"; }) ||
        std::any_of(invocation.queryOptions.begin(), invocation.queryOptions.end(),
                    [](const std::string &option) { return option.starts_with("--work-tree"); });
    const bool deploy = environmentValueOr(environment, refuseSecretsVariable) == "1";
    if (!named && !deploy)
        return out;
    const std::string *projectValue = environmentValue(environment, projectVariable);
    const std::string project = projectValue && !projectValue->empty() ? resolvedPath(*projectValue, "/") : std::string();
    if (project.empty()) {
        out.refusal = "Nerim does not know this run's project folder, so the work tree cannot be checked";
        return out;
    }
    std::vector<std::string> arguments = queryArguments(asked);
    arguments.resize(arguments.size() - 5); // without the listing's words
    arguments.emplace_back("rev-parse");
    arguments.emplace_back("--show-toplevel");
    const CapturedRun top = runCaptured(realGit, arguments,
                                        environmentLines(environmentWith(query, *user, out.settings, out.variables)),
                                        queryTimeoutMs(environment), 1u << 20);
    if (!top.started || top.timedOut || top.tooLarge || !WIFEXITED(top.status)) {
        out.refusal = "where its work tree is could not be asked of git";
        return out;
    }
    std::string line = top.output.substr(0, top.output.find('\n'));
    if (WEXITSTATUS(top.status) != 0 || line.empty()) {
        // No work tree (a bare repository, or none at all): git says so itself.
        if (named)
            out.refusal = "the work tree this repository names could not be found";
        return out;
    }
    out.workTree = resolvedPath(line, "/");
    if (out.workTree.empty() || !isWithin(out.workTree, project)) {
        out.refusal = deploy && isWithin(project, out.workTree)
                          ? "a deploy works in the project folder only, and this work tree is " + line
                          : "its work tree (" + line + ") is outside the project folder";
    } else if (deploy && out.workTree != project) {
        out.refusal = "a deploy works in the project folder only, and this work tree is " + line;
    }
    return out;
}

} // namespace nerim::platform::guard
