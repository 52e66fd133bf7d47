#include "platform/guard/ProcessTree.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <string>
// glibc 2.36's header lacks the C linkage block.
extern "C" {
#include <sys/pidfd.h>
}
#include <unistd.h>
#include <unordered_map>

namespace nerim::platform::guard {

namespace {

template <typename T>
bool parseNumber(std::string_view text, T &out)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc() && end == text.data() + text.size();
}

std::optional<std::string> readSmallFile(const char *path)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string text;
    char buffer[1024];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<size_t>(n));
            if (text.size() > 64 * 1024)
                break; // a stat line is far shorter; never read without bound
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    ::close(fd);
    return text;
}

} // namespace

std::optional<ProcessEntry> parseStat(std::string_view text)
{
    const size_t open = text.find('(');
    const size_t close = text.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        return std::nullopt;
    ProcessEntry entry;
    std::string_view pidText = text.substr(0, open);
    while (!pidText.empty() && pidText.back() == ' ')
        pidText.remove_suffix(1);
    if (!parseNumber(pidText, entry.pid) || entry.pid <= 0)
        return std::nullopt;

    // After the name: state, ppid, pgrp, then 16 more fields up to starttime.
    std::vector<std::string_view> fields;
    std::string_view rest = text.substr(close + 1);
    while (fields.size() < 20) {
        const size_t start = rest.find_first_not_of(" \n");
        if (start == std::string_view::npos)
            break;
        rest.remove_prefix(start);
        const size_t end = rest.find_first_of(" \n");
        fields.push_back(rest.substr(0, end));
        if (end == std::string_view::npos)
            break;
        rest.remove_prefix(end);
    }
    if (fields.size() < 20 || fields[0].size() != 1)
        return std::nullopt;
    entry.state = fields[0][0];
    if (!parseNumber(fields[1], entry.parent) || !parseNumber(fields[2], entry.group) ||
        !parseNumber(fields[19], entry.startTime))
        return std::nullopt;
    return entry;
}

std::vector<ProcessEntry> ProcProcessTable::list() const
{
    std::vector<ProcessEntry> entries;
    DIR *dir = ::opendir("/proc");
    if (!dir)
        return entries;
    while (const dirent *item = ::readdir(dir)) {
        pid_t pid = 0;
        if (!parseNumber(std::string_view(item->d_name), pid) || pid <= 0)
            continue;
        if (auto entry = read(pid))
            entries.push_back(*entry);
    }
    ::closedir(dir);
    return entries;
}

std::optional<ProcessEntry> ProcProcessTable::read(pid_t pid) const
{
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    const std::optional<std::string> text = readSmallFile(path.c_str());
    if (!text)
        return std::nullopt;
    std::optional<ProcessEntry> entry = parseStat(*text);
    if (entry && entry->pid != pid)
        return std::nullopt;
    return entry;
}

std::vector<ProcessEntry> descendantsOf(pid_t root, const std::vector<ProcessEntry> &table)
{
    std::unordered_multimap<pid_t, const ProcessEntry *> children;
    for (const ProcessEntry &entry : table) {
        if (entry.pid != root)
            children.emplace(entry.parent, &entry);
    }
    std::vector<ProcessEntry> found;
    std::vector<pid_t> parents{root};
    // Breadth first; a process id appears at most once in one reading of the
    // table, so the walk ends even if that reading is inconsistent.
    for (size_t next = 0; next < parents.size() && parents.size() <= table.size() + 1; ++next) {
        const auto [first, last] = children.equal_range(parents[next]);
        for (auto it = first; it != last; ++it) {
            parents.push_back(it->second->pid);
            if (it->second->alive())
                found.push_back(*it->second);
        }
    }
    return found;
}

bool sendThroughPidfd(pid_t pid, int signal, const std::function<bool()> &stillSame)
{
    const int handle = ::pidfd_open(pid, 0);
    if (handle < 0) {
        if (errno != ENOSYS)
            return false; // gone already
        return stillSame() && ::kill(pid, signal) == 0;
    }
    const bool sent = stillSame() && ::pidfd_send_signal(handle, signal, nullptr, 0) == 0;
    ::close(handle);
    return sent;
}

int signalDescendants(pid_t root, int signal, const ProcessTable &table, const SignalSender &send)
{
    int signalled = 0;
    for (const ProcessEntry &found : descendantsOf(root, table.list())) {
        // A process never leaves the tree below a subreaper while it lives, so
        // "still the same live process" is all that needs checking.
        const auto stillSame = [&] {
            const std::optional<ProcessEntry> now = table.read(found.pid);
            return now && now->sameProcess(found) && now->alive();
        };
        if (send(found.pid, signal, stillSame))
            ++signalled;
    }
    return signalled;
}

} // namespace nerim::platform::guard
