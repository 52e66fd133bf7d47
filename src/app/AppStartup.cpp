#include "app/AppStartup.h"

#include "foundation/Log.h"
#include "persistence/MemoryError.h"

#include <QCoro/QCoroFuture>

namespace nerim {

QString startupErrorMessage(const std::exception_ptr &error)
{
    const QString unchanged = QStringLiteral(" Your saved data has not been changed.");
    try {
        std::rethrow_exception(error);
    } catch (const MemoryError &e) {
        switch (e.kind()) {
        case MemoryError::Kind::schemaVersionMismatch:
            if (e.found() > e.expected())
                return QStringLiteral("Nerim's saved state at %1 was written by a newer version of Nerim. "
                                      "Update Nerim to open it.")
                           .arg(e.filePath()) +
                       unchanged;
            // One arg() call: a second one would also fill a "%2" written in the path.
            return QStringLiteral("Nerim's saved state at %1 has a format this version cannot read (version %2).")
                       .arg(e.filePath(), QString::number(e.found())) +
                   unchanged;
        case MemoryError::Kind::readFailed:
            return QStringLiteral("Nerim couldn't read its saved state at %1 (%2). Check that the file can be read, "
                                  "then open Nerim again.")
                       .arg(e.filePath(), e.underlyingReason()) +
                   unchanged;
        case MemoryError::Kind::atomicRenameFailed:
            return QStringLiteral("Nerim's saved state is damaged and couldn't be set aside: %1. Nothing was deleted.")
                .arg(e.description());
        default:
            return QStringLiteral("Nerim couldn't load its saved state: %1").arg(e.description());
        }
    } catch (const std::exception &e) {
        return QStringLiteral("Nerim couldn't prepare its data folder: %1").arg(QString::fromUtf8(e.what()));
    } catch (...) {
    }
    return QStringLiteral("Nerim couldn't load its saved state.");
}

QFuture<StartupOutcome> startApplicationStateLoad(QString supportDirectory)
{
    // The projects are read from the record in the same background chain.
    return AppStateActor::load(supportDirectory)
        .then([](std::shared_ptr<AppStateActor> actor) {
            return actor->state().then([actor](const AppState &state) {
                StartupOutcome outcome;
                outcome.appState = actor;
                outcome.origin = actor->origin();
                outcome.projects = state.projects;
                return outcome;
            });
        })
        .unwrap();
}

std::optional<StartupOutcome> finishedStartupLoad(const QFuture<StartupOutcome> &started)
{
    if (!started.isFinished() || started.isCanceled())
        return std::nullopt;
    try {
        return started.result();
    } catch (...) {
        return std::nullopt;
    }
}

QCoro::Task<StartupOutcome> loadApplicationState(QString supportDirectory)
{
    return loadApplicationState(startApplicationStateLoad(supportDirectory), supportDirectory);
}

QCoro::Task<StartupOutcome> loadApplicationState(QFuture<StartupOutcome> started, QString supportDirectory)
{
    std::exception_ptr loadError;
    try {
        co_return co_await started;
    } catch (...) {
        loadError = std::current_exception();
    }
    StartupOutcome outcome;

    if (!AppStateActor::shouldQuarantine(loadError)) {
        outcome.errorMessage = startupErrorMessage(loadError);
        logLine(QStringLiteral("[Nerim] Application state not loaded: ") + outcome.errorMessage);
        co_return outcome;
    }

    std::exception_ptr quarantineError;
    try {
        AppStateActor::QuarantineResult result = co_await AppStateActor::quarantineAndStartFresh(supportDirectory);
        outcome.appState = result.actor;
        outcome.origin = AppStateActor::Origin::quarantined;
        outcome.quarantinedPaths = result.movedPaths;
        co_return outcome;
    } catch (...) {
        quarantineError = std::current_exception();
    }
    outcome.errorMessage = startupErrorMessage(quarantineError);
    logLine(QStringLiteral("[Nerim] No application state could be created: ") + outcome.errorMessage);
    co_return outcome;
}

} // namespace nerim
