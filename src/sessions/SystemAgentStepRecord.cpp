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

#include <QDir>
#include <QFileInfo>
#include <cerrno>
#include <cstring>

namespace nerim {

namespace {

const QString tag = QStringLiteral("[Nerim steps]");

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
                // Written through the project's door, beneath the project.
                ProjectDataFolder::open(projectPath).folder->write(ProjectDataFolder::Kind::stepRecord, fileName, bytes,
                                                                   AtomicFileWriter::backupPathFor(fileName));
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
        folder.write(ProjectDataFolder::Kind::stepRecord, fileName, bytes, AtomicFileWriter::backupPathFor(fileName));
    });
}

std::optional<SystemAgentStepRecord> SystemAgentStepRecord::read(const QString &projectPath, const QString &fileName,
                                                                 const std::shared_ptr<ProjectDataFolder> &door)
{
    const QString target = path(projectPath, fileName);
    std::optional<QByteArray> bytes;
    try {
        IntentProcessorConstants::projectDotfolder(projectPath);
        bytes = AtomicFileWriter::readBytes(target, projectPath);
    } catch (const std::exception &e) {
        logLine(QStringLiteral("%1 couldn't read %2: %3").arg(tag, target, QString::fromUtf8(e.what())));
        return std::nullopt;
    }
    if (!bytes)
        return std::nullopt;
    if (std::optional<SystemAgentStepRecord> record = decode(*bytes))
        return record;
    // Not one of Nerim's records: kept aside for whoever wants to look, never read as a step.
    // Only the Nerim that writes the project moves it.
    QString why;
    try {
        if (!door)
            throw ProjectDataFolder::NotWriter("the project is not open for writing");
        if (const std::optional<QString> aside =
                door->setAside(ProjectDataFolder::Kind::stepRecord, fileName, u"unreadable")) {
            logLine(QStringLiteral("%1 %2 isn't a step record; moved aside to %3")
                        .arg(tag, target, door->filePath(*aside)));
            return std::nullopt;
        }
        why = QString::fromLocal8Bit(std::strerror(errno));
    } catch (const std::exception &e) {
        why = QString::fromUtf8(e.what());
    }
    logLine(QStringLiteral("%1 %2 isn't a step record and couldn't be moved aside: %3").arg(tag, target, why));
    return std::nullopt;
}

} // namespace nerim
