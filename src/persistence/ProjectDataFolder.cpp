#include "persistence/ProjectDataFolder.h"

#include "foundation/FileIo.h"
#include "foundation/Log.h"
#include "foundation/SerialFileWriter.h"
#include "persistence/FileCalls.h"
#include "persistence/IntentProcessorConstants.h"
#include "persistence/SetAside.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace nerim {

namespace {

using Key = std::pair<quint64, quint64>; // the `.nerim` folder's device and inode

QMutex registryMutex;
std::map<Key, std::weak_ptr<ProjectDataFolder>> registry;

std::atomic<qint64> firstRetryMs{1000};
std::atomic<qint64> retryCapMs{30000};
std::atomic<bool> forceFileLock{false};
std::atomic<bool> shareDoors{true};
QMutex writeHookMutex;
std::function<void(ProjectDataFolder::Kind, const QString &)> writeHook;

void beforeWrite(ProjectDataFolder::Kind kind, const QString &name)
{
    std::function<void(ProjectDataFolder::Kind, const QString &)> hook;
    {
        QMutexLocker lock(&writeHookMutex);
        hook = writeHook;
    }
    if (hook)
        hook(kind, name);
}

QString reason(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

QString cleaned(QString path)
{
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

// A `writer.lock` that is not a regular file (a folder, a pipe, a device:
// planted, or left by a tool) would take no lock: it is set aside first.
void setAsideOddLockFile(const BeneathFolder &data, QString *notice)
{
    struct stat st {};
    const QByteArray name = QFile::encodeName(ProjectDataFolder::lockFileName());
    if (::fstatat(data.fd(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISREG(st.st_mode) ||
        S_ISLNK(st.st_mode))
        return;
    if (const std::optional<QString> aside = setAside::moveWithin(data, ProjectDataFolder::lockFileName(), u"not-a-file")) {
        logLine(QStringLiteral("[Nerim] Set aside %1, which was not a file, as %2")
                    .arg(data.filePath(ProjectDataFolder::lockFileName()), *aside));
        const QString line =
            QStringLiteral("This project's .nerim/writer.lock was not a file; it was set aside as %1 (nothing was "
                           "deleted).")
                .arg(*aside);
        *notice = notice->isEmpty() ? line : *notice + QLatin1Char(' ') + line;
    }
}

// Whether another process holds the file `name` with a record lock: what a
// `flock` becomes on NFS, where this process, which may only read the file,
// cannot take one itself (asking needs no write access).
bool heldAsRecordLock(int dir, const QByteArray &name)
{
    const int fd = ::openat(dir, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    const bool held = ::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

bool sameFile(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

} // namespace

// Reaches the private parts for `open`, which builds the door step by step.
struct ProjectDataFolderAccess {
    static std::shared_ptr<ProjectDataFolder> make(QString projectPath, BeneathFolder project, BeneathFolder data)
    {
        return std::shared_ptr<ProjectDataFolder>(
            new ProjectDataFolder(std::move(projectPath), std::move(project), std::move(data)));
    }
    static void setLock(ProjectDataFolder &door, ProjectDataFolder::Access access, int lockFileFd, const Key &key)
    {
        door.m_access = access;
        door.m_lockFileFd = lockFileFd;
        door.m_device = key.first;
        door.m_inode = key.second;
    }
};

ProjectDataFolder::ProjectDataFolder(QString projectPath, BeneathFolder project, BeneathFolder data)
    : m_projectPath(std::move(projectPath)), m_project(std::move(project)), m_data(std::move(data))
{
}

ProjectDataFolder::~ProjectDataFolder()
{
    // The descriptors go first (that lets go of the lock), then the entry:
    // an opener of this process that finds the lock still held while the
    // entry is there waits for it instead of taking the project as another
    // Nerim's.
    if (m_lockFileFd >= 0)
        ::close(m_lockFileFd);
    m_lockFileFd = -1;
    {
        BeneathFolder closing = std::move(m_data); // closes the folder, and its flock with it
    }
    QMutexLocker lock(&registryMutex);
    const auto found = registry.find({m_device, m_inode});
    if (found != registry.end() && found->second.expired())
        registry.erase(found);
}

ProjectDataFolder::Opened ProjectDataFolder::open(const QString &projectPath)
{
    const QString project = cleaned(projectPath);
    Opened opened;
    // A `.nerim` that is a link, a file, a pipe or a device is set aside and
    // a real folder made; then the folder is opened once, beneath the project.
    IntentProcessorConstants::projectDotfolder(project, &opened.notice);
    BeneathFolder root = BeneathFolder::root(project);
    BeneathFolder data = root.folder(QStringLiteral(".nerim"));
    struct stat dir {};
    if (::fstat(data.fd(), &dir) != 0 || !S_ISDIR(dir.st_mode))
        throw std::runtime_error(
            QStringLiteral("%1 cannot be examined (%2)").arg(data.path(), reason(errno)).toStdString());
    const Key key{quint64(dir.st_dev), quint64(dir.st_ino)};

    QMutexLocker lock(&registryMutex);
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (const auto found = registry.find(key); shareDoors.load() && found != registry.end()) {
            if (std::shared_ptr<ProjectDataFolder> shared = found->second.lock()) {
                opened.folder = std::move(shared);
                return opened;
            }
        }
        // A door of this process that is just letting go: wait for it.
        const auto goingAway = [&] {
            const auto going = registry.find(key);
            return going != registry.end() && going->second.expired();
        };
        setAsideOddLockFile(data, &opened.notice);

        int lockFileFd = -1;
        Access access = Access::unlocked;
        QString why;
        bool retry = false;
        if (!forceFileLock.load() && ::flock(data.fd(), LOCK_EX | LOCK_NB) == 0) {
            access = Access::writer;
        } else if (!forceFileLock.load() && errno == EWOULDBLOCK) {
            if (goingAway())
                retry = true;
            else
                access = Access::readOnly;
        } else {
            // NFS (a record lock needs a file open for writing) or another
            // file system that cannot lock a folder: the lock file.
            const QByteArray name = QFile::encodeName(lockFileName());
            bool writable = true;
            int fd = ::openat(data.fd(), name.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
            if (fd < 0 && errno == EACCES) {
                // Another user's lock file: it can be held all the same.
                writable = false;
                fd = ::openat(data.fd(), name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            }
            struct stat st {};
            if (fd < 0 && errno == ELOOP) {
                // A link put in its place is no lock of anyone's (unlink never follows it).
                retry = ::unlinkat(data.fd(), name.constData(), 0) == 0;
                if (!retry)
                    why = QStringLiteral("the lock file is a link that cannot be removed (%1)").arg(reason(errno));
            } else if (fd < 0) {
                why = QStringLiteral("the lock file cannot be opened (%1)").arg(reason(errno));
            } else if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
                ::close(fd);
                fd = -1;
                retry = true; // replaced by something else meanwhile: set aside on the next round
            } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
                const int error = errno;
                ::close(fd);
                fd = -1;
                if (error == EWOULDBLOCK && goingAway())
                    retry = true;
                else if (error == EWOULDBLOCK || (error == EBADF && !writable && heldAsRecordLock(data.fd(), name)))
                    access = Access::readOnly;
                else
                    why = QStringLiteral("the file system keeps no locks (%1)").arg(reason(error));
            } else {
                // Still the file at the name: another Nerim may have put a
                // fresh one there meanwhile, and a lock on a file no longer
                // there holds nothing.
                struct stat now {};
                if (::fstatat(data.fd(), name.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(now, st)) {
                    ::close(fd);
                    retry = true;
                } else {
                    // An id of this holder inside the file, for whoever looks
                    // (device numbers mean nothing between NFS clients).
                    const QByteArray id = QByteArray::number(QRandomGenerator::system()->generate64(), 16) + '\n';
                    if (writable && ::ftruncate(fd, 0) == 0)
                        (void)fileio::writeAll(fd, id.constData(), id.size());
                    access = Access::writer;
                    lockFileFd = fd;
                }
            }
        }
        if (retry) {
            lock.unlock();
            QThread::msleep(10);
            lock.relock();
            continue;
        }
        if (access == Access::unlocked)
            logLine(QStringLiteral("[Nerim] %1 cannot be locked against a second Nerim: %2").arg(project, why));
        else if (access == Access::readOnly)
            logLine(QStringLiteral("[Nerim] %1 is open in another Nerim: shown without saving").arg(project));
        std::shared_ptr<ProjectDataFolder> door = ProjectDataFolderAccess::make(project, std::move(root), std::move(data));
        ProjectDataFolderAccess::setLock(*door, access, lockFileFd, key);
        // A door that cannot write is not shared: a later open may find the
        // other Nerim gone.
        if (access != Access::readOnly && shareDoors.load())
            registry[key] = door;
        opened.folder = std::move(door);
        return opened;
    }
    throw std::runtime_error(
        QStringLiteral("the lock of %1 kept being replaced").arg(project + QStringLiteral("/.nerim")).toStdString());
}

std::shared_ptr<ProjectDataFolder> ProjectDataFolder::openDoorOf(const QString &dataFolderPath)
{
    const QString wanted = QDir::cleanPath(dataFolderPath);
    // Every door looked at is let go only once the registry is unlocked: the
    // last owner's letting go runs the destructor, which locks it.
    std::vector<std::shared_ptr<ProjectDataFolder>> seen;
    std::shared_ptr<ProjectDataFolder> found;
    {
        QMutexLocker lock(&registryMutex);
        for (const auto &entry : registry) {
            std::shared_ptr<ProjectDataFolder> door = entry.second.lock();
            if (door && !found && QDir::cleanPath(door->path()) == wanted)
                found = door;
            if (door)
                seen.push_back(std::move(door));
        }
    }
    return found;
}

bool ProjectDataFolder::folderStillInPlace() const
{
    // The folder locked is still the project's `.nerim` (one moved away and
    // back is still locked by this door).
    struct stat now {};
    return ::fstatat(m_project.fd(), ".nerim", &now, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(now.st_mode) &&
           quint64(now.st_dev) == m_device && quint64(now.st_ino) == m_inode;
}

bool ProjectDataFolder::lockStillHeld() const
{
    if (m_lockFileFd < 0)
        return true;
    // On NFS, the file locked is still the one at its name: once it is not,
    // another Nerim may lock the new one, and this lock holds nothing more.
    struct stat held {};
    struct stat named {};
    return ::fstat(m_lockFileFd, &held) == 0 &&
           ::fstatat(m_data.fd(), QFile::encodeName(lockFileName()).constData(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           sameFile(held, named);
}

bool ProjectDataFolder::canWrite() const
{
    if (m_access == Access::readOnly)
        return false;
    if (m_access == Access::unlocked)
        return true;
    QMutexLocker lock(&m_mutex);
    return !m_lost && lockStillHeld() && folderStillInPlace();
}

void ProjectDataFolder::checkWritable(Kind kind) const
{
    QString refusal;
    bool tellNow = false;
    bool lostNow = false;
    {
        QMutexLocker lock(&m_mutex);
        if (m_access == Access::readOnly) {
            refusal = QStringLiteral("this project is open in another Nerim");
        } else if (m_access == Access::writer && (m_lost || !lockStillHeld())) {
            if (!m_lost) {
                logLine(QStringLiteral("[Nerim] The lock file of %1 was replaced: nothing more is written there")
                            .arg(m_projectPath));
                lostNow = true;
            }
            m_lost = true;
            refusal = QStringLiteral("this project's lock file was replaced, so another Nerim may be writing it");
        } else if (m_access != Access::readOnly && !folderStillInPlace()) {
            refusal = QStringLiteral("this project's .nerim folder was moved or replaced");
        }
        if (refusal.isEmpty())
            return;
        // Once the lock is lost, that one event has told it all.
        tellNow = !m_toldNotWritten.contains(int(kind)) && !(m_lost && !lostNow);
        m_toldNotWritten.insert(int(kind));
    }
    if (lostNow)
        tell({Event::Type::lockLost, kind, refusal});
    else if (tellNow)
        tell({Event::Type::notWritten, kind, refusal});
    throw NotWriter(QStringLiteral("Nerim didn't save %1: %2").arg(describe(kind), refusal).toStdString());
}

void ProjectDataFolder::write(Kind kind, const QString &name, const QByteArray &bytes, const QString &backupName,
                              AtomicFileWriter::WriteOptions options) const
{
    beforeWrite(kind, name);
    checkWritable(kind);
    if (backupName.isEmpty())
        AtomicFileWriter::replace(bytes, m_data, name, options);
    else
        AtomicFileWriter::write(bytes, m_data, name, backupName, options);
}

void ProjectDataFolder::replace(Kind kind, const QString &name, const QByteArray &bytes,
                                AtomicFileWriter::WriteOptions options) const
{
    write(kind, name, bytes, QString(), options);
}

void ProjectDataFolder::writeWithin(Kind kind, const BeneathFolder &within, const QString &name,
                                    const QByteArray &bytes, const QString &backupName) const
{
    checkWritable(kind);
    AtomicFileWriter::write(bytes, within, name, backupName);
}

void ProjectDataFolder::remove(Kind kind, const QString &name) const
{
    checkWritable(kind);
    if (fileCalls::unlinkAt(m_data.fd(), QFile::encodeName(name).constData()) != 0 && errno != ENOENT)
        throw MemoryError::writeFailed(filePath(name), reason(errno));
}

std::optional<QString> ProjectDataFolder::setAside(Kind kind, const QString &name, QStringView tag) const
{
    checkWritable(kind);
    return setAside::moveWithin(m_data, name, tag);
}

// ---- Saves, retried ---------------------------------------------------------------------------

void ProjectDataFolder::save(Kind kind, const QString &name, std::function<void(const ProjectDataFolder &)> job)
{
    quint64 generation = 0;
    {
        QMutexLocker lock(&m_mutex);
        generation = ++m_generations[name];
    }
    std::shared_ptr<ProjectDataFolder> self = shared_from_this();
    SerialFileWriter::shared().submit(filePath(name), [self, kind, name, job = std::move(job), generation] {
        self->runSave(kind, name, job, generation);
    });
}

void ProjectDataFolder::runSave(Kind kind, const QString &name,
                                const std::function<void(const ProjectDataFolder &)> &job, quint64 generation)
{
    try {
        job(*this);
    } catch (const NotWriter &) {
        QMutexLocker lock(&m_mutex);
        m_failing.remove(name);
        return;
    } catch (...) {
        const QString why = AtomicFileWriter::describeFailure(std::current_exception());
        std::chrono::milliseconds delay{firstRetryMs.load()};
        bool first = false;
        {
            QMutexLocker lock(&m_mutex);
            if (m_generations.value(name) != generation)
                return; // a newer save of the file is queued and decides
            if (m_retriesEnded) {
                logLine(QStringLiteral("[Nerim] %1 was not saved (%2); the project is closed").arg(filePath(name), why));
                return;
            }
            if (const auto found = m_failing.constFind(name); found != m_failing.cend())
                delay = std::min(found->delay * 2, std::chrono::milliseconds(retryCapMs.load()));
            m_failing.insert(name, Failing{kind, job, delay, generation, why});
            first = !m_toldFailing.contains(int(kind));
            m_toldFailing.insert(int(kind));
        }
        logLine(QStringLiteral("[Nerim] Saving %1 failed (%2); trying again in %3 ms")
                    .arg(filePath(name), why)
                    .arg(delay.count()));
        if (first)
            tell({Event::Type::failing, kind, why});
        const std::weak_ptr<ProjectDataFolder> weak = weak_from_this();
        QCoreApplication *app = QCoreApplication::instance();
        if (!app)
            return;
        QMetaObject::invokeMethod(
            app,
            [weak, name, generation, delay, app] {
                QTimer::singleShot(delay, app, [weak, name, generation] {
                    if (const std::shared_ptr<ProjectDataFolder> door = weak.lock())
                        door->retry(name, generation);
                });
            },
            Qt::QueuedConnection);
        return;
    }
    bool recovered = false;
    {
        QMutexLocker lock(&m_mutex);
        if (const auto found = m_failing.constFind(name); found != m_failing.cend() && found->generation <= generation)
            m_failing.remove(name);
        if (m_toldFailing.contains(int(kind))) {
            recovered = std::none_of(m_failing.cbegin(), m_failing.cend(),
                                     [kind](const Failing &failing) { return failing.kind == kind; });
            if (recovered)
                m_toldFailing.remove(int(kind));
        }
    }
    if (recovered)
        tell({Event::Type::saved, kind, QString()});
}

void ProjectDataFolder::retry(const QString &name, quint64 generation)
{
    Kind kind{};
    std::function<void(const ProjectDataFolder &)> job;
    {
        QMutexLocker lock(&m_mutex);
        const auto found = m_failing.constFind(name);
        if (m_retriesEnded || found == m_failing.cend() || found->generation != generation ||
            m_generations.value(name) != generation)
            return;
        kind = found->kind;
        job = found->job;
    }
    std::shared_ptr<ProjectDataFolder> self = shared_from_this();
    SerialFileWriter::shared().submit(filePath(name), [self, kind, name, job = std::move(job), generation] {
        self->runSave(kind, name, job, generation);
    });
}

void ProjectDataFolder::setListener(std::function<void(const Event &)> listener)
{
    QMutexLocker lock(&m_mutex);
    m_listener = std::move(listener);
}

void ProjectDataFolder::tell(const Event &event) const
{
    std::function<void(const Event &)> listener;
    {
        QMutexLocker lock(&m_mutex);
        listener = m_listener;
    }
    if (listener)
        listener(event);
}

void ProjectDataFolder::endRetries()
{
    QMutexLocker lock(&m_mutex);
    m_retriesEnded = true;
    for (auto it = m_failing.cbegin(); it != m_failing.cend(); ++it)
        logLine(QStringLiteral("[Nerim] %1 could not be saved before the project closed").arg(filePath(it.key())));
    m_failing.clear();
    m_listener = {};
}

QList<ProjectDataFolder::Kind> ProjectDataFolder::failingKinds() const
{
    QMutexLocker lock(&m_mutex);
    QList<Kind> kinds;
    for (const Failing &failing : m_failing) {
        if (!kinds.contains(failing.kind))
            kinds.append(failing.kind);
    }
    return kinds;
}

QString ProjectDataFolder::failureReason() const
{
    QMutexLocker lock(&m_mutex);
    return m_failing.isEmpty() ? QString() : m_failing.cbegin()->why;
}

void ProjectDataFolder::retryNow()
{
    QList<std::pair<QString, quint64>> failing;
    {
        QMutexLocker lock(&m_mutex);
        for (auto it = m_failing.cbegin(); it != m_failing.cend(); ++it)
            failing.append({it.key(), it->generation});
    }
    for (const auto &[name, generation] : std::as_const(failing))
        retry(name, generation);
}

QString ProjectDataFolder::describe(Kind kind)
{
    switch (kind) {
    case Kind::planConversation:
        return QStringLiteral("the plan conversation");
    case Kind::planFiles:
        return QStringLiteral("the plan files");
    case Kind::modelChoice:
        return QStringLiteral("the model choice");
    case Kind::agentNames:
        return QStringLiteral("the agent names");
    case Kind::draft:
        return QStringLiteral("the prompt draft");
    case Kind::memory:
        return QStringLiteral("the project memory");
    case Kind::stepRecord:
        return QStringLiteral("the deploy and repair step records");
    case Kind::history:
        return QStringLiteral("the deploy and repair history");
    case Kind::deployConfig:
        return QStringLiteral("the deploy settings");
    case Kind::launchOverride:
        return QStringLiteral("the launch settings");
    case Kind::dotEnv:
        return QStringLiteral(".env");
    case Kind::panes:
        return QStringLiteral("the panes");
    }
    return QString();
}

namespace detail {
void setDataFolderRetryDelays(std::chrono::milliseconds first, std::chrono::milliseconds cap)
{
    firstRetryMs = first.count();
    retryCapMs = cap.count();
}
void lockDataFolderWithFile(bool use) { forceFileLock = use; }
void shareDataFolderDoors(bool share) { shareDoors = share; }
void setDataFolderWriteHook(std::function<void(ProjectDataFolder::Kind, const QString &)> hook)
{
    QMutexLocker lock(&writeHookMutex);
    writeHook = std::move(hook);
}
} // namespace detail

} // namespace nerim
