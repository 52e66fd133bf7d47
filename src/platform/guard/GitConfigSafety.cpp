#include "platform/guard/GitConfigSafety.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace nerim::platform::guard {

namespace {

// ---- reading files that may have been planted ----

// Bounds on what one computation reads: git configuration files are small,
// and a planted one must not make the guard read a disk or loop for ever.
constexpr size_t maxFileBytes = 1024 * 1024;
constexpr size_t maxTotalBytes = 4 * 1024 * 1024;
constexpr int maxFiles = 128;
constexpr int maxIncludeDepth = 10; // as git
constexpr int maxModuleDepth = 6;

struct ReadBudget {
    size_t bytes = 0;
    int files = 0;
};

// A regular file's text (a pipe, device or folder is never read, or waited on).
std::optional<std::string> readRegularFile(const std::string &path, ReadBudget &budget)
{
    if (path.empty() || budget.files >= maxFiles || budget.bytes >= maxTotalBytes)
        return std::nullopt;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    ++budget.files;
    const size_t limit = std::min(maxFileBytes, maxTotalBytes - budget.bytes);
    std::string text;
    char buffer[8192];
    while (text.size() < limit) {
        const ssize_t got = ::read(fd, buffer, std::min(sizeof buffer, limit - text.size()));
        if (got > 0) {
            text.append(buffer, static_cast<size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        break;
    }
    ::close(fd);
    budget.bytes += text.size();
    return text;
}

bool isDirectory(const std::string &path)
{
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool exists(const std::string &path)
{
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

std::string parentOf(const std::string &path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string joined(const std::string &folder, const std::string &name)
{
    if (!name.empty() && name.front() == '/')
        return name;
    if (folder.empty() || folder.back() == '/')
        return folder + name;
    return folder + '/' + name;
}

std::string absolute(const std::string &path)
{
    if (!path.empty() && path.front() == '/')
        return path;
    char here[PATH_MAX];
    if (!::getcwd(here, sizeof here))
        return path;
    return joined(here, path);
}

std::string realOrSame(const std::string &path)
{
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

std::string trimmed(std::string_view text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return std::string(text);
}

std::string lowered(std::string_view text)
{
    std::string out(text);
    for (char &c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

const std::string *variable(const Environment &environment, const char *name)
{
    const auto it = environment.find(name);
    return it == environment.end() ? nullptr : &it->second;
}

std::string nonEmptyVariable(const Environment &environment, const char *name)
{
    const std::string *value = variable(environment, name);
    return value ? *value : std::string();
}

// ---- the configuration format ----

bool isKeyChar(int c)
{
    return std::isalnum(c) || c == '-';
}

// Reads one configuration file's text as git's own parser does.
class ConfigParser {
public:
    ConfigParser(std::string_view text, const std::string &folder) : m_text(text), m_folder(folder)
    {
        if (m_text.substr(0, 3) == "\xEF\xBB\xBF")
            m_text.remove_prefix(3);
    }

    std::vector<GitConfigEntry> parse()
    {
        bool comment = false;
        for (;;) {
            const int c = next();
            if (c == '\n') {
                if (m_eof)
                    return std::move(m_entries);
                comment = false;
                continue;
            }
            if (comment || std::isspace(c))
                continue;
            if (c == '#' || c == ';') {
                comment = true;
                continue;
            }
            if (c == '[') {
                if (!readSectionHeader())
                    skipLine();
                continue;
            }
            if (!std::isalpha(c) || !readKey(c))
                skipLine();
        }
    }

private:
    // The next character, with CRLF read as LF; LF at the end.
    int next()
    {
        if (m_position >= m_text.size()) {
            m_eof = true;
            return '\n';
        }
        int c = static_cast<unsigned char>(m_text[m_position++]);
        if (c == '\r' && m_position < m_text.size() && m_text[m_position] == '\n') {
            ++m_position;
            c = '\n';
        }
        return c;
    }

    void skipLine()
    {
        int c;
        do {
            c = next();
        } while (c != '\n');
        // The newline is the main loop's to see.
        if (!m_eof)
            --m_position;
    }

    bool readSectionHeader()
    {
        std::string name;
        for (;;) {
            const int c = next();
            if (m_eof || c == '\n')
                return false;
            if (c == ']')
                break;
            if (std::isspace(c))
                return readExtendedHeader(name, c);
            if (!isKeyChar(c) && c != '.')
                return false;
            name.push_back(static_cast<char>(std::tolower(c)));
        }
        // "[section.subsection]", the old form: the subsection is read in lower case.
        const size_t dot = name.find('.');
        if (dot == std::string::npos) {
            m_section = name;
            m_subsection.clear();
            m_hasSubsection = false;
        } else {
            m_section = name.substr(0, dot);
            m_subsection = name.substr(dot + 1);
            m_hasSubsection = true;
        }
        return true;
    }

    bool readExtendedHeader(const std::string &name, int c)
    {
        while (std::isspace(c)) {
            if (c == '\n')
                return false;
            c = next();
        }
        if (c != '"')
            return false;
        std::string subsection;
        for (;;) {
            c = next();
            if (c == '\n')
                return false;
            if (c == '"')
                break;
            if (c == '\\') {
                c = next();
                if (c == '\n')
                    return false;
            }
            subsection.push_back(static_cast<char>(c));
        }
        if (next() != ']')
            return false;
        m_section = name;
        m_subsection = subsection;
        m_hasSubsection = true;
        return true;
    }

    bool readKey(int c)
    {
        std::string name(1, static_cast<char>(std::tolower(c)));
        for (;;) {
            c = next();
            if (m_eof || !isKeyChar(c))
                break;
            name.push_back(static_cast<char>(std::tolower(c)));
        }
        while (c == ' ' || c == '\t')
            c = next();
        std::optional<std::string> value;
        if (c != '\n') {
            if (c != '=')
                return false;
            value = readValue();
            if (!value)
                return false;
        } else if (!m_eof) {
            --m_position; // the main loop sees the newline
        }
        if (m_section.empty())
            return true; // a key before any section: git refuses the file
        m_entries.push_back(GitConfigEntry{m_section, m_subsection, m_hasSubsection, name, std::move(value), m_folder});
        return true;
    }

    std::optional<std::string> readValue()
    {
        std::string value;
        bool quote = false;
        bool comment = false;
        size_t spaces = 0;
        for (;;) {
            int c = next();
            if (c == '\n') {
                // The newline is the main loop's to see.
                if (!m_eof)
                    --m_position;
                if (quote)
                    return std::nullopt;
                return value;
            }
            if (comment)
                continue;
            if (std::isspace(c) && !quote) {
                if (!value.empty())
                    ++spaces;
                continue;
            }
            if (!quote && (c == ';' || c == '#')) {
                comment = true;
                continue;
            }
            value.append(spaces, ' ');
            spaces = 0;
            if (c == '\\') {
                c = next();
                switch (c) {
                case '\n':
                    if (m_eof)
                        return std::nullopt;
                    continue; // a continued line
                case 't':
                    c = '\t';
                    break;
                case 'b':
                    c = '\b';
                    break;
                case 'n':
                    c = '\n';
                    break;
                case '\\':
                case '"':
                    break;
                default:
                    return std::nullopt;
                }
                value.push_back(static_cast<char>(c));
                continue;
            }
            if (c == '"') {
                quote = !quote;
                continue;
            }
            value.push_back(static_cast<char>(c));
        }
    }

    std::string_view m_text;
    std::string m_folder;
    size_t m_position = 0;
    bool m_eof = false;
    std::string m_section;
    std::string m_subsection;
    bool m_hasSubsection = false;
    std::vector<GitConfigEntry> m_entries;
};

// ---- files and their includes ----

// Decides whether an includeIf's file is read; `folder` is the including file's.
using IncludeCondition = bool (*)(const std::string &condition, const std::string &folder, const Environment &,
                                  const std::optional<GitRepository> &);

bool anyCondition(const std::string &, const std::string &, const Environment &, const std::optional<GitRepository> &)
{
    return true;
}

std::optional<std::string> includePath(const std::string &value, const std::string &folder, const Environment &environment)
{
    if (value.empty())
        return std::nullopt;
    if (value == "~" || value.rfind("~/", 0) == 0) {
        const std::string home = nonEmptyVariable(environment, "HOME");
        if (home.empty())
            return std::nullopt;
        return home + value.substr(1);
    }
    if (value.front() == '/')
        return value;
    if (folder.empty())
        return std::nullopt;
    return joined(folder, value);
}

struct FileReader {
    const Environment &environment;
    const std::optional<GitRepository> &repository;
    IncludeCondition condition;
    ReadBudget budget;

    void read(const std::string &path, int depth, std::vector<GitConfigEntry> &out)
    {
        if (depth > maxIncludeDepth)
            return;
        const auto text = readRegularFile(path, budget);
        if (!text)
            return;
        append(parseGitConfig(*text, parentOf(absolute(path))), depth, out);
    }

    void append(std::vector<GitConfigEntry> entries, int depth, std::vector<GitConfigEntry> &out)
    {
        for (GitConfigEntry &entry : entries) {
            const bool include = entry.name == "path" && entry.value &&
                                 ((entry.section == "include" && !entry.hasSubsection) ||
                                  (entry.section == "includeif" && entry.hasSubsection &&
                                   condition(entry.subsection, entry.folder, environment, repository)));
            const std::optional<std::string> target =
                include ? includePath(*entry.value, entry.folder, environment) : std::nullopt;
            out.push_back(std::move(entry));
            // What a file includes stands where the include does.
            if (target)
                read(*target, depth + 1, out);
        }
    }
};

// The includeIf conditions git evaluates for the user's own files.
bool userCondition(const std::string &condition, const std::string &folder, const Environment &environment,
                   const std::optional<GitRepository> &repository)
{
    if (!repository)
        return false;
    const auto patternFrom = [&](std::string pattern) -> std::string {
        if (pattern.rfind("~/", 0) == 0) {
            const std::string home = nonEmptyVariable(environment, "HOME");
            pattern = home.empty() ? std::string() : home + pattern.substr(1);
        } else if (pattern.rfind("./", 0) == 0) {
            pattern = joined(folder, pattern.substr(2));
        }
        if (pattern.empty())
            return pattern;
        if (pattern.front() != '/')
            pattern = "**/" + pattern;
        if (pattern.back() == '/')
            pattern += "**";
        return pattern;
    };
    for (const auto &[prefix, ignoreCase] : {std::pair{"gitdir:", false}, std::pair{"gitdir/i:", true}}) {
        const std::string kind = prefix;
        if (condition.rfind(kind, 0) != 0)
            continue;
        const std::string pattern = patternFrom(condition.substr(kind.size()));
        if (pattern.empty())
            return false;
        return gitWildcardMatch(pattern, realOrSame(repository->gitDir), ignoreCase) ||
               gitWildcardMatch(pattern, repository->gitDir, ignoreCase);
    }
    if (condition.rfind("onbranch:", 0) == 0) {
        ReadBudget budget;
        const auto head = readRegularFile(joined(repository->gitDir, "HEAD"), budget);
        const std::string ref = head ? trimmed(*head) : std::string();
        const std::string prefix = "ref: refs/heads/";
        if (ref.rfind(prefix, 0) != 0)
            return false;
        std::string pattern = condition.substr(9);
        if (!pattern.empty() && pattern.back() == '/')
            pattern += "**";
        return gitWildcardMatch(pattern, ref.substr(prefix.size()), false);
    }
    // hasconfig: and conditions git does not know are not followed.
    return false;
}

bool isGitDirectory(const std::string &folder)
{
    return exists(joined(folder, "HEAD")) && isDirectory(joined(folder, "objects")) &&
           isDirectory(joined(folder, "refs"));
}

// The folder a ".git" file names ("gitdir: <path>").
std::optional<std::string> gitFileTarget(const std::string &file)
{
    ReadBudget budget;
    const auto text = readRegularFile(file, budget);
    if (!text || text->rfind("gitdir:", 0) != 0)
        return std::nullopt;
    const std::string target = trimmed(std::string_view(*text).substr(7));
    if (target.empty())
        return std::nullopt;
    return joined(parentOf(file), target);
}

GitRepository repositoryAt(const std::string &gitDir)
{
    GitRepository repository{gitDir, gitDir};
    ReadBudget budget;
    if (const auto common = readRegularFile(joined(gitDir, "commondir"), budget)) {
        const std::string path = trimmed(*common);
        if (!path.empty())
            repository.commonDir = joined(gitDir, path);
    }
    return repository;
}

// The submodules' repositories (modules/<name>, names may hold slashes, and
// their own modules in turn).
void readModules(const std::string &folder, int depth, FileReader &reader, std::vector<GitConfigEntry> &out)
{
    if (depth > maxModuleDepth)
        return;
    DIR *dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    std::vector<std::string> names;
    while (const dirent *entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && names.size() < static_cast<size_t>(maxFiles))
            names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        const std::string path = joined(folder, name);
        struct stat info;
        if (::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
            continue;
        if (isGitDirectory(path)) {
            reader.read(joined(path, "config"), 0, out);
            readModules(joined(path, "modules"), depth + 1, reader, out);
        } else {
            readModules(path, depth + 1, reader, out);
        }
    }
}

// ---- what is neutralised ----

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

// What git would run as the editor with no core.editor: ":" (accept the
// text as it is, run nothing) where it would run none, or refuse for want of
// a terminal.
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

enum class Subsection { none, any, optional, fixed };
enum class When { always, whenSet, whenSetToCommand };

using Neutral = std::string (*)(const Environment &environment, const std::vector<GitConfigEntry> &user);

struct Rule {
    const char *section;
    Subsection subsection;
    const char *fixedSubsection; // for Subsection::fixed
    const char *name; // "*": any name
    When when;
    // The value that runs nothing: `constant`, or what `neutral` works out.
    const char *constant;
    Neutral neutral = nullptr;

    std::string neutralValue(const Environment &environment, const std::vector<GitConfigEntry> &user) const
    {
        return neutral ? neutral(environment, user) : std::string(constant);
    }
};

std::optional<std::string> lastUserValue(const std::vector<GitConfigEntry> &user, const std::string &section,
                                         bool hasSubsection, const std::string &subsection, const std::string &name)
{
    std::optional<std::string> found;
    for (const GitConfigEntry &entry : user) {
        if (entry.section == section && entry.hasSubsection == hasSubsection &&
            (!hasSubsection || entry.subsection == subsection) && entry.name == name)
            found = entry.value ? *entry.value : std::string("true");
    }
    return found;
}

// An external diff that prints what git's own would: a unified diff of the two files.
const char *const plainExternalDiff =
    "f() { [ $# -ge 7 ] || { echo \"* Unmerged path $1\"; return 0; }; "
    "diff -u --label \"a/$1\" --label \"b/$1\" -- \"$2\" \"$5\"; [ $? -le 1 ]; }; f";

const Rule rules[] = {
    // Always set: keys without a name of their own.
    {"core", Subsection::none, nullptr, "fsmonitor", When::always, "false"},
    {"core", Subsection::none, nullptr, "hookspath", When::always, "/dev/null"},
    {"core", Subsection::none, nullptr, "sshcommand", When::always, nullptr,
     [](const Environment &environment, auto &) {
         // Unset, git would run GIT_SSH, or "ssh".
         const std::string program = nonEmptyVariable(environment, "GIT_SSH");
         return program.empty() ? std::string("ssh") : shellQuoted(program);
     }},
    {"core", Subsection::none, nullptr, "pager", When::always, nullptr,
     [](const Environment &environment, auto &) {
         const std::string pager = nonEmptyVariable(environment, "PAGER");
         return pager.empty() ? std::string("less") : pager;
     }},
    {"core", Subsection::none, nullptr, "editor", When::always, nullptr,
     [](const Environment &environment, auto &) { return neutralEditor(environment); }},
    {"sequence", Subsection::none, nullptr, "editor", When::always, nullptr,
     [](const Environment &environment, const std::vector<GitConfigEntry> &user) {
         // Unset, git uses the commit editor.
         const auto editor = lastUserValue(user, "core", false, {}, "editor");
         return editor ? *editor : neutralEditor(environment);
     }},
    {"core", Subsection::none, nullptr, "askpass", When::always, nullptr,
     [](const Environment &environment, auto &) { return nonEmptyVariable(environment, "SSH_ASKPASS"); }},
    {"gpg", Subsection::none, nullptr, "program", When::always, "gpg"},
    {"gpg", Subsection::fixed, "openpgp", "program", When::always, "gpg"},
    {"gpg", Subsection::fixed, "x509", "program", When::always, "gpgsm"},
    {"gpg", Subsection::fixed, "ssh", "program", When::always, "ssh-keygen"},
    {"protocol", Subsection::fixed, "ext", "allow", When::always, "never"},
    // Set where the repository sets them.
    {"diff", Subsection::none, nullptr, "external", When::whenSet, plainExternalDiff},
    {"core", Subsection::none, nullptr, "alternaterefscommand", When::whenSet,
     "f() { git --git-dir=\"$1\" for-each-ref --format='%(objectname)'; }; f"},
    {"gpg", Subsection::fixed, "ssh", "defaultkeycommand", When::whenSet, ""},
    {"interactive", Subsection::none, nullptr, "difffilter", When::whenSet, "cat"},
    {"imap", Subsection::none, nullptr, "tunnel", When::whenSet, ""},
    {"instaweb", Subsection::none, nullptr, "httpd", When::whenSet, ""},
    {"instaweb", Subsection::none, nullptr, "browser", When::whenSet, ""},
    // An empty command is no filter: the content passes unchanged.
    {"filter", Subsection::any, nullptr, "clean", When::whenSet, ""},
    {"filter", Subsection::any, nullptr, "smudge", When::whenSet, ""},
    {"filter", Subsection::any, nullptr, "process", When::whenSet, ""},
    {"filter", Subsection::any, nullptr, "required", When::whenSet, "false"},
    {"diff", Subsection::any, nullptr, "textconv", When::whenSet, "cat"},
    {"diff", Subsection::any, nullptr, "command", When::whenSet, plainExternalDiff},
    {"merge", Subsection::any, nullptr, "driver", When::whenSet,
     "git merge-file -L ours -L base -L theirs --marker-size=%L %A %O %B"},
    {"difftool", Subsection::any, nullptr, "cmd", When::whenSet, ""},
    {"difftool", Subsection::any, nullptr, "path", When::whenSet, ""},
    {"mergetool", Subsection::any, nullptr, "cmd", When::whenSet, ""},
    {"mergetool", Subsection::any, nullptr, "path", When::whenSet, ""},
    {"browser", Subsection::any, nullptr, "cmd", When::whenSet, ""},
    {"browser", Subsection::any, nullptr, "path", When::whenSet, ""},
    {"man", Subsection::any, nullptr, "cmd", When::whenSet, ""},
    {"man", Subsection::any, nullptr, "path", When::whenSet, ""},
    {"guitool", Subsection::any, nullptr, "cmd", When::whenSet, ""},
    {"remote", Subsection::any, nullptr, "uploadpack", When::whenSet, "git-upload-pack"},
    {"remote", Subsection::any, nullptr, "receivepack", When::whenSet, "git-receive-pack"},
    {"submodule", Subsection::any, nullptr, "update", When::whenSetToCommand, "checkout"},
    {"sendemail", Subsection::optional, nullptr, "tocmd", When::whenSet, ""},
    {"sendemail", Subsection::optional, nullptr, "cccmd", When::whenSet, ""},
    {"sendemail", Subsection::optional, nullptr, "headercmd", When::whenSet, ""},
    {"sendemail", Subsection::optional, nullptr, "sendmailcmd", When::whenSet, ""},
    {"sendemail", Subsection::optional, nullptr, "smtpserver", When::whenSet, ""},
    // An alias may run a shell command ("!..."), or pass "-c" settings that
    // come after these; an empty one refuses to run.
    {"alias", Subsection::optional, nullptr, "*", When::whenSet, ""},
    {"pager", Subsection::optional, nullptr, "*", When::whenSet, "false"},
    // uploadpack.packObjectsHook is not here: git takes it only from the
    // system and global files and the command line, never from a repository.
};

bool ruleCovers(const Rule &rule, const GitConfigEntry &entry)
{
    if (entry.section != rule.section || (std::string_view(rule.name) != "*" && entry.name != rule.name))
        return false;
    switch (rule.subsection) {
    case Subsection::none:
        return !entry.hasSubsection;
    case Subsection::any:
        return entry.hasSubsection;
    case Subsection::optional:
        return true;
    case Subsection::fixed:
        return entry.hasSubsection && lowered(entry.subsection) == rule.fixedSubsection;
    }
    return false;
}

// gpg.program is the old name of gpg.openpgp.program: the user's last value of either stands for both.
std::optional<std::string> userValueFor(const std::vector<GitConfigEntry> &user, const GitConfigEntry &key)
{
    const bool openpgp = key.section == "gpg" && key.name == "program" &&
                         (!key.hasSubsection || lowered(key.subsection) == "openpgp");
    if (!openpgp)
        return lastUserValue(user, key.section, key.hasSubsection, key.subsection, key.name);
    std::optional<std::string> found;
    for (const GitConfigEntry &entry : user) {
        if (entry.section == "gpg" && entry.name == "program" &&
            (!entry.hasSubsection || lowered(entry.subsection) == "openpgp"))
            found = entry.value ? *entry.value : std::string("true");
    }
    return found;
}

bool isTruthy(const std::string &value)
{
    const std::string text = lowered(trimmed(value));
    if (text == "true" || text == "yes" || text == "on")
        return true;
    long number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    return error == std::errc() && end == text.data() + text.size() && number != 0;
}

// A "section[.subsection].name" key as git splits it: the section up to the
// first dot, the name after the last.
std::optional<GitConfigEntry> entryFromKey(const std::string &key, const std::string &value)
{
    const size_t first = key.find('.');
    const size_t last = key.rfind('.');
    if (first == std::string::npos || first == 0 || last + 1 >= key.size())
        return std::nullopt;
    GitConfigEntry entry;
    entry.section = lowered(key.substr(0, first));
    entry.name = lowered(key.substr(last + 1));
    if (last != first) {
        entry.hasSubsection = true;
        entry.subsection = key.substr(first + 1, last - first - 1);
    }
    entry.value = value;
    return entry;
}

// The command-scope entries the environment already holds; none when they do not parse.
std::vector<std::pair<std::string, std::string>> environmentSettings(const Environment &environment)
{
    const std::string *count = variable(environment, "GIT_CONFIG_COUNT");
    if (!count)
        return {};
    long number = 0;
    const auto [end, error] = std::from_chars(count->data(), count->data() + count->size(), number);
    if (error != std::errc() || end != count->data() + count->size() || number < 0 || number > 100000)
        return {};
    std::vector<std::pair<std::string, std::string>> settings;
    for (long i = 0; i < number; ++i) {
        const std::string *key = variable(environment, ("GIT_CONFIG_KEY_" + std::to_string(i)).c_str());
        const std::string *value = variable(environment, ("GIT_CONFIG_VALUE_" + std::to_string(i)).c_str());
        if (!key || !value)
            return {};
        settings.emplace_back(*key, *value);
    }
    return settings;
}

} // namespace

std::string keyOf(const GitConfigEntry &entry)
{
    return entry.hasSubsection ? entry.section + '.' + entry.subsection + '.' + entry.name
                               : entry.section + '.' + entry.name;
}

std::vector<GitConfigEntry> parseGitConfig(std::string_view text, const std::string &folder)
{
    return ConfigParser(text, folder).parse();
}

std::optional<GitRepository> findGitRepository(const std::string &folder, const Environment &environment)
{
    const std::string start = absolute(folder.empty() ? std::string(".") : folder);
    if (const std::string *gitDir = variable(environment, "GIT_DIR"); gitDir && !gitDir->empty())
        return repositoryAt(joined(start, *gitDir));
    std::string current = start;
    for (int level = 0; level < 256; ++level) {
        const std::string dotGit = joined(current, ".git");
        struct stat info;
        if (::stat(dotGit.c_str(), &info) == 0) {
            if (S_ISDIR(info.st_mode) && isGitDirectory(dotGit))
                return repositoryAt(dotGit);
            if (S_ISREG(info.st_mode)) {
                if (const auto target = gitFileTarget(dotGit))
                    return repositoryAt(*target);
            }
        }
        if (isGitDirectory(current))
            return repositoryAt(current);
        if (current == "/" || current.empty())
            break;
        current = parentOf(current);
    }
    return std::nullopt;
}

std::vector<GitConfigEntry> repositoryGitConfig(const GitRepository &repository, const Environment &environment)
{
    const std::optional<GitRepository> none;
    FileReader reader{environment, none, &anyCondition, {}};
    std::vector<GitConfigEntry> entries;
    reader.read(joined(repository.commonDir, "config"), 0, entries);
    reader.read(joined(repository.commonDir, "config.worktree"), 0, entries);
    if (repository.gitDir != repository.commonDir)
        reader.read(joined(repository.gitDir, "config.worktree"), 0, entries);
    readModules(joined(repository.commonDir, "modules"), 0, reader, entries);
    return entries;
}

std::vector<GitConfigEntry> userGitConfig(const Environment &environment, const std::optional<GitRepository> &repository)
{
    FileReader reader{environment, repository, &userCondition, {}};
    std::vector<GitConfigEntry> entries;
    const std::string *noSystem = variable(environment, "GIT_CONFIG_NOSYSTEM");
    if (!noSystem || !isTruthy(*noSystem)) {
        const std::string *system = variable(environment, "GIT_CONFIG_SYSTEM");
        reader.read(system ? *system : std::string("/etc/gitconfig"), 0, entries);
    }
    if (const std::string *global = variable(environment, "GIT_CONFIG_GLOBAL")) {
        reader.read(*global, 0, entries);
    } else {
        const std::string home = nonEmptyVariable(environment, "HOME");
        const std::string xdg = nonEmptyVariable(environment, "XDG_CONFIG_HOME");
        if (!xdg.empty())
            reader.read(xdg + "/git/config", 0, entries);
        else if (!home.empty())
            reader.read(home + "/.config/git/config", 0, entries);
        if (!home.empty())
            reader.read(home + "/.gitconfig", 0, entries);
    }
    std::vector<GitConfigEntry> commandScope;
    for (const auto &[key, value] : environmentSettings(environment)) {
        if (auto entry = entryFromKey(key, value))
            commandScope.push_back(std::move(*entry));
    }
    reader.append(std::move(commandScope), 0, entries);
    return entries;
}

GitSafety gitSafety(const std::vector<GitConfigEntry> &repository, const std::vector<GitConfigEntry> &user,
                    const Environment &environment)
{
    GitSafety safety;
    std::set<std::string> done;
    const auto set = [&](const GitConfigEntry &key, const Rule &rule) {
        const std::string name = keyOf(key);
        if (!done.insert(name).second)
            return;
        const auto own = userValueFor(user, key);
        safety.settings.emplace_back(name, own ? *own : rule.neutralValue(environment, user));
    };
    for (const Rule &rule : rules) {
        if (rule.when != When::always)
            continue;
        GitConfigEntry key;
        key.section = rule.section;
        key.name = rule.name;
        key.hasSubsection = rule.subsection == Subsection::fixed;
        if (key.hasSubsection)
            key.subsection = rule.fixedSubsection;
        set(key, rule);
    }
    // Credential helpers add up: an empty one forgets those read so far (the
    // repository's, whatever URL they were for), then the user's come back in order.
    safety.settings.emplace_back("credential.helper", std::string());
    for (const GitConfigEntry &entry : user) {
        if (entry.section == "credential" && entry.name == "helper" && entry.value)
            safety.settings.emplace_back(keyOf(entry), *entry.value);
    }
    for (const GitConfigEntry &entry : repository) {
        for (const Rule &rule : rules) {
            if (rule.when == When::always || !ruleCovers(rule, entry))
                continue;
            if (rule.when == When::whenSetToCommand && (!entry.value || entry.value->rfind('!', 0) != 0))
                continue;
            set(entry, rule);
            break;
        }
    }
    // core.gitProxy: the first matching entry wins, and command-scope ones
    // come last, so only GIT_PROXY_COMMAND can override the repository's.
    // A catch-all entry of the user's comes first and wins already.
    const bool repositoryProxy = std::any_of(repository.begin(), repository.end(), [](const GitConfigEntry &entry) {
        return entry.section == "core" && !entry.hasSubsection && entry.name == "gitproxy";
    });
    const bool userCatchAll = std::any_of(user.begin(), user.end(), [](const GitConfigEntry &entry) {
        return entry.section == "core" && !entry.hasSubsection && entry.name == "gitproxy" && entry.value &&
               entry.value->find(" for ") == std::string::npos;
    });
    if (repositoryProxy && !userCatchAll && !variable(environment, "GIT_PROXY_COMMAND"))
        safety.variables.emplace_back("GIT_PROXY_COMMAND", std::string());
    return safety;
}

std::vector<std::pair<std::string, std::string>> gitSafetyEnvironment(const std::string &folder,
                                                                      const Environment &environment)
{
    const std::optional<GitRepository> repository = findGitRepository(folder, environment);
    const std::vector<GitConfigEntry> own =
        repository ? repositoryGitConfig(*repository, environment) : std::vector<GitConfigEntry>{};
    const GitSafety safety = gitSafety(own, userGitConfig(environment, repository), environment);

    std::vector<std::pair<std::string, std::string>> variables;
    const auto existing = environmentSettings(environment);
    const size_t first = existing.size();
    variables.emplace_back("GIT_CONFIG_COUNT", std::to_string(first + safety.settings.size()));
    for (size_t i = 0; i < safety.settings.size(); ++i) {
        variables.emplace_back("GIT_CONFIG_KEY_" + std::to_string(first + i), safety.settings[i].first);
        variables.emplace_back("GIT_CONFIG_VALUE_" + std::to_string(first + i), safety.settings[i].second);
    }
    for (const auto &variable : safety.variables)
        variables.push_back(variable);
    return variables;
}

bool gitWildcardMatch(std::string_view pattern, std::string_view text, bool ignoreCase)
{
    const auto same = [ignoreCase](char a, char b) {
        return ignoreCase ? std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b))
                          : a == b;
    };
    while (!pattern.empty()) {
        const char p = pattern.front();
        if (p == '*') {
            const bool twoStars = pattern.size() > 1 && pattern[1] == '*';
            while (!pattern.empty() && pattern.front() == '*')
                pattern.remove_prefix(1);
            if (twoStars && pattern.empty())
                return true;
            if (twoStars && pattern.front() == '/') {
                // "**/": no folder, or any number of them.
                const std::string_view rest = pattern.substr(1);
                if (gitWildcardMatch(rest, text, ignoreCase))
                    return true;
                for (size_t i = 0; i < text.size(); ++i)
                    if (text[i] == '/' && gitWildcardMatch(rest, text.substr(i + 1), ignoreCase))
                        return true;
                return false;
            }
            for (size_t i = 0; i <= text.size(); ++i) {
                if (gitWildcardMatch(pattern, text.substr(i), ignoreCase))
                    return true;
                if (i < text.size() && text[i] == '/' && !twoStars)
                    break;
            }
            return false;
        }
        if (text.empty())
            return false;
        const char t = text.front();
        if (p == '?') {
            if (t == '/')
                return false;
        } else if (p == '[') {
            size_t i = 1;
            const bool negated = i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^');
            if (negated)
                ++i;
            bool matched = false;
            const size_t first = i;
            for (; i < pattern.size() && (pattern[i] != ']' || i == first); ++i) {
                if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
                    const auto c = static_cast<unsigned char>(ignoreCase ? std::tolower(static_cast<unsigned char>(t)) : t);
                    const auto low = static_cast<unsigned char>(pattern[i]);
                    const auto high = static_cast<unsigned char>(pattern[i + 2]);
                    matched |= c >= low && c <= high;
                    i += 2;
                } else {
                    matched |= same(pattern[i], t);
                }
            }
            if (i >= pattern.size())
                return false; // no closing bracket
            if (t == '/' || matched == negated)
                return false;
            pattern.remove_prefix(i);
        } else if (p == '\\' && pattern.size() > 1) {
            pattern.remove_prefix(1);
            if (!same(pattern.front(), t))
                return false;
        } else if (!same(p, t)) {
            return false;
        }
        pattern.remove_prefix(1);
        text.remove_prefix(1);
    }
    return text.empty();
}

} // namespace nerim::platform::guard
