#include "platform/guard/PushContent.h"

#include "platform/guard/CapturedRun.h"
#include "platform/guard/PushPaths.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_set>

namespace nerim::platform::guard {

namespace {

constexpr size_t minimumSecretLength = 8;
constexpr size_t plainWordSecretLength = 16;
constexpr off_t maxDotEnvBytes = off_t(4) << 20;

std::string_view trimmed(std::string_view text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

// Python's and Node's readers strip these around names and values.
bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

std::string_view withoutLeadingBlanks(std::string_view text)
{
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    return text;
}

// A double-quoted value as python-dotenv reads it: \\ \' \" \a \b \f \n \r
// \t \v become what they stand for; any other backslash stays.
std::string pythonDoubleQuoted(std::string_view text)
{
    static constexpr std::string_view from = "\\'\"abfnrtv";
    static constexpr std::string_view to = "\\'\"\a\b\f\n\r\t\v";
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const size_t escape = i + 1 < text.size() && text[i] == '\\' ? from.find(text[i + 1]) : std::string_view::npos;
        if (escape == std::string_view::npos) {
            out += text[i];
            continue;
        }
        out += to[escape];
        ++i;
    }
    return out;
}

// A single-quoted value as python-dotenv reads it: \\ and \' only.
std::string pythonSingleQuoted(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '\'')) {
            out += text[++i];
            continue;
        }
        out += text[i];
    }
    return out;
}

// A double-quoted value as Node reads it: each \n a line break.
std::string nodeDoubleQuoted(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
            out += '\n';
            ++i;
            continue;
        }
        out += text[i];
    }
    return out;
}

// Where the next `quote` at or after a position is, asked at ever later
// positions: each search starts where the last one found its answer, so a
// file full of unclosed quotes is still read in one pass. `unescaped` skips
// quotes right after a backslash (python-dotenv's reading).
class QuoteFinder {
public:
    QuoteFinder(std::string_view text, char quote, bool unescaped)
        : m_text(text), m_quote(quote), m_unescaped(unescaped)
    {
    }

    size_t from(size_t position)
    {
        // What the last search found still answers when it began at or
        // before `position` and found nothing before it.
        if (m_searched && m_searchedFrom <= position && (m_found == std::string_view::npos || m_found >= position))
            return m_found;
        size_t at = position;
        for (;;) {
            at = m_text.find(m_quote, at);
            if (at == std::string_view::npos || !m_unescaped || at == 0 || m_text[at - 1] != '\\')
                break;
            ++at;
        }
        m_found = at;
        m_searchedFrom = position;
        m_searched = true;
        return at;
    }

private:
    std::string_view m_text;
    char m_quote;
    bool m_unescaped;
    size_t m_found = std::string_view::npos;
    size_t m_searchedFrom = 0;
    bool m_searched = false;
};

// The values one view of a .env text sets (see dotEnvValues). `crBreaks`:
// a carriage return ends a line too.
class DotEnvReading {
public:
    DotEnvReading(std::string_view text, bool crBreaks, const std::string &file, std::vector<SecretValue> &values,
                  std::unordered_set<std::string> &seen)
        : m_text(text), m_crBreaks(crBreaks), m_file(file), m_values(values), m_seen(seen)
    {
    }

