#pragma once

#include "foundation/Json.h"
#include "foundation/Timestamp.h"

#include <QHashFunctions>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <optional>
#include <variant>

namespace nerim {

// One event of a project's activity log (context.json): an identifier, when it
// happened and what happened. Entries are made once by their writers and never
// changed afterwards.
class ContextEntry {
public:
    // How a prompt was entered.
    enum class PromptSource { voice, text };
    // Why an agent process ended.
    enum class ExitReason { cleanCompletion, userKilled, hangDetected, subprocessError };
    enum class FileEventKind { created, modified, deleted };
    enum class RepairSessionOutcome { fixed, stuck, cancelled };
    enum class DeploySessionOutcome { live, stuck, cancelled };

    // The ten kinds of event, each with its data. The JSON "kind" of an entry is
    // the kind's name with a lower-case first letter ("projectOpened", ...).
    struct ProjectOpened {
        QString appVersion;
        friend bool operator==(const ProjectOpened &, const ProjectOpened &) = default;
    };
    struct AgentSpawned {
        QString agentId;
        QString agentName;
        QString role;     // the agent role's raw value
        QString provider; // the provider type's raw value
        qint32 pid = 0;
        QString openingPromptDigest;
        friend bool operator==(const AgentSpawned &, const AgentSpawned &) = default;
    };
    struct AgentPromptReceived {
        QString agentId;
        QString agentName;
        QString prompt;
        PromptSource source = PromptSource::text;
        friend bool operator==(const AgentPromptReceived &, const AgentPromptReceived &) = default;
    };
    struct AgentTaskComplete {
        QString agentId;
        QString agentName;
        QString summaryText;
        QStringList filesChanged;
        qint32 exitCode = 0;
        friend bool operator==(const AgentTaskComplete &, const AgentTaskComplete &) = default;
    };
    struct AgentExit {
        QString agentId;
        QString agentName;
        ExitReason reason = ExitReason::cleanCompletion;
        qint32 exitCode = 0;
        friend bool operator==(const AgentExit &, const AgentExit &) = default;
    };
    struct FileChanged {
        QString relativePath;
        FileEventKind eventKind = FileEventKind::modified;
        std::optional<QString> attributedAgentId;
        std::optional<QString> attributedAgentName;
        bool attributionAmbiguous = false;
        friend bool operator==(const FileChanged &, const FileChanged &) = default;
    };
    struct RepairSessionStarted {
        QString agentId;
        QString agentName;
        QString failureCategory;
        QString failureSummary;
        qint64 attempt = 0;
        friend bool operator==(const RepairSessionStarted &, const RepairSessionStarted &) = default;
    };
    struct RepairSessionEnded {
        QString agentId;
        QString agentName;
        RepairSessionOutcome outcome = RepairSessionOutcome::fixed;
        qint64 attempts = 0;
        QString lastFailureCategory;
        std::optional<QString> reason;
        friend bool operator==(const RepairSessionEnded &, const RepairSessionEnded &) = default;
    };
    struct DeployStarted {
        QString agentId;
        QString agentName;
        QStringList providers;
        QString projectShape;
        QString kind;
        friend bool operator==(const DeployStarted &, const DeployStarted &) = default;
    };
    struct DeployEnded {
        QString agentId;
        QString agentName;
        QStringList providers;
        DeploySessionOutcome outcome = DeploySessionOutcome::live;
        std::optional<QString> frontendURL;
        std::optional<QString> backendURL;
        qint64 attempts = 0;
        std::optional<QString> reason;
        friend bool operator==(const DeployEnded &, const DeployEnded &) = default;
    };

    // The kind of event and its data; alternatives in declaration order.
    using Payload = std::variant<ProjectOpened, AgentSpawned, AgentPromptReceived, AgentTaskComplete, AgentExit,
                                 FileChanged, RepairSessionStarted, RepairSessionEnded, DeployStarted, DeployEnded>;

    ContextEntry(QString id, Timestamp timestamp, Payload payload)
        : m_id(std::move(id)), m_timestamp(timestamp), m_payload(std::move(payload))
    {
    }

    // A new entry with a fresh random identifier (upper-case UUID text).
    static ContextEntry create(Payload payload, Timestamp timestamp);

    const QString &id() const { return m_id; }
    Timestamp timestamp() const { return m_timestamp; }
    const Payload &payload() const { return m_payload; }

    // The JSON "kind" of a payload: "projectOpened", "agentSpawned", ...
    static QString kindString(const Payload &payload);

    // The entry as one JSON object: "id", "timestamp" (ISO 8601 UTC, whole
    // seconds), "kind" and "payload". Absent optional fields are left out.
    QJsonObject toJson() const;

    // Strict reading of one entry object; throws JsonDecodingError naming the key
    // path. An unknown kind fails with "Unknown context entry kind: <kind>".
    // Payload members that belong to other kinds are ignored.
    static ContextEntry fromJson(const JsonObjectReader &object);

    friend bool operator==(const ContextEntry &, const ContextEntry &) = default;

private:
    QString m_id;
    Timestamp m_timestamp;
    Payload m_payload;
};

// Raw values (the case names) of the enumerations inside payloads, and exact,
// case-sensitive construction from them.
QString rawValue(ContextEntry::PromptSource value);
QString rawValue(ContextEntry::ExitReason value);
QString rawValue(ContextEntry::FileEventKind value);
QString rawValue(ContextEntry::RepairSessionOutcome value);
QString rawValue(ContextEntry::DeploySessionOutcome value);
std::optional<ContextEntry::PromptSource> promptSourceFromRaw(const QString &raw);
std::optional<ContextEntry::ExitReason> exitReasonFromRaw(const QString &raw);
std::optional<ContextEntry::FileEventKind> fileEventKindFromRaw(const QString &raw);
std::optional<ContextEntry::RepairSessionOutcome> repairSessionOutcomeFromRaw(const QString &raw);
std::optional<ContextEntry::DeploySessionOutcome> deploySessionOutcomeFromRaw(const QString &raw);

inline size_t qHash(ContextEntry::PromptSource v, size_t seed = 0) { return ::qHash(static_cast<int>(v), seed); }
inline size_t qHash(ContextEntry::ExitReason v, size_t seed = 0) { return ::qHash(static_cast<int>(v), seed); }
inline size_t qHash(ContextEntry::FileEventKind v, size_t seed = 0) { return ::qHash(static_cast<int>(v), seed); }
inline size_t qHash(ContextEntry::RepairSessionOutcome v, size_t seed = 0) { return ::qHash(static_cast<int>(v), seed); }
inline size_t qHash(ContextEntry::DeploySessionOutcome v, size_t seed = 0) { return ::qHash(static_cast<int>(v), seed); }

} // namespace nerim
