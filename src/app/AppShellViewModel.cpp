#include "app/AppShellViewModel.h"

#include "foundation/BackgroundWork.h"
#include "foundation/DisplayPath.h"
#include "foundation/Log.h"
#include "persistence/AppStateActor.h"
#include "persistence/AtomicFileWriter.h"
#include "persistence/MemoryError.h"
#include "ui/design/Strings.h"

#include <QCoro/QCoroFuture>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QStandardPaths>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <sys/stat.h>

namespace nerim {

const QString AppShellViewModel::scratchEntryId = QStringLiteral("scratch-debug");
const QString AppShellViewModel::writeTestFileName = QStringLiteral(".nerim-write-test");

namespace {

QString defaultDocumentsFolder()
{
    QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (documents.isEmpty())
        documents = QDir::homePath() + QStringLiteral("/Documents");
    return documents;
}

// The folder's name as the project's display name; a path without a last
// component (the root) shows as itself.
QString displayNameForFolder(const QString &path)
{
    const QString name = QFileInfo(path).fileName();
    return name.isEmpty() ? path : name;
}

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The outcome of making a blank project's folder off the GUI thread.
struct BlankFolder {
    QString path;          // set on success
    QString reason;        // why it failed
    bool parentFailed = false;
};

BlankFolder makeBlankFolder(const QString &parent, const QDateTime &time)
{
    BlankFolder result;
    if (!QFileInfo(parent).isDir()) {
        std::error_code error;
        std::filesystem::create_directories(std::filesystem::path(QFile::encodeName(parent).toStdString()), error);
        if (error || !QFileInfo(parent).isDir()) {
            result.parentFailed = true;
            result.reason = error ? QString::fromLocal8Bit(error.message().c_str()) : errnoText(ENOTDIR);
            return result;
        }
    }
    // mkdir fails on a taken name, so two starts never share a folder.
    for (int attempt = 1; attempt <= 10000; ++attempt) {
        const QString path = parent + QLatin1Char('/') + AppShellViewModel::blankProjectName(time, attempt);
        if (::mkdir(QFile::encodeName(path).constData(), 0755) == 0) {
            result.path = path;
            return result;
        }
        if (errno != EEXIST) {
            result.reason = errnoText(errno);
            return result;
        }
    }
    result.reason = errnoText(EEXIST);
    return result;
}

// Writes an empty file into the folder with the crash-safe writer and removes
// it again: whether Nerim will be able to keep its data there. A folder that
// is not there fails too (the writer would make it).
bool folderIsWritable(const QString &folder)
{
    if (!QFileInfo(folder).isDir())
        return false;
    const QString probe = folder + QLatin1Char('/') + AppShellViewModel::writeTestFileName;
    try {
        AtomicFileWriter::replace(QByteArray(), probe);
    } catch (const std::exception &) {
        return false;
    }
    return QFile::remove(probe);
}

} // namespace

// Marks the shell busy for the life of one operation.
class AppShellViewModel::BusyScope {
public:
    explicit BusyScope(AppShellViewModel *shell) : m_shell(shell) { shell->setBusy(true); }
    ~BusyScope()
    {
        if (m_shell)
            m_shell->setBusy(false);
    }
    BusyScope(const BusyScope &) = delete;
    BusyScope &operator=(const BusyScope &) = delete;

private:
    QPointer<AppShellViewModel> m_shell;
};

AppShellViewModel::AppShellViewModel(Environment environment, QObject *parent)
    : QObject(parent)
    , m_environment(std::move(environment))
{
    if (!m_environment.now)
        m_environment.now = [] { return QDateTime::currentDateTime(); };
    if (!m_environment.documentsFolder)
        m_environment.documentsFolder = defaultDocumentsFolder;
    if (!m_environment.homeFolder)
        m_environment.homeFolder = [] { return QDir::homePath(); };
}

AppShellViewModel::~AppShellViewModel() = default;

// ---- Observed state ------------------------------------------------------------------------

void AppShellViewModel::setLastError(const std::optional<QString> &error)
{
    if (m_lastError == error)
        return;
    m_lastError = error;
    emit lastErrorChanged();
}

void AppShellViewModel::setRoute(const AppShellRoute &route)
{
    if (m_route == route)
        return;
    m_route = route;
    // A banner belongs to the screen whose action raised it: it never stays
    // over the next screen.
    setLastError(std::nullopt);
    emit routeChanged();
}

void AppShellViewModel::setProjects(const QList<AppState::ProjectRegistryEntry> &projects)
{
    if (m_projects == projects)
        return;
    m_projects = projects;
    emit projectsChanged();
}

void AppShellViewModel::setBusy(bool busy)
{
    if (m_busy == busy)
        return;
    m_busy = busy;
    emit isBusyChanged();
}

// ---- Rules ---------------------------------------------------------------------------------

QList<AppState::ProjectRegistryEntry> AppShellViewModel::sortedForOverview(QList<AppState::ProjectRegistryEntry> entries)
{
    std::stable_sort(entries.begin(), entries.end(),
                     [](const AppState::ProjectRegistryEntry &a, const AppState::ProjectRegistryEntry &b) {
                         return a.lastOpenedAt > b.lastOpenedAt;
                     });
    return entries;
}

QString AppShellViewModel::pathForDisplay(const QString &path, const QString &homeFolder)
{
    return nerim::pathForDisplay(path, homeFolder);
}

QString AppShellViewModel::blankProjectName(const QDateTime &time, int attempt)
{
    QString name = Strings::Shell::blankProjectPrefix + time.toString(QStringLiteral("yyyy-MM-dd HH-mm-ss"));
    if (attempt > 1)
        name += QStringLiteral(" (") + QString::number(attempt) + QLatin1Char(')');
    return name;
}

QString AppShellViewModel::describe(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const MemoryError &e) {
        return e.description();
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
    }
    return QStringLiteral("An unknown error occurred.");
}

