#pragma once

#include "foundation/BeneathFolder.h"
#include "persistence/AtomicFileWriter.h"

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QSet>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>

namespace nerim {

// The one door to a project's data folder `.nerim`. It is opened once,
// beneath the project without following a link, and holds the project's
// writer lock: one Nerim writes a project at a time. Every file Nerim writes
// or sets aside in `.nerim` (plan and its conversation, model choice, agent
// names, prompt draft, project memory, step records, histories, deploy
// config, launch override) and the Repair agent's `.env` write go through
// it; a door whose Nerim does not hold the lock writes nothing.
//
// The lock is a `flock` on the `.nerim` folder itself: no file name can lose
// it (deleting or replacing a file inside changes nothing), the kernel drops
// it when the holder exits or is killed, and it holds between users and home
// folders on a local disk. On NFS the kernel turns a `flock` into a record
// lock, which needs a file open for writing: there the lock is taken on
// `.nerim/writer.lock` instead, a random id is written into it, and before
// every write the door checks that the file it locked is still the one at
// that name; once it is not, the door stops writing and says so. Before every
// write the door also checks that the folder it locked is still the project's
// `.nerim`. Where no lock can be taken at all (a file system that keeps none)
// the door writes, with a log line saying so.
//
// A `.nerim` that is not a real folder is set aside and a new one made
// (IntentProcessorConstants::projectDotfolder), and a `writer.lock` that is
// not a regular file is set aside before the lock is taken: the project
// always opens, with one writer.
//
// The lock is let go when the last owner of the door lets go of it: the
// canvas, and every write queued anywhere (the serial writers, the launcher's
// thread, the memory actor), which each keep the door until they have ended.
// Within one process every opener of a folder shares one door.
//
// Saves (`save`) run on the shared serial writer; one that fails is retried
// after 1 s, doubling to 30 s, until it works or a newer save of the same
// file replaces it; the listener hears the first failure of each kind of data
// and, again, when it works. A write refused because this Nerim is not the
// writer is told once per kind of data.
class ProjectDataFolder : public std::enable_shared_from_this<ProjectDataFolder> {
public:
    // The kinds of data, each told to the user once.
    enum class Kind {
        planConversation,
        planFiles,
        modelChoice,
        agentNames,
        draft,
        memory,
        stepRecord,
        history,
        deployConfig,
        launchOverride,
        dotEnv,
        panes,
    };
    enum class Access {
        writer,   // this Nerim holds the lock
        readOnly, // another Nerim does: nothing is written
        unlocked, // the file system keeps no locks: written as before
    };

    // What the listener hears, on whichever thread the write ran.
    struct Event {
        enum class Type {
            failing,    // the first failure of this kind; retried from now on
            saved,      // a kind that failed is saved again
            notWritten, // refused: this Nerim does not write the project
            lockLost,   // the lock file was replaced (NFS): nothing more is written
        };
        Type type;
        Kind kind;
        QString reason;
    };

    // A write refused because this door cannot write.
    class NotWriter : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    struct Opened {
        std::shared_ptr<ProjectDataFolder> folder;
        // Set when something in the way (a `.nerim` that was no folder, an
        // odd lock file) was set aside: the sentence that tells the user.
        QString notice;
    };

    // Opens the door of the project folder `projectPath` (which exists),
    // making `.nerim` when missing, and takes the lock without waiting; the
    // door another opener of this process holds is shared. Blocks on the
    // disk: call it off the GUI thread. Throws std::runtime_error when the
    // project or its data folder cannot be opened.
    static Opened open(const QString &projectPath);
    // The door open in this process for the data folder `dataFolderPath` (a
    // project's `.nerim`, by the path the project was opened with), when one
    // is; nothing otherwise. Opens nothing and touches no disk: writers that
    // know a file only by its path (the panes store) reach `.nerim` through
    // the door this way. A door that cannot write is never shared, so it is
    // never found.
    static std::shared_ptr<ProjectDataFolder> openDoorOf(const QString &dataFolderPath);

    ~ProjectDataFolder();
    ProjectDataFolder(const ProjectDataFolder &) = delete;
    ProjectDataFolder &operator=(const ProjectDataFolder &) = delete;

    Access access() const { return m_access; }
    // Whether a write would be made now: the lock is this Nerim's and has not
    // been lost.
    bool canWrite() const;
    const QString &projectPath() const { return m_projectPath; }
    QString path() const { return m_data.path(); }
    QString filePath(const QString &name) const { return m_data.filePath(name); }
    // The open `.nerim`, for reading.
    const BeneathFolder &folder() const { return m_data; }