    void read()
    {
        QuoteFinder anyQuote[3] = {{m_text, '"', false}, {m_text, '\'', false}, {m_text, '`', false}};
        QuoteFinder unescapedQuote[2] = {{m_text, '"', true}, {m_text, '\'', true}};
        size_t lastEscaped[2] = {std::string_view::npos, std::string_view::npos};
        for (int kind = 0; kind < 2; ++kind)
            for (size_t at = m_text.size(); at > 1;) {
                at = m_text.rfind(kind == 0 ? '"' : '\'', at - 1);
                if (at == std::string_view::npos || at == 0)
                    break;
                if (m_text[at - 1] == '\\') {
                    lastEscaped[kind] = at;
                    break;
                }
            }
        // Whether the last line went on with no "=": Node reads a name up to
        // the next "=", over line ends, so the line after it counts even
        // when it starts with "#".
        bool nameGoesOn = false;
        for (size_t start = 0; start < m_text.size();) {
            const size_t end = lineEnd(start);
            const std::string_view line = withoutLeadingBlanks(m_text.substr(start, end - start));
            const size_t next = afterBreak(end);
            const size_t lineStart = start;
            start = next;
            if (line.empty()) {
                nameGoesOn = false;
                continue;
            }
            if (line.front() == '#' && !nameGoesOn)
                continue;
            const size_t equals = line.find('=');
            if (equals == std::string_view::npos) {
                nameGoesOn = true;
                continue;
            }
            nameGoesOn = false;
            std::string_view name = trimmed(line.substr(0, equals));
            if (name.starts_with("export") && name.size() > 6 && isBlank(name[6]))
                name = withoutLeadingBlanks(name.substr(6));
            if (name.size() >= 2 && (name.front() == '\'' || name.front() == '"') && name.back() == name.front())
                name = name.substr(1, name.size() - 2);
            name = name.substr(0, 100);
            const size_t valueStart =
                lineStart + (end - lineStart - line.size()) + equals + 1 +
                (line.substr(equals + 1).size() - withoutLeadingBlanks(line.substr(equals + 1)).size());
            const std::string_view rest = m_text.substr(valueStart, end - valueStart);
            add(rest, name);
            const char quote = rest.empty() ? '\0' : rest.front();
            const int kind = quote == '"' ? 0 : quote == '\'' ? 1 : quote == '`' ? 2 : -1;
            if (kind < 0) {
                // Unquoted: Node ends it at the first "#", python at a "#"
                // after white space.
                add(rest.substr(0, rest.find('#')), name);
                for (size_t hash = rest.find('#'); hash != std::string_view::npos; hash = rest.find('#', hash + 1))
                    if (hash > 0 && (isBlank(rest[hash - 1]))) {
                        add(rest.substr(0, hash), name);
                        break;
                    }
                continue;
            }
            const size_t open = valueStart + 1;
            quoted(anyQuote[kind].from(open), open, quote, name);
            if (kind < 2) {
                // Python's pattern, with no bare quote left, backs off to
                // the last quote after a backslash.
                const size_t bare = unescapedQuote[kind].from(open);
                quoted(bare != std::string_view::npos || lastEscaped[kind] < open ? bare : lastEscaped[kind], open,
                       quote, name);
            }
        }
        readSpannedLines();
    }

private:
    static constexpr size_t maxWholeValue = size_t(256) << 10;

    size_t lineEnd(size_t from) const
    {
        const size_t end = m_text.find_first_of(m_crBreaks ? std::string_view("\r\n") : std::string_view("\n"), from);
        return end == std::string_view::npos ? m_text.size() : end;
    }

    size_t afterBreak(size_t end) const
    {
        if (end >= m_text.size())
            return m_text.size();
        return m_text[end] == '\r' && end + 1 < m_text.size() && m_text[end + 1] == '\n' ? end + 2 : end + 1;
    }

    void add(std::string_view value, std::string_view name) { add(std::string(trimmed(value)), name); }

    void add(std::string value, std::string_view name)
    {
        const std::string_view bare = trimmed(value);
        if (bare.size() != value.size())
            value = std::string(bare);
        if (!countsAsSecret(value) || !m_seen.insert(value).second)
            return;
        m_values.push_back(SecretValue{std::move(value), std::string(name) + " in " + m_file});
    }

    // A quoted value from `open` to its closing quote at `close`, in each
    // reader's decoding; one over several lines is also read line by line.
    void quoted(size_t close, size_t open, char quote, std::string_view name)
    {
        if (close == std::string_view::npos)
            return;
        const std::string_view inner = m_text.substr(open, close - open);
        if (inner.size() <= maxWholeValue) {
            add(inner, name);
            if (quote == '"') {
                add(pythonDoubleQuoted(inner), name);
                add(nodeDoubleQuoted(inner), name);
            } else if (quote == '\'') {
                add(pythonSingleQuoted(inner), name);
            }
        }
        if (lineEnd(open) < close)
            m_spans.push_back({open, close, std::string(name)});
    }

    // Each line of every value over several lines: its first and last
    // lines' parts inside the quotes, and the whole lines between, each read
    // once however many values span it.
    void readSpannedLines()
    {
        std::sort(m_spans.begin(), m_spans.end(), [](const Span &a, const Span &b) { return a.open < b.open; });
        size_t readUpTo = 0;
        for (const Span &span : m_spans) {
            const size_t firstEnd = lineEnd(span.open);
            add(m_text.substr(span.open, firstEnd - span.open), span.name);
            const size_t lastBreak =
                m_text.find_last_of(m_crBreaks ? std::string_view("\r\n") : std::string_view("\n"), span.close - 1);
            const size_t lastStart = lastBreak + 1;
            add(m_text.substr(lastStart, span.close - lastStart), span.name);
            for (size_t start = std::max(afterBreak(firstEnd), readUpTo); start < lastStart;) {
                const size_t end = lineEnd(start);
                add(m_text.substr(start, end - start), span.name);
                start = afterBreak(end);
                readUpTo = start;
            }
        }
    }

