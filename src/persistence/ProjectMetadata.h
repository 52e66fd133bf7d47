#pragma once

#include "foundation/Json.h"
#include "foundation/Timestamp.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

namespace nerim {

// A project's identity record (metadata.json in the project data folder). Made
// when the project is first opened; its id is copied into the activity log.
struct ProjectMetadata {
    static constexpr int currentSchemaVersion = 1;

    int schemaVersion = currentSchemaVersion;
    QString projectId;   // upper-case UUID text
    Timestamp createdAt;
    QString displayName; // the folder's name when the record was made; not updated on rename

    // A new record for the project folder at `projectPath`.
    static ProjectMetadata make(const QString &projectPath, Timestamp now);

    // "createdAt", "displayName", "projectId", "schemaVersion"; all required on read.
    QJsonObject toJson() const;
    QByteArray encoded() const; // pretty-printed, sorted keys
    static ProjectMetadata fromJson(const JsonObjectReader &object); // throws JsonDecodingError
    static ProjectMetadata decode(const QByteArray &bytes);

    friend bool operator==(const ProjectMetadata &, const ProjectMetadata &) = default;
};

// The last path component of a folder path, ignoring trailing slashes.
QString folderName(const QString &path);

} // namespace nerim
