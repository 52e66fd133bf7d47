#include "launcher/LaunchOverride.h"

#include "foundation/Json.h"
#include "foundation/Log.h"
#include "persistence/AtomicFileWriter.h"
#include "persistence/IntentProcessorConstants.h"
#include "persistence/ProjectDataFolder.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

namespace nerim {

namespace {

const QString defaultDescription = QStringLiteral("Starting your app");

QString projectFolder(const QString &projectPath)
{
    QString folder = projectPath;
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    return folder;
}

// A JSON string literal, escaped exactly as QJsonDocument escapes it.
QByteArray jsonString(const QString &text)
{
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

} // namespace

QString LaunchOverride::filePath(const QString &projectPath)
{
    return projectFolder(projectPath) + QStringLiteral("/.nerim/launch-override.json");
}

QString LaunchOverride::backupFilePath(const QString &projectPath)
{
    return AtomicFileWriter::backupPathFor(filePath(projectPath));
}

QByteArray LaunchOverride::encode() const
{
    // QJsonObject sorts its keys; the file keeps the field order, so the
    // object is put together by hand from individually encoded values.
    QList<QByteArray> members;
    members << "\"version\":" + QByteArray::number(version);
    members << "\"shellCommand\":" + jsonString(shellCommand);
    if (workingSubpath)
        members << "\"workingSubpath\":" + jsonString(*workingSubpath);
    if (description)
        members << "\"description\":" + jsonString(*description);
    members << "\"writtenAt\":" + jsonString(writtenAt);
    if (notes)
        members << "\"notes\":" + jsonString(*notes);
    return "{" + members.join(',') + "}";
}

LaunchOverride LaunchOverride::decode(const QByteArray &bytes)
{
    const JsonObjectReader reader = JsonObjectReader::parse(bytes);
    LaunchOverride result;
    result.version = reader.int32(QStringLiteral("version"));
    result.shellCommand = reader.string(QStringLiteral("shellCommand"));
    result.workingSubpath = reader.optionalString(QStringLiteral("workingSubpath"));
    result.description = reader.optionalString(QStringLiteral("description"));
    result.writtenAt = reader.string(QStringLiteral("writtenAt"));
    result.notes = reader.optionalString(QStringLiteral("notes"));
    return result;
}

std::optional<LaunchOverride> LaunchOverride::load(const QString &projectPath)
{
    const QString path = filePath(projectPath);
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
        return std::nullopt;

    LaunchOverride result;
    try {
        // Reached from the project folder without following any link.
        const auto bytes = AtomicFileWriter::readBytes(path, projectFolder(projectPath));
        if (!bytes)
            return std::nullopt;
        result = decode(*bytes);
    } catch (...) {
        logLine(QStringLiteral("[Nerim launch-override] Decode failed at %1: %2")
                    .arg(path, AtomicFileWriter::describeFailure(std::current_exception())));
        return std::nullopt;
    }
    if (result.version != currentVersion) {
        logLine(QStringLiteral("[Nerim launch-override] Unknown version %1 at %2 (expected %3) — ignoring.")
                    .arg(QString::number(result.version), path, QString::number(currentVersion)));
        return std::nullopt;
    }
    // A blank command would make every later run start nothing at all.
    if (result.shellCommand.trimmed().isEmpty()) {
        logLine(QStringLiteral("[Nerim launch-override] Decode failed at %1: shellCommand is blank").arg(path));
        return std::nullopt;
    }
    return result;
}

void LaunchOverride::save(const QString &projectPath) const
{
    // The door moves a legacy data folder into place and creates .nerim when missing.
    save(*ProjectDataFolder::open(projectFolder(projectPath)).folder);
}

void LaunchOverride::save(const ProjectDataFolder &door) const
{
    const QString name = QStringLiteral("launch-override.json");
    door.write(ProjectDataFolder::Kind::launchOverride, name, encode(), AtomicFileWriter::backupPathFor(name));
}

LaunchPlan LaunchOverride::launchPlan(const QString &projectPath) const
{
    const QString project = projectFolder(projectPath);
    if (!workingSubpath || workingSubpath->isEmpty())
        return LaunchPlan{project, shellCommand, description.value_or(defaultDescription), {}};
    // The server still writes only the project, wherever the subfolder leads.
    return LaunchPlan{QDir::cleanPath(project + QLatin1Char('/') + *workingSubpath), shellCommand,
                      description.value_or(defaultDescription), project};
}

} // namespace nerim
