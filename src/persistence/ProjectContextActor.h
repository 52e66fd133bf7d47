#pragma once

#include "foundation/SerialExecutor.h"
#include "persistence/ContextLog.h"
#include "persistence/ProjectMetadata.h"

#include <QFuture>
#include <QString>
#include <memory>

namespace nerim {

class ProjectDataFolder;

// The one owner of a project's memory: the activity log (context.json with its
// backup context.json.bak) and the identity record (metadata.json), both in the
// project data folder ".nerim". Every operation runs on the owner's own serial
// executor and is awaited from the GUI thread; an append changes the log and
// saves it in one step, so appends from several panes never interleave. When a
// save fails the entry stays in memory and the error (MemoryError) reaches the
// caller; the next successful save writes it.
class ProjectContextActor {
public:
    // Opens the project's memory off the calling thread: creates the data folder
    // (moving a legacy one into place), reads or makes metadata.json, reads
    // context.json (falling back to its backup, with a log line) or starts a new
    // log, writes metadata.json and records a `projectOpened` entry. Throws
    // MemoryError: projectDirectoryMissing, projectDotfolderUnavailable,
    // schemaVersionMismatch, entriesNotChronological, bothPrimaryAndBackupUnreadable,
    // readFailed (metadata.json cannot be read), or a write error.
    // Every write goes through the project's data folder door `door` (the
    // one the canvas holds; one is opened, and kept, when none is given).
    // A given door is not kept: each operation holds it from when it is
    // asked for until it has ended, so the writer lock outlasts every write
    // asked for, and once its owner has let go of it nothing more is written
    // (the operation fails with writeFailed).
    static QFuture<std::shared_ptr<ProjectContextActor>> open(const QString &projectPath, const QString &appVersion,
                                                              Timestamp now,
                                                              std::shared_ptr<ProjectDataFolder> door = nullptr);

    ~ProjectContextActor();
    ProjectContextActor(const ProjectContextActor &) = delete;
    ProjectContextActor &operator=(const ProjectContextActor &) = delete;

    const QString &projectURL() const { return m_projectURL; }
    const QString &contextURL() const { return m_contextURL; }
    const QString &backupURL() const { return m_backupURL; }
    const QString &metadataURL() const { return m_metadataURL; }

    // Appends one entry (fresh id) and saves the log; returns the entry. The
    // entry is stamped max(time, newest entry's time), so the log stays in
    // order when the clock is stepped back.
    QFuture<ContextEntry> append(const ContextEntry::Payload &payload, Timestamp time);
    // Appends an entry the caller made (same ordering rule) and saves the log;
    // returns the entry as stored.
    QFuture<ContextEntry> appendEntry(const ContextEntry &entry);

    QFuture<void> save();
    QFuture<void> saveMetadata();

    // Copies of the log and the metadata.
    QFuture<ContextLog> log();
    QFuture<ProjectMetadata> metadata();
    // The newest `count` entries in log order (none when count < 1).
    QFuture<QList<ContextEntry>> recentEntries(qsizetype count);
    // The summary text of the newest `limit` entries (recentActivitySummary).
    QFuture<QString> recentActivitySummary(qsizetype limit);

private:
    ProjectContextActor(QString projectURL, QString dataFolder, ContextLog log, ProjectMetadata metadata,
                        std::shared_ptr<ProjectDataFolder> door, bool ownDoor);

    static std::shared_ptr<ProjectContextActor> openNow(const QString &projectPath, const QString &appVersion,
                                                        Timestamp now, std::shared_ptr<ProjectDataFolder> door);
    ContextEntry appendNow(const ProjectDataFolder &door, const ContextEntry::Payload &payload, Timestamp time);
    void saveNow(const ProjectDataFolder &door);
    void saveMetadataNow(const ProjectDataFolder &door);

    const std::weak_ptr<ProjectDataFolder> m_door;
    const std::shared_ptr<ProjectDataFolder> m_ownDoor; // the one opened here, when none was given
    const QString m_projectURL;
    const QString m_contextURL;
    const QString m_backupURL;
    const QString m_metadataURL;
    ContextLog m_log;
    ProjectMetadata m_metadata;
    // Last member: destroyed first, so pending operations finish while the log exists.
    SerialExecutor m_executor;
};

} // namespace nerim
