#include "repair/RepairHistoryEntry.h"

#include "foundation/Log.h"
#include "foundation/SerialFileWriter.h"
#include "persistence/AtomicFileWriter.h"
#include "persistence/MemoryError.h"
#include "persistence/IntentProcessorConstants.h"

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

// The current lines of the history file. Throws when something is there that
// cannot be read (a link, a pipe, an unreadable file): it is then left alone
// rather than replaced.
QStringList existingLines(const QString &path, const QString &projectPath)
{
    const std::optional<QByteArray> bytes = AtomicFileWriter::readBytes(path, projectPath);
    if (!bytes)
        return {};
    // A stray invalid byte must not cost the whole history: keep every line,
    // the damaged bytes shown as U+FFFD.
    return QString::fromUtf8(*bytes).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

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
        // Moves a legacy data folder into place and sets aside one that is a link.
        IntentProcessorConstants::projectDotfolder(projectPath);
    } catch (const std::exception &e) {
        logAppendFailure(path, QString::fromUtf8(e.what()));
        return;
    }
    QStringList all;
    try {
        all = existingLines(path, projectPath);
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
                        .arg(tag, fileName, QString::number(dropped), QString::number(sizeCap)));
        }
    }

    QByteArray bytes = all.join(QLatin1Char('\n')).toUtf8();
    bytes += '\n';
    try {
        AtomicFileWriter::write(bytes, path, AtomicFileWriter::backupPathFor(path),
                                AtomicFileWriter::inProject(projectPath));
    } catch (const MemoryError &e) {
        logAppendFailure(path, e.description());
    } catch (const std::exception &e) {
        logAppendFailure(path, QString::fromUtf8(e.what()));
    }
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
