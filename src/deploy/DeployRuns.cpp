#include "deploy/DeployRuns.h"

#include "deploy/DeployTypes.h"
#include "persistence/AtomicFileWriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QFileInfo>
#include <stdexcept>

#include <QRegularExpression>

namespace nerim::DeployRuns {

QString AllowedCommand::rule() const
{
    return withArguments ? QStringLiteral("Bash(%1:*)").arg(words) : QStringLiteral("Bash(%1)").arg(words);
}

namespace {

AllowedCommand exact(const QString &words) { return {words, false}; }
AllowedCommand withArguments(const QString &words) { return {words, true}; }

bool isVariableName(const QString &name)
{
    static const QRegularExpression shape(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]*\\z"));
    return shape.match(name).hasMatch();
}

// The variable names of a scope that may stand in a rule, each once.
QStringList variableNames(const RunScope &scope)
{
    QStringList names;
    for (const QStringList *list : {&scope.variableNames, &scope.valueNames})
        for (const QString &name : *list)
            if (isVariableName(name) && !names.contains(name))
                names.append(name);
    return names;
}

void appendOnce(QList<AllowedCommand> &commands, const AllowedCommand &command)
{
    if (!commands.contains(command))
        commands.append(command);
}

} // namespace

QList<AllowedCommand> toolCommands(DeployProvider provider, const RunScope &scope)
{
    QList<AllowedCommand> commands;
    const std::optional<QString> domain = scope.domain ? asciiDomain(*scope.domain) : std::nullopt;
    const std::optional<QString> deployment =
        scope.deploymentID && isPlainDeploymentID(*scope.deploymentID) ? scope.deploymentID : std::nullopt;
    switch (provider) {
    case DeployProvider::vercel:
        for (const char *words : {"vercel whoami", "vercel link --yes", "vercel deploy --prod --yes", "vercel env ls",
                                  "vercel list", "vercel domains ls", "vercel git connect --yes",
                                  "vercel git disconnect --yes"})
            commands.append(exact(QLatin1String(words)));
        for (const QString &name : variableNames(scope)) {
            commands.append(exact(QStringLiteral("vercel env add %1 production").arg(name)));
            commands.append(exact(QStringLiteral("vercel env rm %1 production --yes").arg(name)));
        }
        if (domain) {
            commands.append(exact(QStringLiteral("vercel domains add %1").arg(*domain)));
            commands.append(exact(QStringLiteral("vercel domains inspect %1").arg(*domain)));
        }
        if (deployment) {
            commands.append(exact(QStringLiteral("vercel rollback %1 --yes").arg(*deployment)));
            commands.append(exact(QStringLiteral("vercel promote %1 --yes").arg(*deployment)));
        }
        break;
    case DeployProvider::railway:
        for (const char *words : {"railway whoami", "railway status", "railway init", "railway link",
                                  "railway up --detach", "railway variables", "railway domain", "railway redeploy --yes",
                                  "railway deployment list", "railway logs", "railway list"})
            commands.append(exact(QLatin1String(words)));
        for (const QString &name : variableNames(scope))
            commands.append(exact(QStringLiteral("railway variables --set-from-stdin %1").arg(name)));
        if (domain)
            commands.append(exact(QStringLiteral("railway domain %1").arg(*domain)));
        break;
    case DeployProvider::supabase:
        for (const char *words : {"supabase projects list", "supabase orgs list", "supabase init", "supabase db push",
                                  "supabase migration list", "supabase secrets list", "supabase functions deploy"})
            commands.append(exact(QLatin1String(words)));
        // These name a project, an organisation or a value only the provider
        // and the run know.
        for (const char *words : {"supabase projects create", "supabase projects api-keys", "supabase link"})
            commands.append(withArguments(QLatin1String(words)));
        break;
    }
    return commands;
}

QStringList supabaseRefusedTools()
{
    return {QStringLiteral("Bash(supabase *--workdir*)"), QStringLiteral("Bash(supabase *--env-file*)"),
            QStringLiteral("Bash(supabase *--import-map*)"), QStringLiteral("Bash(supabase *--profile*)")};
}

QByteArray supabaseFenceScript(const QString &program)
{
    QByteArray script = "#!/bin/sh\n"
                        "# Written by Nerim for its Deploy runs: the Supabase tool, refusing any\n"
                        "# option that names a folder or file, so a run works only in its project.\n"
                        "for argument in \"$@\"; do\n"
                        "  case \"$argument\" in\n"
                        "    -*) name=$(printf '%s' \"$argument\" | tr -d '_-' | tr 'A-Z' 'a-z') ;;\n"
                        "    *) continue ;;\n"
                        "  esac\n"
                        "  case \"$name\" in\n"
                        "    workdir|workdir=*|envfile|envfile=*|importmap|importmap=*|profile|profile=*)\n"
                        "      echo \"Nerim refused '$argument': a deploy works only inside its project folder.\" >&2\n"
                        "      exit 2 ;;\n"
                        "  esac\n"
                        "done\n";
    if (program.isEmpty())
        return script + "echo \"supabase isn't installed on this computer.\" >&2\nexit 127\n";
    QByteArray quoted = program.toUtf8();
    quoted.replace("'", "'\\''");
    return script + "exec '" + quoted + "' \"$@\"\n";
}

void writeSupabaseFence(const QString &folder, const QStringList &searchPath)
{
    const QString fence = QDir::cleanPath(QDir(folder).absolutePath());
    QString program;
    for (const QString &entry : searchPath) {
        if (entry.isEmpty() || QDir::cleanPath(QDir(entry).absolutePath()) == fence)
            continue;
        const QFileInfo candidate(QDir(entry).filePath(QStringLiteral("supabase")));
        if (candidate.isFile() && candidate.isExecutable()) {
            program = candidate.absoluteFilePath();
            break;
        }
    }
    if (!QDir().mkpath(fence))
        throw std::runtime_error("the folder for the Supabase tool could not be made");
    try {
        AtomicFileWriter::replace(supabaseFenceScript(program), QDir(fence).filePath(QStringLiteral("supabase")),
                                  {mode_t(0700)});
    } catch (const std::exception &error) {
        throw std::runtime_error(std::string("the Supabase tool could not be prepared: ") + error.what());
    }
}

QString deployCommitMessage() { return QStringLiteral("Deploy from Nerim"); }

QString deployCommitCommand() { return QStringLiteral("git commit -m \"%1\"").arg(deployCommitMessage()); }

QString deployStageCommand()
{
    return QStringLiteral("git add -A -- . ':!.env' ':!*/.env' ':!.env.*' ':!*/.env.*' ':!.nerim' ':!*/.nerim/*'");
}

const QList<AllowedCommand> &gitCommands()
{
    static const QList<AllowedCommand> commands{
        exact(QStringLiteral("git status")),
        exact(QStringLiteral("git status --porcelain")),
        exact(QStringLiteral("git status --short")),
        exact(QStringLiteral("git rev-parse --is-inside-work-tree")),
        exact(QStringLiteral("git rev-parse --show-toplevel")),
        exact(QStringLiteral("git rev-parse --abbrev-ref HEAD")),
        exact(QStringLiteral("git rev-parse HEAD")),
        exact(deployStageCommand()),
        exact(deployCommitCommand()),
        exact(QStringLiteral("git remote")),
        exact(QStringLiteral("git remote -v")),
        exact(QStringLiteral("git push")),
        exact(QStringLiteral("git push origin main")),
        exact(QStringLiteral("git push -u origin main")),
    };
    return commands;
}

QList<AllowedCommand> domainChecks(const QString &domain)
{
    QList<AllowedCommand> checks;
    const std::optional<QString> ascii = asciiDomain(domain);
    if (!ascii)
        return checks;
    for (const QString &host : {*ascii, QStringLiteral("www.") + *ascii})
        for (const char *type : {"A", "AAAA", "CNAME", "TXT"})
            checks.append(exact(QStringLiteral("dig +short %1 %2").arg(host, QLatin1String(type))));
    return checks;
}

QString readFromDotEnvCommand(const QString &name)
{
    return QStringLiteral("grep '^%1=' .env").arg(name);
}

QString valueOfLineCommand() { return QStringLiteral("cut -d= -f2-"); }

QList<AllowedCommand> shellHelpers(const RunScope &scope)
{
    QList<AllowedCommand> helpers{withArguments(QStringLiteral("printf")), withArguments(QStringLiteral("sleep"))};
    for (const QString &name : scope.valueNames)
        if (isSettableVariable(name))
            appendOnce(helpers, exact(QStringLiteral("printenv %1").arg(name)));
    const QStringList names = variableNames(scope);
    for (const QString &name : names)
        appendOnce(helpers, exact(readFromDotEnvCommand(name)));
    if (!names.isEmpty())
        appendOnce(helpers, exact(valueOfLineCommand()));
    if (scope.domain)
        helpers += domainChecks(*scope.domain);
    return helpers;
}

QList<AllowedCommand> allowedCommands(const RunScope &scope)
{
    QList<AllowedCommand> commands;
    for (DeployProvider provider : scope.providers)
        for (const AllowedCommand &command : toolCommands(provider, scope))
            appendOnce(commands, command);
    commands += gitCommands();
    commands += shellHelpers(scope);
    return commands;
}

QStringList allowedTools(const RunScope &scope)
{
    QStringList rules;
    for (const AllowedCommand &command : allowedCommands(scope))
        rules.append(command.rule());
    return rules;
}

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

QString allowedCommandsText(const RunScope &scope)
{
    QStringList texts;
    for (const AllowedCommand &command : allowedCommands(scope))
        texts.append(command.withArguments ? command.words + QStringLiteral(" \u2026") : QLatin1Char('`') + command.words + QLatin1Char('`'));
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
    if (!isVariableName(name))
        return false;
    const QString upper = name.toUpper();
    for (DeployProvider provider : DeployProvider::allCases())
        if (upper == provider.tokenVariable())
            return false;
    // Names that change what a program runs, loads, trusts or where it looks:
    // the shells' start-up files and options, the dynamic linker's, the
    // language runtimes' and package managers', OpenSSL's configuration and
    // modules, git's, the proxies and certificates, the providers' own
    // settings and Nerim's credentials. A project may declare such a name in
    // its .env; it still never reaches a run's environment from the card.
    static const QStringList exact{
        QStringLiteral("PATH"),          QStringLiteral("HOME"),         QStringLiteral("SHELL"),
        QStringLiteral("ENV"),           QStringLiteral("BASH_ENV"),     QStringLiteral("IFS"),
        QStringLiteral("CDPATH"),        QStringLiteral("GLOBIGNORE"),   QStringLiteral("SHELLOPTS"),
        QStringLiteral("BASHOPTS"),      QStringLiteral("PROMPT_COMMAND"), QStringLiteral("PS4"),
        QStringLiteral("ZDOTDIR"),       QStringLiteral("INPUTRC"),      QStringLiteral("HISTFILE"),
        QStringLiteral("TMPDIR"),        QStringLiteral("USER"),         QStringLiteral("LOGNAME"),
        QStringLiteral("EDITOR"),        QStringLiteral("VISUAL"),       QStringLiteral("PAGER"),
        QStringLiteral("MANPAGER"),      QStringLiteral("BROWSER"),      QStringLiteral("GCONV_PATH"),
        QStringLiteral("LOCPATH"),       QStringLiteral("NLSPATH"),      QStringLiteral("HOSTALIASES"),
        QStringLiteral("RES_OPTIONS"),   QStringLiteral("TERMINFO"),     QStringLiteral("TERMINFO_DIRS"),
        QStringLiteral("MAGIC"),         QStringLiteral("CLASSPATH"),    QStringLiteral("CURL_CA_BUNDLE"),
        QStringLiteral("CURL_HOME"),     QStringLiteral("WGETRC"),       QStringLiteral("REQUESTS_CA_BUNDLE"),
        QStringLiteral("GROQ_API_KEY"),  QStringLiteral("VERCEL_ORG_ID"), QStringLiteral("VERCEL_PROJECT_ID"),
        QStringLiteral("LESSOPEN"),      QStringLiteral("LESSCLOSE"),    QStringLiteral("KRB5_CONFIG"),
        QStringLiteral("GOFLAGS"),       QStringLiteral("GOPATH"),       QStringLiteral("GOROOT"),
        QStringLiteral("GOPROXY"),       QStringLiteral("GOTOOLCHAIN"),  QStringLiteral("GOENV"),
    };
    if (exact.contains(upper))
        return false;
    static const char *const prefixes[] = {
        "LD_",       "DYLD_",     "BASH_",     "GLIBC_",    "MALLOC_",   "NODE_",       "NPM_CONFIG_", "YARN_",
        "PNPM_",     "COREPACK_", "BUN_",      "DENO_",     "PYTHON",    "PIP_",        "UV_",         "CONDA_",
        "VIRTUAL_ENV", "PERL",    "RUBY",      "GEM_",      "BUNDLE_",   "JAVA",        "_JAVA_",      "JDK_",
        "OPENSSL_",  "SSL_",      "GNUTLS_",   "GIT_",      "SSH_",      "GNUPG",       "GPG_",        "DOCKER_",
        "XDG_",      "QT_",       "GTK_",      "GIO_",      "GDK_",      "LUA_",        "TCL",         "PHP",
        "COMPOSER_", "CARGO_",    "RUSTUP_",   "RUSTC",     "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY",  "NO_PROXY",
        "FTP_PROXY", "RAILWAY_",  "ANTHROPIC_", "CLAUDE_",  "NERIM_",
    };
    // NODE_ENV only names a mode; every other NODE_ name is the runtime's own.
    if (upper == QLatin1String("NODE_ENV"))
        return true;
    for (const char *prefix : prefixes)
        if (upper.startsWith(QLatin1String(prefix)))
            return false;
    return true;
}

bool isAskableSecret(const QString &name, const QStringList &declaredNames)
{
    return declaredNames.contains(name) && isSettableVariable(name);
}

QString refusedSecretReply(const QString &variable, const QStringList &declaredNames)
{
    QStringList askable;
    for (const QString &name : declaredNames)
        if (isSettableVariable(name) && !askable.contains(name))
            askable.append(name);
    return QStringLiteral("Nerim can't ask the user for %1: a value can be asked for only under a name this "
                          "project declares in its .env files, and never under one that changes how programs "
                          "start. %2")
        .arg(variable.trimmed(), askable.isEmpty()
                                     ? QStringLiteral("This project declares none.")
                                     : QStringLiteral("The names you can ask for are %1.").arg(askable.join(QStringLiteral(", "))));
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
