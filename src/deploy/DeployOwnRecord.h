#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <optional>

namespace nerim {

// What this user's own deploys on this machine made of a project: the live
// address a deploy reported, the custom domain a verification confirmed, and
// the deployments that went live. Kept outside the project, in Nerim's data
// folder ("deploy-records.json", keyed by the project folder's canonical
// path, each record naming the identity the project held, its
// .nerim/metadata.json projectId), because the project's own .nerim/deploy-config.json and
// deploy-history.jsonl may have come with a cloned folder: an address, domain
// or deployment named there counts only when this record names it too.
struct DeployOwnRecord {
    std::optional<QString> frontendURL;
    std::optional<QString> customDomain;
    // Oldest first, each once; the oldest go past `maxDeploymentIDs`.
    QStringList deploymentIDs;

    friend bool operator==(const DeployOwnRecord &, const DeployOwnRecord &) = default;

    static constexpr int maxDeploymentIDs = 200;
    static inline const QString fileName = QStringLiteral("deploy-records.json");

    // <Nerim's data folder>/deploy-records.json
    static QString recordsPath();
    // The key of a project: its folder's canonical path (the path as given
    // while the folder does not exist).
    static QString projectKey(const QUrl &projectURL);

    // The project's record; empty when there is none or the file (and its
    // backup) cannot be read, so nothing is vouched for. A record counts only
    // for the folder it was made for: by the identity the folder holds and by
    // the folder itself, so another folder at the same path (a copy, a new
    // project) gets nothing, and a folder that was renamed or moved within its
    // file system finds its record wherever it is kept (see the source); such
    // a record is then written under the new path in the background. Reads
    // without waiting for any lock: fine on the GUI thread.
    static DeployOwnRecord load(const QUrl &projectURL);
    // Reads, changes and writes the project's record crash-safely (a record
    // another folder left under the path is kept for that folder), under an
    // exclusive lock that every Nerim process takes (an flock on
    // "deploy-records.json.lock" beside it), so changes made at once by two
    // processes are both kept. The file or backup that exists but no longer
    // reads is first set aside (".unreadable-<time>", never replacing an
    // earlier one) and reported, never written over. Blocking: off the GUI
    // thread. Throws std::exception with the reason when it cannot be written
    // (also when another Nerim holds the lock for more than 30 s).
    static void update(const QUrl &projectURL, const std::function<void(DeployOwnRecord &)> &change);

    // Whether the address is the one this user's deploy went live at.
    bool vouchesForFrontendURL(const QString &url) const;
    // Whether the domain is the one this user's verification confirmed.
    bool vouchesForDomain(const QString &domain) const;
    bool vouchesForDeployment(const QString &deploymentID) const;
    // Adds a deployment that went live (kept once, newest last).
    void addDeployment(const QString &deploymentID);
};

} // namespace nerim
