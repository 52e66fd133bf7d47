#include "launcher/ProjectTypeDetector.h"

#include "foundation/Log.h"
#include "foundation/RegularFile.h"
#include "launcher/FreePortProbe.h"
#include "launcher/LaunchOverride.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>
#include <cerrno>
#include <cstring>
#include <dirent.h>

namespace nerim {

namespace {

const QString startingYourApp = QStringLiteral("Starting your app");

QString projectFolder(const QString &projectPath)
{
    QString folder = projectPath;
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    return folder;
}

// The bytes of a file at the top of the user's project, empty when it cannot
// be read. A link is followed only to a file inside the project reached
// without a further link (projects link files around, but nothing outside
// the project is read), and only a regular file of bounded size is read: a
// named pipe or a device in its place is skipped.
QByteArray readProjectFile(const QString &path)
{
    const QFileInfo file(path);
    try {
        return RegularFile::readLinkedBeneath(file.absolutePath(), file.fileName()).value_or(QByteArray());
    } catch (const RegularFile::ReadError &) {
        return QByteArray();
    }
}

// The names of the folder's top-level entries that are not hidden.
QSet<QString> listEntries(const QString &folder)
{
    DIR *dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        throw ProjectTypeDetectorError::readFailed(QString::fromLocal8Bit(std::strerror(errno)));
    QSet<QString> names;
    errno = 0;
    while (const dirent *entry = ::readdir(dir)) {
        const QString name = QFile::decodeName(entry->d_name);
        if (!name.startsWith(QLatin1Char('.')))
            names.insert(name);
        errno = 0;
    }
    const int error = errno;
    ::closedir(dir);
    if (error != 0)
        throw ProjectTypeDetectorError::readFailed(QString::fromLocal8Bit(std::strerror(error)));
    return names;
}

LaunchPlan plan(const QString &folder, const QString &command, const QString &description = startingYourApp)
{
    return LaunchPlan{folder, command, description};
}

} // namespace

LaunchPlan ProjectTypeDetector::detect(const QString &projectPath)
{
    const QString folder = projectFolder(projectPath);
    if (const auto override = LaunchOverride::load(folder)) {
        logLine(QStringLiteral("[Nerim][ProjectTypeDetector] using launch override: %1 (written %2)")
                    .arg(launchCommandForLog(override->shellCommand), override->writtenAt));
        return override->launchPlan(folder);
    }

    const QSet<QString> entries = listEntries(folder);
    if (entries.contains(QStringLiteral("package.json")))
        return nodeLaunchPlan(folder);
    if (entries.contains(QStringLiteral("Cargo.toml")))
        return plan(folder, QStringLiteral("cargo run"));
    if (entries.contains(QStringLiteral("go.mod")))
        return plan(folder, QStringLiteral("go run ."));
    for (const char *marker : {"pyproject.toml", "requirements.txt", "main.py", "app.py", "run.py"}) {
        if (entries.contains(QString::fromLatin1(marker)))
            return pythonLaunchPlan(folder, entries);
    }
    if (entries.contains(QStringLiteral("index.html")))
        return plan(folder, QStringLiteral("python3 -m http.server 0 --bind 127.0.0.1"));
    throw ProjectTypeDetectorError::unknown(unknownProjectHint);
}

LaunchPlan ProjectTypeDetector::nodeLaunchPlan(const QString &projectPath)
{
    const QString folder = projectFolder(projectPath);
    const QSet<QString> scripts = packageScripts(folder + QStringLiteral("/package.json"));
    QString run = QStringLiteral("npm start");
    for (const char *name : {"dev", "start", "serve"}) {
        if (scripts.contains(QString::fromLatin1(name))) {
            run = QStringLiteral("npm run ") + QString::fromLatin1(name);
            break;
        }
    }

    const auto exists = [&](const char *name) { return QFileInfo::exists(folder + QLatin1Char('/') + QLatin1String(name)); };
    if (exists("node_modules"))
        return plan(folder, run);

    QString install = QStringLiteral("npm install");
    if (exists("pnpm-lock.yaml"))
        install = QStringLiteral("pnpm install");
    else if (exists("yarn.lock"))
        install = QStringLiteral("yarn install");
    return plan(folder, install + QStringLiteral(" && ") + run,
                QStringLiteral("Installing dependencies and starting your app"));
}

LaunchPlan ProjectTypeDetector::pythonLaunchPlan(const QString &projectPath, const QSet<QString> &entries)
{
    const QString folder = projectFolder(projectPath);
    const auto imports = [&](const char *module) {
        return pythonImports(QString::fromLatin1(module), folder, entries);
    };

    if (imports("streamlit")) {
        const int port = firstFreePort(8501, 20).value_or(8501);
        const QString file =
            firstPresent({QStringLiteral("streamlit_app.py"), QStringLiteral("app.py"), QStringLiteral("main.py")}, entries)
                .value_or(QStringLiteral("app.py"));
        return plan(folder, QStringLiteral("streamlit run %1 --server.port %2 --server.headless true").arg(file, QString::number(port)));
    }
    if (imports("fastapi") || imports("uvicorn")) {
        QString application = QStringLiteral("main:app");
        if (!entries.contains(QStringLiteral("main.py")) && entries.contains(QStringLiteral("app.py")))
            application = QStringLiteral("app:app");
        const int port = firstFreePort(8000, 20).value_or(8000);
        return plan(folder, QStringLiteral("uvicorn %1 --reload --port %2").arg(application, QString::number(port)));
    }
    if (imports("flask")) {
        const QString file =
            firstPresent({QStringLiteral("app.py"), QStringLiteral("main.py"), QStringLiteral("run.py")}, entries)
                .value_or(QStringLiteral("app.py"));
        const int port = firstFreePort(5000, 20).value_or(5000);
        return plan(folder, QStringLiteral("FLASK_APP=%1 flask run --port %2").arg(file, QString::number(port)));
    }
    const auto script =
        firstPresent({QStringLiteral("main.py"), QStringLiteral("app.py"), QStringLiteral("run.py")}, entries);
    if (!script)
        throw ProjectTypeDetectorError::unknown(unknownPythonHint);
    return plan(folder, QStringLiteral("python3 ") + *script);
}

QSet<QString> ProjectTypeDetector::packageScripts(const QString &packageJsonPath)
{
    const QJsonDocument document = QJsonDocument::fromJson(readProjectFile(packageJsonPath));
    if (!document.isObject())
        return {};
    const QJsonValue scripts = document.object().value(QStringLiteral("scripts"));
    if (!scripts.isObject())
        return {};
    const QStringList keys = scripts.toObject().keys();
    return QSet<QString>(keys.begin(), keys.end());
}

bool ProjectTypeDetector::pythonImports(const QString &module, const QString &projectPath,
                                        const QSet<QString> &entries)
{
    const QString folder = projectFolder(projectPath);
    const QString importText = QStringLiteral("import ") + module;
    const QString fromText = QStringLiteral("from ") + module;
    for (const QString &name : entries) {
        if (!name.endsWith(QLatin1String(".py")))
            continue;
        const QByteArray bytes = readProjectFile(folder + QLatin1Char('/') + name);
        // Only text that is valid UTF-8 is looked at, as a strict decoder would.
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString text = decoder.decode(bytes);
        if (decoder.hasError())
            continue;
        if (text.contains(importText) || text.contains(fromText))
            return true;
    }
    return false;
}

std::optional<QString> ProjectTypeDetector::firstPresent(const QStringList &candidates, const QSet<QString> &entries)
{
    for (const QString &candidate : candidates) {
        if (entries.contains(candidate))
            return candidate;
    }
    return std::nullopt;
}

} // namespace nerim
