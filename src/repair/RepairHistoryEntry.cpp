#include "repair/RepairHistoryEntry.h"

#include "foundation/Log.h"
#include "foundation/SerialFileWriter.h"
#include "persistence/AtomicFileWriter.h"
#include "persistence/MemoryError.h"
#include "persistence/IntentProcessorConstants.h"
#include "persistence/ProjectDataFolder.h"
#include "foundation/RegularFile.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutex>
#include <stdexcept>

namespace nerim {

namespace {

const QString tag = QStringLiteral("[Nerim repair-history]");

// Compact JSON text of one value (strings escaped exactly as QJsonDocument does).
QByteArray encodeValue(const QJsonValue &value)
{
    QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return array.sliced(1, array.size() - 2); // strip "[" and "]"
}

void logAppendFailure(const QString &path, const QString &description)
{
    logLine(QStringLiteral("%1 Failed to append entry at %2: %3").arg(tag, path, description));
}

// Encoded lines waiting for the background writer, per history file. One writer
// job drains everything queued for its path, so a job the serial writer replaces
// by a newer one loses nothing.
QMutex pendingMutex;
QHash<QString, QList<QByteArray>> pendingLines;

} // namespace

QByteArray RepairHistoryEntry::jsonLine() const
{
    QByteArray line = "{";
    auto add = [&line](const char *key, const QJsonValue &value) {
        if (line.size() > 1)
            line += ',';
        line += '"';
        line += key;
        line += "\":";
        line += encodeValue(value);
    };
    add("timestamp", timestamp);
    add("category", category);
    add("attempts", attempts);
    add("outcome", outcome);
    if (reason)
        add("reason", *reason);
    add("durationSec", durationSec);
    line += '}';
    return line;
}

QString RepairHistoryEntry::historyPath(const QString &projectPath)
{
    return QDir(projectPath).filePath(QStringLiteral(".nerim/") + fileName);
}

void RepairHistoryEntry::appendLines(const ProjectDataFolder &door, const QString &name,
                                     const QList<QByteArray> &lines)
{
    if (lines.isEmpty())
        return;
    const QString path = door.filePath(name);
    QStringList all;
    try {
        const std::optional<QByteArray> bytes = RegularFile::readAt(door.folder().fd(), name);
        // A stray invalid byte must not cost the whole history: keep every
        // line, the damaged bytes shown as U+FFFD.
        if (bytes)
            all = QString::fromUtf8(*bytes).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    } catch (const std::exception &e) {
        logAppendFailure(path, QStringLiteral("the existing file can't be read (%1); it was left as it is")
                                   .arg(QString::fromUtf8(e.what())));
        return;
    }

    qint64 joinedBytes = 0;
    for (const QString &existing : std::as_const(all))
        joinedBytes += existing.toUtf8().size();
    joinedBytes += qMax<qsizetype>(0, all.size() - 1);

    for (const QByteArray &line : lines) {
        joinedBytes += line.size() + (all.isEmpty() ? 0 : 1);
        all.append(QString::fromUtf8(line));
        if (joinedBytes > sizeCap) {
            const qsizetype dropped = all.size() / 2;
            all = all.mid(dropped);
            joinedBytes = all.join(QLatin1Char('\n')).toUtf8().size();
            logLine(QStringLiteral("%1 Rolled %2: dropped oldest %3 entries (file was over %4 bytes)")
                        .arg(tag, name, QString::number(dropped), QString::number(sizeCap)));
        }
    }

    QByteArray bytes = all.join(QLatin1Char('\n')).toUtf8();
    bytes += '\n';
    door.write(ProjectDataFolder::Kind::history, name, bytes, AtomicFileWriter::backupPathFor(name));
}

void RepairHistoryEntry::appendLines(const QString &path, const QList<QByteArray> &lines)
{
    if (lines.isEmpty())
        return;
    const QString projectPath = QFileInfo(QFileInfo(path).absolutePath()).absolutePath();
    if (!QFileInfo(projectPath).isDir()) {
        // Writing would bring a moved or deleted project folder back as an empty shell.
        logAppendFailure(path, QStringLiteral("the project folder %1 no longer exists").arg(projectPath));
        return;
    }
    try {
        const std::shared_ptr<ProjectDataFolder> door = ProjectDataFolder::open(projectPath).folder;
        appendLines(*door, QFileInfo(path).fileName(), lines);
    } catch (const MemoryError &e) {
        logAppendFailure(path, e.description());
    } catch (const std::exception &e) {
        logAppendFailure(path, QString::fromUtf8(e.what()));
    }
}

void RepairHistoryEntry::queueLines(const std::shared_ptr<ProjectDataFolder> &door, const QString &name,
                                    const QList<QByteArray> &lines, std::function<void()> beforeWrite)
{
    if (!door) {
        logAppendFailure(name, QStringLiteral("the project is not open for writing"));
        return;
    }
    const QString key = door->filePath(name);
    {
        QMutexLocker lock(&pendingMutex);
        pendingLines[key].append(lines);
    }
    door->save(ProjectDataFolder::Kind::history, name,
               [key, name, beforeWrite = std::move(beforeWrite)](const ProjectDataFolder &folder) {
                   if (beforeWrite)
                       beforeWrite();
                   QList<QByteArray> taken;
                   {
                       QMutexLocker lock(&pendingMutex);
                       taken = pendingLines.take(key);
                   }
                   try {
                       appendLines(folder, name, taken);
                   } catch (const ProjectDataFolder::NotWriter &) {
                       throw; // not this Nerim's to write: the lines go
                   } catch (...) {
                       // Kept, ahead of any queued since, for the retry.
                       QMutexLocker lock(&pendingMutex);
                       QList<QByteArray> &waiting = pendingLines[key];
                       waiting = taken + waiting;
                       throw;
                   }
               });
}

void RepairHistoryEntry::append(const RepairHistoryEntry &entry, const std::shared_ptr<ProjectDataFolder> &door)
{
    QByteArray line;
    try {
        line = entry.jsonLine();
    } catch (const std::exception &e) {
        logAppendFailure(fileName, QString::fromUtf8(e.what()));
        return;
    }
    queueLines(door, fileName, {line});
}

void RepairHistoryEntry::append(const RepairHistoryEntry &entry, const QUrl &projectURL)
{
    if (!projectURL.isLocalFile() || projectURL.toLocalFile().isEmpty()) {
        logAppendFailure(projectURL.toString(), QStringLiteral("the project is not a local folder"));
        return;
    }
    const QString path = historyPath(projectURL.toLocalFile());
    QByteArray line;
    try {
        line = entry.jsonLine();
    } catch (const std::exception &e) {
        logAppendFailure(path, QString::fromUtf8(e.what()));
        return;
    }
    {
        QMutexLocker lock(&pendingMutex);
        pendingLines[path].append(line);
    }
    SerialFileWriter::shared().submit(
        path,
        [path] {
            QList<QByteArray> lines;
            {
                QMutexLocker lock(&pendingMutex);
                lines = pendingLines.take(path);
            }
            appendLines(path, lines);
        },
        tag);
}

} // namespace nerim
