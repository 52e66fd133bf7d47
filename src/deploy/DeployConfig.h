#pragma once

#include "deploy/DeployOwnRecord.h"
#include "deploy/DeployProvider.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <optional>

namespace nerim {

class ProjectDataFolder;

// The project's saved deploy settings: <project>/.nerim/deploy-config.json,
// keyed by the field names. Never holds a token or a secret value: an env
// decision is "send", "skip" or "custom" (without the value).
struct DeployConfig {
    int version = 1;
    QList<DeployProvider> providers;
    std::optional<QString> frontendURL;
    std::optional<QString> backendURL;
    std::optional<QString> backendAnonKey;
    std::optional<QString> customDomain;
    std::optional<bool> autoDeployOnPush;
    QMap<QString, QString> projectIDs;
    QMap<QString, QString> envDecisions;
    std::optional<QString> lastDeployedAt;
    int revision = 0;
    // Not part of the file: what this user's own deploys on this machine made
    // of the project, attached by `load`. While it is attached, an address or
    // a domain counts only when it names them too (a cloned project's file is
    // data from elsewhere). Equal whatever it holds, so configs compare by
    // their content alone.
    struct Vouching {
        std::optional<DeployOwnRecord> record;
        friend bool operator==(const Vouching &, const Vouching &) { return true; }
    };
    Vouching own;

    friend bool operator==(const DeployConfig &, const DeployConfig &) = default;

    static inline const QString fileName = QStringLiteral("deploy-config.json");

    static DeployConfig empty() { return DeployConfig(); }

    // The file is project data anyone may have written, so its addresses are
    // taken only in the shape Nerim itself saves them:
    // the custom domain when it is a plain domain name (`isAcceptableCustomDomain`)
    // and, from `load`, the one this user verified;
    std::optional<QString> acceptedCustomDomain() const;
    // the frontend address when it is on one of the file's providers or on
    // that custom domain (`isAcceptedLiveAddress`) and, from `load`, the
    // one this user's deploy went live at;
    std::optional<QString> acceptedFrontendURL() const;
    // the live address: "https://" and the custom domain, else the frontend address.
    std::optional<QString> liveURL() const;

    // Pretty-printed, sorted keys.
    QByteArray encode() const;
    // Strict: throws JsonDecodingError for a missing key, a wrong type or an unknown provider.
    static DeployConfig decode(const QByteArray &bytes);

    // <project>/.nerim/deploy-config.json
    static QString configPath(const QString &projectPath);

    // The saved settings, with this user's own record of the project attached
    // (`own`); nothing when neither the file nor its backup reads,
    // or when the file has a version other than 1 (both logged). Small and
    // synchronous, so the deploy views may call it while rendering.
    static std::optional<DeployConfig> load(const QUrl &projectURL);
    // The file alone, nothing attached (for changing and saving it).
    static std::optional<DeployConfig> loadFile(const QUrl &projectURL);
    // Writes the file crash-safely, the previous content kept as ".backup".
    // Throws on failure (std::exception with the reason).
    static void save(const DeployConfig &config, const QUrl &projectURL);
    // The same through the project's data folder door. Throws
    // std::runtime_error (ProjectDataFolder::NotWriter when this Nerim does
    // not write the project).
    static void save(const DeployConfig &config, const ProjectDataFolder &door);
};

} // namespace nerim
