#include "deploy/DeployContext.h"

#include "foundation/BackgroundWork.h"
#include "foundation/Log.h"
#include "foundation/RegularFile.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace nerim {

QStringList DeployContext::envVarNamesIn(const QString &dotEnvText)
{
    static const QRegularExpression assignment(QStringLiteral("^\\s*(?:export\\s+)?([A-Za-z_][A-Za-z0-9_]*)\\s*="));
    QStringList names;
    for (const QString &line : dotEnvText.split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch match = assignment.match(line);
        if (match.hasMatch() && !names.contains(match.captured(1)))
            names.append(match.captured(1));
    }
    return names;
}

QSet<QString> DeployContext::dependencyNamesIn(const QByteArray &packageJson)
{
    QSet<QString> names;
    const QJsonDocument document = QJsonDocument::fromJson(packageJson);
    if (!document.isObject())
        return names;
    for (const char *key : {"dependencies", "devDependencies"}) {
        const QJsonObject section = document.object().value(QLatin1String(key)).toObject();
        for (auto it = section.begin(); it != section.end(); ++it)
            names.insert(it.key());
    }
    return names;
}

namespace {

// The bytes of the file `name` at the top of the project; nothing when it is
// missing or was refused. A .env kept elsewhere in the project and linked in
// is common: it is read where the link leads inside the project, never
// through a further link or outside.
std::optional<QByteArray> readProjectFile(const QString &projectPath, const QString &name, qint64 maxBytes)
{
    try {
        return RegularFile::readLinkedBeneath(projectPath, name, maxBytes);
    } catch (const RegularFile::ReadError &error) {
        logLine(QStringLiteral("[Nerim deploy] didn't read %1: %2").arg(name, QString::fromUtf8(error.what())));
    }
    return std::nullopt;
}

} // namespace

DeployProjectFiles DeployProjectFiles::read(const QString &projectPath)
{
    DeployProjectFiles files;
    const QDir project(projectPath);
    const QString envPath = project.filePath(QStringLiteral(".env"));
    if (const std::optional<QByteArray> env = readProjectFile(projectPath, QStringLiteral(".env"), maxEnvFileBytes)) {
        files.envFilePath = envPath;
        files.envVarNames = DeployContext::envVarNamesIn(QString::fromUtf8(*env));
    } else {
        // Refused for its size, not because it is missing or no regular file.
        const QFileInfo info(envPath);
        files.envFileTooLarge = info.isFile() && info.size() > maxEnvFileBytes;
    }
    files.declaredNames = files.envVarNames;
    QStringList others = project.entryList({QStringLiteral(".env?*")}, QDir::Files | QDir::Hidden | QDir::System);
    others.sort();
    for (const QString &name : std::as_const(others))
        if (const std::optional<QByteArray> env = readProjectFile(projectPath, name, maxEnvFileBytes))
            for (const QString &variable : DeployContext::envVarNamesIn(QString::fromUtf8(*env)))
                if (!files.declaredNames.contains(variable))
                    files.declaredNames.append(variable);
    if (const std::optional<QByteArray> package =
            readProjectFile(projectPath, QStringLiteral("package.json"), qint64(4) << 20)) {
        files.dependencies = DeployContext::dependencyNamesIn(*package).values();
        files.dependencies.sort();
    }
    return files;
}

QFuture<DeployProjectFiles> DeployProjectFiles::readInBackground(const QString &projectPath)
{
    return runInBackground([projectPath] { return read(projectPath); });
}

} // namespace nerim
