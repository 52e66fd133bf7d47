#pragma once

#include "platform/RunCgroup.h"

#include <QMutex>
#include <memory>
#include <optional>

namespace nerim::platform {

// A run's cgroup (see RunCgroup) made ahead of the start, where the caller
// prepares the run off the GUI thread: making a group writes to the cgroup
// file system and Nerim's runtime folder. Handed to the start in
// `ChildProcess::Options::preparedCgroup`; a group never taken (the run did
// not start) is removed when the last holder lets go. An agent's run and the
// exclude-file query make theirs on the worker thread that prepares them, so
// the GUI thread writes nothing to the cgroup file system when a prompt is
// sent.
class PreparedCgroup {
public:
    // Makes the group (none where groups cannot be made here). Touches the
    // disk: call it off the GUI thread.
    static std::shared_ptr<PreparedCgroup> make();
    ~PreparedCgroup();
    PreparedCgroup(const PreparedCgroup &) = delete;
    PreparedCgroup &operator=(const PreparedCgroup &) = delete;

    // The group, once; nothing after that or where none could be made.
    std::optional<RunCgroup> take();

private:
    explicit PreparedCgroup(std::optional<RunCgroup> group) : m_group(std::move(group)) {}
    QMutex m_mutex;
    std::optional<RunCgroup> m_group;
};

} // namespace nerim::platform
