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

bool isName(std::string_view name)
{
    if (name.empty() || std::isdigit(static_cast<unsigned char>(name.front())))
        return false;
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
}

// Where a quoted value that starts right after its opening `quote` ends; in
// double quotes a backslash keeps the next character.
size_t closingQuote(std::string_view text, char quote)
{
    for (size_t i = 0; i < text.size(); ++i) {
        if (quote == '"' && text[i] == '\\') {
            ++i;
            continue;
        }
        if (text[i] == quote)
            return i;
    }
    return std::string_view::npos;
}

std::string unescaped(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char next = text[++i];
        out += next == 'n' ? '\n' : next == 'r' ? '\r' : next == 't' ? '\t' : next;
    }
    return out;
}

const std::string *variable(const Environment &environment, const char *name)
{
    const auto it = environment.find(name);
    return it == environment.end() ? nullptr : &it->second;
}

std::string firstLine(const std::string &text) { return text.substr(0, text.find('\n')); }

// Reads the .env file at `path` (a link is read where it leads); false with
// `why` set when it cannot be.
bool readDotEnv(const std::string &path, const std::string &shown, std::vector<SecretValue> &values, std::string &why)
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
    for (SecretValue &value : dotEnvValues(text, shown))
        if (std::find(values.begin(), values.end(), value) == values.end())
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
    std::vector<std::string_view> lines;
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        start = end + 1;
    }

    std::vector<SecretValue> values;
    const auto add = [&values, &file](std::string_view value, std::string_view name) {
        value = trimmed(value);
        if (!countsAsSecret(value))
            return;
        SecretValue secret{std::string(value), std::string(name) + " in " + file};
        if (std::find(values.begin(), values.end(), secret) == values.end())
            values.push_back(std::move(secret));
    };
    // Every line that reads as an assignment counts, also one inside a value
    // over several lines: reading more than a reader would is what keeps the
    // check on the safe side.
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string_view line = trimmed(lines[i]);
        if (line.empty() || line.front() == '#')
            continue;
        if (line.substr(0, 7) == "export " || line.substr(0, 7) == "export\t")
            line = trimmed(line.substr(7));
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos)
            continue;
        const std::string_view name = trimmed(line.substr(0, equals));
        if (!isName(name))
            continue;
        const std::string_view rest = trimmed(line.substr(equals + 1));
        add(rest, name);
        if (!rest.empty() && (rest.front() == '"' || rest.front() == '\'' || rest.front() == '`')) {
            const char quote = rest.front();
            std::string value;
            std::vector<std::string_view> parts;
            std::string_view current = rest.substr(1);
            for (size_t next = i;;) {
                const size_t close = closingQuote(current, quote);
                parts.push_back(current.substr(0, close));
                value += current.substr(0, close);
                if (close != std::string_view::npos || ++next >= lines.size())
                    break;
                value += '\n';
                current = lines[next];
            }
            add(value, name);
            if (quote == '"')
                add(unescaped(value), name);
            if (parts.size() > 1)
                for (std::string_view part : parts)
                    add(part, name);
        } else {
            const size_t comment = std::min(rest.find(" #"), rest.find("\t#"));
            if (comment != std::string_view::npos)
                add(rest.substr(0, comment), name);
        }
    }
    return values;
}

std::optional<std::vector<SecretValue>> pushSecretValues(const Environment &environment, std::string &why)
{
    std::vector<SecretValue> values;
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
            SecretValue secret{*value, "the deploy's " + name};
            if (std::find(values.begin(), values.end(), secret) == values.end())
                values.push_back(std::move(secret));
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
                !readDotEnv(path, shown, values, why)) {
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
    const CapturedRun objects =
        runCapturedWithInput(realGit, command({"rev-list", "--objects", "--no-object-names", "--ignore-missing", "--stdin"}),
                             lines, 120000, size_t(256) << 20, range.revisionInput());
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
    const CapturedRun content = runStreaming(
        realGit, command({"cat-file", "--batch"}), lines, 300000, input, [&](std::string_view piece) {
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
