#include "platform/guard/GitSettings.h"

#include "platform/guard/GitConfigKeys.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstring>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_map>

namespace nerim::platform::guard {

namespace {

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

const std::string *variable(const Environment &environment, const char *name)
{
    const auto it = environment.find(name);
    return it == environment.end() ? nullptr : &it->second;
}

std::string variableOr(const Environment &environment, const char *name, const std::string &fallback = {})
{
    const std::string *value = variable(environment, name);
    return value && !value->empty() ? *value : fallback;
}

std::optional<long> number(std::string_view text)
{
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// ---- keys ----

struct Key {
    std::string section;
    std::optional<std::string> subsection;
    std::string name;
};

// A key as git prints it: the section up to the first dot, the name after
// the last, a subsection (which may hold dots) between them.
Key splitKey(const std::string &key)
{
    const size_t first = key.find('.');
    const size_t last = key.rfind('.');
    if (first == std::string::npos)
        return Key{key, std::nullopt, {}};
    Key out{key.substr(0, first), std::nullopt, key.substr(last + 1)};
    if (last != first)
        out.subsection = key.substr(first + 1, last - first - 1);
    return out;
}

bool isUsersScope(const std::string &scope)
{
    return scope == "system" || scope == "global" || scope == "command";
}

// Commands that talk to a remote from their own process (those that do it
// through another git, such as pull or submodule, are asked about again there).
bool mayReachRemote(const std::string &command, const std::vector<std::string> &arguments)
{
    // git-lfs reads the URL settings through `git config`, which runs no transport itself.
    static const std::set<std::string> transports{"push", "fetch", "pull", "clone", "ls-remote", "remote",
                                                  "fetch-pack", "send-pack", "submodule", "maintenance", "lfs"};
    if (transports.count(command))
        return true;
    if (command == "archive")
        return std::any_of(arguments.begin(), arguments.end(),
                           [](const std::string &argument) { return startsWith(argument, "--remote"); });
    return false;
}

// All entries for one key, in the order git read them.
struct KeyEntries {
    Key key;
    std::string name; // as git printed it
    std::vector<const GitConfigItem *> items;

    const GitConfigItem *winner() const { return items.back(); }
    bool winnerIsUsers() const { return isUsersScope(winner()->scope); }
    std::optional<std::string> usersValue() const
    {
        std::optional<std::string> found;
        for (const GitConfigItem *item : items)
            if (isUsersScope(item->scope))
                found = item->value.value_or("true");
        return found;
    }
};

class Entries {
public:
    explicit Entries(const std::vector<GitConfigItem> &items)
    {
        for (const GitConfigItem &item : items) {
            auto [it, added] = m_index.emplace(item.key, m_keys.size());
            if (added)
                m_keys.push_back(KeyEntries{splitKey(item.key), item.key, {}});
            m_keys[it->second].items.push_back(&item);
        }
    }

    const std::vector<KeyEntries> &all() const { return m_keys; }

    // git compares alias and pager names without letter case.
    const KeyEntries *findFolded(const std::string &key) const
    {
        const std::string folded = lowered(key);
        const KeyEntries *found = nullptr;
        for (const KeyEntries &entries : m_keys)
            if (lowered(entries.name) == folded)
                found = &entries;
        return found;
    }

private:
    std::vector<KeyEntries> m_keys;
    std::unordered_map<std::string, size_t> m_index;
};

std::vector<std::string> splitWords(const std::string &text)
{
    std::vector<std::string> words;
    std::string word;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            if (!word.empty())
                words.push_back(std::move(word));
            word.clear();
        } else {
            word.push_back(c);
        }
    }
    if (!word.empty())
        words.push_back(std::move(word));
    return words;
}

uint64_t fingerprint(const std::vector<Setting> &settings)
{
    uint64_t hash = 1469598103934665603ULL;
    const auto add = [&hash](const std::string &text) {
        for (unsigned char c : text)
            hash = (hash ^ c) * 1099511628211ULL;
        hash = (hash ^ 0xff) * 1099511628211ULL;
    };
    for (const auto &[key, value] : settings) {
        add(key);
        add(value);
    }
    return hash;
}

} // namespace