QString AppShellViewModel::projectsFolder() const
{
    return QDir::cleanPath(m_environment.documentsFolder()) + QLatin1Char('/') + Strings::Shell::projectsFolderName;
}

Timestamp AppShellViewModel::nowTimestamp() const
{
    return Timestamp::fromUnixSeconds(double(m_environment.now().toMSecsSinceEpoch()) / 1000.0);
}

// ---- Start-up and routes -------------------------------------------------------------------

QCoro::Task<> AppShellViewModel::takeStartupOutcome(StartupOutcome outcome)
{
    QPointer<AppShellViewModel> self(this);
    if (!outcome.succeeded()) {
        m_startupError = outcome.errorMessage;
        setRoute(AppShellRoute::loading());
        co_return;
    }
    m_startupError.clear();
    m_appStateActor = outcome.appState;
    if (outcome.projects) {
        // Read with the record: the overview shows at once.
        setProjects(sortedForOverview(*outcome.projects));
    } else {
        QCoro::Task<> refreshing = refreshProjects();
        co_await std::move(refreshing);
        if (!self)
            co_return;
    }
    setRoute(AppShellRoute::projectsOverview());
}

QCoro::Task<> AppShellViewModel::returnToOverview()
{
    QPointer<AppShellViewModel> self(this);
    QCoro::Task<> refreshing = refreshProjects();
    co_await std::move(refreshing);
    if (!self)
        co_return;
    setRoute(AppShellRoute::projectsOverview());
}

QCoro::Task<> AppShellViewModel::refreshProjects()
{
    if (!m_appStateActor)
        co_return;
    QPointer<AppShellViewModel> self(this);
    std::shared_ptr<AppStateActor> actor = m_appStateActor;
    try {
        QFuture<AppState> reading = actor->state();
        const AppState state = co_await reading;
        if (!self)
            co_return;
        setProjects(sortedForOverview(state.projects));
    } catch (const std::exception &e) {
        // Reading the record in memory does not fail; kept for safety.
        logLine(QStringLiteral("[Nerim] Couldn't read the project list: ") + QString::fromUtf8(e.what()));
    }
}

// ---- Operations ----------------------------------------------------------------------------

QCoro::Task<> AppShellViewModel::openProject(AppState::ProjectRegistryEntry entry)
{
    if (m_busy)
        co_return;
    BusyScope busy(this);
    QCoro::Task<> opening = openRegistered(std::move(entry));
    co_await std::move(opening);
}

