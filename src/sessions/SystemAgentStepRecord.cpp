#include "sessions/SystemAgentStepRecord.h"

#include "foundation/BeneathFolder.h"

#include "foundation/Json.h"
#include "foundation/Log.h"
#include "foundation/SerialFileWriter.h"
#include "persistence/ProjectDataFolder.h"
#include "foundation/UuidText.h"
#include "persistence/AtomicFileWriter.h"
#include "persistence/IntentProcessorConstants.h"
#include "persistence/SetAside.h"
#include "sessions/StepRecordVouch.h"

#include <QDir>
#include <QFileInfo>
#include <cerrno>
#include <cstring>

namespace nerim {

namespace {

const QString tag = QStringLiteral("[Nerim steps]");

// Moves the record at `target` aside within its folder (`why` says what it is
// for the log). Returns whether it is gone from its place.
// Only the Nerim that writes the project moves a record aside; any other
// leaves it where it is.
bool setRecordAside(const std::shared_ptr<ProjectDataFolder> &door, const QString &fileName, const QString &target,
                    const QString &why)
{
    QString failure;
    try {
        if (!door)
            throw ProjectDataFolder::NotWriter("the project is not open for writing");
        if (const std::optional<QString> aside =
                door->setAside(ProjectDataFolder::Kind::stepRecord, fileName, u"unreadable")) {
            logLine(QStringLiteral("%1 %2 %3; moved aside to %4").arg(tag, target, why, door->filePath(*aside)));
            return true;
        }
        failure = QString::fromLocal8Bit(std::strerror(errno));
    } catch (const std::exception &e) {
        failure = QString::fromUtf8(e.what());
    }
    logLine(QStringLiteral("%1 %2 %3 and couldn't be moved aside: %4").arg(tag, target, why, failure));
    return false;
}

bool vouchBeforeWriting(const QString &projectPath, const QString &fileName, const QString &target,
                        const QByteArray &bytes)
{
    try {
        StepRecordVouch::vouchBeforeWriting(projectPath, fileName, bytes);
        return true;
    } catch (const std::exception &e) {
        logLine(QStringLiteral("%1 couldn't vouch for %2 (a restart will not trust it): %3")
                    .arg(tag, target, QString::fromUtf8(e.what())));
        return false;
    }
}

void settleVouch(const QString &projectPath, const QString &fileName, const QString &target, const QByteArray &bytes)
{
    try {
        StepRecordVouch::settle(projectPath, fileName, bytes);
    } catch (const std::exception &e) {
        logLine(QStringLiteral("%1 couldn't settle the vouch for %2: %3").arg(tag, target, QString::fromUtf8(e.what())));
    }
}

std::optional<SystemAgentStepRecord::State> stateFromRaw(const QString &raw)
{
    if (raw == QLatin1String("running"))
        return SystemAgentStepRecord::State::running;
    if (raw == QLatin1String("ended"))
        return SystemAgentStepRecord::State::ended;
    if (raw == QLatin1String("failed"))
        return SystemAgentStepRecord::State::failed;
    return std::nullopt;
}

QString rawState(SystemAgentStepRecord::State state)
{
    switch (state) {
    case SystemAgentStepRecord::State::running: return QStringLiteral("running");
    case SystemAgentStepRecord::State::ended: return QStringLiteral("ended");
    case SystemAgentStepRecord::State::failed: return QStringLiteral("failed");
    }
    return QString();
}

} // namespace

QByteArray SystemAgentStepRecord::encode() const
{
    QJsonObject object;
    object.insert(QStringLiteral("state"), rawState(state));
    object.insert(QStringLiteral("instance"), instance);
    object.insert(QStringLiteral("step"), step);
    object.insert(QStringLiteral("startedAt"), startedAt);
    object.insert(QStringLiteral("providers"), QJsonArray::fromStringList(providers));
    if (enable)
        object.insert(QStringLiteral("enable"), *enable);
    json::insertOptional(object, QStringLiteral("deploymentID"), deploymentID);
    json::insertOptional(object, QStringLiteral("targetTimestamp"), targetTimestamp);
    json::insertOptional(object, QStringLiteral("frontendURL"), frontendURL);
    json::insertOptional(object, QStringLiteral("domain"), domain);
    json::insertOptional(object, QStringLiteral("category"), category);
    object.insert(QStringLiteral("attempt"), attempt);
    return json::encodePretty(object);
}

std::optional<SystemAgentStepRecord> SystemAgentStepRecord::decode(const QByteArray &bytes)
{
    try {
        const JsonObjectReader reader = JsonObjectReader::parse(bytes);
        SystemAgentStepRecord record;
        record.state = reader.value(QStringLiteral("state")).toEnum(&stateFromRaw);
        record.instance = reader.string(QStringLiteral("instance"));
        record.step = reader.string(QStringLiteral("step"));
        // Only the steps Nerim writes: the file is in the project, where anyone may have put it.
        static const QStringList steps{QStringLiteral("fresh"),        QStringLiteral("redeploy"),
                                       QStringLiteral("rollback"),     QStringLiteral("gitConnect"),
                                       QStringLiteral("envVarUpdate"), QStringLiteral("domain"),
                                       QStringLiteral("repair")};
        if (!steps.contains(record.step))
            return std::nullopt;
        record.startedAt = reader.string(QStringLiteral("startedAt"));
        record.providers = reader.value(QStringLiteral("providers")).toStringList();
        record.enable = reader.optionalBool(QStringLiteral("enable"));
        record.deploymentID = reader.optionalString(QStringLiteral("deploymentID"));
        record.targetTimestamp = reader.optionalString(QStringLiteral("targetTimestamp"));
        record.frontendURL = reader.optionalString(QStringLiteral("frontendURL"));
        record.domain = reader.optionalString(QStringLiteral("domain"));
        record.category = reader.optionalString(QStringLiteral("category"));
        record.attempt = reader.int32(QStringLiteral("attempt"));
        return record;
    } catch (const std::exception &) {
        return std::nullopt;
    }
}

const QString &SystemAgentStepRecord::currentInstance()
{
    static const QString instance = uuidText(newUuid());
    return instance;
}

QString SystemAgentStepRecord::path(const QString &projectPath, const QString &fileName)
{
    return QDir(projectPath).filePath(QStringLiteral(".nerim/") + fileName);
}

void SystemAgentStepRecord::write(const QString &projectPath, const QString &fileName,
                                  const SystemAgentStepRecord &record)
{
    const QString target = path(projectPath, fileName);
    const QByteArray bytes = record.encode();
    SerialFileWriter::shared().submit(
        target,
        [projectPath, fileName, target, bytes] {
            // A project folder moved or deleted meanwhile is not made again as an empty shell.
            if (!QFileInfo(projectPath).isDir())
                return;
            try {
                // Vouched for before it is written, so the next Nerim trusts it
                // whether or not a crash comes between the two.
                const std::shared_ptr<ProjectDataFolder> door = ProjectDataFolder::open(projectPath).folder;
                door->checkWritable(ProjectDataFolder::Kind::stepRecord);
                const bool vouched = vouchBeforeWriting(projectPath, fileName, target, bytes);
                // Written through the project's door, beneath the project.
                door->write(ProjectDataFolder::Kind::stepRecord, fileName, bytes,
                                                                   AtomicFileWriter::backupPathFor(fileName));
                if (vouched)
                    settleVouch(projectPath, fileName, target, bytes);
            } catch (const MemoryError &e) {
                logLine(QStringLiteral("%1 couldn't write %2: %3").arg(tag, target, e.description()));
            } catch (const std::exception &e) {
                logLine(QStringLiteral("%1 couldn't write %2: %3").arg(tag, target, QString::fromUtf8(e.what())));
            }
        },
        tag);
}

void SystemAgentStepRecord::write(const std::shared_ptr<ProjectDataFolder> &door, const QString &fileName,
                                  const SystemAgentStepRecord &record)
{
    if (!door) {
        logLine(QStringLiteral("%1 %2 not written: the project is not open for writing").arg(tag, fileName));
        return;
    }
    const QByteArray bytes = record.encode();
    door->save(ProjectDataFolder::Kind::stepRecord, fileName, [fileName, bytes](const ProjectDataFolder &folder) {
        // A Nerim that may not write the project vouches for nothing either.
        folder.checkWritable(ProjectDataFolder::Kind::stepRecord);
        const QString target = folder.filePath(fileName);
        const bool vouched = vouchBeforeWriting(folder.projectPath(), fileName, target, bytes);
        folder.write(ProjectDataFolder::Kind::stepRecord, fileName, bytes, AtomicFileWriter::backupPathFor(fileName));
        if (vouched)
            settleVouch(folder.projectPath(), fileName, target, bytes);
    });
}

SystemAgentStepRecord::Found SystemAgentStepRecord::read(const QString &projectPath, const QString &fileName,
                                                         const std::shared_ptr<ProjectDataFolder> &door)
{
    const QString target = path(projectPath, fileName);
    std::optional<QByteArray> bytes;
    try {
        IntentProcessorConstants::projectDotfolder(projectPath);
        bytes = AtomicFileWriter::readBytes(target, projectPath);
    } catch (const std::exception &e) {
        logLine(QStringLiteral("%1 couldn't read %2: %3").arg(tag, target, QString::fromUtf8(e.what())));
        return {};
    }
    if (!bytes)
        return {};
    std::optional<SystemAgentStepRecord> record = decode(*bytes);
    if (!record) {
        // Not one of Nerim's records: kept aside for whoever wants to look, never read as a step.
        const bool aside = setRecordAside(door, fileName, target, QStringLiteral("isn't a step record"));
        return Found{std::nullopt, true, aside};
    }
    if (!StepRecordVouch::vouchesFor(projectPath, fileName, *bytes)) {
        // A record of a step this Nerim did not write here: nothing the user started.
        const bool aside = setRecordAside(door, fileName, target, QStringLiteral("wasn't written by this Nerim"));
        return Found{std::nullopt, true, aside};
    }
    return Found{record, false, false};
}

QString SystemAgentStepRecord::notNerimsLine(const Found &found, const QString &fileName)
{
    return QStringLiteral("[Nerim found a step record it didn't write (.nerim/%1), so it %2 offer or run anything "
                          "from it.]")
        .arg(fileName, found.setAside ? QStringLiteral("set it aside and doesn't") : QStringLiteral("doesn't"));
}

} // namespace nerim