std::optional<std::vector<GitConfigItem>> parseConfigListing(std::string_view output)
{
    std::vector<GitConfigItem> items;
    size_t at = 0;
    while (at < output.size()) {
        const size_t scopeEnd = output.find('\0', at);
        if (scopeEnd == std::string_view::npos)
            return std::nullopt;
        GitConfigItem item;
        item.scope = std::string(output.substr(at, scopeEnd - at));
        at = scopeEnd + 1;
        const size_t end = output.find('\0', at);
        if (end == std::string_view::npos)
            return std::nullopt;
        const std::string_view entry = output.substr(at, end - at);
        at = end + 1;
        const size_t newline = entry.find('\n');
        item.key = std::string(entry.substr(0, newline));
        if (newline != std::string_view::npos)
            item.value = std::string(entry.substr(newline + 1));
        if (item.scope.empty() || item.key.find('.') == std::string::npos)
            return std::nullopt;
        items.push_back(std::move(item));
    }
    return items;
}

std::string resolvedPath(const std::string &path, const std::string &base)
{
    const std::string whole = !path.empty() && path[0] == '/' ? path : base + "/" + path;
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= whole.size()) {
        const size_t slash = whole.find('/', start);
        const size_t end = slash == std::string::npos ? whole.size() : slash;
        if (end > start)
            parts.push_back(whole.substr(start, end - start));
        start = end + 1;
    }
    // Each folder that exists as the kernel finds it (links followed), the
    // rest as written.
    std::string current = "/";
    bool existing = true;
    for (const std::string &part : parts) {
        if (part == ".")
            continue;
        if (part == "..") {
            const size_t slash = current.rfind('/');
            current = slash == 0 || slash == std::string::npos ? "/" : current.substr(0, slash);
            continue;
        }
        const std::string next = current == "/" ? "/" + part : current + "/" + part;
        if (existing) {
            char real[PATH_MAX];
            struct stat info;
            if (::lstat(next.c_str(), &info) == 0 && ::realpath(next.c_str(), real)) {
                current = real;
                continue;
            }
            if (::lstat(next.c_str(), &info) == 0)
                return {}; // a link that leads nowhere yet: where it would lead is not known
            existing = false;
        }
        current = next;
    }
    return current;
}

