#include "deploy/DeployOwnRecord.h"

#include "foundation/RegularFile.h"

#include "deploy/DeployTypes.h"
#include "foundation/Json.h"
#include "foundation/Log.h"
#include "persistence/AtomicFileWriter.h"
#include "persistence/SetAside.h"
#include "persistence/FileCalls.h"
#include "foundation/SerialFileWriter.h"
#include "persistence/IntentProcessorConstants.h"
#include "persistence/ProjectMetadata.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QMutex>
#include <QScopeGuard>
#include <QSet>
#include <QThread>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nerim {

namespace {

const QString tag = QStringLiteral("[Nerim deploy-records]");

// One read-change-write at a time in this process; other Nerim processes wait
// for the lock file beside the records (see RecordsLock). A plain read needs
// no turn: every write renames a whole new file into place, so a reader sees
// the old file or the new one, and never waits for a writer.
QMutex recordsMutex;

// How long a change waits for another Nerim that holds the records.
constexpr int lockWaitMs = 30000;

using Records = QJsonObject; // project key -> record object

// What a record keeps of the project it was made for: the identity the
// project holds (.nerim/metadata.json's projectId) and the project folder
// itself ("<device>:<inode>" of the folder, which a rename or a move within
// its file system keeps and a copy does not).
const QString projectIdKey = QStringLiteral("projectId");
const QString projectFolderKey = QStringLiteral("projectFolder");

DeployOwnRecord recordFrom(const JsonObjectReader &reader)
{
    DeployOwnRecord record;
    record.frontendURL = reader.optionalString(QStringLiteral("frontendURL"));
    record.customDomain = reader.optionalString(QStringLiteral("customDomain"));
    record.deploymentIDs = reader.stringList(QStringLiteral("deploymentIDs"));
    reader.optionalString(projectIdKey);
    reader.optionalString(projectFolderKey);
    return record;
}

QJsonObject objectOf(const DeployOwnRecord &record, const std::optional<QString> &projectId,
                     const std::optional<QString> &projectFolder)
{
    QJsonObject object;
    auto text = [](const QString &s) { return QJsonValue(s); };
    json::insertOptional(object, QStringLiteral("frontendURL"), record.frontendURL, text);
    json::insertOptional(object, QStringLiteral("customDomain"), record.customDomain, text);
    object.insert(QStringLiteral("deploymentIDs"), QJsonArray::fromStringList(record.deploymentIDs));
    json::insertOptional(object, projectIdKey, projectId, text);
    json::insertOptional(object, projectFolderKey, projectFolder, text);
    return object;
}

// What the record under `key` keeps of its project (`projectIdKey` or
// `projectFolderKey`); absent in records made before these were kept.
std::optional<QString> stored(const Records &records, const QString &key, const QString &field)
{
    const QJsonValue value = records.value(key).toObject().value(field);
    return value.isString() && !value.toString().isEmpty() ? std::optional(value.toString()) : std::nullopt;
}

// The whole file, checked record by record. Throws on anything it does not expect.
Records decodeRecords(const QByteArray &bytes)
{
    const JsonObjectReader reader = JsonObjectReader::parse(bytes);
    if (reader.int32(QStringLiteral("version")) != 1)
        throw std::runtime_error("unknown version");
    const JsonObjectReader projects = reader.object(QStringLiteral("projects"));
    for (auto it = projects.raw().begin(); it != projects.raw().end(); ++it)
        recordFrom(projects.object(it.key()));
    return projects.raw();
}

QByteArray encodeRecords(const Records &projects)
{
    QJsonObject object;
    object.insert(QStringLiteral("version"), 1);
    object.insert(QStringLiteral("projects"), projects);
    return json::encodePretty(object);
}

// What reading the file and its backup gave: the records (nothing when
// neither exists or neither reads), and which of the two exist but do not read.
struct RecordsRead {
    std::optional<Records> records;
    std::optional<QString> primaryFailure;
    std::optional<QString> backupFailure;
};

// Reads one of the two files: nothing when it does not exist; the failure when it does not read.
std::optional<Records> readOne(const QString &path, std::optional<QString> *failure)
{
    try {
        if (const std::optional<QByteArray> bytes = AtomicFileWriter::readBytes(path))
            return decodeRecords(*bytes);
    } catch (...) {
        *failure = AtomicFileWriter::describeFailure(std::current_exception());
    }
    return std::nullopt;
}

RecordsRead readRecords(const QString &path)
{
    RecordsRead read;
    read.records = readOne(path, &read.primaryFailure);
    if (!read.records)
        read.records = readOne(AtomicFileWriter::backupPathFor(path), &read.backupFailure);
    return read;
}

// Moves a file that does not read out of the way under a name of its own
// ("<name>.unreadable-<UTC time>", then "-2", "-3"… when taken), never
// replacing anything: an earlier set-aside file is kept however many follow.
// Returns the new name; throws when the file cannot be moved (it is then
// left where it is, and nothing may be written over it).
QString setAside(const QString &path)
{
    if (const std::optional<QString> aside = setAside::move(path, u"unreadable"))
        return *aside;
    throw std::runtime_error(QStringLiteral("%1 doesn't read and couldn't be set aside: %2")
                                 .arg(path, QString::fromLocal8Bit(std::strerror(errno)))
                                 .toStdString());
}

// The exclusive lock other Nerim processes respect around a read-change-write
// of the records: an flock on "deploy-records.json.lock" beside them (never
// removed, so every process locks the same file). Waits at most `lockWaitMs`
// for a Nerim that holds it; throws when it cannot be had.
class RecordsLock {
public:
    explicit RecordsLock(const QString &recordsPath)
    {
        const QByteArray path = QFile::encodeName(recordsPath + QStringLiteral(".lock"));
        m_fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (m_fd < 0)
            throw std::runtime_error(QStringLiteral("couldn't open the lock of %1: %2")
                                         .arg(recordsPath, QString::fromLocal8Bit(std::strerror(errno)))
                                         .toStdString());
        QElapsedTimer waited;
        waited.start();
        while (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || waited.elapsed() > lockWaitMs) {
                const int error = errno;
                ::close(m_fd);
                throw std::runtime_error(
                    QStringLiteral("couldn't lock %1: %2")
                        .arg(recordsPath, error == EWOULDBLOCK ? QStringLiteral("another Nerim keeps it locked")
                                                               : QString::fromLocal8Bit(std::strerror(error)))
                        .toStdString());
            }
            QThread::msleep(10);
        }
    }
    ~RecordsLock() { ::close(m_fd); } // closing the last descriptor releases the lock
    RecordsLock(const RecordsLock &) = delete;
    RecordsLock &operator=(const RecordsLock &) = delete;

private:
    int m_fd = -1;
};