    struct Span {
        size_t open;
        size_t close;
        std::string name;
    };

    std::string_view m_text;
    bool m_crBreaks;
    const std::string &m_file;
    std::vector<SecretValue> &m_values;
    std::unordered_set<std::string> &m_seen;
    std::vector<Span> m_spans;
};

const std::string *variable(const Environment &environment, const char *name)
{
    const auto it = environment.find(name);
    return it == environment.end() ? nullptr : &it->second;
}

std::string firstLine(const std::string &text)
{
    return text.substr(0, text.find('\n'));
}

// Reads the .env file at `path` (a link is read where it leads); false with
// `why` set when it cannot be.
bool readDotEnv(const std::string &path, const std::string &shown, std::vector<SecretValue> &values,
                std::unordered_set<std::string> &seen, std::string &why)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        // A link that leads nowhere holds nothing; a file this user may not
        // read, the run may not read either.
        if (errno == ENOENT || errno == EACCES || errno == EPERM)
            return true;
        why = shown + " could not be read (" + std::strerror(errno) + ")";
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return true; // a folder, pipe or device: git commits none of them
    }
    if (info.st_size > maxDotEnvBytes) {
        close(fd);
        why = shown + " is larger than 4 MiB";
        return false;
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got == 0)
            break;
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 || text.size() + size_t(got) > size_t(maxDotEnvBytes)) {
            close(fd);
            why = shown + " could not be read";
            return false;
        }
        text.append(buffer, size_t(got));
    }
    close(fd);
    // Each value once, however many files hold it (the first names it).
    for (SecretValue &value : dotEnvValues(text, shown))
        if (seen.insert(value.value).second)
            values.push_back(std::move(value));
    return true;
}

} // namespace

bool countsAsSecret(std::string_view value)
{
    if (value.size() < minimumSecretLength)
        return false;
    const bool plainWord = std::all_of(value.begin(), value.end(), [](char c) { return c >= 'a' && c <= 'z'; });
    return !(plainWord && value.size() < plainWordSecretLength);
}

std::vector<SecretValue> dotEnvValues(std::string_view text, const std::string &file)
{
    std::vector<SecretValue> values;
    std::unordered_set<std::string> seen;
    // The file as it is, with every line end (LF, CRLF, lone CR) ending a
    // line; as python-dotenv sees it (read in text mode, each CRLF and lone
    // CR a LF); and as Node sees it (every CR dropped).
    DotEnvReading(text, true, file, values, seen).read();
    if (text.find('\r') != std::string_view::npos) {
        std::string python;
        python.reserve(text.size());
        std::string node;
        node.reserve(text.size());
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] != '\r') {
                python += text[i];
                node += text[i];
            } else if (i + 1 >= text.size() || text[i + 1] != '\n') {
                python += '\n';
            }
        }
        DotEnvReading(python, false, file, values, seen).read();
        DotEnvReading(node, false, file, values, seen).read();
    }
    return values;
}

