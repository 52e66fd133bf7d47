#include "deploy/DeployRuns.h"

namespace nerim::DeployRuns {

const QStringList &shellHelpers()
{
    static const QStringList helpers{QStringLiteral("printf"), QStringLiteral("cat"), QStringLiteral("sleep"),
                                     QStringLiteral("dig"), QStringLiteral("nslookup")};
    return helpers;
}

QStringList allowedTools(const QList<DeployProvider> &providers)
{
    QStringList commands;
    for (DeployProvider provider : providers)
        if (!commands.contains(provider.toolName()))
            commands.append(provider.toolName());
    commands.append(QStringLiteral("git"));
    commands += shellHelpers();
    QStringList rules;
    for (const QString &command : commands)
        rules.append(QStringLiteral("Bash(%1:*)").arg(command));
    return rules;
}

QStringList runArguments(const QList<DeployProvider> &providers)
{
    return {QStringLiteral("--allowedTools"), allowedTools(providers).join(QLatin1Char(' '))};
}

std::optional<DeployProvider> providerForTokenRequest(const QString &variable, const QList<DeployProvider> &providers)
{
    const QString name = variable.trimmed();
    for (DeployProvider provider : providers)
        if (provider.tokenVariable().compare(name, Qt::CaseInsensitive) == 0)
            return provider;
    return std::nullopt;
}

QString askableTokenNames(const QList<DeployProvider> &providers)
{
    QStringList names;
    for (DeployProvider provider : providers)
        if (!names.contains(provider.tokenVariable()))
            names.append(provider.tokenVariable());
    return names.join(QStringLiteral(", "));
}

QString refusedTokenReply(const QString &variable, const QList<DeployProvider> &providers)
{
    return QStringLiteral("Nerim can't give you %1. The only tokens you can ask for are %2.")
        .arg(variable.trimmed(), askableTokenNames(providers));
}

QString refusedTokenLogLine(const QString &variable)
{
    return QStringLiteral("token request refused: %1").arg(variable.trimmed());
}

void HeldTokens::hold(DeployProvider provider, const QString &token) { m_tokens.insert(provider, token); }

QHash<QString, QString> HeldTokens::environmentFor(std::optional<DeployProvider> provider) const
{
    QHash<QString, QString> environment;
    if (provider) {
        const auto it = m_tokens.constFind(*provider);
        if (it != m_tokens.cend())
            environment.insert(provider->tokenVariable(), *it);
    }
    return environment;
}

} // namespace nerim::DeployRuns
