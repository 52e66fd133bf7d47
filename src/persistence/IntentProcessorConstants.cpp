#include "persistence/IntentProcessorConstants.h"

#include "foundation/Json.h"
#include "foundation/Log.h"
#include "persistence/AtomicFileWriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <sys/stat.h>

#ifndef NERIM_SHORT_VERSION
#define NERIM_SHORT_VERSION ""
#endif
#ifndef NERIM_BUILD_NUMBER
#define NERIM_BUILD_NUMBER ""
#endif

namespace nerim::IntentProcessorConstants {

const QHash<QString, QString> &subprocessEnvironment()
{
    static const QHash<QString, QString> env{
        {QStringLiteral("PATH"), QStringLiteral("/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin")},
        {QStringLiteral("TERM"), QStringLiteral("dumb")},
    };
    return env;
}

QString versionText(const QString &shortVersion, const QString &build)
{
    if (shortVersion.isEmpty()) {
        logLine(QStringLiteral("[Nerim] appVersion falling back to sentinel \u2014 build version text missing"));
        return QStringLiteral("unknown");
    }
    if (!build.isEmpty() && build != shortVersion)
        return shortVersion + QStringLiteral(" (") + build + QLatin1Char(')');
    return shortVersion;
}

const QString &appVersion()
{
    static const QString version =
        versionText(QStringLiteral(NERIM_SHORT_VERSION), QStringLiteral(NERIM_BUILD_NUMBER));
    return version;
}

QUrl groqTranscriptionURL() { return QUrl(QStringLiteral("https://api.groq.com/openai/v1/audio/transcriptions")); }
QUrl claudeCodeDocsURL() { return QUrl(QStringLiteral("https://docs.anthropic.com/en/docs/claude-code")); }

namespace {

QString dataHome()
{
    const QString location = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (location.isEmpty())
        throw std::runtime_error("no data folder is known for this user");
    return location;
}

bool existsAt(const QString &path)
{
    // A dangling link still occupies the name.
    return QFileInfo::exists(path) || QFileInfo(path).isSymLink();
}

bool isInside(const QString &canonicalPath, const QString &canonicalRoot)
{
    return !canonicalPath.isEmpty() && !canonicalRoot.isEmpty() &&
           canonicalPath.startsWith(canonicalRoot == QLatin1String("/") ? canonicalRoot : canonicalRoot + QLatin1Char('/'));
}

// Creates a folder that only its owner may enter.
void makePrivateFolder(const QString &path)
{
    if (::mkdir(QFile::encodeName(path).constData(), 0700) != 0 && errno != EEXIST)
        throw std::runtime_error(QStringLiteral("could not create %1: %2")
                                     .arg(path, QString::fromLocal8Bit(std::strerror(errno)))
                                     .toStdString());
}

// Moves `legacy` to `target` when only the legacy folder exists, then creates the target.
QString migrateAndCreate(const QString &target, const QString &legacy, const QString &logFormat,
                         const std::function<void(const QString &)> &create)
{
    if (!existsAt(target) && existsAt(legacy)) {
        if (!QDir().rename(legacy, target))
            throw std::runtime_error(QStringLiteral("could not move %1 to %2").arg(legacy, target).toStdString());
        logLine(logFormat.arg(legacy, target));
    }
    if (!existsAt(target))
        create(target);
    // Something else in the folder's place would only make every later write fail.
    if (!QFileInfo(target).isDir())
        throw std::runtime_error(QStringLiteral("%1 is not a folder").arg(target).toStdString());
    return target;
}

} // namespace

QString appSupportDirectory()
{
    const QString base = dataHome();
    if (!QDir().mkpath(base))
        throw std::runtime_error(QStringLiteral("could not create %1").arg(base).toStdString());
    const QString folder =
        migrateAndCreate(base + QStringLiteral("/Nerim"), base + QStringLiteral("/Veltra"),
                         QStringLiteral("[Nerim memory] Migrated legacy app-support directory: %1 -> %2"),
                         &makePrivateFolder);
    // It lists the user's projects and holds the key file: owner only, also
    // when an earlier version (or the legacy folder) made it readable by others.
    struct stat st {};
    if (::lstat(QFile::encodeName(folder).constData(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & 077) != 0)
        ::chmod(QFile::encodeName(folder).constData(), st.st_mode & 0700);
    return folder;
}

void checkDotfolderLink(const QString &dotfolderPath)
{
    const QFileInfo info(dotfolderPath);
    if (!info.isSymLink())
        return;
    const QString resolved = info.canonicalFilePath();
    if (resolved.isEmpty())
        throw std::runtime_error(QStringLiteral("%1 is a symbolic link to %2, which does not exist")
                                     .arg(info.fileName(), info.symLinkTarget())
                                     .toStdString());
    if (!isInside(resolved, QFileInfo(info.path()).canonicalFilePath()))
        throw std::runtime_error(QStringLiteral("%1 is a symbolic link to %2, outside the project folder")
                                     .arg(info.fileName(), resolved)
                                     .toStdString());
}

QString projectDotfolder(const QString &projectPath)
{
    QString project = projectPath;
    while (project.size() > 1 && project.endsWith(QLatin1Char('/')))
        project.chop(1);
    const QString target = project + QStringLiteral("/.nerim");
    const QString legacy = project + QStringLiteral("/.veltra");
    // Checked before anything is moved or created.
    checkDotfolderLink(target);
    if (!existsAt(target))
        checkDotfolderLink(legacy);
    return migrateAndCreate(target, legacy, QStringLiteral("[Nerim memory] Migrated legacy project dotfolder: %1 -> %2"),
                            [](const QString &path) {
                                // Only the data folder itself: a project folder
                                // that is gone is never made again.
                                if (!AtomicFileWriter::makeFolder(path))
                                    throw std::runtime_error(
                                        QStringLiteral("could not create %1").arg(path).toStdString());
                            });
}

QString scratchDirectory()
{
    QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (documents.isEmpty())
        documents = QDir::homePath() + QStringLiteral("/Documents");
    const QString path = documents + QStringLiteral("/nerim-scratch");
    if (!existsAt(path) && !QDir().mkpath(path))
        throw std::runtime_error(QStringLiteral("could not create %1").arg(path).toStdString());
    return path;
}

QString apiKeysFilePath()
{
    const QString location = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (location.isEmpty())
        return QString();
    return location + QStringLiteral("/Nerim/api-keys.json");
}

APIKeys readAPIKeysFile(const QString &path)
{
    APIKeys keys{anthropicPlaceholder, groqPlaceholder};
    if (path.isEmpty() || !QFileInfo::exists(path))
        return keys;
    try {
        const auto bytes = AtomicFileWriter::readBytes(path);
        const auto doc = JsonObjectReader::parse(bytes.value_or(QByteArray()));
        const QString anthropic = doc.optionalString(QStringLiteral("anthropic")).value_or(QString()).trimmed();
        const QString groq = doc.optionalString(QStringLiteral("groq")).value_or(QString()).trimmed();
        if (!anthropic.isEmpty())
            keys.anthropicKey = anthropic;
        if (!groq.isEmpty())
            keys.groqKey = groq;
    } catch (...) {
        logLine(QStringLiteral("[Nerim] api-keys.json load failed: %1")
                    .arg(AtomicFileWriter::describeFailure(std::current_exception())));
    }
    return keys;
}

APIKeys readAPIKeysFile() { return readAPIKeysFile(apiKeysFilePath()); }

namespace {
QMutex keyCacheMutex;
std::optional<APIKeys> keyCache;
} // namespace

APIKeys cachedKeys()
{
    QMutexLocker lock(&keyCacheMutex);
    if (!keyCache)
        keyCache = readAPIKeysFile();
    return *keyCache;
}

void forgetCachedKeys()
{
    QMutexLocker lock(&keyCacheMutex);
    keyCache.reset();
}

bool isUsableKey(const QString &key) { return !key.isEmpty() && !key.startsWith(QStringLiteral("REPLACE_WITH_")); }
bool hasAnthropicKey() { return isUsableKey(cachedKeys().anthropicKey); }
bool hasGroqKey() { return isUsableKey(cachedKeys().groqKey); }

} // namespace nerim::IntentProcessorConstants
