#pragma once

#include "persistence/AppStateActor.h"

#include <QCoro/QCoroTask>
#include <QFuture>
#include <QString>
#include <QStringList>
#include <exception>
#include <memory>
#include <optional>

namespace nerim {

// What the start-up load of the application state came to.
struct StartupOutcome {
    // Set when the application can go on; absent after a failure.
    std::shared_ptr<AppStateActor> appState;
    // How the record came to be (fresh, loaded, restored, quarantined).
    AppStateActor::Origin origin = AppStateActor::Origin::loaded;
    // Where damaged files were moved when both app.json and its backup were unreadable.
    QStringList quarantinedPaths;
    // The message shown to the user when no state could be loaded or created.
    QString errorMessage;
    // The projects the record listed when it was read, so that the overview
    // can be shown without asking the record again; absent when not read
    // with it.
    std::optional<QList<AppState::ProjectRegistryEntry>> projects;

    bool succeeded() const { return appState != nullptr; }
};

// Loads the application state through AppStateActor off the GUI thread: fresh
// on first start, restored from app.json.bak when app.json is unreadable, and
// quarantined and started fresh only when both files exist but neither
// decodes. A record from a newer release, a file that cannot be read, or a data
// folder that cannot be made ends in an error message, with every file left as
// it was. `supportDirectory` replaces the application's data folder (tests).
QCoro::Task<StartupOutcome> loadApplicationState(QString supportDirectory = QString());

// The same load started now, read back by the overload below. `main` starts
// it as early as it may (once it knows it is the only Nerim running), so that
// the record is usually read by the time the window is built: then
// `finishedStartupLoad` has the outcome at once and the window's first picture
// is the overview, not an empty window followed by it.
QFuture<StartupOutcome> startApplicationStateLoad(QString supportDirectory = QString());
QCoro::Task<StartupOutcome> loadApplicationState(QFuture<StartupOutcome> started, QString supportDirectory = QString());
// The outcome of a started load that has already succeeded; nothing when it
// is still running or failed (the task above then waits, or quarantines).
std::optional<StartupOutcome> finishedStartupLoad(const QFuture<StartupOutcome> &started);

// The message shown for a failed load (or failed quarantine).
QString startupErrorMessage(const std::exception_ptr &error);

} // namespace nerim
