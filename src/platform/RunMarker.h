#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <chrono>

namespace nerim::platform {

// The mark every process Nerim starts carries in its environment (the
// variable NERIM_RUN, inherited by everything the process starts in turn):
// which Nerim started it ("<process id>.<start time>", the pair that names a
// process for good, as ids are reused) and which run it belongs to (a number
// of that Nerim's own). It finds what a run left behind once its process
// guard is gone, without a cgroup to hold the tree:
//   - a guard killed outright while Nerim runs: Nerim ends every process
//     that carries that run's mark (see ChildProcess);
//   - Nerim killed together with its guards: the next Nerim to start ends
//     every process of the user whose mark names a Nerim that no longer runs
//     and that Nerim itself recorded. A mark alone proves nothing (any
//     program can put one in its environment); a Nerim that starts runs
//     writes itself ("<pid>.<start time>") into the owners file in its
//     private runtime folder ($XDG_RUNTIME_DIR/nerim, 0700, hidden from the
//     programs it runs), and the sweep ends only the runs of owners found
//     there. A mark naming any other owner is left alone.
// Only processes of the user Nerim runs as are looked at; each is signalled
// through a pidfd after checking it is still the process that was found.
// A guard watch that sees its guard end (killed by a signal) without having
// ended its tree and without a cgroup ends the run's marked processes on a
// pool thread and reports the tree ended once none is left. At start, `main`
// removes NERIM_RUN from its own environment first thing, so nothing Nerim
// starts outside the guard (the browser, the Settings program, the web
// engine) carries an inherited mark, and then ends, on a pool thread, what an
// earlier Nerim killed together with its guards left
// (ChildProcess::endLeftoversOfEarlierRuns). The owners folder is trusted
// only while it is a folder of this user's that no one else may enter; the
// file is written under a QLockFile through QSaveFile, and an owner is
// dropped from it once nothing of it is left.
class RunMarker {
public:
    static constexpr const char *variable = "NERIM_RUN";

    // "<pid>.<start time>" of this process.
    static const QByteArray &owner();
    // A new run's mark: owner() followed by "." and a number not used before.
    // The first call records this process in the owners file.
    static QByteArray forNewRun();

    // Writes this process into the owners file, once (later calls do nothing).
    // False when it could not be (no private runtime folder to hold it).
    static bool recordOwner();
    // The owners file: owners(), one a line; empty when there is no runtime folder.
    static QString ownersFile();
    // The owners recorded there; none when the folder is not private to this user.
    static QList<QByteArray> recordedOwners();
    // The owner part of a mark; empty when it is not one.
    static QByteArray ownerOf(const QByteArray &mark);
    // Whether the process a mark's owner part names still runs.
    static bool isOwnerRunning(const QByteArray &owner);

    // Ends every process of this user that carries `mark`: SIGTERM and
    // SIGCONT now, SIGKILL to whatever is left after `grace`, until none is
    // left or `limit` has passed. Those that became this process's children
    // (it is a subreaper, see OrphanReaper) are reaped. Returns how many
    // processes were found. Blocks: call it off the GUI thread.
    static int endRun(const QByteArray &mark, std::chrono::milliseconds grace = std::chrono::milliseconds(2000),
                      std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

    // Ends, as endRun does, the processes of this user whose mark names a
    // recorded owner that no longer runs, and then takes from the owners file
    // each such owner that has nothing left. Blocks: call it off the GUI thread.
    static int endAbandoned(std::chrono::milliseconds grace = std::chrono::milliseconds(2000),
                            std::chrono::milliseconds limit = std::chrono::milliseconds(5000));
};

} // namespace nerim::platform