bool isWithin(const std::string &path, const std::string &folder)
{
    if (folder == "/")
        return !path.empty() && path[0] == '/';
    return path == folder || startsWith(path, folder + "/");
}

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
    if (startsWith(base, "git-") && base.size() > 4) {
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

namespace {

// Whether git takes `key` as a configuration key: a section, an optional
// subsection, and a name of letters, digits and "-" that starts with a letter.
bool isKeyName(const std::string &key)
{
    const size_t first = key.find('.');
    const size_t last = key.rfind('.');
    if (first == std::string::npos || first == 0 || last + 1 >= key.size())
        return false;
    const auto word = [](std::string_view text) {
        return !text.empty() && std::isalpha(static_cast<unsigned char>(text[0])) &&
               std::all_of(text.begin(), text.end(),
                           [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-'; });
    };
    return word(std::string_view(key).substr(0, first)) && word(std::string_view(key).substr(last + 1)) &&
           key.find('\n') == std::string::npos;
}

// A key as git would hold it once more: section and name in lower case, a
// subsection as written.
std::string canonicalKey(const std::string &key)
{
    const Key split = splitKey(key);
    return lowered(split.section) + (split.subsection ? "." + *split.subsection : std::string()) + "." +
           lowered(split.name);
}

bool anyFromRepository(const KeyEntries &key)
{
    return std::any_of(key.items.begin(), key.items.end(),
                       [](const GitConfigItem *item) { return !isUsersScope(item->scope); });
}

// git's own rule for a protocol no setting names: the known-safe ones always,
// ext never, any other only where the user asked for it.
std::string defaultProtocolRule(const std::string &protocol)
{
    if (protocol == "http" || protocol == "https" || protocol == "ssh" || protocol == "git")
        return "always";
    return protocol == "ext" ? "never" : "user";
}

} // namespace

std::optional<std::string> pathOutsideProject(const std::string &value, const Environment &environment,
                                              const std::string &base)
{
    const std::string *projectValue = variable(environment, projectVariable);
    if (!projectValue || projectValue->empty())
        return value; // no project known: nothing counts as inside
    const std::string project = resolvedPath(*projectValue, "/");
    std::string path = value;
    if (startsWith(path, "~/") || path == "~")
        path = variableOr(environment, "HOME") + path.substr(1);
    else if (startsWith(path, "%(prefix)/") || (!path.empty() && path[0] == '~'))
        return path; // git's own folder, or another user's home
    const std::string resolved = resolvedPath(path, base.empty() ? project : base);
    if (project.empty() || resolved.empty() || !isWithin(resolved, project))
        return resolved.empty() ? value : resolved;
    return std::nullopt;
}

GitOverrides gitOverrides(const std::vector<GitConfigItem> &items, const GitInvocation &invocation,
                          const Environment &environment)
{
    GitOverrides out;
    const Entries entries(items);
    std::set<std::string> done;
    const auto set = [&](const std::string &key, const std::string &value) {
        if (done.insert(canonicalKey(key)).second)
            out.settings.emplace_back(key, value);
    };
    const auto refuse = [&](const std::string &why) {
        if (!out.refusal)
            out.refusal = why;
    };

    // The alias chain the command expands through, the command it ends in,
    // and whether that could be followed to its end.
    std::vector<std::string> names;
    std::string command = invocation.command;
    std::vector<std::string> arguments = invocation.arguments;
    bool resolved = true;
    bool shellAlias = false;
    while (!command.empty() && !invocation.packProgram) {
        if (std::find(names.begin(), names.end(), lowered(command)) != names.end() || names.size() > 32) {
            resolved = false; // git refuses a looping alias itself
            break;
        }
        names.push_back(lowered(command));
        const KeyEntries *alias = entries.findFolded("alias." + command);
        // Each name the command goes by gets the user's alias or none, also
        // where nothing sets one now: an alias the repository's
        // configuration gains after this query cannot apply. (git runs its
        // own and installed commands before it looks for an alias.)
        const std::optional<std::string> own = alias ? alias->usersValue() : std::nullopt;
        if (alias || isKeyName("alias." + command)) // git holds no alias by a name no key can have
            set(alias ? alias->name : "alias." + command, own.value_or(""));
        if (!own || own->empty())
            break;
        if ((*own)[0] == '!') {
            shellAlias = true; // the gits the shell runs are asked about again
            break;
        }
        const GitInvocation expanded = parseInvocation("git", splitWords(*own));
        if (expanded.command.empty() || expanded.unknownOption) {
            resolved = false;
            break;
        }
        command = expanded.command;
        std::vector<std::string> more = expanded.arguments;
        more.insert(more.end(), arguments.begin(), arguments.end());
        arguments = std::move(more);
    }
    out.finalCommand = shellAlias ? std::string() : command;
    out.finalArguments = arguments;
    const bool transport = !shellAlias && (!resolved || mayReachRemote(command, arguments));
    const auto refuseForTransport = [&](const std::string &key) {
        if (transport)
            refuse("this repository's settings choose how git connects (" + key + ")");
    };

    bool gitProxy = false;
    bool protocols = false;
    for (const KeyEntries &key : entries.all()) {
        if (!anyFromRepository(key))
            continue;
        const KeyRule *rule = ruleOfKey(key.name);
        if (!rule)
            continue; // git does not read it
        const std::string section = lowered(key.key.section);
        const std::string name = lowered(key.key.name);
        // The user's value is set too where it wins now: a value the
        // repository gains after this query cannot win then.
        const auto neutralised = [&](const KeyRule &which) {
            set(key.name, key.usersValue().value_or(which.neutral ? which.neutral(environment, key.key.subsection)
                                                                      : std::string(which.constant)));
        };
        switch (rule->kind) {
        case KeyClass::harmless:
            break;
        case KeyClass::neutralised:
            neutralised(*rule);
            break;
        case KeyClass::usersOrRefused:
            if (!key.winnerIsUsers()) {
                if (const auto own = key.usersValue())
                    set(key.name, *own);
                else
                    refuseForTransport(key.name);
            }
            break;
        case KeyClass::refusedForTransport:
            refuseForTransport(key.name);
            break;
        case KeyClass::pathInProject:
            for (const GitConfigItem *item : key.items) {
                if (isUsersScope(item->scope))
                    continue;
                if (const auto outside = pathOutsideProject(item->value.value_or(""), environment))
                    refuse("this repository's settings name a file outside the project (" + key.name + " = " +
                           *outside + ")");
            }
            break;
        case KeyClass::special:
            if (section == "pager") {
                // Pagers are set aside for every command (see GitShimMain);
                // a repository's is not what `git config` answers either.
                neutralised(KeyRule{"", KeyClass::neutralised, "false"});
            } else if (section == "credential") {
                // The helpers: below, for every command.
            } else if (section == "core" && name == "gitproxy") {
                gitProxy = true;
            } else if (section == "submodule") {
                // Only "!command" runs anything.
                if (!key.winnerIsUsers() && startsWith(key.winner()->value.value_or(""), "!"))
                    set(key.name, key.usersValue().value_or("checkout"));
            } else if (section == "protocol") {
                protocols = true;
            } else if (section == "help") {
                neutralised(KeyRule{"", KeyClass::neutralised, "never"});
            } else if (section == "http" || section == "sendemail") {
                // A URL's or an identity's own value of a key: as that key, but
                // a URL match cannot be overridden.
                const KeyRule *plain = ruleOfKey(section + "." + name);
                if (plain && plain->kind == KeyClass::neutralised && section == "sendemail")
                    neutralised(*plain);
                else if (!plain || plain->kind != KeyClass::harmless)
                    refuseForTransport(key.name);
            }
            // alias.*: above, and with autocorrection below; core.worktree:
            // where the work tree is, is asked of git once these are known.
            break;
        }
    }
    // With the user's own autocorrection on, a mistyped command may become
    // any alias: then every alias of the repository's is emptied, or, past
    // the budget, corrections are only suggested.
    if (const KeyEntries *autocorrect = entries.findFolded("help.autocorrect"); autocorrect && autocorrect->winnerIsUsers()) {
        const std::string value = lowered(autocorrect->winner()->value.value_or("1"));
        if (value != "0" && value != "never" && value != "show" && value != "false" && value != "off" && value != "no") {
            std::vector<const KeyEntries *> aliases;
            for (const KeyEntries &key : entries.all())
                if (key.key.section == "alias" && !key.winnerIsUsers())
                    aliases.push_back(&key);
            if (out.settings.size() + aliases.size() < maxOverrides) {
                for (const KeyEntries *alias : aliases)
                    set(alias->name, alias->usersValue().value_or(""));
            } else {
                set(autocorrect->name, "0");
            }
        }
    }
    // A repository's protocol rules give way to the user's, else to git's own.
    if (protocols) {
        for (const std::string protocol : {"http", "https", "ssh", "git", "file"}) {
            const KeyEntries *own = entries.findFolded("protocol." + protocol + ".allow");
            set("protocol." + protocol + ".allow",
                own && own->usersValue() ? *own->usersValue() : defaultProtocolRule(protocol));
        }
        const KeyEntries *fallback = entries.findFolded("protocol.allow");
        set("protocol.allow", fallback && fallback->usersValue() ? *fallback->usersValue() : "user");
    }
    // What every command gets, whatever the repository sets now or later:
    // the user's own value, else git's default (its hooks folder aside).
    for (const KeyRule *rule : alwaysSetRules()) {
        const KeyEntries *own = entries.findFolded(rule->listed);
        const std::optional<std::string> users = own ? own->usersValue() : std::nullopt;
        set(lowered(rule->listed), users.value_or(rule->neutral ? rule->neutral(environment, std::nullopt) : rule->constant));
    }
    {
        const KeyEntries *ext = entries.findFolded("protocol.ext.allow");
        set("protocol.ext.allow", ext && ext->usersValue() ? *ext->usersValue() : "never");
    }

    // Credential helpers add up: an empty one forgets those read so far (the
    // repository's, whatever URL they were for, also ones it gains after
    // this query), then the user's come back in order.
    out.settings.emplace_back("credential.helper", std::string());
    for (const GitConfigItem &item : items) {
        const Key key = splitKey(item.key);
        if (lowered(key.section) == "credential" && lowered(key.name) == "helper" && isUsersScope(item.scope))
            out.settings.emplace_back(item.key, item.value.value_or("true"));
    }
    // core.gitProxy: the first matching entry wins, and command-scope ones
    // come last, so only GIT_PROXY_COMMAND can override the repository's.
    if (gitProxy && !variable(environment, "GIT_PROXY_COMMAND"))
        out.variables.emplace_back("GIT_PROXY_COMMAND", std::string());

    size_t bytes = 0;
    for (const auto &[key, value] : out.settings)
        bytes += key.size() + value.size();
    if (!out.refusal && (out.settings.size() > maxOverrides || bytes > maxOverrideBytes))
        out.refusal = "this repository sets more program-running settings than Nerim overrides (" +
                      std::to_string(out.settings.size()) + ")";
    return out;
}

std::vector<Setting> fixedGitSettings(const std::vector<GitConfigItem> &items, const Environment &environment)
{
    const Entries entries(items);
    std::vector<Setting> out;
    for (const KeyRule *rule : alwaysSetRules()) {
        const KeyEntries *found = entries.findFolded(rule->listed);
        const std::optional<std::string> own = found ? found->usersValue() : std::nullopt;
        out.emplace_back(rule->listed, own.value_or(rule->neutral ? rule->neutral(environment, std::nullopt)
                                                                  : std::string(rule->constant)));
    }
    const KeyEntries *ext = entries.findFolded("protocol.ext.allow");
    out.emplace_back("protocol.ext.allow", ext && ext->usersValue() ? *ext->usersValue() : "never");
    out.emplace_back("credential.helper", std::string());
    for (const GitConfigItem &item : items) {
        const Key key = splitKey(item.key);
        if (lowered(key.section) == "credential" && lowered(key.name) == "helper" && isUsersScope(item.scope))
            out.emplace_back(item.key, item.value.value_or("true"));
    }
    return out;
}

std::optional<std::vector<Setting>> usersCommandSettings(const Environment &environment)
{
    const std::string *count = variable(environment, "GIT_CONFIG_COUNT");
    if (!count || count->empty())
        return std::vector<Setting>{};
    const auto total = number(*count);
    if (!total || *total < 0 || *total > 1000000)
        return std::nullopt;
    std::vector<Setting> settings;
    for (long i = 0; i < *total; ++i) {
        const std::string *key = variable(environment, ("GIT_CONFIG_KEY_" + std::to_string(i)).c_str());
        const std::string *value = variable(environment, ("GIT_CONFIG_VALUE_" + std::to_string(i)).c_str());
        if (!key || !value)
            return std::nullopt;
        settings.emplace_back(*key, *value);
    }
    // Take out what a guard or shim above marked as its own, if it is still
    // there as it was added.
    if (const std::string *mark = variable(environment, ownSettingsVariable)) {
        const size_t colon = mark->find(':');
        const size_t second = mark->find(':', colon == std::string::npos ? colon : colon + 1);
        if (colon != std::string::npos && second != std::string::npos) {
            const auto first = number(std::string_view(*mark).substr(0, colon));
            const auto size = number(std::string_view(*mark).substr(colon + 1, second - colon - 1));
            const std::string hash = mark->substr(second + 1);
            if (first && size && *first >= 0 && *size >= 0 && *first + *size <= *total) {
                const auto begin = settings.begin() + *first;
                const std::vector<Setting> marked(begin, begin + *size);
                if (std::to_string(fingerprint(marked)) == hash)
                    settings.erase(begin, begin + *size);
            }
        }
    }
    return settings;
}

std::vector<Setting> commandScopeVariables(const std::vector<Setting> &user, const std::vector<Setting> &added)
{
    std::vector<Setting> variables;
    variables.emplace_back("GIT_CONFIG_COUNT", std::to_string(user.size() + added.size()));
    size_t index = 0;
    for (const auto *list : {&user, &added}) {
        for (const auto &[key, value] : *list) {
            variables.emplace_back("GIT_CONFIG_KEY_" + std::to_string(index), key);
            variables.emplace_back("GIT_CONFIG_VALUE_" + std::to_string(index), value);
            ++index;
        }
    }
    variables.emplace_back(ownSettingsVariable, std::to_string(user.size()) + ':' + std::to_string(added.size()) +
                                                    ':' + std::to_string(fingerprint(added)));
    return variables;
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
        if (slash == std::string_view::npos) {
            if (part == ".env")
                return true;
            if (startsWith(part, ".env."))
                return part != ".env.example" && part != ".env.sample" && part != ".env.template";
            return false;
        }
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
            if (startsWith(argument, "--repo"))
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

CapturedRun runStreaming(const std::string &path, const std::vector<std::string> &arguments,
                         const std::vector<std::string> &environment, int timeoutMs, int inputFd,
                         const std::function<bool(std::string_view)> &consume, const char *folder)
{
    CapturedRun run;
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return run;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return run;
    }
    std::vector<char *> argv;
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (const std::string &line : environment)
        envp.push_back(const_cast<char *>(line.c_str()));
    envp.push_back(nullptr);

    const pid_t child = fork();
    if (child < 0) {
        for (int fd : {out[0], out[1], err[0], err[1]})
            close(fd);
        return run;
    }
    if (child == 0) {
        setpgid(0, 0);
        const int input = inputFd >= 0 ? inputFd : open("/dev/null", O_RDONLY);
        if (input >= 0)
            dup2(input, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (folder && chdir(folder) != 0)
            _exit(127);
        execve(path.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    setpgid(child, child);
    close(out[1]);
    close(err[1]);
    run.started = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool outOpen = true;
    bool errOpen = true;
    char buffer[65536];
    while (outOpen || errOpen) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            run.timedOut = true;
            break;
        }
        pollfd fds[2] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}};
        const int ready = poll(fds, 2, static_cast<int>(std::min<long long>(left, 1000)));
        if (ready < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                if (i == 0 && !consume(std::string_view(buffer, static_cast<size_t>(got))))
                    run.tooLarge = true;
                else if (i == 1 && run.errorOutput.size() < 1024)
                    run.errorOutput.append(buffer, std::min<size_t>(static_cast<size_t>(got), 1024));
            } else if (got == 0 || errno != EINTR) {
                (i == 0 ? outOpen : errOpen) = false;
            }
        }
        if (run.tooLarge)
            break;
    }
    close(out[0]);
    close(err[0]);
    if (run.timedOut || run.tooLarge)
        kill(-child, SIGKILL);
    while (waitpid(child, &run.status, 0) < 0 && errno == EINTR) {
    }
    if (run.timedOut || run.tooLarge)
        kill(-child, SIGKILL); // what it started in its group
    return run;
}

CapturedRun runCaptured(const std::string &path, const std::vector<std::string> &arguments,
                        const std::vector<std::string> &environment, int timeoutMs, size_t maxBytes,
                        const char *folder)
{
    std::string output;
    CapturedRun run = runStreaming(
        path, arguments, environment, timeoutMs, -1,
        [&output, maxBytes](std::string_view piece) {
            output.append(piece);
            return output.size() <= maxBytes;
        },
        folder);
    run.output = std::move(output);
    return run;
}

std::vector<std::string> queryArguments(const GitInvocation &invocation)
{
    std::vector<std::string> arguments{"git", "--no-pager"};
    arguments.insert(arguments.end(), invocation.queryOptions.begin(), invocation.queryOptions.end());
    for (const char *word : {"config", "--list", "--show-scope", "-z", "--includes"})
        arguments.emplace_back(word);
    return arguments;
}

Environment environmentFrom(char **environ)
{
    Environment environment;
    for (char **entry = environ; entry && *entry; ++entry) {
        const char *equals = std::strchr(*entry, '=');
        if (equals)
            environment.emplace(std::string(*entry, static_cast<size_t>(equals - *entry)), std::string(equals + 1));
    }
    return environment;
}

std::vector<std::string> environmentLines(const Environment &environment)
{
    std::vector<std::string> lines;
    lines.reserve(environment.size());
    for (const auto &[name, value] : environment)
        lines.push_back(name + '=' + value);
    return lines;
}

Environment environmentWith(Environment environment, const std::vector<Setting> &user,
                            const std::vector<Setting> &added, const std::vector<Setting> &variables)
{
    for (auto it = environment.begin(); it != environment.end();) {
        if (it->first == "GIT_CONFIG_COUNT" || startsWith(it->first, "GIT_CONFIG_KEY_") ||
            startsWith(it->first, "GIT_CONFIG_VALUE_") || it->first == ownSettingsVariable)
            it = environment.erase(it);
        else
            ++it;
    }
    if (!user.empty() || !added.empty()) {
        for (const auto &[name, value] : commandScopeVariables(user, added))
            environment[name] = value;
    }
    for (const auto &[name, value] : variables)
        environment[name] = value;
    return environment;
}

namespace {

int queryTimeout(const Environment &environment)
{
    const auto set = number(variableOr(environment, queryTimeoutVariable));
    return set && *set >= 100 && *set <= 600000 ? static_cast<int>(*set) : 10000;
}

std::string firstLine(const std::string &text)
{
    std::string line = text.substr(0, text.find('\n'));
    if (line.size() > 200)
        line = line.substr(0, 200) + "…";
    return line;
}

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
        runCaptured(realGit, queryArguments(asked), environmentLines(query), queryTimeout(environment), 64u << 20);
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
                                                  : firstLine(run.errorOutput));
    const auto items = parseConfigListing(run.output);
    if (!items)
        return unreadable("git's answer was not complete");
    out = gitOverrides(*items, invocation, environment);
    if (out.refusal || invocation.packProgram)
        return out;

    // Where the work tree is: asked of git (with the settings found so far)
    // where anything names one, and for every command of a run that refuses
    // pushing secrets (a Deploy run), whose work tree must be the project.
    const std::string *workTreeVariable = variable(environment, "GIT_WORK_TREE");
    const bool named =
        (workTreeVariable && !workTreeVariable->empty()) ||
        std::any_of(items->begin(), items->end(),
                    [](const GitConfigItem &item) { return lowered(item.key) == "core.worktree"; }) ||
        std::any_of(invocation.queryOptions.begin(), invocation.queryOptions.end(),
                    [](const std::string &option) { return startsWith(option, "--work-tree"); });
    const bool deploy = variableOr(environment, refuseSecretsVariable) == "1";
    if (!named && !deploy)
        return out;
    const std::string *projectValue = variable(environment, projectVariable);
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
                                        queryTimeout(environment), 1u << 20);
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

