#include "platform/guard/PushPaths.h"

#include "platform/guard/CapturedRun.h"

#include <sys/wait.h>

namespace nerim::platform::guard {

bool isLocalDotEnvName(std::string_view name)
{
    if (name == ".env")
        return true;
    return name.starts_with(".env.") && name.size() > 5 && name != ".env.example" && name != ".env.sample" &&
           name != ".env.template";
}

bool isSecretPath(std::string_view path)
{
    size_t start = 0;
    while (start <= path.size()) {
        const size_t slash = path.find('/', start);
        const std::string_view part =
            path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (slash != std::string_view::npos && part == ".nerim")
            return true;
        if (slash == std::string_view::npos)
            return isLocalDotEnvName(part);
        start = slash + 1;
    }
    return false;
}

std::vector<std::string> pushedRevisions(const std::vector<std::string> &arguments)
{
    std::vector<std::string> revisions;
    bool all = false;
    bool remoteSeen = false;
    bool optionsEnd = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string &argument = arguments[i];
        if (!optionsEnd && argument == "--") {
            optionsEnd = true;
            continue;
        }
        if (!optionsEnd && !argument.empty() && argument[0] == '-') {
            if (argument == "-o" || argument == "--push-option" || argument == "--receive-pack" ||
                argument == "--exec" || argument == "--repo")
                ++i;
            if (argument.starts_with("--repo"))
                remoteSeen = true;
            if (argument == "--all" || argument == "--mirror" || argument == "--tags" || argument == "--branches")
                all = true;
            continue;
        }
        if (!remoteSeen) {
            remoteSeen = true;
            continue;
        }
        std::string source = argument;
        if (!source.empty() && source[0] == '+')
            source.erase(0, 1);
        const size_t colon = source.find(':');
        if (colon != std::string::npos)
            source.erase(colon);
        if (source.empty())
            continue; // deletes a remote branch
        if (source.find('*') != std::string::npos) {
            all = true;
            continue;
        }
        revisions.push_back(source);
    }
    // Without a refspec the remote's configured push, or push.default, decides: everything counts.
    if (all || revisions.empty())
        return {"--all"};
    return revisions;
}

std::optional<std::string> pushSecretRefusal(const std::string &realGit, const GitInvocation &invocation,
                                             const GitOverrides &overrides, const Environment &environment,
                                             const PushRange &range)
{
    std::vector<std::string> arguments{"git", "--no-pager"};
    arguments.insert(arguments.end(), invocation.queryOptions.begin(), invocation.queryOptions.end());
    for (const char *word : {"log", "-m", "--root", "--no-renames", "--no-relative", "--name-only", "-z",
                             "--format=", "--diff-filter=d", "--ignore-missing", "--stdin"})
        arguments.emplace_back(word);
    const CapturedRun run = runCapturedWithInput(realGit, arguments, environmentLines(environment), 120000,
                                                 size_t(1) << 30, range.revisionInput());
    if (!run.started || run.timedOut || run.tooLarge || !WIFEXITED(run.status) || WEXITSTATUS(run.status) != 0)
        return std::string("the commits it would push could not be checked") +
               (run.errorOutput.empty() ? std::string() : " (" + run.firstErrorLine() + ")");
    const std::string *projectValue = environmentValue(environment, projectVariable);
    const std::string project =
        projectValue && !projectValue->empty() ? resolvedPath(*projectValue, "/") : std::string();
    const std::string *dataValue = environmentValue(environment, nerimDataVariable);
    const std::string nerimData = dataValue && !dataValue->empty() ? resolvedPath(*dataValue, "/") : std::string();
    const std::string &top = overrides.workTree;
    size_t start = 0;
    while (start < run.output.size()) {
        size_t end = run.output.find_first_of(std::string_view("\0\n", 2), start);
        if (end == std::string::npos)
            end = run.output.size();
        const std::string path = run.output.substr(start, end - start);
        start = end + 1;
        if (path.empty())
            continue;
        if (isSecretPath(path))
            return "a commit it would push holds " + path + ", which must stay on this computer";
        // Where the file is on this computer: inside the project, and none of Nerim's own.
        const std::string where = (top.empty() ? project : top) + "/" + path;
        if (project.empty() || !isWithin(where, project))
            return "a commit it would push holds " + path + ", which is outside the project folder";
        if (!nerimData.empty() && isWithin(where, nerimData))
            return "a commit it would push holds " + path + ", one of Nerim's own files";
    }
    return std::nullopt;
}

} // namespace nerim::platform::guard
