#pragma once

#include <QString>
#include <memory>

namespace nerim {

// One Nerim writes a project's data folder at a time: the one that holds the
// lock on ".nerim/writer.lock". A second Nerim that opens the project (another
// window's process, another user, another home folder) finds it held and
// shows the project without writing into it.
//
// The lock is a `flock` on that file: the kernel drops it when the holder
// exits or is killed, so no stale lock is ever left behind, and it holds
// between users and home folders on a local disk (a user who may only read
// the file takes it all the same). On NFS the kernel carries a `flock` over
// the network as a whole-file record lock, which the server holds between
// clients while its lock service runs; there a user who may only read the
// file cannot take it, and only sees whether another holds it (then the
// project is open elsewhere). Where no lock can be taken (a file system that
// keeps none, some FUSE mounts, or that read-only case with the file free),
// the Nerim writes as before, with a log line saying so.
//
// The file names the data folder it was made in (its device and inode):
// a hard-linked copy of the project (`cp -al`) shares the file with the
// original, and a Nerim opening the copy replaces that shared file with one
// of its own instead of taking it for the original's lock.
//
// The lock is taken in the start-up load and kept until the teardown has
// flushed. A canvas that finds it held elsewhere loads read-only
// (PanesSnapshotStore::setReadOnly: the load sets nothing aside) and sets no
// persistence for the plan, model, names, draft or memory.
//
// Within one process, every canvas of a folder shares one lock.
class ProjectWriterLock {
public:
    enum class Outcome {
        held,          // this process holds the project
        heldElsewhere, // another process does: do not write
        unsupported,   // the file system keeps no locks: written as before
    };
    struct Result {
        Outcome outcome = Outcome::unsupported;
        // Held (or, unsupported, nothing): released when the last copy goes.
        std::shared_ptr<ProjectWriterLock> lock;
        // Unsupported: why, for the log.
        QString why;
    };

    // Takes the lock of the data folder `dataFolder` (which exists), without
    // waiting. Blocks on the disk: call it off the GUI thread.
    static Result acquire(const QString &dataFolder);

    ~ProjectWriterLock();
    ProjectWriterLock(const ProjectWriterLock &) = delete;
    ProjectWriterLock &operator=(const ProjectWriterLock &) = delete;

    static QString fileName() { return QStringLiteral("writer.lock"); }

private:
    ProjectWriterLock(int fd, quint64 device, quint64 inode);
    int m_fd;
    quint64 m_device;
    quint64 m_inode;
};

} // namespace nerim