std::optional<std::string> pushSecretRefusal(const std::string &realGit, const GitInvocation &invocation,
                                             const GitOverrides &overrides, const Environment &environment)
{
    std::vector<std::string> arguments{"git", "--no-pager"};
    arguments.insert(arguments.end(), invocation.queryOptions.begin(), invocation.queryOptions.end());
    for (const char *word : {"log", "-m", "--root", "--no-renames", "--no-relative", "--name-only", "-z",
                             "--format=", "--diff-filter=d"})
        arguments.emplace_back(word);
    for (const std::string &revision : pushedRevisions(overrides.finalArguments))
        arguments.push_back(revision);
    for (const char *word : {"--not", "--remotes", "--"})
        arguments.emplace_back(word);
    const CapturedRun run =
        runCaptured(realGit, arguments, environmentLines(environment), 120000, size_t(1) << 30);
    if (!run.started || run.timedOut || run.tooLarge || !WIFEXITED(run.status) || WEXITSTATUS(run.status) != 0)
        return std::string("the commits it would push could not be checked") +
               (run.errorOutput.empty() ? std::string() : " (" + firstLine(run.errorOutput) + ")");
    const std::string *projectValue = variable(environment, projectVariable);
    const std::string project =
        projectValue && !projectValue->empty() ? resolvedPath(*projectValue, "/") : std::string();
    const std::string *dataValue = variable(environment, nerimDataVariable);
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
