#include "launcher/DevServerEnvironment.h"

#include "persistence/IntentProcessorConstants.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>

namespace nerim {

QStringList devServerHiddenPaths()
{
    QStringList paths;
    const QString keyFile = IntentProcessorConstants::apiKeysFilePath();
    if (!keyFile.isEmpty())
        paths.append(QFileInfo(keyFile).absolutePath());
    const QString home = QDir::homePath();
    paths.append(home + QStringLiteral("/.claude"));
    // Hidden even when it appears only later (see the guard).
    paths.append(home + QStringLiteral("/.claude.json"));
    // The session's runtime folder: the session bus and the keyring's
    // sockets, and Nerim's own runtime files.
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (!runtime.isEmpty())
        paths.append(runtime);
    // A bus listening somewhere else is hidden where it is.
    for (const QString &address : qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS").split(QLatin1Char(';'))) {
        if (!address.startsWith(QLatin1String("unix:")))
            continue;
        for (const QString &pair : address.mid(5).split(QLatin1Char(','))) {
            if (!pair.startsWith(QLatin1String("path=")))
                continue;
            const QString path = QUrl::fromPercentEncoding(pair.mid(5).toUtf8());
            if (QDir::isAbsolutePath(path) && (runtime.isEmpty() || !path.startsWith(runtime + QLatin1Char('/'))))
                paths.append(path);
        }
    }
    // The display's cookie, which with its socket would let it drive the display.
    paths.append(home + QStringLiteral("/.Xauthority"));
    const QString cookie = qEnvironmentVariable("XAUTHORITY");
    if (QDir::isAbsolutePath(cookie))
        paths.append(cookie);
    return paths;
}

DevServerPlaces devServerPlaces(const QString &projectFolder)
{
    const auto canonical = [](const QString &path) {
        const QString resolved = QFileInfo(path).canonicalFilePath();
        return resolved.isEmpty() ? QDir::cleanPath(path) : resolved;
    };
    DevServerPlaces places;
    const QString project = canonical(projectFolder);
    places.writable.append(project);
    const QString home = canonical(QDir::homePath());
    // (A project that is the home folder itself stays writable.)
    if (home != project)
        places.readOnly.append(home);
    for (const char *own : {".git", ".nerim", ".veltra"})
        places.readOnly.append(project + QLatin1Char('/') + QLatin1String(own));
    for (const char *cache : {".npm", ".yarn", ".pnpm-store", ".node-gyp", ".bun", ".cargo", "go"})
        places.privateFolders.append(home + QLatin1Char('/') + QLatin1String(cache));
    // The user's cache folder, and pnpm's store in the data folder.
    for (const QString &cache : {QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation),
                                 QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                                     QStringLiteral("/pnpm")}) {
        if (QDir::isAbsolutePath(cache))
            places.privateFolders.append(canonical(cache));
    }
    return places;
}

bool isWithheldFromDevServer(const QString &name)
{
    // The agents' key, session token and endpoint all share the prefix.
    if (name.startsWith(QLatin1String("ANTHROPIC_"), Qt::CaseInsensitive))
        return true;
    for (const char *secret :
         {"CLAUDE_CODE_OAUTH_TOKEN", "GROQ_API_KEY", "VERCEL_TOKEN", "RAILWAY_TOKEN", "SUPABASE_ACCESS_TOKEN"}) {
        if (name.compare(QLatin1String(secret), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QProcessEnvironment devServerEnvironment(const QProcessEnvironment &base)
{
    QProcessEnvironment environment = base;
    if (!environment.contains(QStringLiteral("TERM")))
        environment.insert(QStringLiteral("TERM"), QStringLiteral("xterm-256color"));
    environment.insert(QStringLiteral("FORCE_COLOR"), QStringLiteral("0"));
    environment.insert(QStringLiteral("NO_COLOR"), QStringLiteral("1"));
    environment.insert(QStringLiteral("PYTHONUNBUFFERED"), QStringLiteral("1"));
    environment.insert(QStringLiteral("PYTHONDONTWRITEBYTECODE"), QStringLiteral("1"));
    // Nor with the session bus, through which it could have a service of the
    // session (outside its namespace) started, or reach the keyring.
    environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    // Nor with the display, which it could drive as the user.
    for (const char *display : {"DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY"})
        environment.remove(QLatin1String(display));
    // The user's program has no business with Nerim's own credentials.
    for (const QString &name : environment.keys()) {
        if (isWithheldFromDevServer(name))
            environment.remove(name);
    }
    return environment;
}

} // namespace nerim
