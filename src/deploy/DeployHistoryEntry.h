#pragma once

#include <memory>

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <optional>

namespace nerim {

class ProjectDataFolder;

// The outcome of one finished deploy session: one line of the project's
// .nerim/deploy-history.jsonl. The Live menu reads the live ones back to offer
// rollbacks.
struct DeployHistoryEntry {
    QString timestamp; // ISO 8601 UTC
    QStringList providers;
    std::optional<QString> frontendURL;
    std::optional<QString> backendURL;
    std::optional<QString> deploymentID;
    // "live", "stuck", "cancelled", "interrupted" (a step a kill or quit cut
    // short), or "updated": a git, env-var or domain change that made no
    // deployment (only "live" lines are offered for roll back). A session that
    // went live while its run still goes writes its line when the run is over,
    // with the id of a DEPLOYMENT_ID marker printed after the address.
    QString outcome;
    QString kind;    // "fresh", "redeploy", or the operation ("rollback", "gitConnect", "envVarUpdate", "domain")
    int attempts = 1;
    std::optional<QString> reason;
    qint64 durationSec = 0;

    friend bool operator==(const DeployHistoryEntry &, const DeployHistoryEntry &) = default;

    static inline const QString fileName = QStringLiteral("deploy-history.jsonl");

    // One compact JSON object, without a line feed.
    QByteArray jsonLine() const;
    // Strict: throws JsonDecodingError.
    static DeployHistoryEntry decode(const QByteArray &line);

    // <project>/.nerim/deploy-history.jsonl
    static QString historyPath(const QString &projectPath);

    // Appends the entry in the background, in order, with a backup and the
    // history's size cap (the oldest half goes when the file passes 1 MiB).
    // A deployment that went live joins this user's record first (`DeployOwnRecord`).
    // Returns at once and never throws; failures are logged.
    // The same through the project's data folder door (kept until the line
    // is on disk; a failed write is retried, a door that cannot write drops
    // the line, told once).
    static void append(const DeployHistoryEntry &entry, const std::shared_ptr<ProjectDataFolder> &door,
                       const QUrl &projectURL);
    static void append(const DeployHistoryEntry &entry, const QUrl &projectURL);

    // The deployments the Live menu offers to roll back to, oldest first, at
    // most `limit`: one line per deployment id (its latest "live" line),
    // never the deployment live now (the id of the latest "live" line), and
    // only deployments this user's own deploys made (`DeployOwnRecord`).
    // Lines that don't decode, lines without an id and ids not of a plain
    // shape (`isPlainDeploymentID`) are skipped; an address whose host does
    // not belong to one of the entry's providers is dropped from its entry;
    // empty when the file is missing.
    static QList<DeployHistoryEntry> recentLive(const QUrl &projectURL, int limit);

    // Of `liveLines` (oldest first), the deployments one can roll back to:
    // one line per deployment id (its latest), never `current` (the
    // deployment live now) nor a line without an id, at most the newest
    // `limit`.
    static QList<DeployHistoryEntry> earlierDeployments(const QList<DeployHistoryEntry> &liveLines,
                                                        const std::optional<QString> &current, int limit);
};

} // namespace nerim
