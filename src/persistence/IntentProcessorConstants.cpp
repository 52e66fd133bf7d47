#include "persistence/IntentProcessorConstants.h"

#include "foundation/Json.h"
#include "foundation/Log.h"
#include "foundation/BeneathFolder.h"
#include "persistence/AtomicFileWriter.h"
#include "persistence/FileCalls.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

namespace {

QString systemReason(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// What is at `name` in the open folder, not following a link: its mode, or 0
// when nothing is there.
mode_t kindAt(const BeneathFolder &folder, const char *name)
{
    struct stat st {};
    if (::fstatat(folder.fd(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return 0;
        throw std::runtime_error(
            QStringLiteral("%1 can't be looked at (%2)").arg(folder.filePath(QString::fromLatin1(name)), systemReason(errno))
                .toStdString());
    }
    return st.st_mode & S_IFMT;
}

QString linkText(const BeneathFolder &folder, const char *name)
{
    QByteArray buffer(4096, Qt::Uninitialized);
    const ssize_t n = ::readlinkat(folder.fd(), name, buffer.data(), size_t(buffer.size()));
    return n < 0 ? QString() : QFile::decodeName(buffer.left(n));
}

// Moves whatever is at ".nerim" that is not a real folder (a link, a file,
// a pipe, a device) aside to ".nerim.<what>-<UTC time>" (numbered when
// taken), never replacing anything and never following it. Returns the new
// name, or nothing when it was gone already (another thread of this Nerim
// set it aside first).
std::optional<QString> setAsideDataFolderEntry(const BeneathFolder &project, const QString &what)
{
    const QString stamp = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    for (int n = 1;; ++n) {
        const QString name = QStringLiteral(".nerim.") + what + QLatin1Char('-') + stamp +
                             (n == 1 ? QString() : QLatin1Char('-') + QString::number(n));
        if (fileCalls::renameAtWithoutReplacing(project.fd(), ".nerim", project.fd(), QFile::encodeName(name).constData()) ==
            0) {
            fileCalls::syncFolder(project.fd());
            return name;
        }
        if (errno == ENOENT)
            return std::nullopt;
        if (errno != EEXIST)
            throw std::runtime_error(QStringLiteral(".nerim is not a folder and could not be set aside (%1)")
                                         .arg(systemReason(errno))
                                         .toStdString());
    }
}

// What a ".nerim" of this kind is called in the set-aside name and the notice.
QString entryWord(mode_t kind)
{
    switch (kind) {
    case S_IFLNK:
        return QStringLiteral("link");
    case S_IFREG:
        return QStringLiteral("file");
    case S_IFIFO:
        return QStringLiteral("pipe");
    case S_IFCHR:
    case S_IFBLK:
        return QStringLiteral("device");
    case S_IFSOCK:
        return QStringLiteral("socket");
    default:
        return QStringLiteral("entry");
    }
}

} // namespace

QString projectDotfolder(const QString &projectPath, QString *setAsideNotice)
{
    QString project = projectPath;
    while (project.size() > 1 && project.endsWith(QLatin1Char('/')))
        project.chop(1);
    const QString target = project + QStringLiteral("/.nerim");
    // Everything here is done in the project folder as it was opened, by name:
    // nothing swapped into the project meanwhile is followed.
    const BeneathFolder folder = BeneathFolder::root(project);

    // Nerim's data folder is a real folder of the project: a link in its place
    // (to anywhere, another folder of the project included) would let whoever
    // shaped the project choose where Nerim's own files are read and written.
    // It is set aside, never followed and never deleted, and a real one made.
    mode_t kind = kindAt(folder, ".nerim");
    if (kind == S_IFLNK) {
        const QString leadsTo = linkText(folder, ".nerim");
        if (const std::optional<QString> aside = setAsideDataFolderEntry(folder, QStringLiteral("link"))) {
            logLine(QStringLiteral("[Nerim memory] Set aside %1, a symbolic link to %2, as %3; a real .nerim folder is "
                                   "made in its place")
                        .arg(target, leadsTo, *aside));
            if (setAsideNotice)
                *setAsideNotice = QStringLiteral("This project's .nerim was a link to %1, which Nerim doesn't follow. "
                                                 "It was set aside as %2 (nothing was deleted) and a new .nerim folder "
                                                 "was made.")
                                      .arg(leadsTo, *aside);
        }
        kind = kindAt(folder, ".nerim");
        if (kind == S_IFLNK) // put back at once: this is not a link Nerim made
            throw std::runtime_error(".nerim is a symbolic link, which Nerim does not follow");
    } else if (kind != 0 && kind != S_IFDIR) {
        // A file, a pipe or a device in the folder's place (a clone that
        // tracks a file named .nerim): kept under another name, and a real
        // folder made, so the project always opens.
        const QString word = entryWord(kind);
        if (const std::optional<QString> aside = setAsideDataFolderEntry(folder, word)) {
            logLine(QStringLiteral("[Nerim memory] Set aside %1, a %2, as %3; a real .nerim folder is made in its place")
                        .arg(target, word, *aside));
            if (setAsideNotice)
                *setAsideNotice = QStringLiteral("This project's .nerim was a %1, not a folder. It was set aside as %2 "
                                                 "(nothing was deleted) and a new .nerim folder was made.")
                                      .arg(word, *aside);
        }
        kind = kindAt(folder, ".nerim");
    }
    // The earlier product's folder is moved once, when it is a real folder.
    if (kind == 0 && kindAt(folder, ".veltra") == S_IFDIR) {
        if (fileCalls::renameAtWithoutReplacing(folder.fd(), ".veltra", folder.fd(), ".nerim") != 0)
            throw std::runtime_error(QStringLiteral("could not move %1/.veltra to %2 (%3)")
                                         .arg(project, target, systemReason(errno))
                                         .toStdString());
        logLine(QStringLiteral("[Nerim memory] Migrated legacy project dotfolder: %1 -> %2")
                    .arg(project + QStringLiteral("/.veltra"), target));
        kind = S_IFDIR;
    }
    // Only the data folder itself is made: a project folder that is gone is
    // never made again (the folder above was opened, not created).
    if (kind == 0) {
        if (::mkdirat(folder.fd(), ".nerim", 0777) != 0 && errno != EEXIST)
            throw std::runtime_error(
                QStringLiteral("could not create %1 (%2)").arg(target, systemReason(errno)).toStdString());
        kind = kindAt(folder, ".nerim");
    }
    // Something else in the folder's place would only make every later write fail.
    if (kind != S_IFDIR)
        throw std::runtime_error(QStringLiteral("%1 is not a folder").arg(target).toStdString());
    return target;
}

QString projectOfDataFile(const QString &path)
{
    const QString cleaned = QDir::cleanPath(path);
    const qsizetype at = cleaned.lastIndexOf(QStringLiteral("/.nerim/"));
    if (at < 0)
        return QString();
    return at == 0 ? QStringLiteral("/") : cleaned.left(at);
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
