#include "deploy/DeployPrompt.h"

#include "deploy/DeployAllowedCommands.h"
#include "deploy/DeployVariableRules.h"

#include <QMap>

namespace nerim {

namespace {

QString shapeText(DeployProvider::ProjectShape shape)
{
    switch (shape) {
    case DeployProvider::ProjectShape::frontend: return QStringLiteral("a front end (static or framework site)");
    case DeployProvider::ProjectShape::backendOrFullStack: return QStringLiteral("a back end or full-stack app");
    case DeployProvider::ProjectShape::unknown: break;
    }
    return QStringLiteral("not known; look at the project to decide");
}

QStringList providerLines(const QList<DeployProvider> &providers)
{
    QStringList lines;
    for (DeployProvider provider : providers)
        lines.append(QStringLiteral("%1 (command-line tool %2, token variable %3)")
                         .arg(provider.displayName(), provider.toolName(), provider.tokenVariable()));
    return lines;
}

// How every run works: non-interactive, tokens from the environment, the
// commands it may run, the tokens it may ask for. Every command written
// between backticks here is one the run's allowed tools let it execute.
QString runRules(const DeployRuns::RunScope &scope)
{
    const QList<DeployProvider> &providers = scope.providers;
    QStringList readers;
    std::optional<DeployProvider> hosting;
    for (DeployProvider provider : providers) {
        readers.append(QStringLiteral("%1 reads %2").arg(provider.toolName(), provider.tokenVariable()));
        if (!hosting && provider.isHosting())
            hosting = provider;
    }
    QString rules = QStringLiteral(
        "There is no terminal and nobody can answer a question or open a browser for you. Run every command "
        "non-interactively: pass --yes (or the tool's own flag that skips confirmations) to anything that could ask, "
        "and never start a login prompt or a browser sign-in. Each provider's tool reads its token from the "
        "environment by itself (%1), so never pass a token on a command line. A command holding a variable "
        "($NAME) or a command substitution is refused before it runs.")
                        .arg(readers.join(QStringLiteral(", ")));
    if (hosting)
        rules += QStringLiteral(" A value that Nerim tells you is in your environment goes to a tool on its standard "
                                "input, for example %1 for a value named NAME; printenv works only for those names.")
                     .arg(DeployRuns::uploadFromEnvironmentCommand(*hosting, QStringLiteral("NAME")));
    rules += QStringLiteral(" A value from the project's .env is read from the file in this folder and piped the "
                            "same way, with %1 and %2 in front of the tool. If a command waits for input, stop it "
                            "and find the non-interactive form.\n"
                            "Run each command on its own or piped into another with |, written with plain words "
                            "(no ;, &&, redirection, variable, ~ or wildcard). Read the project's files with your "
                            "Read tool; nothing outside this folder can be read.\n"
                            "Tokens and values are in your environment; never print them. Refer to them only by "
                            "their variable name.\n"
                            "Stage changes only with `%3` and commit only with `%4`: local secrets (.env files) and "
                            "Nerim's .nerim folder never go into git. Push only to the remote the project already "
                            "has; never add or change a remote.\n"
                            "You can run only these commands (those ending in \u2026 with any arguments, the others "
                            "exactly as written): %5. Anything else is refused, npm, npx, node and package scripts "
                            "included, and so is any command that names a file or folder outside this project.\n"
                            "The only tokens you can ask for are %6.\n\n")
                 .arg(DeployRuns::readFromDotEnvCommand(QStringLiteral("NAME")), DeployRuns::valueOfLineCommand(),
                      DeployRuns::deployStageCommand(),
                      DeployRuns::deployCommitCommand(), DeployRuns::allowedCommandsText(scope),
                      DeployRuns::askableTokenNames(providers));
    return rules;
}

QString markerLines(const QList<std::pair<QString, QString>> &markers)
{
    QString text = QStringLiteral("Talk to Nerim with these lines, each alone on its own line, exactly as written, "
                                  "printed at the moment the step happens (not collected at the end):\n");
    for (const auto &[marker, meaning] : markers)
        text += QStringLiteral("%1 %2\n").arg(marker, meaning);
    return text;
}

} // namespace

QString envDecisionLines(const QMap<QString, QString> &decisions)
{
    QStringList lines;
    for (auto it = decisions.begin(); it != decisions.end(); ++it) {
        if (it.value().startsWith(QLatin1String("custom")))
            lines.append(QStringLiteral("%1: send the value that is in your environment as %1").arg(it.key()));
        else if (it.value() == QLatin1String("send"))
            lines.append(QStringLiteral("%1: send the value from the project's .env").arg(it.key()));
        else
            lines.append(QStringLiteral("%1: skip").arg(it.key()));
    }
    return lines.join(QLatin1Char('\n'));
}

QString buildDeployPrompt(const QString &projectName, const DeployContext &context)
{
    using namespace DeployMarkers;
    const QString envNames = context.envVarNames.isEmpty() ? QStringLiteral("(none)")
                                                           : context.envVarNames.join(QStringLiteral(", "));
    const bool fresh = context.kind == DeployKind::fresh;
    QString prompt;
    prompt += QStringLiteral("You are Nerim's Deploy agent. You put the project \"%1\" in this folder online for a "
                             "person who is not technical. You do not change the project's code.\n\n")
                  .arg(projectName);
    prompt += QStringLiteral("Providers, in this order: %1.\n")
                  .arg(providerLines(context.providersInOrder).join(QStringLiteral("; ")));
    prompt += QStringLiteral("Kind: %1.\n").arg(deployKindRawValue(context.kind));
    prompt += QStringLiteral("Project shape: %1.\n").arg(shapeText(context.shape));
    if (!context.launchCommand.isEmpty())
        prompt += QStringLiteral("It starts locally with: %1\n").arg(context.launchCommand);
    prompt += QStringLiteral("Variables named in the project's .env: %1.\n\n").arg(envNames);
    DeployRuns::RunScope scope(context.providersInOrder);
    scope.variableNames = context.envVarNames;
    prompt += runRules(scope);

    prompt += markerLines({
        {needToken, QStringLiteral("VARIABLE | why: you need the user's access token in that variable")},
        {askSecret, QStringLiteral("VARIABLE | why: you need a value only the user knows")},
        {signedIn, QStringLiteral("provider: you are signed in to that provider (vercel, railway or supabase)")},
        {backendReady, QStringLiteral("backend url | anon key: the backend exists")},
        {envOK, QStringLiteral(": the environment variables are uploaded")},
        {building, QStringLiteral("provider: the build started")},
        {progress, QStringLiteral("one short line: what is happening now")},
        {deploymentID, QStringLiteral("provider | id: the id of the deployment you made")},
        {live, QStringLiteral("url | backend url: the app is live (backend url only when there is one)")},
        {stuck, QStringLiteral("one-line reason: you cannot go on")},
        {domainRecords, QStringLiteral("domain | JSON array of {\"type\",\"name\",\"value\",\"ttl\"}: the DNS records to add")},
        {domainVerified, QStringLiteral("domain: the custom domain works")},
        {operationDone, QStringLiteral("one short line: the operation Nerim asked for is done")},
    });

    prompt += QStringLiteral("\nThe steps, provider by provider in the order above:\n");
    prompt += QStringLiteral(
                  "1. Sign in: check whether the provider's tool is signed in with the token from the environment. "
                  "When the token variable is empty or refused, print %1 with the variable and a one-line reason, "
                  "then end your reply at once: Nerim asks the user and starts you again with the token. Once "
                  "signed in, print %2 with the provider.\n")
                  .arg(needToken, signedIn);
    prompt += QStringLiteral("2. Supabase: create or link the project, then print %1 with its address and anon key "
                             "and go on with the next provider.\n")
                  .arg(backendReady);
    if (fresh)
        prompt += QStringLiteral(
                      "3. Hosting provider (Vercel or Railway): right after %1, end your reply. Upload no variable "
                      "yet: Nerim shows the user the .env variables, and starts you again with the user's choice "
                      "for each (send the local value, skip it, or send another value given in your environment). "
                      "Upload exactly what the user chose, nothing else; local-only secrets stay local. When a "
                      "value you must send is missing, print %2 with the variable and a reason and end your reply. "
                      "When the upload is done print %3.\n")
                      .arg(signedIn, askSecret, envOK);
    else
        prompt += QStringLiteral("3. Hosting provider (Vercel or Railway): this is a redeploy; the variables are "
                                 "already uploaded, so go straight on to the build after %1.\n")
                      .arg(signedIn);
    prompt += QStringLiteral("4. Build and deploy: print %1 with the provider when the build starts, %2 lines while "
                             "it runs, %3 with the provider and the deployment id, and at the end %4 with the live "
                             "address (and the backend address when there is one). Then end your reply.\n")
                  .arg(building, progress, deploymentID, live);
    prompt += QStringLiteral("5. A custom domain, when Nerim asks for one later: print %1 with the domain and the "
                             "records as soon as the provider gives them, then check DNS with the commands Nerim "
                             "names for that domain and print %2 when it works.\n")
                  .arg(domainRecords, domainVerified);
    prompt += QStringLiteral(
                  "\nWhen you need something from the user (a token, a value, the review of the variables), print "
                  "its line last and end your reply: Nerim starts you again with the answer. When you cannot go "
                  "on, print %1 with the reason and end your reply. Do not ask questions in prose; nobody reads "
                  "them until you stop.\n")
                  .arg(stuck);
    return prompt;
}

QString buildOperationPrompt(const QString &projectName, const QList<DeployProvider> &providers,
                             const ProviderTask &task, DeployProvider provider)
{
    using namespace DeployMarkers;
    QString change;
    QString end = operationDone;
    QList<std::pair<QString, QString>> markers{
        {needToken, QStringLiteral("VARIABLE | why: you need the user's access token in that variable")},
    };
    switch (task.kind) {
    case ProviderTask::Kind::rollback:
        change = QStringLiteral("Roll the live deploy on %1 back to deployment %2 (deployed %3): make that "
                                "deployment the one the live address serves again. Build nothing.")
                     .arg(provider.displayName(), task.targetDeploymentID, task.targetTimestamp);
        break;
    case ProviderTask::Kind::gitConnect:
        change = task.enable ? QStringLiteral("Connect the %1 project to this project's git repository so that a "
                                              "push to main deploys it.")
                                   .arg(provider.displayName())
                             : QStringLiteral("Disconnect the %1 project from git so that a push no longer "
                                              "deploys it.")
                                   .arg(provider.displayName());
        break;
    case ProviderTask::Kind::envVarUpdate:
        change = QStringLiteral("Update the live deploy's environment variables on %1 as the user chose:\n")
                     .arg(provider.displayName()) +
                 envDecisionLines(task.decisions) +
                 QStringLiteral("\nUpload exactly that, nothing else. When the provider needs a new deployment "
                                "for the values to take effect, make it.");
        end = envOK;
        markers.append({askSecret, QStringLiteral("VARIABLE | why: a value you must send is missing")});
        break;
    }
    markers.append({progress, QStringLiteral("one short line: what is happening now")});
    if (task.kind != ProviderTask::Kind::gitConnect)
        markers.append({deploymentID, QStringLiteral("provider | id: the id of a new deployment you made")});
    markers.append({stuck, QStringLiteral("one-line reason: you cannot go on")});
    markers.append({end, QStringLiteral("%1: the change is done").arg(end == envOK ? QString() : QStringLiteral(
                                                                                                 "one short line"))});

    QString prompt;
    prompt += QStringLiteral("You are Nerim's Deploy agent. The project \"%1\" in this folder is already live; "
                             "you make one change to the live deploy for a person who is not technical. You do not "
                             "change the project's code.\n\n")
                  .arg(projectName);
    prompt += QStringLiteral("The change: %1\n\n").arg(change);
    prompt += QStringLiteral("Providers of this deploy: %1.\n\n")
                  .arg(providerLines(providers).join(QStringLiteral("; ")));
    DeployRuns::RunScope scope(providers);
    if (task.kind == ProviderTask::Kind::rollback)
        scope.deploymentID = task.targetDeploymentID;
    if (task.kind == ProviderTask::Kind::envVarUpdate)
        for (auto it = task.decisions.begin(); it != task.decisions.end(); ++it) {
            scope.variableNames.append(it.key());
            if (it.value().startsWith(QLatin1String("custom")))
                scope.valueNames.append(it.key());
        }
    prompt += runRules(scope);
    prompt += markerLines(markers);
    prompt += QStringLiteral(
                  "\nThis is not a new deploy: sign-in, upload and build steps are not reported. When the tool "
                  "is not signed in because its token variable is empty or refused, print %1 with the variable "
                  "and a one-line reason and end your reply: Nerim asks the user and starts you again with the "
                  "token. When the change is done, print %2 and end your reply. When you cannot go on, print %3 "
                  "with the reason and end your reply. Do not ask questions in prose; nobody reads them until "
                  "you stop.\n")
                  .arg(needToken, end, stuck);
    return prompt;
}

QString customDomainRequest(const QString &domain, const QString &hostName)
{
    QStringList checks;
    for (const DeployRuns::AllowedCommand &check : DeployRuns::domainChecks(domain))
        checks.append(QLatin1Char('`') + check.words + QLatin1Char('`'));
    return QStringLiteral(
               "Add the custom domain %1 to the live deploy on %2. Print %3 %1 | followed by a JSON array of the "
               "DNS records to add (objects with \"type\", \"name\", \"value\" and optional \"ttl\"). Then check "
               "DNS every 10 seconds, up to 30 attempts, with the provider's domain command or these look-ups: %4; "
               "when the domain works print %5 %1, else print %6 with the reason.")
        .arg(domain, hostName, DeployMarkers::domainRecords, checks.join(QStringLiteral(", ")),
             DeployMarkers::domainVerified, DeployMarkers::stuck);
}

} // namespace nerim
