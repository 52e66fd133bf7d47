#pragma once

#include "foundation/SerialExecutor.h"
#include "persistence/AppState.h"

#include <QFuture>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

namespace nerim {

// The one owner of AppState and of app.json (with its backup app.json.bak) in
// the application's data folder. Every operation runs on the owner's own serial
// executor and is awaited from the GUI thread (`co_await actor->setOutputMode(m)`);
// a mutator changes the record and saves it in one step, so no one sees a change
// that was not saved and two saves never overlap. When a save fails the change
// stays in memory (the next successful save writes it) and the error reaches the
// caller. Errors are MemoryError unless noted.
class AppStateActor {
public:
    // How the record came to be at start-up.
    enum class Origin {
        loaded,             // read from app.json
        created,            // first start: neither file existed
        restoredFromBackup, // app.json was missing or damaged; app.json.bak was used
        quarantined,        // both files were damaged, moved aside, and a fresh record made
    };

    struct QuarantineResult {
        std::shared_ptr<AppStateActor> actor;
        QStringList movedPaths; // where the damaged files now are (app.json's first)
    };

    // Loads app.json, falling back to app.json.bak; creates a fresh record (and
    // saves it) when neither exists. Runs off the calling thread.
    // Throws MemoryError::bothPrimaryAndBackupUnreadable when both files exist
    // but neither decodes (the caller then quarantines),
    // MemoryError::schemaVersionMismatch for a record of another version,
    // MemoryError::readFailed when a file cannot be read at all, and
    // std::runtime_error when the data folder cannot be made. In every error
    // case no file was changed.
    // `supportDirectory` replaces the application's data folder (tests).
    static QFuture<std::shared_ptr<AppStateActor>> load(const QString &supportDirectory = QString());

    // Moves app.json and app.json.bak aside as app.corrupt-STAMP.json and
    // app.json.corrupt-STAMP.bak (STAMP: UTC time, colons as hyphens, plus "-2",
    // "-3"... when that name is taken), then starts from a fresh record. A file
    // that cannot be moved is left where it is and the operation fails
    // (MemoryError::atomicRenameFailed); nothing is ever deleted.
    static QFuture<QuarantineResult> quarantineAndStartFresh(const QString &supportDirectory = QString());

    // True when a failed load should be answered by quarantining: both files
    // exist or are missing but none decodes. A newer schema version, a file that
    // cannot be read, or a data folder that cannot be made is reported instead.
    static bool shouldQuarantine(const std::exception_ptr &loadError);

    ~AppStateActor();
    AppStateActor(const AppStateActor &) = delete;
    AppStateActor &operator=(const AppStateActor &) = delete;

    const QString &stateURL() const { return m_stateURL; }
    const QString &backupURL() const { return m_backupURL; }
    Origin origin() const { return m_origin; }

    // A copy of the record.
    QFuture<AppState> state();
    QFuture<bool> hasCompletedOnboarding();

    // Adds a project at the end of the registry, or, when one with exactly this
    // path exists, renames it and marks it opened. Returns the stored entry.
    QFuture<AppState::ProjectRegistryEntry> registerProject(const QString &path, const QString &displayName,
                                                            Timestamp date);
    // An unknown id is not an error: nothing is changed or saved.
    QFuture<void> markProjectOpened(const QString &projectId, Timestamp date);
    // Removes every entry with this id (the folders are not touched); returns the rest.
    QFuture<QList<AppState::ProjectRegistryEntry>> removeProject(const QString &projectId);

    // Trimmed, at most 40 characters; empty → the login name.
    QFuture<void> setUserDisplayName(const QString &name);
    // The free text is kept (trimmed, at most 40 characters) only for `other`.
    QFuture<void> setPrimaryDomain(AppState::PrimaryDomain domain, const std::optional<QString> &otherText);
    QFuture<void> setOutputMode(AppState::OutputMode mode);
    QFuture<void> setWantsManagedKeys(bool wants);
    // Keeps the first 10 skipped question names.
    QFuture<void> completeOnboarding(Timestamp date, const QStringList &skippedQuestions);

    QFuture<void> save();

private:
    AppStateActor(AppState state, QString stateURL, QString backupURL, Origin origin);

    static std::shared_ptr<AppStateActor> loadNow(const QString &supportDirectory);
    static QuarantineResult quarantineNow(const QString &supportDirectory);
    void saveNow();

    AppState m_state;
    const QString m_stateURL;
    const QString m_backupURL;
    const Origin m_origin;
    // Last member: destroyed first, so pending operations finish while the record exists.
    SerialExecutor m_executor;
};

} // namespace nerim
