#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace nerim::DeployMarkers {

// The marker lines the Deploy agent prints to talk back to the application.
// The Deploy agent's briefing teaches it these same literals.
inline const QString needToken = QStringLiteral("[NERIM_DEPLOY_NEED_TOKEN]");
inline const QString askSecret = QStringLiteral("[NERIM_DEPLOY_ASK_SECRET]");
inline const QString signedIn = QStringLiteral("[NERIM_DEPLOY_SIGNED_IN]");
inline const QString backendReady = QStringLiteral("[NERIM_DEPLOY_BACKEND_READY]");
inline const QString envOK = QStringLiteral("[NERIM_DEPLOY_ENV_OK]");
inline const QString building = QStringLiteral("[NERIM_DEPLOY_BUILDING]");
inline const QString progress = QStringLiteral("[NERIM_DEPLOY_PROGRESS]");
inline const QString deploymentID = QStringLiteral("[NERIM_DEPLOY_DEPLOYMENT_ID]");
inline const QString live = QStringLiteral("[NERIM_DEPLOY_LIVE]");
inline const QString stuck = QStringLiteral("[NERIM_DEPLOY_STUCK]");
inline const QString domainRecords = QStringLiteral("[NERIM_DEPLOY_DOMAIN_RECORDS]");
inline const QString domainVerified = QStringLiteral("[NERIM_DEPLOY_DOMAIN_VERIFIED]");
inline const QString operationDone = QStringLiteral("[NERIM_DEPLOY_OPERATION_DONE]");

inline const QString defaultStuckReason = QStringLiteral("The Deploy agent didn't say why.");

// One marker line: which marker, and its payload split at the first "|"
// ("A | B" gives first "A", second "B"; without a bar, second is empty).
struct Signal {
    enum class Kind {
        needToken,
        askSecret,
        signedIn,
        backendReady,
        envOK,
        building,
        progress,
        deploymentID,
        live,
        stuck,
        domainRecords,
        domainVerified,
        operationDone,
    };
    Kind kind;
    QString first;
    QString second;
    friend bool operator==(const Signal &, const Signal &) = default;
};

// Turns one output line of the Deploy agent into at most one signal. A marker
// must open the line, after any Markdown quote or code-span characters. Pure.
std::optional<Signal> parse(const QString &line);

// Whether a line is a marker line (kept out of the transcript).
inline bool isMarkerLine(const QString &line) { return parse(line).has_value(); }

} // namespace nerim::DeployMarkers
