#include "deploy/DeployHistoryEntry.h"

#include "deploy/DeployOwnRecord.h"
#include "deploy/DeployTypes.h"

#include "foundation/Json.h"
#include "foundation/JsonLines.h"
#include "foundation/Log.h"
#include "foundation/SerialFileWriter.h"
#include "persistence/ProjectDataFolder.h"
#include "repair/RepairHistoryEntry.h"

#include <QDir>
#include <QHash>
#include <QMutex>
#include <QJsonArray>
#include <QJsonObject>

namespace nerim {

namespace {
const QString tag = QStringLiteral("[Nerim deploy-history]");

// Encoded lines waiting for the background writer, per history file. The serial
// writer keeps only the newest queued job of a path, so each job drains all
// that is queued for it and none is lost.
QMutex pendingMutex;
QHash<QString, QList<QByteArray>> pendingLines;
// Deployments that went live, per history file, waiting to join this user's
// record (with the project they belong to) before their lines are written.
QHash<QString, QList<std::pair<QUrl, QString>>> pendingDeployments;
} // namespace

QByteArray DeployHistoryEntry::jsonLine() const
{
    QJsonObject object;
    object.insert(QStringLiteral("timestamp"), timestamp);
    object.insert(QStringLiteral("providers"), QJsonArray::fromStringList(providers));
    auto text = [](const QString &s) { return QJsonValue(s); };
    json::insertOptional(object, QStringLiteral("frontendURL"), frontendURL, text);
    json::insertOptional(object, QStringLiteral("backendURL"), backendURL, text);
    json::insertOptional(object, QStringLiteral("deploymentID"), deploymentID, text);
    object.insert(QStringLiteral("outcome"), outcome);
    object.insert(QStringLiteral("kind"), kind);
    object.insert(QStringLiteral("attempts"), attempts);
    json::insertOptional(object, QStringLiteral("reason"), reason, text);
    object.insert(QStringLiteral("durationSec"), durationSec);
    return json::encodeCompact(object);
}

DeployHistoryEntry DeployHistoryEntry::decode(const QByteArray &line)
{
    const JsonObjectReader reader = JsonObjectReader::parse(line);
    DeployHistoryEntry entry;
    entry.timestamp = reader.string(QStringLiteral("timestamp"));
    entry.providers = reader.stringList(QStringLiteral("providers"));
    entry.frontendURL = reader.optionalString(QStringLiteral("frontendURL"));
    entry.backendURL = reader.optionalString(QStringLiteral("backendURL"));
    entry.deploymentID = reader.optionalString(QStringLiteral("deploymentID"));
    entry.outcome = reader.string(QStringLiteral("outcome"));
    entry.kind = reader.string(QStringLiteral("kind"));
    entry.attempts = reader.int32(QStringLiteral("attempts"));
    entry.reason = reader.optionalString(QStringLiteral("reason"));
    entry.durationSec = reader.int64(QStringLiteral("durationSec"));
    return entry;
}

QString DeployHistoryEntry::historyPath(const QString &projectPath)
{
    return QDir(projectPath).filePath(QStringLiteral(".nerim/") + fileName);
}

void DeployHistoryEntry::append(const DeployHistoryEntry &entry, const QUrl &projectURL)
{
    if (!projectURL.isLocalFile() || projectURL.toLocalFile().isEmpty()) {
        logLine(QStringLiteral("%1 Failed to append entry: the project is not a local folder").arg(tag));
        return;
    }
    const QString path = historyPath(projectURL.toLocalFile());
    const QByteArray line = entry.jsonLine();
    {
        QMutexLocker lock(&pendingMutex);
        pendingLines[path].append(line);
        // Nerim writes history lines only for this user's own deploys: a
        // deployment that went live is theirs to roll back to.
        if (entry.outcome == QLatin1String("live") && entry.deploymentID && !entry.deploymentID->isEmpty())
            pendingDeployments[path].append({projectURL, *entry.deploymentID});
    }
    // The history files share one capped, crash-safe append.
    SerialFileWriter::shared().submit(
        path,
        [path] {
            QList<QByteArray> lines;
            QList<std::pair<QUrl, QString>> deployments;
            {
                QMutexLocker lock(&pendingMutex);
                lines = pendingLines.take(path);
                deployments = pendingDeployments.take(path);
            }
            for (const auto &[url, id] : std::as_const(deployments)) {
                try {
                    DeployOwnRecord::update(url, [&](DeployOwnRecord &record) { record.addDeployment(id); });
                } catch (const std::exception &e) {
                    logLine(QStringLiteral("%1 couldn't record the deployment: %2").arg(tag, QString::fromUtf8(e.what())));
                }
            }
            RepairHistoryEntry::appendLines(path, lines);
        },
        tag);
}

void DeployHistoryEntry::append(const DeployHistoryEntry &entry, const std::shared_ptr<ProjectDataFolder> &door,
                                const QUrl &projectURL)
{
    if (!door) {
        logLine(QStringLiteral("%1 Failed to append entry: the project is not open for writing").arg(tag));
        return;
    }
    const QString key = door->filePath(fileName);
    if (entry.outcome == QLatin1String("live") && entry.deploymentID && !entry.deploymentID->isEmpty()) {
        QMutexLocker lock(&pendingMutex);
        pendingDeployments[key].append({projectURL, *entry.deploymentID});
    }
    RepairHistoryEntry::queueLines(door, fileName, {entry.jsonLine()}, [key] {
        QList<std::pair<QUrl, QString>> deployments;
        {
            QMutexLocker lock(&pendingMutex);
            deployments = pendingDeployments.take(key);
        }
        for (const auto &[url, id] : std::as_const(deployments)) {
            try {
                DeployOwnRecord::update(url, [&](DeployOwnRecord &record) { record.addDeployment(id); });
            } catch (const std::exception &e) {
                logLine(QStringLiteral("%1 couldn't record the deployment: %2").arg(tag, QString::fromUtf8(e.what())));
            }
        }
    });
}

QList<DeployHistoryEntry> DeployHistoryEntry::recentLive(const QUrl &projectURL, int limit)
{
    QList<DeployHistoryEntry> live;
    if (!projectURL.isLocalFile() || limit <= 0)
        return live;
    const DeployOwnRecord own = DeployOwnRecord::load(projectURL);
    // The deployment live now: the one the latest "live" line names (none
    // when that line names none).
    std::optional<QString> current;
    for (const QString &line : readJSONLLines(historyPath(projectURL.toLocalFile()), projectURL.toLocalFile())) {
        try {
            DeployHistoryEntry entry = decode(line.toUtf8());
            if (entry.outcome != QLatin1String("live"))
                continue;
            current = entry.deploymentID;
            // The file is project data anyone may have written: an id that
            // is not of a plain shape would go into the Deploy agent's
            // prompt, and one this user's deploys never made is not theirs
            // to roll back to, so neither line is offered at all; an address
            // outside the entry's providers is not kept.
            if (!entry.deploymentID || !isPlainDeploymentID(*entry.deploymentID) ||
                !own.vouchesForDeployment(*entry.deploymentID))
                continue;
            QList<DeployProvider> providers;
            for (const QString &raw : std::as_const(entry.providers))
                if (const std::optional<DeployProvider> provider = DeployProvider::fromRaw(raw))
                    providers.append(*provider);
            for (std::optional<QString> *address : {&entry.frontendURL, &entry.backendURL})
                if (*address && !isAcceptedLiveAddress(**address, providers, std::nullopt))
                    address->reset();
            live.append(std::move(entry));
        } catch (const std::exception &) {
            // A damaged line costs only itself.
        }
    }
    return earlierDeployments(live, current, limit);
}

QList<DeployHistoryEntry> DeployHistoryEntry::earlierDeployments(const QList<DeployHistoryEntry> &liveLines,
                                                                 const std::optional<QString> &current, int limit)
{
    QList<DeployHistoryEntry> earlier;
    for (const DeployHistoryEntry &entry : liveLines) {
        if (!entry.deploymentID || entry.deploymentID->isEmpty() || entry.deploymentID == current)
            continue;
        // One line per deployment: its latest.
        earlier.removeIf([&](const DeployHistoryEntry &seen) { return seen.deploymentID == entry.deploymentID; });
        earlier.append(entry);
    }
    if (earlier.size() > limit)
        earlier = earlier.mid(earlier.size() - limit);
    return earlier;
}

} // namespace nerim
