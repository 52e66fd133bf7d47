#pragma once

#include <QString>
#include <optional>

namespace nerim::platform {

// A control group (cgroup v2) of its own for one process tree Nerim runs: the
// line of defence that holds when the process guard itself is killed outright
// (SIGKILL: the OOM killer, `pkill -9 nerim`, which matches the guard too) and
// the program's tree does not live in a PID namespace of its own.
//
// The group is made below Nerim's own cgroup, where Nerim may write: as root,
// and in a desktop session whose manager delegates the user's cgroups. The
// guard moves itself into it before it starts the program, so the whole tree,
// whatever detaches, is in it; a process cannot leave it without write access
// to another group. Once the guard has gone, Nerim kills what is left in the
// group at once (`cgroup.kill`) and removes it. Each group is noted in a file
// in Nerim's runtime folder while it exists, so a Nerim started after one that
// was itself killed together with its guards ends what they left.
//
// Where cgroups cannot be written (no cgroup v2, a kernel without
// `cgroup.kill`, a session that delegates nothing) there is no group, and the
// guard's subreaper alone keeps the tree together.
//
// A group is named `nerim-run-<uuid>` and handed to the guard with --cgroup;
// on its way out (the tree ended) the guard moves back up and removes it.
// When Nerim sees its guard gone while the group still holds processes, it
// writes `cgroup.kill` and reports the tree ended only once the group is
// empty. The note is `$XDG_RUNTIME_DIR/nerim-cgroups/<name>` (the group's
// path, and the owning Nerim's id and start time), written under another
// name and renamed; `endAbandoned` runs on a pool thread and drops notes that
// name anything but a `nerim-run-` group in the cgroup file system. This is
// the second line of defence for agents, which keep the system's process
// view; a development server also has its PID namespace.
class RunCgroup {
public:
    // A new, empty group, noted in the runtime folder; none where cgroups cannot be written here.
    static std::optional<RunCgroup> create();

    // Whether groups can be made here (a group is made and removed to find out).
    static bool isAvailable();

    // The group's folder in the cgroup file system.
    const QString &path() const { return m_path; }

    // Whether some process is in the group (or below it).
    bool isPopulated() const;
    // Kills every process in the group at once.
    void killAll() const;
    // Removes the group and its note; false while processes are still in it.
    bool remove() const;

    // Kills and removes the groups whose Nerim no longer runs (a note whose
    // Nerim, same process id and start time, is alive is left alone). Returns
    // how many groups were ended. Called once by the first child process a
    // Nerim starts.
    static int endAbandoned();

    // The folder where the groups are noted.
    static QString notesFolder();

private:
    explicit RunCgroup(QString path, QString note) : m_path(std::move(path)), m_note(std::move(note)) {}

    QString m_path;
    QString m_note;
};

} // namespace nerim::platform
