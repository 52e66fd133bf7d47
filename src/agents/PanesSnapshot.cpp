#include "agents/PanesSnapshot.h"

#include "agents/AgentPaneState.h"
#include "agents/SnapshotFileRead.h"
#include "foundation/Log.h"
#include "foundation/SerialFileWriter.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace nerim {

PaneDiskSnapshot PaneDiskSnapshot::of(const AgentPaneState &pane)
{
    PaneDiskSnapshot snapshot;
    snapshot.id = pane.id();
    snapshot.agentId = pane.agentId();
    snapshot.agentName = pane.agentName();
    snapshot.paneNumber = pane.paneNumber();
    snapshot.responsibility = pane.responsibility();
    snapshot.outputLines = pane.outputLines();
    snapshot.conversation = pane.completedTurns();
    snapshot.isSystemPane = pane.isSystemPane();
    snapshot.role = pane.role();
    return snapshot;
}

AgentPaneState *PaneDiskSnapshot::makePane(QObject *parent) const
{
    auto *pane = new AgentPaneState(id, agentId, agentName, paneNumber, isSystemPane, role, responsibility, parent);
    pane->setOutputLines(outputLines);
    pane->setConversation(conversation);
    return pane;
}

QJsonObject PaneDiskSnapshot::toJson() const
{
    QJsonArray lines;
    for (const OutputLine &line : outputLines)
        lines.append(line.toJson());
    QJsonArray turns;
    for (const ConversationTurn &turn : conversation)
        turns.append(turn.toJson());
    QJsonObject object;
    object.insert(QStringLiteral("id"), json::uuid(id));
    object.insert(QStringLiteral("agentId"), agentId);
    object.insert(QStringLiteral("agentName"), agentName);
    object.insert(QStringLiteral("paneNumber"), paneNumber);
    object.insert(QStringLiteral("responsibility"), responsibility);
    object.insert(QStringLiteral("outputLines"), lines);
    object.insert(QStringLiteral("conversation"), turns);
    object.insert(QStringLiteral("isSystemPane"), isSystemPane);
    object.insert(QStringLiteral("role"), rawValue(role));
    return object;
}

PaneDiskSnapshot PaneDiskSnapshot::fromJson(const JsonObjectReader &reader)
{
    PaneDiskSnapshot pane;
    pane.id = reader.uuid(QStringLiteral("id"));
    pane.agentId = reader.string(QStringLiteral("agentId"));
    pane.agentName = reader.string(QStringLiteral("agentName"));
    pane.paneNumber = reader.int32(QStringLiteral("paneNumber"));
    pane.responsibility = reader.string(QStringLiteral("responsibility"));
    for (const JsonValueReader &line : reader.array(QStringLiteral("outputLines")))
        pane.outputLines.append(OutputLine::fromJson(line.toObject()));
    for (const JsonValueReader &turn : reader.array(QStringLiteral("conversation")))
        pane.conversation.append(ConversationTurn::fromJson(turn.toObject()));
    // Lenient keys: files written before these existed still load.
    const QJsonValue isSystem = reader.raw().value(QStringLiteral("isSystemPane"));
    pane.isSystemPane = isSystem.isBool() && isSystem.toBool();
    const QJsonValue role = reader.raw().value(QStringLiteral("role"));
    pane.role = role.isString() ? agentRoleFromRaw(role.toString()).value_or(AgentRole::unspecified)
                                : AgentRole::unspecified;
    return pane;
}

QByteArray PanesSnapshot::encode() const
{
    QJsonArray paneArray;
    for (const PaneDiskSnapshot &pane : panes)
        paneArray.append(pane.toJson());
    QJsonObject object;
    object.insert(QStringLiteral("version"), version);
    object.insert(QStringLiteral("nextAgentNumber"), nextAgentNumber);
    json::insertOptional(object, QStringLiteral("focusedPaneId"), focusedPaneId, &json::uuid);
    json::insertOptional(object, QStringLiteral("expandedPaneId"), expandedPaneId, &json::uuid);
    object.insert(QStringLiteral("panes"), paneArray);
    return json::encodeCompact(object);
}