// The identity the project folder holds (.nerim/metadata.json's projectId):
// nothing when there is no such file or it does not read.
std::optional<QString> projectIdAt(const QString &folder)
{
    try {
        // Beneath the project without following a link, as every read of a project's files.
        const std::optional<QByteArray> bytes =
            RegularFile::readBeneath(folder, QStringLiteral(".nerim/metadata.json"));
        if (!bytes)
            return std::nullopt;
        const QString id = ProjectMetadata::decode(*bytes).projectId;
        if (!id.isEmpty())
            return id;
    } catch (...) {
    }
    return std::nullopt;
}

// The folder at `path` as its file system knows it ("<device>:<inode>");
// nothing when there is none.
std::optional<QString> folderIdentity(const QString &path)
{
    struct stat folder {};
    if (::stat(QFile::encodeName(path).constData(), &folder) != 0 || !S_ISDIR(folder.st_mode))
        return std::nullopt;
    return QStringLiteral("%1:%2").arg(quint64(folder.st_dev)).arg(quint64(folder.st_ino));
}

// Where a project's record is kept among `records`.
struct Placement {
    QString key;           // the record's key now; empty when the project has none
    bool moved = false;    // found under another key (the folder's former path)
    // The record under the folder's path was made for another folder: it is
    // kept under a key of its own when the project's record is written.
    bool displaces = false;
    std::optional<QString> projectId;     // the identity the project folder holds
    std::optional<QString> projectFolder; // the folder's own identity
};

// The inode of a folder identity ("<device>:<inode>").
QString inodeOf(const QString &folderIdentity) { return folderIdentity.section(QLatin1Char(':'), 1); }

// Whether the record under `key` was made for the folder that lies at that
// path now: what the record keeps of its project must be what the folder
// holds. Another folder put at the path (a copy of the project after the
// project was renamed, a restored backup, a new project) is another inode,
// and a new project holds another identity. Only the inode is compared: the
// device number of a file system can change from one boot to the next (LVM,
// btrfs subvolumes, network file systems), and a different file system
// mounted at the path would need both the inode and the identity to agree.
// A record made before the project had an identity does not ask for one; one
// made before identities were kept names nothing to compare and stays with
// its path.
bool madeForFolderAt(const Records &records, const QString &key, const Placement &now)
{
    const std::optional<QString> id = stored(records, key, projectIdKey);
    const std::optional<QString> folder = stored(records, key, projectFolderKey);
    if (id && id != now.projectId)
        return false;
    return !folder || (now.projectFolder && inodeOf(*folder) == inodeOf(*now.projectFolder));
}

