#pragma once

#include <functional>
#include <memory>

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <optional>

namespace nerim {

class ProjectDataFolder;

// The outcome of one finished repair session: one line of the project's
// .nerim/repair-history.jsonl. The history is written, never read back by the
// application; it is a record for people and later tools.
class RepairHistoryEntry {
public:
    QString timestamp;             // ISO 8601 UTC, whole seconds, "Z"
    QString category;              // failure category raw value, or "unknown"
    int attempts = 1;
    QString outcome;               // "fixed", "stuck", "cancelled" (or "unknown")
    std::optional<QString> reason; // left out of the line when absent
    qint64 durationSec = 0;

    friend bool operator==(const RepairHistoryEntry &, const RepairHistoryEntry &) = default;

    static inline const QString fileName = QStringLiteral("repair-history.jsonl");
    // The joined lines (without the final line feed) may not pass this many bytes.
    static constexpr qint64 sizeCap = 1048576;

    // One compact JSON object with its keys in field order, without a line feed.
    QByteArray jsonLine() const;

    // Appends the entry to the project's history through the project's data
    // folder door (kept until the line is on disk). The line is encoded at
    // once; the file is rewritten in the background, writes of one history
    // file strictly in order and none of them lost: a failed write keeps its
    // lines for the retry (ProjectDataFolder::save), and a door that cannot
    // write drops them, told once. Returns at once and never throws.
    // `SerialFileWriter::shared().flush()` waits for pending appends.
    static void append(const RepairHistoryEntry &entry, const std::shared_ptr<ProjectDataFolder> &door);
    // The same through the door opened (or shared) for `projectURL`.
    static void append(const RepairHistoryEntry &entry, const QUrl &projectURL);

    // <project>/.nerim/repair-history.jsonl
    static QString historyPath(const QString &projectPath);

    // The synchronous append of already encoded lines to the history file
    // `name` in the door's folder, in order, each with its own size check;
    // one atomic rewrite with a backup. A file there that cannot be read is
    // left as it is (logged, nothing written); a failed write throws.
    static void appendLines(const ProjectDataFolder &door, const QString &name, const QList<QByteArray> &lines);
    // The same for the file at `path` (in a project's `.nerim`), through its
    // door; never throws, failures are logged.
    static void appendLines(const QString &path, const QList<QByteArray> &lines);

    // Queues `lines` for the history file `name` and saves them through the
    // door (the shared way of both histories); `beforeWrite` runs on the
    // writer's thread first.
    static void queueLines(const std::shared_ptr<ProjectDataFolder> &door, const QString &name,
                           const QList<QByteArray> &lines, std::function<void()> beforeWrite = {});
};

} // namespace nerim
