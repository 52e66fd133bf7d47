#include "deploy/DeployOwnRecord.h"

#include "deploy/DeployTypes.h"
#include "foundation/Json.h"
#include "foundation/Log.h"
#include "persistence/AtomicFileWriter.h"
#include "persistence/IntentProcessorConstants.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QMutex>
#include <stdexcept>

namespace nerim {

namespace {

const QString tag = QStringLiteral("[Nerim deploy-records]");

// One read-change-write at a time, whichever canvas asks. A plain read needs
// no turn: every write renames a whole new file into place, so a reader sees
// the old file or the new one, and never waits for another thread's write.
QMutex recordsMutex;

using Records = QJsonObject; // project key -> record object

DeployOwnRecord recordFrom(const JsonObjectReader &reader)
{
    DeployOwnRecord record;
    record.frontendURL = reader.optionalString(QStringLiteral("frontendURL"));
    record.customDomain = reader.optionalString(QStringLiteral("customDomain"));
    record.deploymentIDs = reader.stringList(QStringLiteral("deploymentIDs"));
    return record;
}

QJsonObject objectOf(const DeployOwnRecord &record)
{
    QJsonObject object;
    auto text = [](const QString &s) { return QJsonValue(s); };
    json::insertOptional(object, QStringLiteral("frontendURL"), record.frontendURL, text);
    json::insertOptional(object, QStringLiteral("customDomain"), record.customDomain, text);
    object.insert(QStringLiteral("deploymentIDs"), QJsonArray::fromStringList(record.deploymentIDs));
    return object;
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

// Nothing when neither the file nor its backup exists; throws when they exist but do not read.
std::optional<Records> readRecords()
{
    const QString path = DeployOwnRecord::recordsPath();
    const QString backup = AtomicFileWriter::backupPathFor(path);
    if (!QFileInfo::exists(path) && !QFileInfo::exists(backup))
        return std::nullopt;
    const std::function<Records(const QByteArray &)> decoder = decodeRecords;
    const AtomicFileWriter::ReadResult<Records> result = AtomicFileWriter::read<Records>(path, backup, decoder);
    if (result.primaryReason)
        logLine(QStringLiteral("%1 read the backup of %2: %3").arg(tag, path, *result.primaryReason));
    return result.value;
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
        const std::optional<Records> records = readRecords();
        if (!records || !records->contains(key))
            return {};
        return recordFrom(JsonObjectReader(records->value(key).toObject(), key));
    } catch (...) {
        logLine(QStringLiteral("%1 couldn't read %2: %3")
                    .arg(tag, recordsPath(), AtomicFileWriter::describeFailure(std::current_exception())));
    }
    return {};
}

void DeployOwnRecord::update(const QUrl &projectURL, const std::function<void(DeployOwnRecord &)> &change)
{
    if (!projectURL.isLocalFile() || projectURL.toLocalFile().isEmpty())
        throw std::runtime_error("the project is not a local folder");
    const QString key = projectKey(projectURL);
    const QString path = recordsPath();
    QMutexLocker lock(&recordsMutex);
    Records records;
    try {
        records = readRecords().value_or(Records());
    } catch (...) {
        // Kept beside, never overwritten: what it held is lost to the live
        // addresses (they are no longer vouched for), not to the user.
        const QString aside = path + QStringLiteral(".unreadable");
        QFile::remove(aside);
        QFile::rename(path, aside);
        logLine(QStringLiteral("%1 %2 doesn't read (%3); set aside as %4")
                    .arg(tag, path, AtomicFileWriter::describeFailure(std::current_exception()), aside));
    }
    DeployOwnRecord record;
    if (records.contains(key))
        record = recordFrom(JsonObjectReader(records.value(key).toObject(), key));
    change(record);
    records.insert(key, objectOf(record));
    QDir().mkpath(QFileInfo(path).absolutePath());
    try {
        AtomicFileWriter::write(encodeRecords(records), path, AtomicFileWriter::backupPathFor(path),
                                AtomicFileWriter::WriteOptions{0600});
    } catch (const MemoryError &e) {
        throw std::runtime_error(e.description().toStdString());
    }
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
