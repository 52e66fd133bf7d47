#include "platform/guard/GitSettings.h"

#include "platform/guard/GitConfigKeys.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace nerim::platform::guard {

namespace {


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
                           [](const std::string &argument) { return argument.starts_with("--remote"); });
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
    return path == folder || path.starts_with(folder + "/");
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
    const std::string *projectValue = environmentValue(environment, projectVariable);
    if (!projectValue || projectValue->empty())
        return value; // no project known: nothing counts as inside
    const std::string project = resolvedPath(*projectValue, "/");
    std::string path = value;
    if (path.starts_with("~/") || path == "~")
        path = environmentValueOr(environment, "HOME") + path.substr(1);
    else if (path.starts_with("%(prefix)/") || (!path.empty() && path[0] == '~'))
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
                if (!key.winnerIsUsers() && key.winner()->value.value_or("").starts_with("!"))
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
    if (gitProxy && !environmentValue(environment, "GIT_PROXY_COMMAND"))
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

} // namespace nerim::platform::guard
