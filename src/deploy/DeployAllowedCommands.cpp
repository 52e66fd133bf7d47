#include "deploy/DeployAllowedCommands.h"

#include "deploy/DeployTypes.h"
#include "deploy/DeployVariableRules.h"
#include "persistence/AtomicFileWriter.h"

#include <QDir>
#include <QFileInfo>
#include <stdexcept>

namespace nerim::DeployRuns {

QString AllowedCommand::rule() const
{
    return withArguments ? QStringLiteral("Bash(%1:*)").arg(words) : QStringLiteral("Bash(%1)").arg(words);
}

namespace {

AllowedCommand exact(const QString &words) { return {words, false}; }
AllowedCommand withArguments(const QString &words) { return {words, true}; }

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

} // namespace nerim::DeployRuns