std::optional<std::vector<SecretValue>> pushSecretValues(const Environment &environment, std::string &why)
{
    std::vector<SecretValue> values;
    std::unordered_set<std::string> seen;
    const std::string *projectValue = variable(environment, projectVariable);
    if (!projectValue || projectValue->empty()) {
        why = "the project folder is not known";
        return std::nullopt;
    }
    const std::string *names = variable(environment, secretNamesVariable);
    if (!names) {
        why = "the deploy's own values are not known";
        return std::nullopt;
    }
    for (size_t start = 0; start <= names->size();) {
        size_t end = names->find(',', start);
        if (end == std::string::npos)
            end = names->size();
        const std::string name = names->substr(start, end - start);
        start = end + 1;
        if (name.empty())
            continue;
        const std::string *value = variable(environment, name.c_str());
        if (!value) {
            why = "the deploy's " + name + " is not in its environment";
            return std::nullopt;
        }
        if (countsAsSecret(*value)) {
            if (seen.insert(*value).second)
                values.push_back(SecretValue{*value, "the deploy's " + name});
        }
    }

    // The project's .env files, at any depth.
    std::vector<std::pair<std::string, std::string>> folders{{*projectValue, std::string()}};
    while (!folders.empty()) {
        const auto [folder, shownFolder] = folders.back();
        folders.pop_back();
        DIR *directory = opendir(folder.c_str());
        if (!directory && (errno == EACCES || errno == EPERM || errno == ENOENT) && !shownFolder.empty())
            continue; // a folder this user may not list (a container's data), or gone: the run cannot read it either
        if (!directory) {
            why = (shownFolder.empty() ? std::string("the project folder") : shownFolder) + " could not be listed";
            return std::nullopt;
        }
        while (const dirent *entry = readdir(directory)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            const std::string path = folder + "/" + name;
            const std::string shown = shownFolder.empty() ? name : shownFolder + "/" + name;
            struct stat info {};
            if (lstat(path.c_str(), &info) != 0)
                continue; // gone meanwhile
            if (S_ISDIR(info.st_mode)) {
                // Git's own folder, and installed packages, are not the project's .env files.
                if (name != ".git" && name != "node_modules")
                    folders.emplace_back(path, shown);
                continue;
            }
            if ((S_ISREG(info.st_mode) || S_ISLNK(info.st_mode)) && isLocalDotEnvName(name) &&
                !readDotEnv(path, shown, values, seen, why)) {
                closedir(directory);
                return std::nullopt;
            }
        }
        closedir(directory);
    }
    return values;
}

std::optional<std::string> pushContentRefusal(const std::string &realGit, const GitInvocation &invocation,
                                              const Environment &environment, const std::vector<SecretValue> &values,
                                              const PushRange &range)
{
    if (values.empty())
        return std::nullopt;
    const auto command = [&invocation](std::initializer_list<const char *> words) {
        std::vector<std::string> arguments{"git", "--no-pager"};
        arguments.insert(arguments.end(), invocation.queryOptions.begin(), invocation.queryOptions.end());
        for (const char *word : words)
            arguments.emplace_back(word);
        return arguments;
    };
    const std::vector<std::string> lines = environmentLines(environment);

    // The objects the push sends that its targets do not already have:
    // commits (their messages), trees (file names), blobs, tags.
    const CapturedRun objects = runCapturedWithInput(
        realGit, command({"rev-list", "--objects", "--no-object-names", "--ignore-missing", "--stdin"}), lines, 120000,
        size_t(256) << 20, range.revisionInput());
    if (!objects.started || objects.timedOut || objects.tooLarge || !WIFEXITED(objects.status) ||
        WEXITSTATUS(objects.status) != 0)
        return std::string("what it would push could not be checked for secret values") +
               (objects.errorOutput.empty() ? std::string() : " (" + firstLine(objects.errorOutput) + ")");
    if (objects.output.empty())
        return std::nullopt;

    // Their content, as git prints it, searched while it streams (a value
    // may span two pieces, so the end of each piece is kept for the next).
    const int input = memfd_create("nerim-push-objects", MFD_CLOEXEC);
    if (input < 0 || write(input, objects.output.data(), objects.output.size()) != ssize_t(objects.output.size()) ||
        lseek(input, 0, SEEK_SET) != 0) {
        if (input >= 0)
            close(input);
        return std::string("what it would push could not be checked for secret values");
    }
    size_t longest = 0;
    for (const SecretValue &value : values)
        longest = std::max(longest, value.value.size());
    std::string window;
    const SecretValue *found = nullptr;
    const CapturedRun content =
        runStreaming(realGit, command({"cat-file", "--batch"}), lines, 300000, input, [&](std::string_view piece) {
            window.append(piece);
            for (const SecretValue &value : values)
                if (memmem(window.data(), window.size(), value.value.data(), value.value.size())) {
                    found = &value;
                    return false;
                }
            if (window.size() >= longest)
                window.erase(0, window.size() - (longest - 1));
            return true;
        });
    close(input);
    if (found)
        return "a commit it would push holds the value of " + found->origin + ", which must stay on this computer";
    if (!content.started || content.timedOut || content.tooLarge || !WIFEXITED(content.status) ||
        WEXITSTATUS(content.status) != 0)
        return std::string("what it would push could not be checked for secret values") +
               (content.errorOutput.empty() ? std::string() : " (" + firstLine(content.errorOutput) + ")");
    return std::nullopt;
}

} // namespace nerim::platform::guard