// A project's record is the one under its folder's path when it was made for
// the folder there. Failing that, it is the record of this very folder,
// renamed or moved within its file system: the one record that names both
// the identity the folder holds and the folder itself (same device and
// inode), wherever it is kept. So a copy of the project's files, the identity
// included, gets nothing: not while the project lies at its path, nor at the
// project's former path after the project was renamed (the copy is another
// folder, and the renamed project takes its record); and when two records
// could be meant, neither is taken. A project moved to another file system
// arrives as a copy, and opens without its record until its next deploy
// records it again.
Placement placeOf(const Records &records, const QString &key)
{
    Placement placement;
    placement.projectId = projectIdAt(key);
    placement.projectFolder = folderIdentity(key);
    if (records.contains(key)) {
        if (madeForFolderAt(records, key, placement)) {
            placement.key = key;
            return placement;
        }
        placement.displaces = true;
    }
    if (!placement.projectId || !placement.projectFolder)
        return placement;
    QStringList found;
    for (auto it = records.begin(); it != records.end(); ++it)
        if (it.key() != key && stored(records, it.key(), projectIdKey) == placement.projectId &&
            stored(records, it.key(), projectFolderKey) == placement.projectFolder)
            found.append(it.key());
    if (found.size() == 1) {
        placement.key = found.first();
        placement.moved = true;
    } else if (found.size() > 1) {
        logLine(QStringLiteral("%1 %2 records name the project at %3; none is taken for it")
                    .arg(tag).arg(found.size()).arg(key));
    }
    return placement;
}

// The key a record is kept under once another folder took its path: never a
// project's key (those are absolute paths), unique, and naming where the
// record was. Its folder finds it again by the identities it keeps.
QString keyAside(const Records &records, const QString &formerKey)
{
    const QString folder = stored(records, formerKey, projectFolderKey).value_or(QStringLiteral("unknown folder"));
    const QString base = QStringLiteral("moved away (%1) from %2").arg(folder, formerKey);
    QString key = base;
    for (int n = 2; records.contains(key); ++n)
        key = QStringLiteral("%1 #%2").arg(base).arg(n);
    return key;
}

// Whether the record wants writing without any change: moved to the folder's
// new path, or keeping another identity of the project than the one it has
// now (none, in records made before identities were kept).
bool wantsAdopting(const Records &records, const Placement &placement)
{
    if (placement.key.isEmpty())
        return false;
    const auto differs = [&](const QString &field, const std::optional<QString> &now) {
        return now && stored(records, placement.key, field) != now;
    };
    return placement.moved || differs(projectIdKey, placement.projectId) ||
           differs(projectFolderKey, placement.projectFolder);
}

// Reads, changes (when `change` is given) and writes the records under the
// lock. Without a change, writes only what `wantsAdopting` asks for.
void changeRecords(const QString &path, const QUrl &projectURL, const std::function<void(DeployOwnRecord &)> *change)
{
    if (!projectURL.isLocalFile() || projectURL.toLocalFile().isEmpty())
        throw std::runtime_error("the project is not a local folder");
    const QString key = DeployOwnRecord::projectKey(projectURL);
    QMutexLocker inProcess(&recordsMutex);
    QDir().mkpath(QFileInfo(path).absolutePath());
    const RecordsLock lock(path);

    const RecordsRead read = readRecords(path);
    Records records = read.records.value_or(Records());
    const Placement placement = placeOf(records, key);
    if (!change && !wantsAdopting(records, placement))
        return;
    // Whatever exists and does not read is moved out of the way before
    // anything is written: what it held is lost to the live addresses (they
    // are no longer vouched for), not to the user.
    const std::pair<QString, const std::optional<QString> &> unreadable[] = {
        {path, read.primaryFailure}, {AtomicFileWriter::backupPathFor(path), read.backupFailure}};
    for (const auto &[file, failure] : unreadable) {
        if (!failure)
            continue;
        const QString aside = setAside(file);
        logLine(QStringLiteral("%1 %2 doesn't read (%3); set aside as %4").arg(tag, file, *failure, aside));
    }

    if (placement.displaces) {
        // Another folder's record under this path: kept for that folder, which
        // may open elsewhere (a renamed project whose old path now holds
        // another), never taken over by this one.
        const QString aside = keyAside(records, key);
        records.insert(aside, records.value(key));
        logLine(QStringLiteral("%1 the record under %2 was made for another folder; kept as \"%3\"").arg(tag, key, aside));
    }
    DeployOwnRecord record;
    std::optional<QString> projectId = placement.projectId;
    std::optional<QString> projectFolder = placement.projectFolder;
    if (!placement.key.isEmpty()) {
        record = recordFrom(JsonObjectReader(records.value(placement.key).toObject(), placement.key));
        if (!projectId)
            projectId = stored(records, placement.key, projectIdKey);
        if (!projectFolder)
            projectFolder = stored(records, placement.key, projectFolderKey);
        if (placement.moved) {
            records.remove(placement.key);
            logLine(QStringLiteral("%1 the project once at \"%2\" is now at %3; its record moves with it")
                        .arg(tag, placement.key, key));
        }
    }
    if (change)
        (*change)(record);
    records.insert(key, objectOf(record, projectId, projectFolder));
    try {
        AtomicFileWriter::write(encodeRecords(records), path, AtomicFileWriter::backupPathFor(path),
                                AtomicFileWriter::WriteOptions{0600});
    } catch (const MemoryError &e) {
        throw std::runtime_error(e.description().toStdString());
    }
}

