#include "deploy/DeployRuns.h"

#include <QRegularExpression>

namespace nerim::DeployRuns {

QString AllowedCommand::rule() const
{
    return withArguments ? QStringLiteral("Bash(%1:*)").arg(words) : QStringLiteral("Bash(%1)").arg(words);
}

namespace {

QList<AllowedCommand> withArguments(const QString &tool, const QStringList &subcommands)
{
    QList<AllowedCommand> commands;
    for (const QString &subcommand : subcommands)
        commands.append({tool + QLatin1Char(' ') + subcommand, true});
    return commands;
}

} // namespace

QList<AllowedCommand> toolCommands(DeployProvider provider)
{
    switch (provider) {
    case DeployProvider::vercel:
        return withArguments(QStringLiteral("vercel"),
                             {QStringLiteral("whoami"), QStringLiteral("link"), QStringLiteral("deploy"),
                              QStringLiteral("env"), QStringLiteral("domains add"), QStringLiteral("domains inspect"),
                              QStringLiteral("domains ls"), QStringLiteral("inspect"), QStringLiteral("list"),
                              QStringLiteral("logs"), QStringLiteral("rollback"), QStringLiteral("promote"),
                              QStringLiteral("git")});
    case DeployProvider::railway:
        return withArguments(QStringLiteral("railway"),
                             {QStringLiteral("whoami"), QStringLiteral("init"), QStringLiteral("link"),
                              QStringLiteral("up"), QStringLiteral("status"), QStringLiteral("variables"),
                              QStringLiteral("domain"), QStringLiteral("redeploy"), QStringLiteral("deployment list"),
                              QStringLiteral("logs"), QStringLiteral("list")});
    case DeployProvider::supabase:
        return withArguments(QStringLiteral("supabase"),
                             {QStringLiteral("projects list"), QStringLiteral("projects create"),
                              QStringLiteral("projects api-keys"), QStringLiteral("orgs list"), QStringLiteral("init"),
                              QStringLiteral("link"), QStringLiteral("db push"), QStringLiteral("migration list"),
                              QStringLiteral("secrets set"), QStringLiteral("secrets list"),
                              QStringLiteral("functions deploy"), QStringLiteral("domains")});
    }
    return {};
}

const QList<AllowedCommand> &gitCommands()
{
    static const QList<AllowedCommand> commands{
        {QStringLiteral("git init"), false},
        {QStringLiteral("git status"), true},
        {QStringLiteral("git rev-parse"), true},
        {QStringLiteral("git add"), true},
        {QStringLiteral("git commit"), true},
        {QStringLiteral("git remote"), true},
        {QStringLiteral("git push"), false},
        {QStringLiteral("git push origin main"), false},
        {QStringLiteral("git push -u origin main"), false},
    };
    return commands;
}

const QList<AllowedCommand> &shellHelpers()
{
    static const QList<AllowedCommand> helpers{
        {QStringLiteral("printenv"), true}, {QStringLiteral("printf"), true}, {QStringLiteral("cat"), true},
        {QStringLiteral("sleep"), true},    {QStringLiteral("dig"), true},    {QStringLiteral("nslookup"), true},
    };
    return helpers;
}

QList<AllowedCommand> allowedCommands(const QList<DeployProvider> &providers)
{
    QList<AllowedCommand> commands;
    for (DeployProvider provider : providers)
        for (const AllowedCommand &command : toolCommands(provider))
            if (!commands.contains(command))
                commands.append(command);
    commands += gitCommands();
    commands += shellHelpers();
    return commands;
}

QStringList allowedTools(const QList<DeployProvider> &providers)
{
    QStringList rules;
    for (const AllowedCommand &command : allowedCommands(providers))
        rules.append(command.rule());
    return rules;
}

QStringList runArguments(const QList<DeployProvider> &providers)
{
    return {QStringLiteral("--allowedTools"), allowedTools(providers).join(QLatin1Char(' '))};
}

QString allowedCommandsText(const QList<DeployProvider> &providers)
{
    QStringList texts;
    for (const AllowedCommand &command : allowedCommands(providers))
        texts.append(command.withArguments ? command.words + QStringLiteral(" \u2026") : command.words);
    return texts.join(QStringLiteral(", "));
}

QString uploadFromEnvironmentCommand(DeployProvider provider, const QString &name)
{
    switch (provider) {
    case DeployProvider::vercel:
        return QStringLiteral("printenv %1 | vercel env add %1 production").arg(name);
    case DeployProvider::railway:
        return QStringLiteral("printenv %1 | railway variables --set-from-stdin %1").arg(name);
    case DeployProvider::supabase:
        break;
    }
    return QString();
}

bool isSettableVariable(const QString &name)
{
    static const QRegularExpression shape(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]*\\z"));
    if (!shape.match(name).hasMatch())
        return false;
    const QString upper = name.toUpper();
    for (DeployProvider provider : DeployProvider::allCases())
        if (upper == provider.tokenVariable())
            return false;
    // Names that change what a program runs, loads, trusts or where it looks:
    // the shells', the linker's, the language runtimes' and package managers',
    // git's, the proxies and certificates, the providers' own settings and
    // Nerim's credentials.
    static const QStringList exact{
        QStringLiteral("PATH"),          QStringLiteral("HOME"),         QStringLiteral("SHELL"),
        QStringLiteral("ENV"),           QStringLiteral("BASH_ENV"),     QStringLiteral("IFS"),
        QStringLiteral("CDPATH"),        QStringLiteral("GLOBIGNORE"),   QStringLiteral("SHELLOPTS"),
        QStringLiteral("BASHOPTS"),      QStringLiteral("PROMPT_COMMAND"), QStringLiteral("PS4"),
        QStringLiteral("TMPDIR"),        QStringLiteral("USER"),         QStringLiteral("LOGNAME"),
        QStringLiteral("EDITOR"),        QStringLiteral("VISUAL"),       QStringLiteral("PAGER"),
        QStringLiteral("MANPAGER"),      QStringLiteral("BROWSER"),      QStringLiteral("GCONV_PATH"),
        QStringLiteral("LOCPATH"),       QStringLiteral("HOSTALIASES"),  QStringLiteral("RES_OPTIONS"),
        QStringLiteral("NODE_OPTIONS"),  QStringLiteral("RUBYOPT"),      QStringLiteral("RUBYLIB"),
        QStringLiteral("PERLLIB"),       QStringLiteral("JAVA_TOOL_OPTIONS"), QStringLiteral("_JAVA_OPTIONS"),
        QStringLiteral("JDK_JAVA_OPTIONS"), QStringLiteral("CLASSPATH"), QStringLiteral("CURL_CA_BUNDLE"),
        QStringLiteral("REQUESTS_CA_BUNDLE"), QStringLiteral("GROQ_API_KEY"), QStringLiteral("VERCEL_ORG_ID"),
        QStringLiteral("VERCEL_PROJECT_ID"), QStringLiteral("RAILWAY_API_TOKEN"),
        QStringLiteral("RAILWAY_PROJECT_TOKEN"), QStringLiteral("DENO_DIR"), QStringLiteral("NODE_PATH"),
        QStringLiteral("NODE_EXTRA_CA_CERTS"), QStringLiteral("NODE_TLS_REJECT_UNAUTHORIZED"),
        QStringLiteral("LESSOPEN"), QStringLiteral("LESSCLOSE"),
    };
    if (exact.contains(upper))
        return false;
    static const char *const prefixes[] = {
        "LD_",     "BASH_FUNC_", "GIT_",   "PYTHON",  "NPM_CONFIG_", "YARN_",   "PNPM_",   "COREPACK_",
        "BUN_",    "PERL5",      "GEM_",   "BUNDLE_", "PIP_",        "UV_",     "CONDA_",  "SSH_",
        "GNUPG",   "GPG_",       "DOCKER_", "XDG_",   "SSL_CERT_",   "HTTP_PROXY",
        "HTTPS_PROXY", "ALL_PROXY", "NO_PROXY", "FTP_PROXY", "MALLOC_", "ANTHROPIC_", "CLAUDE_", "DYLD_",
    };
    for (const char *prefix : prefixes)
        if (upper.startsWith(QLatin1String(prefix)))
            return false;
    return true;
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
