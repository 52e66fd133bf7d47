#include "launcher/DevServerEnvironment.h"

#include "persistence/IntentProcessorConstants.h"

#include <QDir>
#include <QFileInfo>

namespace nerim {

QStringList devServerHiddenPaths()
{
    QStringList paths;
    const QString keyFile = IntentProcessorConstants::apiKeysFilePath();
    if (!keyFile.isEmpty())
        paths.append(QFileInfo(keyFile).absolutePath());
    const QString home = QDir::homePath();
    paths.append(home + QStringLiteral("/.claude"));
    paths.append(home + QStringLiteral("/.claude.json"));
    return paths;
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
    // The user's program has no business with Nerim's own credentials.
    for (const QString &name : environment.keys()) {
        if (isWithheldFromDevServer(name))
            environment.remove(name);
    }
    return environment;
}

} // namespace nerim
