#pragma once

#include "app/AppShellRoute.h"
#include "app/AppStartup.h"
#include "persistence/AppState.h"

#include <QCoro/QCoroTask>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

namespace nerim {

class AppStateActor;

// The window's state between its screens: which route is shown, the known
// projects as the overview lists them, and the last error of an operation.
// Opening, adding, removing and starting a blank project are its operations;
// each reports every failure through `lastError`, never by throwing.
//
// GUI thread only. Setters notify only on change. File work (the write test,
// new folders) runs on the thread pool, the application state on its owner's
// executor; every operation checks after each suspension that the shell
// still exists.
//
// Only one open, add or start-blank runs at a time: a click that arrives while
// one runs (a double click on a card, say) is ignored, so a project is never
// opened twice or two blank projects made.
class AppShellViewModel : public QObject {
    Q_OBJECT

public:
    // What the operations read of the outside world; every member has a default.
    struct Environment {
        std::function<QDateTime()> now;          // local wall-clock time
        std::function<QString()> documentsFolder; // the user's Documents folder
        std::function<QString()> homeFolder;       // shown as "~" in messages
    };

    // The registry id of the debug scratch entry.
    static const QString scratchEntryId;
    // The folder the write test creates and removes in a folder to be added.
    static const QString writeTestFileName;

    explicit AppShellViewModel(Environment environment = {}, QObject *parent = nullptr);
    ~AppShellViewModel() override;

    // ---- Observed state ------------------------------------------------------------------
    const AppShellRoute &route() const { return m_route; }
    const QList<AppState::ProjectRegistryEntry> &projects() const { return m_projects; }
    const std::optional<QString> &lastError() const { return m_lastError; }
    void setLastError(const std::optional<QString> &error);
    // The message of a failed start-up load (the window shows it); empty otherwise.
    const QString &startupError() const { return m_startupError; }
    // An open, add or start-blank is running; new ones are ignored meanwhile.
    bool isBusy() const { return m_busy; }

    const std::shared_ptr<AppStateActor> &appStateActor() const { return m_appStateActor; }

    // ---- Start-up and routes -----------------------------------------------------------------
    // Takes the outcome of the start-up load: with an application state the
    // projects are read and the overview is shown; after a failure the route
    // stays `loading` and `startupError` holds the message.
    QCoro::Task<> takeStartupOutcome(StartupOutcome outcome);
    // Sets the route; the route already shown changes nothing.
    void setRoute(const AppShellRoute &route);
    // Back from a canvas: the projects are read again, then the overview shows.
    QCoro::Task<> returnToOverview();

    // ---- Operations --------------------------------------------------------------------------
    // Marks the project opened (not the scratch entry; a failure is ignored)
    // and shows its canvas.
    QCoro::Task<> openProject(AppState::ProjectRegistryEntry entry);
    // Checks that the folder can be written, registers it (or refreshes the
    // entry with that path) and opens it.
    QCoro::Task<> addProject(QString folderPath);
    // Removes the entry from the registry (never the scratch entry); the folder stays.
    QCoro::Task<> removeProject(AppState::ProjectRegistryEntry entry);
    // Makes "Untitled Project <time>" (plus " (2)", " (3)"… when taken) in
    // Documents/Nerim Projects, registers it and opens it.
    QCoro::Task<> startBlankProject();

    // ---- Rules --------------------------------------------------------------------------------
    // Newest `lastOpenedAt` first; entries with equal dates keep their order.
    static QList<AppState::ProjectRegistryEntry> sortedForOverview(QList<AppState::ProjectRegistryEntry> entries);
    // A path with the home folder written as "~".
    static QString pathForDisplay(const QString &path, const QString &homeFolder);
    // "Untitled Project yyyy-MM-dd HH-mm-ss", then " (n)" for the n-th try from 2.
    static QString blankProjectName(const QDateTime &time, int attempt);
    // The description shown for a failed application-state operation.
    static QString describe(const std::exception_ptr &error);

    QString projectsFolder() const;

signals:
    void routeChanged();
    void projectsChanged();
    void lastErrorChanged();
    void isBusyChanged();

private:
    class BusyScope;

    void setProjects(const QList<AppState::ProjectRegistryEntry> &projects);
    void setBusy(bool busy);
    QCoro::Task<> refreshProjects();
    QCoro::Task<> openRegistered(AppState::ProjectRegistryEntry entry);
    QCoro::Task<> registerAndOpen(QString path);
    Timestamp nowTimestamp() const;

    Environment m_environment;
    std::shared_ptr<AppStateActor> m_appStateActor;
    AppShellRoute m_route;
    QList<AppState::ProjectRegistryEntry> m_projects;
    std::optional<QString> m_lastError;
    QString m_startupError;
    bool m_busy = false;
};

} // namespace nerim
