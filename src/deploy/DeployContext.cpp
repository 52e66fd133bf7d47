#include "deploy/DeployContext.h"

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

} // namespace nerim
