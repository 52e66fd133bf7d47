#include "agents/AgentNames.h"

#include "foundation/Json.h"
#include "foundation/Log.h"
#include "foundation/SerialFileWriter.h"
#include "persistence/AtomicFileWriter.h"
#include "persistence/IntentProcessorConstants.h"
#include "persistence/ProjectDataFolder.h"

#include <QJsonObject>

namespace nerim {

std::optional<qint64> agentNumberFromKey(const QString &key)
{
    qsizetype start = 0;
    if (key.startsWith(QLatin1Char('+')) || key.startsWith(QLatin1Char('-')))
        start = 1;
    if (key.size() <= start)
        return std::nullopt;
    for (qsizetype i = start; i < key.size(); ++i)
        if (key.at(i) < QLatin1Char('0') || key.at(i) > QLatin1Char('9'))
            return std::nullopt;
    bool ok = false;
    // toLongLong does not take a leading plus sign in every Qt version.
    const QString digits = key.at(0) == QLatin1Char('+') ? key.mid(1) : key;
    const qint64 value = digits.toLongLong(&ok, 10);
    if (!ok)
        return std::nullopt;
    return value;
}

void loadAgentNames(const QString &path, AgentNameMap &names)
{
    try {
        const std::optional<QByteArray> bytes =
            AtomicFileWriter::readBytes(path, IntentProcessorConstants::projectOfDataFile(path));
        if (!bytes)
            return;
        const JsonObjectReader reader = JsonObjectReader::parse(*bytes);
        AgentNameMap loaded;
        for (auto it = reader.raw().begin(); it != reader.raw().end(); ++it) {
            // Every value must be a string, as for any map of string to string.
            const QString name = JsonValueReader(it.value(), it.key()).toString();
            if (const auto number = agentNumberFromKey(it.key()))
                loaded.insert(*number, name);
        }
        names = loaded;
    } catch (...) {
        logLine(QStringLiteral("[Nerim agents] name load failed: %1")
                    .arg(AtomicFileWriter::describeFailure(std::current_exception())));
    }
}

void saveAgentNames(const QString &path, AgentNameMap names)
{
    SerialFileWriter::shared().submit(
        path,
        [path, names = std::move(names)] {
            try {
                QJsonObject object;
                for (auto it = names.begin(); it != names.end(); ++it)
                    object.insert(QString::number(it.key()), it.value());
                AtomicFileWriter::replace(json::encodeCompact(object), path,
                                          AtomicFileWriter::inProject(IntentProcessorConstants::projectOfDataFile(path)));
            } catch (...) {
                logLine(QStringLiteral("[Nerim agents] rename persist failed: %1")
                            .arg(AtomicFileWriter::describeFailure(std::current_exception())));
            }
        },
        QStringLiteral("[Nerim agents]"));
}

} // namespace nerim

namespace nerim {

void saveAgentNames(ProjectDataFolder &door, AgentNameMap names)
{
    const QString name = QStringLiteral("agent-names.json");
    door.save(ProjectDataFolder::Kind::agentNames, name, [name, names = std::move(names)](const ProjectDataFolder &folder) {
        QJsonObject object;
        for (auto it = names.begin(); it != names.end(); ++it)
            object.insert(QString::number(it.key()), it.value());
        folder.replace(ProjectDataFolder::Kind::agentNames, name, json::encodeCompact(object));
    });
}

} // namespace nerim
