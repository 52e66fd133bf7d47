#include "deploy/DeployRunArguments.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace nerim::DeployRuns {

QString checkProgram() { return QCoreApplication::applicationDirPath() + QStringLiteral("/nerim-deploy-check"); }

namespace {

QString shellQuoted(const QString &word)
{
    QString quoted = word;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

} // namespace

QString checkHookSettings(const RunScope &scope, const QString &program)
{
    QStringList words{shellQuoted(program)};
    for (const AllowedCommand &command : allowedCommands(scope))
        words.append(shellQuoted((command.withArguments ? QLatin1Char('+') : QLatin1Char('=')) + command.words));
    // A check that cannot start, or ends in any other way than allowing,
    // refuses: the program lets a call go on after a hook fails otherwise.
    const QJsonObject hook{{QStringLiteral("type"), QStringLiteral("command")},
                           {QStringLiteral("command"), words.join(QLatin1Char(' ')) + QStringLiteral(" || exit 2")}};
    const QJsonObject matcher{{QStringLiteral("matcher"), QStringLiteral("*")},
                              {QStringLiteral("hooks"), QJsonArray{hook}}};
    // The user's own settings may turn hooks off; these settings, given on the
    // command line, come after them.
    const QJsonObject settings{{QStringLiteral("disableAllHooks"), false},
                               {QStringLiteral("hooks"), QJsonObject{{QStringLiteral("PreToolUse"), QJsonArray{matcher}}}}};
    return QString::fromUtf8(QJsonDocument(settings).toJson(QJsonDocument::Compact));
}

QStringList runArguments(const RunScope &scope)
{
    QStringList arguments{QStringLiteral("--tools"), QStringLiteral("Bash,Read"), QStringLiteral("--settings"),
                          checkHookSettings(scope, checkProgram()), QStringLiteral("--allowedTools"),
                          allowedTools(scope).join(QLatin1Char(' '))};
    if (scope.providers.contains(DeployProvider::supabase))
        arguments << QStringLiteral("--disallowedTools") << supabaseRefusedTools().join(QLatin1Char(' '));
    return arguments;
}

} // namespace nerim::DeployRuns
