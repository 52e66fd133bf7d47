#pragma once

#include "foundation/Json.h"
#include "foundation/Timestamp.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace nerim {

// The application-wide record kept between runs (app.json in the application's
// data folder): the user's preferences, the known projects and the first-run
// onboarding record. Only AppStateActor reads, changes and saves it.
struct AppState {
    static constexpr int currentSchemaVersion = 1;

    // Transcript mode of the agent panes.
    enum class OutputMode { notification, verbose, summary };
    // What the user mainly builds.
    enum class PrimaryDomain { webApp, backendService, scriptOrCli, dataPipeline, exploring, other };

    struct Preferences {
        OutputMode outputMode = OutputMode::notification;
        QString theme = QStringLiteral("default");
        QString userDisplayName;
        PrimaryDomain primaryDomain = PrimaryDomain::exploring;
        std::optional<QString> primaryDomainOther;
        bool wantsManagedKeys = false;
        friend bool operator==(const Preferences &, const Preferences &) = default;
    };

    // One known project, identified by `id` (upper-case UUID text, never changes).
    struct ProjectRegistryEntry {
        QString id;
        QString path;
        QString displayName;
        Timestamp createdAt;
        Timestamp lastOpenedAt;
        friend bool operator==(const ProjectRegistryEntry &, const ProjectRegistryEntry &) = default;
    };

    struct Onboarding {
        std::optional<Timestamp> completedAt; // present once the user finished onboarding
        int version = 1;
        QStringList skippedQuestions;
        friend bool operator==(const Onboarding &, const Onboarding &) = default;
    };

    int schemaVersion = currentSchemaVersion;
    Timestamp createdAt;
    Preferences preferences;
    QList<ProjectRegistryEntry> projects;
    Onboarding onboarding;

    // The record a fresh installation starts with.
    static AppState fresh(Timestamp now);

    // JSON form; dates as ISO 8601 UTC text with whole seconds; absent optionals
    // are left out. `encoded()` is pretty-printed with sorted keys, so saving an
    // unchanged record gives identical bytes.
    QJsonObject toJson() const;
    QByteArray encoded() const;

    // Key-by-key decoding with the documented fallbacks (missing display name →
    // login name, unknown primary domain → exploring, damaged onboarding → the
    // default record); a missing or bad required key throws JsonDecodingError.
    // The schema version is not checked here.
    static AppState fromJson(const JsonObjectReader &object);
    static AppState decode(const QByteArray &bytes);

    friend bool operator==(const AppState &, const AppState &) = default;
};

QString rawValue(AppState::OutputMode mode);
QString rawValue(AppState::PrimaryDomain domain);
std::optional<AppState::OutputMode> outputModeFromRaw(const QString &raw);
std::optional<AppState::PrimaryDomain> primaryDomainFromRaw(const QString &raw);
// Every domain, in the order onboarding offers them.
const QList<AppState::PrimaryDomain> &allPrimaryDomains();

// The login name of the current user of the computer.
QString currentLoginName();

} // namespace nerim