QCoro::Task<> AppShellViewModel::openRegistered(AppState::ProjectRegistryEntry entry)
{
    QPointer<AppShellViewModel> self(this);
    std::shared_ptr<AppStateActor> actor = m_appStateActor;
    if (actor && entry.id != scratchEntryId) {
        try {
            QFuture<void> marking = actor->markProjectOpened(entry.id, nowTimestamp());
            co_await marking;
        } catch (const std::exception &e) {
            // The project opens anyway; only its place in the list is not updated.
            logLine(QStringLiteral("[Nerim] Couldn't mark the project opened: ") + QString::fromUtf8(e.what()));
        }
        if (!self)
            co_return;
    }
    setRoute(AppShellRoute::projectCanvas(entry.id, entry.path, entry.displayName));
}

QCoro::Task<> AppShellViewModel::addProject(QString folderPath)
{
    if (m_busy)
        co_return;
    BusyScope busy(this);
    if (!m_appStateActor) {
        setLastError(Strings::Shell::notReady);
        co_return;
    }
    QPointer<AppShellViewModel> self(this);
    const QString folder = QDir::cleanPath(folderPath);
    QFuture<bool> probing = runInBackground([folder] { return folderIsWritable(folder); });
    const bool writable = co_await probing;
    if (!self)
        co_return;
    if (!writable) {
        setLastError(Strings::Shell::unwritableFolder);
        co_return;
    }
    QCoro::Task<> registering = registerAndOpen(folder);
    co_await std::move(registering);
}

QCoro::Task<> AppShellViewModel::registerAndOpen(QString path)
{
    QPointer<AppShellViewModel> self(this);
    std::shared_ptr<AppStateActor> actor = m_appStateActor;
    std::optional<AppState::ProjectRegistryEntry> entry;
    std::exception_ptr failure;
    try {
        QFuture<AppState::ProjectRegistryEntry> registering =
            actor->registerProject(path, displayNameForFolder(path), nowTimestamp());
        entry = co_await registering;
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self)
        co_return;
    if (failure) {
        setLastError(describe(failure));
        co_return;
    }
    QCoro::Task<> refreshing = refreshProjects();
    co_await std::move(refreshing);
    if (!self)
        co_return;
    QCoro::Task<> opening = openRegistered(*entry);
    co_await std::move(opening);
}

QCoro::Task<> AppShellViewModel::removeProject(AppState::ProjectRegistryEntry entry)
{
    if (!m_appStateActor) {
        setLastError(Strings::Shell::notReady);
        co_return;
    }
    if (entry.id == scratchEntryId)
        co_return;
    QPointer<AppShellViewModel> self(this);
    std::shared_ptr<AppStateActor> actor = m_appStateActor;
    QList<AppState::ProjectRegistryEntry> remaining;
    std::exception_ptr failure;
    try {
        QFuture<QList<AppState::ProjectRegistryEntry>> removing = actor->removeProject(entry.id);
        remaining = co_await removing;
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self)
        co_return;
    if (failure) {
        setLastError(describe(failure));
        co_return;
    }
    setProjects(sortedForOverview(remaining));
}

QCoro::Task<> AppShellViewModel::startBlankProject()
{
    if (m_busy)
        co_return;
    BusyScope busy(this);
    if (!m_appStateActor) {
        setLastError(Strings::Shell::notReady);
        co_return;
    }
    QPointer<AppShellViewModel> self(this);
    const QString parent = projectsFolder();
    const QDateTime time = m_environment.now();
    QFuture<BlankFolder> making = runInBackground([parent, time] { return makeBlankFolder(parent, time); });
    const BlankFolder made = co_await making;
    if (!self)
        co_return;
    if (made.path.isEmpty()) {
        setLastError(made.parentFailed ? Strings::Shell::couldNotCreate +
                                             pathForDisplay(parent, m_environment.homeFolder()) +
                                             QStringLiteral(": ") + made.reason
                                       : Strings::Shell::couldNotCreateProjectFolder + made.reason);
        co_return;
    }
    QCoro::Task<> registering = registerAndOpen(made.path);
    co_await std::move(registering);
}

} // namespace nerim
