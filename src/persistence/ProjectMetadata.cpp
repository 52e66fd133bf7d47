#include "persistence/ProjectMetadata.h"

#include "foundation/UuidText.h"

#include <QFileInfo>

namespace nerim {

QString folderName(const QString &path)
{
    QString p = path;
    while (p.size() > 1 && p.endsWith(QLatin1Char('/')))
        p.chop(1);
    return QFileInfo(p).fileName();
}

ProjectMetadata ProjectMetadata::make(const QString &projectPath, Timestamp now)
{
    return ProjectMetadata{currentSchemaVersion, uuidText(newUuid()), now, folderName(projectPath)};
}

QJsonObject ProjectMetadata::toJson() const
{
    QJsonObject o;
    o.insert(QStringLiteral("schemaVersion"), schemaVersion);
    o.insert(QStringLiteral("projectId"), projectId);
    o.insert(QStringLiteral("createdAt"), json::isoDate(createdAt));
    o.insert(QStringLiteral("displayName"), displayName);
    return o;
}

QByteArray ProjectMetadata::encoded() const { return json::encodePretty(toJson()); }

ProjectMetadata ProjectMetadata::fromJson(const JsonObjectReader &object)
{
    return ProjectMetadata{object.int32(QStringLiteral("schemaVersion")), object.string(QStringLiteral("projectId")),
                           object.isoDate(QStringLiteral("createdAt")), object.string(QStringLiteral("displayName"))};
}

ProjectMetadata ProjectMetadata::decode(const QByteArray &bytes) { return fromJson(JsonObjectReader::parse(bytes)); }

} // namespace nerim