    // Throws NotWriter (and tells the listener once for `kind`) unless a
    // write may be made now.
    void checkWritable(Kind kind) const;

    // The crash-safe writes of AtomicFileWriter, within `.nerim` (or its
    // subfolder `within`). Throw NotWriter or MemoryError.
    void write(Kind kind, const QString &name, const QByteArray &bytes, const QString &backupName,
               AtomicFileWriter::WriteOptions options = {}) const;
    void replace(Kind kind, const QString &name, const QByteArray &bytes,
                 AtomicFileWriter::WriteOptions options = {}) const;
    void writeWithin(Kind kind, const BeneathFolder &within, const QString &name, const QByteArray &bytes,
                     const QString &backupName) const;
    // Removes the file `name` (whatever is at the name, never what a link
    // there leads to); a missing file is fine. Throws NotWriter or
    // MemoryError.
    void remove(Kind kind, const QString &name) const;
    // Sets the file `name` aside under a fresh name, never replacing one.
    // Returns the new name, or nothing (errno set) when it stays where it is.
    // Throws NotWriter.
    std::optional<QString> setAside(Kind kind, const QString &name, QStringView tag) const;

    // Queues `job` (a write through this door) on the shared serial writer
    // under the file `name`: the newest save of a file wins, and the door is
    // kept (so is the lock) until it has run. A job that throws NotWriter is
    // dropped (told once); any other failure is retried.
    void save(Kind kind, const QString &name, std::function<void(const ProjectDataFolder &)> job);

    // Who hears of failures, recoveries and refusals (set it before saving).
    void setListener(std::function<void(const Event &)> listener);
    // Stops retrying: the saves still failing are dropped, each with a log
    // line. Called when the project closes.
    void endRetries();
    // The kinds whose saves are failing now.
    QList<Kind> failingKinds() const;
    // Why a save is failing now (the newest failure's reason; empty when none is).
    QString failureReason() const;
    // Tries every failing save again now instead of at its next retry.
    void retryNow();

    // "the plan conversation", "the model choice"…: what the user is told.
    static QString describe(Kind kind);
    static QString lockFileName() { return QStringLiteral("writer.lock"); }

private:
    struct Failing {
        Kind kind;
        std::function<void(const ProjectDataFolder &)> job;
        std::chrono::milliseconds delay;
        quint64 generation;
        QString why;
    };

    ProjectDataFolder(QString projectPath, BeneathFolder project, BeneathFolder data);
    void tell(const Event &event) const;
    void runSave(Kind kind, const QString &name, const std::function<void(const ProjectDataFolder &)> &job,
                 quint64 generation);
    void retry(const QString &name, quint64 generation);
    bool lockStillHeld() const;
    bool folderStillInPlace() const;

    QString m_projectPath;
    BeneathFolder m_project;
    BeneathFolder m_data;
    Access m_access = Access::unlocked;
    int m_lockFileFd = -1; // the lock file's, when the lock is on it (NFS)
    quint64 m_device = 0;  // the `.nerim` folder's identity
    quint64 m_inode = 0;

    mutable QMutex m_mutex;
    mutable bool m_lost = false;
    mutable QSet<int> m_toldNotWritten;
    std::function<void(const Event &)> m_listener;
    QHash<QString, quint64> m_generations;
    QHash<QString, Failing> m_failing;
    QSet<int> m_toldFailing;
    bool m_retriesEnded = false;

    friend struct ProjectDataFolderAccess;
};

namespace detail {
// The first retry delay and its cap (1 s and 30 s); tests shorten them.
void setDataFolderRetryDelays(std::chrono::milliseconds first, std::chrono::milliseconds cap);
// Makes the next opens take the lock as on NFS (on the lock file, checked
// before every write), for tests.
void lockDataFolderWithFile(bool use);
// Called before each write through a door (with its kind and file name),
// on the writer's thread and outside every lock; tests hold a write back
// with it. Set it while no write runs; nothing removes it.
void setDataFolderWriteHook(std::function<void(ProjectDataFolder::Kind kind, const QString &name)> hook);
// Whether the opens of this process share one door per folder (true by
// default); tests turn it off to open a door as another process would.
void shareDataFolderDoors(bool share);
} // namespace detail

} // namespace nerim
