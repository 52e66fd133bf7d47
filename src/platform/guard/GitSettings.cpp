#include "platform/guard/GitSettings.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_map>

namespace nerim::platform::guard {

namespace {

std::string lowered(std::string_view text)
{
    std::string out(text);
    for (char &c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

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

std::string shellQuoted(const std::string &text)
{
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out.push_back(c);
    }
    return out + "'";
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

// What git would run as the editor with no core.editor: ":" (accept the text
// as it is) where it would run none, or refuse for want of a terminal.
std::string neutralEditor(const Environment &environment)
{
    const std::string *term = variable(environment, "TERM");
    const bool dumb = !term || *term == "dumb";
    if (!dumb) {
        if (const std::string *visual = variable(environment, "VISUAL"))
            return *visual;
    }
    if (const std::string *editor = variable(environment, "EDITOR"))
        return *editor;
    return ":";
}

// An external diff that prints what git's own would: a unified diff of the two files.
const char *const plainExternalDiff =
    "f() { [ $# -ge 7 ] || { echo \"* Unmerged path $1\"; return 0; }; "
    "diff -u --label \"a/$1\" --label \"b/$1\" -- \"$2\" \"$5\"; [ $? -le 1 ]; }; f";

enum class Sub { none, any, optional };

// What becomes of a key the repository sets.
enum class Kind {
    // The last value wins: the user's own value, else a neutral one, is added.
    overridden,
    // Also where nothing sets it: git's default is the repository's (its hooks folder).
    always,
    // git takes the first value, or the longest match: a command that may
    // reach a remote is refused.
    refusedForTransport,
    // As `overridden` where the user has a value of their own, else as `refusedForTransport`.
    usersOrRefused,
};

struct Rule {
    const char *section;
    Sub sub;
    const char *name; // "*": any
    Kind kind;
    const char *constant = "";
    std::string (*neutral)(const Environment &, const Key &) = nullptr;
};

const Rule rules[] = {
    {"core", Sub::none, "hookspath", Kind::always, "/dev/null"},
    {"protocol", Sub::any, "allow", Kind::always, "never"}, // only protocol.ext (see ruleFor)
    {"core", Sub::none, "fsmonitor", Kind::overridden, "false"},
    {"core", Sub::none, "sshcommand", Kind::overridden, nullptr,
     [](const Environment &environment, const Key &) {
         // Unset, git runs GIT_SSH, or "ssh".
         const std::string program = variableOr(environment, "GIT_SSH");
         return program.empty() ? std::string("ssh") : shellQuoted(program);
     }},
    {"core", Sub::none, "pager", Kind::overridden, nullptr,
     [](const Environment &environment, const Key &) { return variableOr(environment, "PAGER", "less"); }},
    {"core", Sub::none, "editor", Kind::overridden, nullptr,
     [](const Environment &environment, const Key &) { return neutralEditor(environment); }},
    {"sequence", Sub::none, "editor", Kind::overridden, nullptr,
     [](const Environment &environment, const Key &) { return neutralEditor(environment); }},
    {"core", Sub::none, "askpass", Kind::overridden, nullptr,
     [](const Environment &environment, const Key &) { return variableOr(environment, "SSH_ASKPASS"); }},
    {"core", Sub::none, "alternaterefscommand", Kind::overridden,
     "f() { git --git-dir=\"$1\" for-each-ref --format='%(objectname)'; }; f"},
    {"gpg", Sub::optional, "program", Kind::overridden, nullptr,
     [](const Environment &, const Key &key) {
         const std::string format = key.subsection ? lowered(*key.subsection) : std::string();
         return std::string(format == "x509" ? "gpgsm" : format == "ssh" ? "ssh-keygen" : "gpg");
     }},
    {"gpg", Sub::any, "defaultkeycommand", Kind::overridden, ""},
    {"diff", Sub::none, "external", Kind::overridden, plainExternalDiff},
    {"interactive", Sub::none, "difffilter", Kind::overridden, "cat"},
    {"imap", Sub::none, "tunnel", Kind::overridden, ""},
    {"instaweb", Sub::none, "httpd", Kind::overridden, ""},
    {"instaweb", Sub::none, "browser", Kind::overridden, ""},
    // An empty command is no filter: the content passes unchanged.
    {"filter", Sub::any, "clean", Kind::overridden, ""},
    {"filter", Sub::any, "smudge", Kind::overridden, ""},
    {"filter", Sub::any, "process", Kind::overridden, ""},
    {"filter", Sub::any, "required", Kind::overridden, "false"},
    {"diff", Sub::any, "textconv", Kind::overridden, "cat"},
    {"diff", Sub::any, "command", Kind::overridden, plainExternalDiff},
    {"merge", Sub::any, "driver", Kind::overridden,
     "git merge-file -L ours -L base -L theirs --marker-size=%L %A %O %B"},
    {"difftool", Sub::any, "cmd", Kind::overridden, ""},
    {"difftool", Sub::any, "path", Kind::overridden, ""},
    {"mergetool", Sub::any, "cmd", Kind::overridden, ""},
    {"mergetool", Sub::any, "path", Kind::overridden, ""},
    {"browser", Sub::any, "cmd", Kind::overridden, ""},
    {"browser", Sub::any, "path", Kind::overridden, ""},
    {"man", Sub::any, "cmd", Kind::overridden, ""},
    {"man", Sub::any, "path", Kind::overridden, ""},
    {"guitool", Sub::any, "cmd", Kind::overridden, ""},
    {"sendemail", Sub::optional, "tocmd", Kind::overridden, ""},
    {"sendemail", Sub::optional, "cccmd", Kind::overridden, ""},
    {"sendemail", Sub::optional, "headercmd", Kind::overridden, ""},
    {"sendemail", Sub::optional, "sendmailcmd", Kind::overridden, ""},
    {"sendemail", Sub::optional, "smtpserver", Kind::overridden, ""},
    // `git archive -o x.tgz` pipes through the command of its format.
    {"tar", Sub::any, "command", Kind::overridden, nullptr,
     [](const Environment &, const Key &key) {
         const std::string format = lowered(key.subsection.value_or(""));
         return std::string(format == "tgz" || format == "tar.gz" ? "gzip -cn" : "cat");
     }},
    // `git commit --trailer`: the value comes out empty rather than from the repository's program.
    {"trailer", Sub::any, "cmd", Kind::overridden, "true"},
    {"trailer", Sub::any, "command", Kind::overridden, "true"},
    {"help", Sub::none, "autocorrect", Kind::overridden, "never"},
    // Where git connects.
    {"http", Sub::none, "proxy", Kind::overridden, ""}, // empty: no proxy
    {"http", Sub::none, "sslverify", Kind::overridden, "true"},
    {"remote", Sub::any, "proxy", Kind::overridden, ""}, // empty: no proxy for that remote
    {"http", Sub::none, "sslcainfo", Kind::usersOrRefused}, // empty would turn verification off
    {"http", Sub::none, "sslcapath", Kind::usersOrRefused},
    {"http", Sub::none, "proxysslcainfo", Kind::usersOrRefused},
    {"http", Sub::optional, "curloptresolve", Kind::refusedForTransport}, // a list
    {"http", Sub::any, "proxy", Kind::refusedForTransport}, // the best URL match wins
    {"http", Sub::any, "sslverify", Kind::refusedForTransport},
    {"http", Sub::any, "sslcainfo", Kind::refusedForTransport},
    {"http", Sub::any, "sslcapath", Kind::refusedForTransport},
    {"http", Sub::any, "proxysslcainfo", Kind::refusedForTransport},
    {"url", Sub::any, "insteadof", Kind::refusedForTransport}, // the longest match wins
    {"url", Sub::any, "pushinsteadof", Kind::refusedForTransport},
    {"remote", Sub::any, "receivepack", Kind::refusedForTransport}, // the first value wins
    {"remote", Sub::any, "uploadpack", Kind::refusedForTransport},
    {"remote", Sub::any, "vcs", Kind::refusedForTransport}, // runs git-remote-<vcs>
    {"bundle", Sub::optional, "*", Kind::refusedForTransport},
    {"fetch", Sub::none, "bundleuri", Kind::refusedForTransport},
    {"transfer", Sub::none, "bundleuri", Kind::refusedForTransport},
    // uploadpack.packObjectsHook is not here: git takes it only from the
    // system and global files and the command line, never from a repository.
};

const Rule *ruleFor(const Key &key)
{
    for (const Rule &rule : rules) {
        if (key.section != rule.section || (std::string_view(rule.name) != "*" && key.name != rule.name))
            continue;
        if ((rule.sub == Sub::none && key.subsection) || (rule.sub == Sub::any && !key.subsection))
            continue;
        if (key.section == "protocol" && lowered(key.subsection.value_or("")) != "ext")
            continue;
        return &rule;
    }
    return nullptr;
}

// Commands that talk to a remote from their own process (those that do it
// through another git, such as pull or submodule, are asked about again there).
bool mayReachRemote(const std::string &command, const std::vector<std::string> &arguments)
{
    static const std::set<std::string> transports{"push", "fetch", "pull", "clone", "ls-remote", "remote",
                                                  "fetch-pack", "send-pack", "submodule", "maintenance"};
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
            // Options with their value in the next word.
            if (option == "-C" || option == "-c" || option == "--git-dir" || option == "--work-tree" ||
                option == "--namespace" || option == "--super-prefix" || option == "--config-env") {
                if (i + 1 >= arguments.size())
                    break; // git refuses it
                invocation.queryOptions.push_back(option);
                invocation.queryOptions.push_back(arguments[++i]);
                continue;
            }
            if (startsWith(option, "--git-dir=") || startsWith(option, "--work-tree=") ||
                startsWith(option, "--namespace=") || startsWith(option, "--super-prefix=") ||
                startsWith(option, "--config-env=") || option == "--bare" || option == "--no-replace-objects" ||
                option == "--literal-pathspecs" || option == "--glob-pathspecs" ||
                option == "--noglob-pathspecs" || option == "--icase-pathspecs" || option == "--no-optional-locks")
                invocation.queryOptions.push_back(option);
            // Others (-p, -P, --exec-path=..., --version, --help...) say nothing of the settings.
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

GitOverrides gitOverrides(const std::vector<GitConfigItem> &items, const GitInvocation &invocation,
                          const Environment &environment)
{
    GitOverrides out;
    const Entries entries(items);
    std::set<std::string> done;
    const auto set = [&](const std::string &key, const std::string &value) {
        if (done.insert(key).second)
            out.settings.emplace_back(key, value);
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
        if (!alias)
            break;
        std::optional<std::string> value = alias->winner()->value;
        if (!alias->winnerIsUsers()) {
            value = alias->usersValue();
            set(alias->name, value.value_or("")); // an empty alias is refused
        }
        if (!value || value->empty())
            break;
        if ((*value)[0] == '!') {
            shellAlias = true; // the gits the shell runs are asked about again
            break;
        }
        const GitInvocation expanded = parseInvocation("git", splitWords(*value));
        if (expanded.command.empty()) {
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

    // The pager of each name the command goes by.
    for (const std::string &name : names) {
        const KeyEntries *pager = entries.findFolded("pager." + name);
        if (pager && !pager->winnerIsUsers())
            set(pager->name, pager->usersValue().value_or("false"));
    }

    bool credentialHelpers = false;
    bool gitProxy = false;
    for (const KeyEntries &key : entries.all()) {
        if (key.key.section == "credential" && key.key.name == "helper") {
            credentialHelpers |= std::any_of(key.items.begin(), key.items.end(),
                                             [](const GitConfigItem *item) { return !isUsersScope(item->scope); });
            continue;
        }
        if (key.key.section == "core" && !key.key.subsection && key.key.name == "gitproxy") {
            gitProxy |= std::any_of(key.items.begin(), key.items.end(),
                                    [](const GitConfigItem *item) { return !isUsersScope(item->scope); });
            continue;
        }
        if (key.key.section == "submodule" && key.key.subsection && key.key.name == "update") {
            // Only "!command" runs anything.
            const std::string value = key.winner()->value.value_or("");
            if (!key.winnerIsUsers() && startsWith(value, "!"))
                set(key.name, key.usersValue().value_or("checkout"));
            continue;
        }
        const Rule *rule = ruleFor(key.key);
        if (!rule)
            continue;
        switch (rule->kind) {
        case Kind::always:
        case Kind::overridden:
            if (!key.winnerIsUsers())
                set(key.name, key.usersValue().value_or(rule->neutral ? rule->neutral(environment, key.key)
                                                                      : std::string(rule->constant)));
            break;
        case Kind::usersOrRefused:
            if (!key.winnerIsUsers()) {
                if (const auto own = key.usersValue())
                    set(key.name, *own);
                else if (transport && !out.refusal)
                    out.refusal = "this repository's settings choose how git connects (" + key.name + ")";
            }
            break;
        case Kind::refusedForTransport:
            if (transport && !out.refusal &&
                std::any_of(key.items.begin(), key.items.end(),
                            [](const GitConfigItem *item) { return !isUsersScope(item->scope); }))
                out.refusal = "this repository's settings choose how git connects (" + key.name + ")";
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
    // git's defaults that are the repository's own: its hooks folder.
    if (!entries.findFolded("core.hookspath"))
        set("core.hookspath", "/dev/null");
    if (!entries.findFolded("protocol.ext.allow"))
        set("protocol.ext.allow", "never");

    // Credential helpers add up: an empty one forgets those read so far (the
    // repository's, whatever URL they were for), then the user's come back in order.
    if (credentialHelpers) {
        out.settings.emplace_back("credential.helper", std::string());
        for (const GitConfigItem &item : items) {
            const Key key = splitKey(item.key);
            if (key.section == "credential" && key.name == "helper" && isUsersScope(item.scope))
                out.settings.emplace_back(item.key, item.value.value_or("true"));
        }
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
    const auto own = [&](const char *key) -> std::optional<std::string> {
        const KeyEntries *found = entries.findFolded(key);
        return found ? found->usersValue() : std::nullopt;
    };
    const std::string editor = own("core.editor").value_or(neutralEditor(environment));
    out.emplace_back("core.hooksPath", own("core.hookspath").value_or("/dev/null"));
    out.emplace_back("core.fsmonitor", own("core.fsmonitor").value_or("false"));
    out.emplace_back("core.pager", own("core.pager").value_or(variableOr(environment, "PAGER", "less")));
    out.emplace_back("core.editor", editor);
    out.emplace_back("sequence.editor", own("sequence.editor").value_or(editor));
    const std::string ssh = variableOr(environment, "GIT_SSH");
    out.emplace_back("core.sshCommand", own("core.sshcommand").value_or(ssh.empty() ? "ssh" : shellQuoted(ssh)));
    out.emplace_back("core.askPass", own("core.askpass").value_or(variableOr(environment, "SSH_ASKPASS")));
    out.emplace_back("protocol.ext.allow", own("protocol.ext.allow").value_or("never"));
    out.emplace_back("credential.helper", std::string());
    for (const GitConfigItem &item : items) {
        const Key key = splitKey(item.key);
        if (key.section == "credential" && key.name == "helper" && isUsersScope(item.scope))
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

CapturedRun runCaptured(const std::string &path, const std::vector<std::string> &arguments,
                        const std::vector<std::string> &environment, int timeoutMs, size_t maxBytes,
                        const char *folder)
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
        const int null = open("/dev/null", O_RDONLY);
        if (null >= 0)
            dup2(null, 0);
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
                if (i == 0)
                    run.output.append(buffer, static_cast<size_t>(got));
                else if (run.errorOutput.size() < 1024)
                    run.errorOutput.append(buffer, std::min<size_t>(static_cast<size_t>(got), 1024));
            } else if (got == 0 || errno != EINTR) {
                (i == 0 ? outOpen : errOpen) = false;
            }
        }
        if (run.output.size() > maxBytes) {
            run.tooLarge = true;
            break;
        }
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
    size_t start = 0;
    while (start < run.output.size()) {
        size_t end = run.output.find_first_of(std::string_view("\0\n", 2), start);
        if (end == std::string::npos)
            end = run.output.size();
        const std::string path = run.output.substr(start, end - start);
        if (!path.empty() && isSecretPath(path))
            return "a commit it would push holds " + path + ", which must stay on this computer";
        start = end + 1;
    }
    return std::nullopt;
}

} // namespace nerim::platform::guard
