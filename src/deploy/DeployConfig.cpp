#include "deploy/DeployConfig.h"

#include "deploy/DeployTypes.h"
#include "foundation/Json.h"
#include "foundation/Log.h"
#include "persistence/AtomicFileWriter.h"
#include "persistence/IntentProcessorConstants.h"
#include "persistence/ProjectDataFolder.h"

#include <QDir>
#include <QFileInfo>
#include <stdexcept>

namespace nerim {

namespace {

const QString tag = QStringLiteral("[Nerim deploy-config]");

QJsonObject mapToJson(const QMap<QString, QString> &map)
{
    QJsonObject object;
    for (auto it = map.begin(); it != map.end(); ++it)
        object.insert(it.key(), it.value());
    return object;
}

QMap<QString, QString> mapFromJson(const JsonObjectReader &reader)
{
    QMap<QString, QString> map;
    for (auto it = reader.raw().begin(); it != reader.raw().end(); ++it)
        map.insert(it.key(), reader.string(it.key()));
    return map;
}

struct VersionMismatch {
    int version;
};

} // namespace

std::optional<QString> DeployConfig::acceptedCustomDomain() const
{
    if (customDomain && isAcceptableCustomDomain(*customDomain) &&
        (!own.record || own.record->vouchesForDomain(*customDomain)))
        return cleanedDomain(*customDomain);
    return std::nullopt;
}

std::optional<QString> DeployConfig::acceptedFrontendURL() const
{
    if (frontendURL && isAcceptedLiveAddress(*frontendURL, providers, acceptedCustomDomain()) &&
        (!own.record || own.record->vouchesForFrontendURL(*frontendURL)))
        return frontendURL->trimmed();
    return std::nullopt;
}

std::optional<QString> DeployConfig::liveURL() const
{
    if (const std::optional<QString> domain = acceptedCustomDomain())
        return QStringLiteral("https://") + *domain;
    return acceptedFrontendURL();
}

QByteArray DeployConfig::encode() const
{
    QJsonObject object;
    object.insert(QStringLiteral("version"), version);
    QJsonArray providerArray;
    for (DeployProvider provider : providers)
        providerArray.append(provider.rawValue());
    object.insert(QStringLiteral("providers"), providerArray);
    auto text = [](const QString &s) { return QJsonValue(s); };
    json::insertOptional(object, QStringLiteral("frontendURL"), frontendURL, text);
    json::insertOptional(object, QStringLiteral("backendURL"), backendURL, text);
    json::insertOptional(object, QStringLiteral("backendAnonKey"), backendAnonKey, text);
    json::insertOptional(object, QStringLiteral("customDomain"), customDomain, text);
    json::insertOptional(object, QStringLiteral("autoDeployOnPush"), autoDeployOnPush,
                         [](bool b) { return QJsonValue(b); });
    object.insert(QStringLiteral("projectIDs"), mapToJson(projectIDs));
    object.insert(QStringLiteral("envDecisions"), mapToJson(envDecisions));
    json::insertOptional(object, QStringLiteral("lastDeployedAt"), lastDeployedAt, text);
    object.insert(QStringLiteral("revision"), revision);
    return json::encodePretty(object);
}

DeployConfig DeployConfig::decode(const QByteArray &bytes)
{
    const JsonObjectReader reader = JsonObjectReader::parse(bytes);
    DeployConfig config;
    config.version = reader.int32(QStringLiteral("version"));
    for (const JsonValueReader &item : reader.array(QStringLiteral("providers")))
        config.providers.append(item.toEnum<DeployProvider>(&DeployProvider::fromRaw));
    config.frontendURL = reader.optionalString(QStringLiteral("frontendURL"));
    config.backendURL = reader.optionalString(QStringLiteral("backendURL"));
    config.backendAnonKey = reader.optionalString(QStringLiteral("backendAnonKey"));
    config.customDomain = reader.optionalString(QStringLiteral("customDomain"));
    config.autoDeployOnPush = reader.optionalBool(QStringLiteral("autoDeployOnPush"));
    config.projectIDs = mapFromJson(reader.object(QStringLiteral("projectIDs")));
    config.envDecisions = mapFromJson(reader.object(QStringLiteral("envDecisions")));
    config.lastDeployedAt = reader.optionalString(QStringLiteral("lastDeployedAt"));
    config.revision = reader.int32(QStringLiteral("revision"));
    return config;
}

QString DeployConfig::configPath(const QString &projectPath)
{
    return QDir(projectPath).filePath(QStringLiteral(".nerim/") + fileName);
}

std::optional<DeployConfig> DeployConfig::load(const QUrl &projectURL)
{
    std::optional<DeployConfig> config = loadFile(projectURL);
    if (config)
        config->own.record = DeployOwnRecord::load(projectURL);
    return config;
}

std::optional<DeployConfig> DeployConfig::loadFile(const QUrl &projectURL)
{
    if (!projectURL.isLocalFile())
        return std::nullopt;
    const QString path = configPath(projectURL.toLocalFile());
    const QString backup = AtomicFileWriter::backupPathFor(path);
    if (!QFileInfo::exists(path) && !QFileInfo::exists(backup))
        return std::nullopt;
    try {
        // A file of another version is not read at all (nor replaced by its
        // backup): it was written by a Nerim this one doesn't understand.
        std::function<std::optional<DeployConfig>(const QByteArray &)> decoder =
            [](const QByteArray &bytes) -> std::optional<DeployConfig> {
            const DeployConfig config = decode(bytes);
            if (config.version != 1)
                throw VersionMismatch{config.version};
            return config;
        };
        if (auto bytes = AtomicFileWriter::readBytes(path, projectURL.toLocalFile())) {
            try {
                return decoder(*bytes);
            } catch (const VersionMismatch &mismatch) {
                logLine(QStringLiteral("%1 %2 has version %3; ignoring it").arg(tag, path, QString::number(mismatch.version)));
                return std::nullopt;
            } catch (...) {
                // fall through to the backup
            }
        }
        const auto result =
            AtomicFileWriter::read<std::optional<DeployConfig>>(path, backup, decoder, projectURL.toLocalFile());
        if (result.primaryReason)
            logLine(QStringLiteral("%1 read the backup of %2: %3").arg(tag, path, *result.primaryReason));
        return result.value;
    } catch (const VersionMismatch &mismatch) {
        logLine(QStringLiteral("%1 %2 has version %3; ignoring it").arg(tag, path, QString::number(mismatch.version)));
    } catch (const MemoryError &e) {
        logLine(QStringLiteral("%1 %2").arg(tag, e.description()));
    } catch (const std::exception &e) {
        logLine(QStringLiteral("%1 couldn't read %2: %3").arg(tag, path, QString::fromUtf8(e.what())));
    }
    return std::nullopt;
}

void DeployConfig::save(const DeployConfig &config, const QUrl &projectURL)
{
    if (!projectURL.isLocalFile() || !QFileInfo(projectURL.toLocalFile()).isDir())
        throw std::runtime_error("the project folder no longer exists");
    save(config, *ProjectDataFolder::open(projectURL.toLocalFile()).folder);
}

void DeployConfig::save(const DeployConfig &config, const ProjectDataFolder &door)
{
    const QString name = QFileInfo(configPath(door.projectPath())).fileName();
    try {
        door.write(ProjectDataFolder::Kind::deployConfig, name, config.encode(), AtomicFileWriter::backupPathFor(name));
    } catch (const MemoryError &e) {
        throw std::runtime_error(e.description().toStdString());
    }
}

} // namespace nerim
