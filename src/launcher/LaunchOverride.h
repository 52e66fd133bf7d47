#pragma once

#include "launcher/LaunchPlan.h"

#include <QByteArray>
#include <QString>
#include <optional>

namespace nerim {

class ProjectDataFolder;

// A project's own start command, saved as .nerim/launch-override.json (with a
// backup copy beside it). When present and valid it wins over project-type
// detection. Read afresh each time the app is run; nothing is cached.
struct LaunchOverride {
    static constexpr int currentVersion = 1;

    int version = currentVersion;
    QString shellCommand;
    // Relative to the project folder; absent or empty means the project folder.
    std::optional<QString> workingSubpath;
    // Shown while the app starts; absent means "Starting your app".
    std::optional<QString> description;
    // When it was written, as text; only logged, never parsed.
    QString writtenAt;
    // Free text for people; never read by the system.
    std::optional<QString> notes;

    friend bool operator==(const LaunchOverride &, const LaunchOverride &) = default;

    // The file and its backup inside a project folder.
    static QString filePath(const QString &projectPath);
    static QString backupFilePath(const QString &projectPath);

    // The project's override, or none when there is no file, the file does not
    // decode (logged), its version is not 1 (logged) or its command is blank
    // (logged). Never throws; does not fall back to the backup.
    static std::optional<LaunchOverride> load(const QString &projectPath);

    // Writes this override through AtomicFileWriter, creating the data folder
    // and keeping the previous file as the backup. Throws what the writer (or
    // the data-folder lookup) throws. Blocks on disk: call it off the GUI thread.
    void save(const QString &projectPath) const;
    // The same through the project's data folder door (throws
    // ProjectDataFolder::NotWriter when this Nerim does not write the project).
    void save(const ProjectDataFolder &door) const;

    // The plan: the project folder (or its working subfolder), the command
    // unchanged, the description or "Starting your app".
    LaunchPlan launchPlan(const QString &projectPath) const;

    // One compact JSON object with the keys in field order, absent optionals left out.
    QByteArray encode() const;
    // Strict decoding; throws JsonDecodingError. Unknown keys are ignored.
    static LaunchOverride decode(const QByteArray &bytes);
};

} // namespace nerim
