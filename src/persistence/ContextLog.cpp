#include "persistence/ContextLog.h"

#include "foundation/Text.h"
#include "persistence/MemoryError.h"

#include <QJsonArray>
#include <type_traits>

namespace nerim {

const ContextEntry &ContextLog::append(ContextEntry::Payload payload, Timestamp now)
{
    const Timestamp stamp = entries.isEmpty() ? now : std::max(now, entries.last().timestamp());
    entries.append(ContextEntry::create(std::move(payload), stamp));
    return entries.last();
}

const ContextEntry &ContextLog::appendEntry(const ContextEntry &entry)
{
    const Timestamp stamp = entries.isEmpty() ? entry.timestamp() : std::max(entry.timestamp(), entries.last().timestamp());
    entries.append(ContextEntry(entry.id(), stamp, entry.payload()));
    return entries.last();
}

QList<ContextEntry> ContextLog::recentEntries(qsizetype count) const
{
    if (count < 1)
        return {};
    return entries.mid(std::max<qsizetype>(0, entries.size() - count));
}

QString ContextLog::recentActivitySummary(qsizetype limit) const { return nerim::recentActivitySummary(entries, limit); }

void ContextLog::validateChronologicalOrder(const QString &filePath) const
{
    for (qsizetype i = 1; i < entries.size(); ++i)
        if (entries[i].timestamp() < entries[i - 1].timestamp())
            throw MemoryError::entriesNotChronological(filePath);
}

QJsonObject ContextLog::toJson() const
{
    QJsonArray list;
    for (const auto &entry : entries)
        list.append(entry.toJson());
    QJsonObject o;
    o.insert(QStringLiteral("schemaVersion"), schemaVersion);
    o.insert(QStringLiteral("projectId"), projectId);
    o.insert(QStringLiteral("projectPath"), projectPath);
    o.insert(QStringLiteral("createdAt"), json::isoDate(createdAt));
    o.insert(QStringLiteral("entries"), list);
    return o;
}

QByteArray ContextLog::encoded() const { return json::encodePretty(toJson()); }

ContextLog ContextLog::fromJson(const JsonObjectReader &object)
{
    ContextLog log;
    log.schemaVersion = object.int32(QStringLiteral("schemaVersion"));
    log.projectId = object.string(QStringLiteral("projectId"));
    log.projectPath = object.string(QStringLiteral("projectPath"));
    log.createdAt = object.isoDate(QStringLiteral("createdAt"));
    const auto items = object.array(QStringLiteral("entries"));
    log.entries.reserve(items.size());
    for (const auto &item : items)
        log.entries.append(ContextEntry::fromJson(item.toObject()));
    return log;
}

ContextLog ContextLog::decode(const QByteArray &bytes) { return fromJson(JsonObjectReader::parse(bytes)); }

namespace {

const QString middleDot = QStringLiteral(" \u00B7 ");

QString shortened(const QString &text, qsizetype limit)
{
    if (text::characterCount(text) <= limit)
        return text;
    return text::characterPrefix(text, limit) + QStringLiteral("\u2026");
}

QString reasonPart(const std::optional<QString> &reason)
{
    return reason ? QStringLiteral(" \u2014 ") + *reason : QString();
}

QString providersText(const QStringList &providers)
{
    return providers.isEmpty() ? QStringLiteral("none") : providers.join(QLatin1Char('+'));
}

} // namespace

QString activityLine(const ContextEntry::Payload &payload)
{
    return std::visit(
        [](const auto &p) -> QString {
            using T = std::decay_t<decltype(p)>;
            const auto num = [](qint64 n) { return QString::number(n); };
            if constexpr (std::is_same_v<T, ContextEntry::ProjectOpened>) {
                return QStringLiteral("[session] Project opened (Nerim ") + p.appVersion + QLatin1Char(')');
            } else if constexpr (std::is_same_v<T, ContextEntry::AgentSpawned>) {
                return QStringLiteral("[spawn] ") + p.agentName + QStringLiteral(" (") + p.role +
                       QStringLiteral(", ") + p.provider + QStringLiteral(") started");
            } else if constexpr (std::is_same_v<T, ContextEntry::AgentPromptReceived>) {
                return QStringLiteral("[prompt to ") + p.agentName + QStringLiteral(", via ") + rawValue(p.source) +
                       QStringLiteral("] ") + shortened(p.prompt, 200);
            } else if constexpr (std::is_same_v<T, ContextEntry::AgentTaskComplete>) {
                QString line = QLatin1Char('[') + p.agentName + QStringLiteral(" complete, exit=") + num(p.exitCode) +
                               QStringLiteral("] ") + shortened(p.summaryText, 300);
                if (!p.filesChanged.isEmpty())
                    line += QStringLiteral(" [files: ") + p.filesChanged.join(QStringLiteral(", ")) + QLatin1Char(']');
                return line;
            } else if constexpr (std::is_same_v<T, ContextEntry::AgentExit>) {
                return QLatin1Char('[') + p.agentName + QStringLiteral(" exited] reason=") + rawValue(p.reason) +
                       QStringLiteral(", code=") + num(p.exitCode);
            } else if constexpr (std::is_same_v<T, ContextEntry::FileChanged>) {
                QString attribution;
                if (p.attributionAmbiguous)
                    attribution = QStringLiteral("(attribution ambiguous)");
                else if (p.attributedAgentName)
                    attribution = QStringLiteral("by ") + *p.attributedAgentName;
                else
                    attribution = QStringLiteral("(no attribution)");
                return QStringLiteral("[file ") + rawValue(p.eventKind) + QStringLiteral("] ") + p.relativePath +
                       QLatin1Char(' ') + attribution;
            } else if constexpr (std::is_same_v<T, ContextEntry::RepairSessionStarted>) {
                return QStringLiteral("[repair started] ") + p.agentName + QStringLiteral(" attempt ") + num(p.attempt) +
                       middleDot + p.failureCategory + QStringLiteral(": ") + p.failureSummary;
            } else if constexpr (std::is_same_v<T, ContextEntry::RepairSessionEnded>) {
                return QStringLiteral("[repair ") + rawValue(p.outcome) + QStringLiteral("] ") + p.agentName +
                       QStringLiteral(" after ") + num(p.attempts) + QStringLiteral(" attempt(s) on ") +
                       p.lastFailureCategory + reasonPart(p.reason);
            } else if constexpr (std::is_same_v<T, ContextEntry::DeployStarted>) {
                return QStringLiteral("[deploy started] ") + p.agentName + QStringLiteral(" on ") +
                       providersText(p.providers) + QStringLiteral(" (") + p.projectShape + QStringLiteral(", ") +
                       p.kind + QLatin1Char(')');
            } else if constexpr (std::is_same_v<T, ContextEntry::DeployEnded>) {
                const QString head = p.agentName + QStringLiteral(" on ") + providersText(p.providers);
                switch (p.outcome) {
                case ContextEntry::DeploySessionOutcome::live: {
                    QString line = QStringLiteral("[deploy live] ") + head;
                    if (p.frontendURL)
                        line += middleDot + *p.frontendURL;
                    if (p.backendURL)
                        line += middleDot + QStringLiteral("backend: ") + *p.backendURL;
                    return line + middleDot + num(p.attempts) + QStringLiteral(" attempt(s)");
                }
                case ContextEntry::DeploySessionOutcome::stuck:
                    return QStringLiteral("[deploy stuck] ") + head + QStringLiteral(" after ") + num(p.attempts) +
                           QStringLiteral(" attempt(s)") + reasonPart(p.reason);
                case ContextEntry::DeploySessionOutcome::cancelled:
                    return QStringLiteral("[deploy cancelled] ") + head + reasonPart(p.reason);
                }
                return QString();
            }
        },
        payload);
}

QString recentActivitySummary(const QList<ContextEntry> &entries, qsizetype limit)
{
    if (limit < 1 || entries.isEmpty())
        return noPriorActivityText;
    QStringList lines;
    for (qsizetype i = std::max<qsizetype>(0, entries.size() - limit); i < entries.size(); ++i)
        lines.append(QStringLiteral("- ") + entries[i].timestamp().toIso8601() + QLatin1Char(' ') +
                     activityLine(entries[i].payload()));
    return lines.join(QLatin1Char('\n'));
}

} // namespace nerim
