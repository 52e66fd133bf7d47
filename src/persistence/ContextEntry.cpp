#include "persistence/ContextEntry.h"

#include "foundation/RawValues.h"
#include "foundation/UuidText.h"

#include <QJsonArray>
#include <array>
#include <type_traits>

namespace nerim {

namespace {

constexpr auto promptSourceNames = rawValues<ContextEntry::PromptSource>("voice", "text");
constexpr auto exitReasonNames =
    rawValues<ContextEntry::ExitReason>("cleanCompletion", "userKilled", "hangDetected", "subprocessError");
constexpr auto fileEventKindNames = rawValues<ContextEntry::FileEventKind>("created", "modified", "deleted");
constexpr auto repairOutcomeNames = rawValues<ContextEntry::RepairSessionOutcome>("fixed", "stuck", "cancelled");
constexpr auto deployOutcomeNames = rawValues<ContextEntry::DeploySessionOutcome>("live", "stuck", "cancelled");

// The kind strings, in the order of the payload's alternatives.
constexpr std::array<const char *, 10> kindNames{
    "projectOpened",     "agentSpawned",         "agentPromptReceived", "agentTaskComplete", "agentExit",
    "fileChanged",       "repairSessionStarted", "repairSessionEnded",  "deployStarted",     "deployEnded"};
static_assert(kindNames.size() == std::variant_size_v<ContextEntry::Payload>);

QJsonArray stringArray(const QStringList &list) { return QJsonArray::fromStringList(list); }

QJsonObject payloadJson(const ContextEntry::Payload &payload)
{
    QJsonObject o;
    std::visit(
        [&o](const auto &p) {
            using T = std::decay_t<decltype(p)>;
            if constexpr (std::is_same_v<T, ContextEntry::ProjectOpened>) {
                o.insert(QStringLiteral("appVersion"), p.appVersion);
            } else if constexpr (std::is_same_v<T, ContextEntry::AgentSpawned>) {
                o.insert(QStringLiteral("agentId"), p.agentId);
                o.insert(QStringLiteral("agentName"), p.agentName);
                o.insert(QStringLiteral("role"), p.role);
                o.insert(QStringLiteral("provider"), p.provider);
                o.insert(QStringLiteral("pid"), p.pid);
                o.insert(QStringLiteral("openingPromptDigest"), p.openingPromptDigest);
            } else if constexpr (std::is_same_v<T, ContextEntry::AgentPromptReceived>) {
                o.insert(QStringLiteral("agentId"), p.agentId);
                o.insert(QStringLiteral("agentName"), p.agentName);
                o.insert(QStringLiteral("prompt"), p.prompt);
                o.insert(QStringLiteral("source"), rawValue(p.source));
            } else if constexpr (std::is_same_v<T, ContextEntry::AgentTaskComplete>) {
                o.insert(QStringLiteral("agentId"), p.agentId);
                o.insert(QStringLiteral("agentName"), p.agentName);
                o.insert(QStringLiteral("summaryText"), p.summaryText);
                o.insert(QStringLiteral("filesChanged"), stringArray(p.filesChanged));
                o.insert(QStringLiteral("exitCode"), p.exitCode);
            } else if constexpr (std::is_same_v<T, ContextEntry::AgentExit>) {
                o.insert(QStringLiteral("agentId"), p.agentId);
                o.insert(QStringLiteral("agentName"), p.agentName);
                o.insert(QStringLiteral("reason"), rawValue(p.reason));
                o.insert(QStringLiteral("exitCode"), p.exitCode);
            } else if constexpr (std::is_same_v<T, ContextEntry::FileChanged>) {
                o.insert(QStringLiteral("relativePath"), p.relativePath);
                o.insert(QStringLiteral("eventKind"), rawValue(p.eventKind));
                json::insertOptional(o, QStringLiteral("attributedAgentId"), p.attributedAgentId);
                json::insertOptional(o, QStringLiteral("attributedAgentName"), p.attributedAgentName);
                o.insert(QStringLiteral("attributionAmbiguous"), p.attributionAmbiguous);
            } else if constexpr (std::is_same_v<T, ContextEntry::RepairSessionStarted>) {
                o.insert(QStringLiteral("agentId"), p.agentId);
                o.insert(QStringLiteral("agentName"), p.agentName);
                o.insert(QStringLiteral("failureCategory"), p.failureCategory);
                o.insert(QStringLiteral("failureSummary"), p.failureSummary);
                o.insert(QStringLiteral("attempt"), p.attempt);
            } else if constexpr (std::is_same_v<T, ContextEntry::RepairSessionEnded>) {
                o.insert(QStringLiteral("agentId"), p.agentId);
                o.insert(QStringLiteral("agentName"), p.agentName);
                o.insert(QStringLiteral("outcome"), rawValue(p.outcome));
                o.insert(QStringLiteral("attempts"), p.attempts);
                o.insert(QStringLiteral("lastFailureCategory"), p.lastFailureCategory);
                json::insertOptional(o, QStringLiteral("reason"), p.reason);
            } else if constexpr (std::is_same_v<T, ContextEntry::DeployStarted>) {
                o.insert(QStringLiteral("agentId"), p.agentId);
                o.insert(QStringLiteral("agentName"), p.agentName);
                o.insert(QStringLiteral("providers"), stringArray(p.providers));
                o.insert(QStringLiteral("projectShape"), p.projectShape);
                o.insert(QStringLiteral("kind"), p.kind);
            } else if constexpr (std::is_same_v<T, ContextEntry::DeployEnded>) {
                o.insert(QStringLiteral("agentId"), p.agentId);
                o.insert(QStringLiteral("agentName"), p.agentName);
                o.insert(QStringLiteral("providers"), stringArray(p.providers));
                o.insert(QStringLiteral("outcome"), rawValue(p.outcome));
                json::insertOptional(o, QStringLiteral("frontendURL"), p.frontendURL);
                json::insertOptional(o, QStringLiteral("backendURL"), p.backendURL);
                o.insert(QStringLiteral("attempts"), p.attempts);
                json::insertOptional(o, QStringLiteral("reason"), p.reason);
            }
        },
        payload);
    return o;
}

ContextEntry::Payload decodePayload(qsizetype kindIndex, const JsonObjectReader &p)
{
    const auto str = [&p](const char *key) { return p.string(QLatin1String(key)); };
    const auto optStr = [&p](const char *key) { return p.optionalString(QLatin1String(key)); };
    switch (kindIndex) {
    case 0:
        return ContextEntry::ProjectOpened{str("appVersion")};
    case 1:
        return ContextEntry::AgentSpawned{str("agentId"),  str("agentName"),
                                          str("role"),     str("provider"),
                                          p.int32(QStringLiteral("pid")), str("openingPromptDigest")};
    case 2:
        return ContextEntry::AgentPromptReceived{str("agentId"), str("agentName"), str("prompt"),
                                                 p.enumeration(QStringLiteral("source"), &promptSourceFromRaw)};
    case 3:
        return ContextEntry::AgentTaskComplete{str("agentId"), str("agentName"), str("summaryText"),
                                               p.stringList(QStringLiteral("filesChanged")),
                                               p.int32(QStringLiteral("exitCode"))};
    case 4:
        return ContextEntry::AgentExit{str("agentId"), str("agentName"),
                                       p.enumeration(QStringLiteral("reason"), &exitReasonFromRaw),
                                       p.int32(QStringLiteral("exitCode"))};
    case 5:
        return ContextEntry::FileChanged{str("relativePath"),
                                         p.enumeration(QStringLiteral("eventKind"), &fileEventKindFromRaw),
                                         optStr("attributedAgentId"), optStr("attributedAgentName"),
                                         p.boolean(QStringLiteral("attributionAmbiguous"))};
    case 6:
        return ContextEntry::RepairSessionStarted{str("agentId"), str("agentName"), str("failureCategory"),
                                                  str("failureSummary"), p.int64(QStringLiteral("attempt"))};
    case 7:
        return ContextEntry::RepairSessionEnded{str("agentId"),
                                                str("agentName"),
                                                p.enumeration(QStringLiteral("outcome"), &repairSessionOutcomeFromRaw),
                                                p.int64(QStringLiteral("attempts")),
                                                str("lastFailureCategory"),
                                                optStr("reason")};
    case 8:
        return ContextEntry::DeployStarted{str("agentId"), str("agentName"), p.stringList(QStringLiteral("providers")),
                                           str("projectShape"), str("kind")};
    default:
        return ContextEntry::DeployEnded{str("agentId"),
                                         str("agentName"),
                                         p.stringList(QStringLiteral("providers")),
                                         p.enumeration(QStringLiteral("outcome"), &deploySessionOutcomeFromRaw),
                                         optStr("frontendURL"),
                                         optStr("backendURL"),
                                         p.int64(QStringLiteral("attempts")),
                                         optStr("reason")};
    }
}

} // namespace

QString rawValue(ContextEntry::PromptSource value) { return promptSourceNames.raw(value); }
QString rawValue(ContextEntry::ExitReason value) { return exitReasonNames.raw(value); }
QString rawValue(ContextEntry::FileEventKind value) { return fileEventKindNames.raw(value); }
QString rawValue(ContextEntry::RepairSessionOutcome value) { return repairOutcomeNames.raw(value); }
QString rawValue(ContextEntry::DeploySessionOutcome value) { return deployOutcomeNames.raw(value); }

std::optional<ContextEntry::PromptSource> promptSourceFromRaw(const QString &raw)
{
    return promptSourceNames.fromRaw(raw);
}
std::optional<ContextEntry::ExitReason> exitReasonFromRaw(const QString &raw)
{
    return exitReasonNames.fromRaw(raw);
}
std::optional<ContextEntry::FileEventKind> fileEventKindFromRaw(const QString &raw)
{
    return fileEventKindNames.fromRaw(raw);
}
std::optional<ContextEntry::RepairSessionOutcome> repairSessionOutcomeFromRaw(const QString &raw)
{
    return repairOutcomeNames.fromRaw(raw);
}
std::optional<ContextEntry::DeploySessionOutcome> deploySessionOutcomeFromRaw(const QString &raw)
{
    return deployOutcomeNames.fromRaw(raw);
}

ContextEntry ContextEntry::create(Payload payload, Timestamp timestamp)
{
    return ContextEntry(uuidText(newUuid()), timestamp, std::move(payload));
}

QString ContextEntry::kindString(const Payload &payload)
{
    return QString::fromLatin1(kindNames[payload.index()]);
}

QJsonObject ContextEntry::toJson() const
{
    QJsonObject o;
    o.insert(QStringLiteral("id"), m_id);
    o.insert(QStringLiteral("timestamp"), json::isoDate(m_timestamp));
    o.insert(QStringLiteral("kind"), kindString(m_payload));
    o.insert(QStringLiteral("payload"), payloadJson(m_payload));
    return o;
}

ContextEntry ContextEntry::fromJson(const JsonObjectReader &object)
{
    QString id = object.string(QStringLiteral("id"));
    const Timestamp timestamp = object.isoDate(QStringLiteral("timestamp"));
    const JsonValueReader kindValue = object.value(QStringLiteral("kind"));
    const QString kind = kindValue.toString();
    const JsonObjectReader payload = object.object(QStringLiteral("payload"));
    qsizetype index = -1;
    for (size_t i = 0; i < kindNames.size(); ++i)
        if (kind == QLatin1String(kindNames[i]))
            index = static_cast<qsizetype>(i);
    if (index < 0)
        kindValue.fail(QStringLiteral("Unknown context entry kind: ") + kind);
    return ContextEntry(std::move(id), timestamp, decodePayload(index, payload));
}

} // namespace nerim
