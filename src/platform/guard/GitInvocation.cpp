#include "platform/guard/GitInvocation.h"

namespace nerim::platform::guard {

namespace {

// git's global options (git 2.39): what each does with the words after it.
enum class Takes { nothing, nextWord, joinedValue, optionalJoinedValue };

struct GlobalOption {
    const char *name;
    Takes takes;
    bool choosesSettings; // passed on to the query: it changes what git reads, or where
};

const GlobalOption globalOptions[] = {
    {"-C", Takes::nextWord, true},
    {"-c", Takes::nextWord, true},
    {"--config-env", Takes::nextWord, true},
    {"--config-env", Takes::joinedValue, true},
    {"--git-dir", Takes::nextWord, true},
    {"--git-dir", Takes::joinedValue, true},
    {"--work-tree", Takes::nextWord, true},
    {"--work-tree", Takes::joinedValue, true},
    {"--namespace", Takes::nextWord, true},
    {"--namespace", Takes::joinedValue, true},
    {"--super-prefix", Takes::nextWord, true},
    {"--super-prefix", Takes::joinedValue, true},
    {"--shallow-file", Takes::nextWord, false}, // no "=" form
    {"--exec-path", Takes::optionalJoinedValue, false},
    {"--list-cmds", Takes::joinedValue, false},
    {"--bare", Takes::nothing, true},
    {"--no-replace-objects", Takes::nothing, true},
    {"--literal-pathspecs", Takes::nothing, true},
    {"--no-literal-pathspecs", Takes::nothing, true},
    {"--glob-pathspecs", Takes::nothing, true},
    {"--noglob-pathspecs", Takes::nothing, true},
    {"--icase-pathspecs", Takes::nothing, true},
    {"--no-optional-locks", Takes::nothing, true},
    {"-p", Takes::nothing, false},
    {"--paginate", Takes::nothing, false},
    {"-P", Takes::nothing, false},
    {"--no-pager", Takes::nothing, false},
    {"--html-path", Takes::nothing, false},
    {"--man-path", Takes::nothing, false},
    {"--info-path", Takes::nothing, false},
};

} // namespace

GitInvocation parseInvocation(std::string_view program, const std::vector<std::string> &arguments)
{
    GitInvocation invocation;
    const size_t slash = program.rfind('/');
    const std::string_view base = slash == std::string_view::npos ? program : program.substr(slash + 1);
    if (base.starts_with("git-") && base.size() > 4) {
        // A dashed git program runs as the command of that name.
        invocation.command = std::string(base.substr(4));
        invocation.arguments = arguments;
    } else {
        size_t i = 0;
        for (; i < arguments.size(); ++i) {
            const std::string &option = arguments[i];
            if (option.empty() || option[0] != '-')
                break;
            // git takes these as the commands "help" and "version".
            if (option == "--help" || option == "-h" || option == "--version" || option == "-v")
                break;
            const size_t equals = option.find('=');
            const std::string name = equals == std::string::npos ? option : option.substr(0, equals);
            const GlobalOption *known = nullptr;
            for (const GlobalOption &candidate : globalOptions) {
                if (name != candidate.name)
                    continue;
                const bool joined = equals != std::string::npos;
                if ((joined && (candidate.takes == Takes::joinedValue ||
                                candidate.takes == Takes::optionalJoinedValue)) ||
                    (!joined && candidate.takes != Takes::joinedValue)) {
                    known = &candidate;
                    break;
                }
            }
            if (!known) {
                invocation.unknownOption = option;
                return invocation;
            }
            if (known->takes == Takes::nextWord) {
                if (i + 1 >= arguments.size()) {
                    invocation.unknownOption = option + " without its value";
                    return invocation;
                }
                if (known->choosesSettings) {
                    invocation.queryOptions.push_back(option);
                    invocation.queryOptions.push_back(arguments[i + 1]);
                }
                ++i;
                continue;
            }
            if (known->choosesSettings)
                invocation.queryOptions.push_back(option);
        }
        if (i < arguments.size()) {
            invocation.command = arguments[i];
            invocation.arguments.assign(arguments.begin() + static_cast<long>(i) + 1, arguments.end());
        }
    }
    invocation.packProgram = invocation.command == "upload-pack" || invocation.command == "receive-pack" ||
                             invocation.command == "upload-archive";
    return invocation;
}

std::vector<std::string> queryArguments(const GitInvocation &invocation)
{
    std::vector<std::string> arguments{"git", "--no-pager"};
    arguments.insert(arguments.end(), invocation.queryOptions.begin(), invocation.queryOptions.end());
    for (const char *word : {"config", "--list", "--show-scope", "-z", "--includes"})
        arguments.emplace_back(word);
    return arguments;
}

} // namespace nerim::platform::guard