PanesSnapshot PanesSnapshot::decode(const QByteArray &bytes)
{
    const JsonObjectReader reader = JsonObjectReader::parse(bytes);
    PanesSnapshot snapshot;
    snapshot.version = reader.int32(QStringLiteral("version"));
    snapshot.nextAgentNumber = reader.int64(QStringLiteral("nextAgentNumber"));
    snapshot.focusedPaneId = reader.optionalUuid(QStringLiteral("focusedPaneId"));
    snapshot.expandedPaneId = reader.optionalUuid(QStringLiteral("expandedPaneId"));
    for (const JsonValueReader &pane : reader.array(QStringLiteral("panes")))
        snapshot.panes.append(PaneDiskSnapshot::fromJson(pane.toObject()));
    return snapshot;
}

namespace {

// The version of a document, when it is an object with an integer "version".
std::optional<qint64> documentVersion(const QByteArray &bytes)
{
    const QJsonDocument document = QJsonDocument::fromJson(bytes);
    if (!document.isObject())
        return std::nullopt;
    const QJsonValue version = document.object().value(QStringLiteral("version"));
    if (!version.isDouble())
        return std::nullopt;
    const double value = version.toDouble();
    if (value != static_cast<double>(static_cast<qint64>(value)))
        return std::nullopt;
    return static_cast<qint64>(value);
}

} // namespace

PanesLoadResult readPanesFile(const QString &path)
{
    PanesLoadResult result;
    // A file of another version is left alone before its content is judged:
    // a later format need not decode as this one.
    try {
        if (const auto bytes = AtomicFileWriter::readBytes(path)) {
            if (const auto version = documentVersion(*bytes); version && *version != PanesSnapshot::currentVersion) {
                logLine(QStringLiteral("[Nerim panes] load: unknown version %1 (expected %2), ignoring")
                            .arg(*version)
                            .arg(PanesSnapshot::currentVersion));
                result.unknownVersion = true;
                return result;
            }
        }
    } catch (...) {
        // Unreadable: the read below reports it and tries the backup.
    }

    const auto read = readSnapshotFile<PanesSnapshot>(path, [](const QByteArray &bytes) {
        PanesSnapshot snapshot = PanesSnapshot::decode(bytes);
        if (snapshot.version != PanesSnapshot::currentVersion)
            throw JsonDecodingError(QStringLiteral("version"), QStringLiteral("unknown version %1").arg(snapshot.version));
        return snapshot;
    });
    if (read.primaryFailure) {
        if (read.restoredFromBackup)
            logLine(QStringLiteral("[Nerim panes] load failed: %1; restored panes.json from its backup")
                        .arg(*read.primaryFailure));
        else
            logLine(QStringLiteral("[Nerim panes] load failed: %1").arg(*read.primaryFailure));
    }
    if (!read.value)
        return result;

    PanesSnapshot snapshot = *read.value;
    // Never hand out a next number that a restored pane already carries.
    for (const PaneDiskSnapshot &pane : snapshot.panes)
        snapshot.nextAgentNumber = std::max<qint64>(snapshot.nextAgentNumber, qint64(pane.paneNumber) + 1);
    result.snapshot = std::move(snapshot);
    return result;
}

std::optional<PanesSnapshot> loadPanesSnapshot(const QString &path) { return readPanesFile(path).snapshot; }

void savePanesSnapshot(const QString &path, PanesSnapshot snapshot)
{
    SerialFileWriter::shared().submit(
        path,
        [path, snapshot = std::move(snapshot)] {
            try {
                AtomicFileWriter::write(snapshot.encode(), path, AtomicFileWriter::backupPathFor(path));
            } catch (...) {
                logLine(QStringLiteral("[Nerim panes] save failed: %1")
                            .arg(AtomicFileWriter::describeFailure(std::current_exception())));
            }
        },
        QStringLiteral("[Nerim panes]"));
}

std::optional<PanesSnapshot> PanesSnapshotStore::load()
{
    PanesLoadResult result = readPanesFile(m_path);
    m_keepUnknownVersion = result.unknownVersion;
    return std::move(result.snapshot);
}

void PanesSnapshotStore::save(PanesSnapshot snapshot)
{
    if (m_keepUnknownVersion) {
        if (snapshot.panes.isEmpty())
            return;
        m_keepUnknownVersion = false;
    }
    savePanesSnapshot(m_path, std::move(snapshot));
}

} // namespace nerim
