#pragma once

#include <memory>

#include "foundation/SerialExecutor.h"
#include "foundation/Timestamp.h"
#include "plans/PlanStep.h"

#include <QFuture>
#include <QList>
#include <QString>

namespace nerim {

class ProjectDataFolder;

// Owns a project's plans folder, <project>/.nerim/plans: the Markdown files the
// ORGANIZE call produces and the overview.md generated from the plan. Every
// operation runs on the store's own background thread, one at a time, so the
// writes of one project never interleave; the GUI thread awaits the returned
// futures with `co_await`. The work captures only values, so a future stays
// valid even when the store is destroyed first (the destructor waits for it).
class PlansWorkspaceStore {
public:
    // One Markdown file directly inside the plans folder.
    struct File {
        QString filename;       // name within the plans folder, e.g. "overview.md"
        QString contents;       // the whole file as UTF-8 text
        Timestamp lastModified; // content-modification time, or the moment of listing

        friend bool operator==(const File &, const File &) = default;
    };

    explicit PlansWorkspaceStore(QString directoryURL);

    // <project>/.nerim/plans
    static QString plansDirectoryFor(const QString &projectPath);

    const QString &directoryURL() const { return m_directory; }

    // The ".md" files directly in the folder (no subfolders, hidden files,
    // backups or temporary files), "overview.md" first, the rest by name in the
    // user's locale, case-insensitively. Only regular files are read, a link
    // only when it leads to a file inside the plans folder. Creates the folder
    // when missing (not through a door that cannot write); never fails. A plans folder that is a symbolic link (or
    // lies in a data folder leading out of the project) is not read: the list
    // is empty and one line is logged. Writes refuse such a folder too.
    QFuture<QList<File>> listFiles();

    // Writes `contents` crash-safely to `filename` (a path relative to the plans
    // folder that may contain "/"), keeping the replaced version as
    // "<name>.backup". A name that would leave the plans folder is refused.
    // True when the file was written; a failure is logged.
    QFuture<bool> writeFile(const QString &filename, const QString &contents);

    // Regenerates overview.md from the plan's goal and steps.
    QFuture<bool> writeOverview(const QString &goal, const QList<PlanStep> &steps);

    // Creates the plans folder when missing; failures are ignored.
    QFuture<void> ensureDirectory();

    // The project's data folder door: when set, every write (and the
    // folder's creation) goes through it, and none is made by a Nerim that
    // does not hold the project. GUI thread.
    void setDataFolder(std::shared_ptr<ProjectDataFolder> door) { m_door = std::move(door); }

    // The text of overview.md for a goal, steps and moment (exposed for tests).
    static QString overviewText(const QString &goal, const QList<PlanStep> &steps, Timestamp now);

    // The synchronous work behind the operations above, run on the store's thread.
    static QList<File> listFilesIn(const QString &directory, bool mayCreate = true);
    static bool writeFileIn(const QString &directory, const QString &filename, const QString &contents);
    static bool writeFileIn(const ProjectDataFolder &door, const QString &filename, const QString &contents);

private:
    QString m_directory;
    std::shared_ptr<ProjectDataFolder> m_door;
    SerialExecutor m_executor;
};

} // namespace nerim
