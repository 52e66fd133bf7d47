#pragma once

// The process table as the guard sees it: which processes lie below a given
// one, and how to signal them without ever reaching a process that merely
// inherited a recycled process id. Plain C++ without Qt: the guard program
// links this and nothing else of Nerim.

#include <functional>
#include <optional>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace nerim::platform::guard {

// The fields of one /proc/<pid>/stat line that the guard needs.
struct ProcessEntry {
    pid_t pid = 0;
    pid_t parent = 0;
    pid_t group = 0;
    char state = 0;
    // Clock ticks after boot when the process started. A process id names one
    // process only together with its start time: ids are reused.
    unsigned long long startTime = 0;

    // Exited processes that are not yet reaped (zombies) cannot run any more.
    bool alive() const { return state != 'Z' && state != 'X'; }
    bool sameProcess(const ProcessEntry &other) const { return pid == other.pid && startTime == other.startTime; }
};

// Parses the text of /proc/<pid>/stat. The command name in parentheses may
// itself hold spaces and parentheses, so fields are counted after the last ")".
std::optional<ProcessEntry> parseStat(std::string_view text);

// Reads the process table. The guard reads /proc; tests give a table of their own.
class ProcessTable {
public:
    virtual ~ProcessTable() = default;
    // Every process visible now, in no particular order.
    virtual std::vector<ProcessEntry> list() const = 0;
    // The process that holds `pid` now, if any.
    virtual std::optional<ProcessEntry> read(pid_t pid) const = 0;
};

class ProcProcessTable final : public ProcessTable {
public:
    std::vector<ProcessEntry> list() const override;
    std::optional<ProcessEntry> read(pid_t pid) const override;
};

// Every live process below `root` (its children, their children and so on),
// each parent before its children.
std::vector<ProcessEntry> descendantsOf(pid_t root, const std::vector<ProcessEntry> &table);

// Delivers `signal` to the process `pid` through a handle that keeps naming
// that process, but only when `stillSame()`, asked once the handle is held,
// says the process is still the one that was found. Returns whether it was sent.
using SignalSender = std::function<bool(pid_t pid, int signal, const std::function<bool()> &stillSame)>;

// The real sender: pidfd_open, then the check, then pidfd_send_signal, so a
// process that exits between the check and the signal can never be replaced
// by an unrelated one under the same id. (Kernels without pidfds: check, then kill.)
bool sendThroughPidfd(pid_t pid, int signal, const std::function<bool()> &stillSame);

// Sends `signal` to every live descendant of `root`. Each process found in the
// table is signalled only if, right before the signal, the table still shows
// the same process (same id and start time) alive: one that exited meanwhile,
// and whatever process took over its id, is left alone. Returns how many
// processes were signalled.
int signalDescendants(pid_t root, int signal, const ProcessTable &table, const SignalSender &send);

} // namespace nerim::platform::guard