// Records waiting to be adopted in the background, by project key (one job each).
QMutex adoptingMutex;
QSet<QString> adopting;

// Writes a record found under a former path (or keeping another identity of
// its project, or none) as the project's own, off the calling thread, once
// for each project at a time.
void adoptInBackground(const QUrl &projectURL, const QString &key)
{
    {
        QMutexLocker lock(&adoptingMutex);
        if (adopting.contains(key))
            return;
        adopting.insert(key);
    }
    const QString path = DeployOwnRecord::recordsPath();
    SerialFileWriter::shared().submit(
        path + QStringLiteral("#") + key,
        [path, projectURL, key] {
            const auto done = qScopeGuard([&key] {
                QMutexLocker lock(&adoptingMutex);
                adopting.remove(key);
            });
            changeRecords(path, projectURL, nullptr);
        },
        tag);
}

} // namespace

QString DeployOwnRecord::recordsPath()
{
    return QDir(IntentProcessorConstants::appSupportDirectory()).filePath(fileName);
}

QString DeployOwnRecord::projectKey(const QUrl &projectURL)
{
    const QString path = projectURL.toLocalFile();
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(path) : canonical;
}

DeployOwnRecord DeployOwnRecord::load(const QUrl &projectURL)
{
    if (!projectURL.isLocalFile() || projectURL.toLocalFile().isEmpty())
        return {};
    const QString key = projectKey(projectURL);
    try {
        const RecordsRead read = readRecords(recordsPath());
        if (read.primaryFailure)
            logLine(QStringLiteral("%1 %2 doesn't read (%3)").arg(tag, recordsPath(), *read.primaryFailure));
        if (!read.records)
            return {};
        const Placement placement = placeOf(*read.records, key);
        if (placement.key.isEmpty())
            return {};
        if (wantsAdopting(*read.records, placement))
            adoptInBackground(projectURL, key);
        return recordFrom(JsonObjectReader(read.records->value(placement.key).toObject(), placement.key));
    } catch (...) {
        logLine(QStringLiteral("%1 couldn't read %2: %3")
                    .arg(tag, recordsPath(), AtomicFileWriter::describeFailure(std::current_exception())));
    }
    return {};
}

void DeployOwnRecord::update(const QUrl &projectURL, const std::function<void(DeployOwnRecord &)> &change)
{
    changeRecords(recordsPath(), projectURL, &change);
}

namespace {

// An address as compared with the recorded one: made plain, without a final slash.
QString comparable(const QString &address)
{
    QString plain = normalizedLiveAddress(address);
    while (plain.endsWith(QLatin1Char('/')))
        plain.chop(1);
    return plain;
}

} // namespace

bool DeployOwnRecord::vouchesForFrontendURL(const QString &url) const
{
    return frontendURL && !comparable(url).isEmpty() && comparable(*frontendURL) == comparable(url);
}

bool DeployOwnRecord::vouchesForDomain(const QString &domain) const
{
    return customDomain && !domain.trimmed().isEmpty() && isSameDomain(*customDomain, domain);
}

bool DeployOwnRecord::vouchesForDeployment(const QString &deploymentID) const
{
    return !deploymentID.isEmpty() && deploymentIDs.contains(deploymentID);
}

void DeployOwnRecord::addDeployment(const QString &deploymentID)
{
    if (deploymentID.isEmpty())
        return;
    deploymentIDs.removeAll(deploymentID);
    deploymentIDs.append(deploymentID);
    while (deploymentIDs.size() > maxDeploymentIDs)
        deploymentIDs.removeFirst();
}

} // namespace nerim
