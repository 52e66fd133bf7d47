#include "platform/guard/GuardArguments.h"

#include "platform/guard/GuardProtocol.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <utility>

namespace nerim::platform::guard {

namespace {

// PROGRAM and its arguments come in the environment (never on the command
// line, which every user can read in /proc), and leave it before anything is
// started.
bool takeProgram(GuardArguments &out)
{
    const char *count = std::getenv(programCountVariable);
    if (!count)
        return false;
    char *end = nullptr;
    const long words = std::strtol(count, &end, 10);
    if (!end || *end != '\0' || words < 1 || words > 1000000)
        return false;
    for (long i = 0; i < words; ++i) {
        const std::string name = programWordVariable + std::to_string(i);
        const char *word = std::getenv(name.c_str());
        if (!word)
            return false;
        out.words.emplace_back(word);
        unsetenv(name.c_str());
    }
    unsetenv(programCountVariable);
    for (std::string &word : out.words)
        out.program.push_back(word.data());
    out.program.push_back(nullptr);
    return true;
}

} // namespace

bool parseGuardArguments(int argc, char **argv, GuardArguments &out)
{
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--end-tree-on-exit") {
            out.endTreeOnExit = true;
            continue;
        }
        if (option == "--no-pid-namespace") {
            out.pidNamespace = false;
            continue;
        }
        if (option == "--refuse-pushing-secrets") {
            out.refusePushingSecrets = true;
            continue;
        }
        if (option == "--confine") {
            out.confinement.confined = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const char *value = argv[++i];
        // Paths, each option given once for each.
        const std::pair<const char *, std::vector<std::string> *> paths[] = {
            {"--hide", &out.confinement.hidden},
            {"--writable", &out.confinement.writable},
            {"--read-only", &out.confinement.readOnly},
            {"--private", &out.confinement.privateFolders}};
        const auto path = std::find_if(std::begin(paths), std::end(paths),
                                       [&option](const auto &entry) { return option == entry.first; });
        if (path != std::end(paths)) {
            path->second->emplace_back(value);
            continue;
        }
        char *end = nullptr;
        if (option == "--parent") {
            out.parent = static_cast<pid_t>(std::strtol(value, &end, 10));
        } else if (option == "--grace-ms") {
            out.grace = std::chrono::milliseconds(std::strtol(value, &end, 10));
        } else if (option == "--cwd") {
            out.workingDirectory = value;
            continue;
        } else if (option == "--cgroup") {
            out.cgroup = value;
            continue;
        } else {
            return false;
        }
        if (!end || *end != '\0')
            return false;
    }
    return takeProgram(out);
}

} // namespace nerim::platform::guard
