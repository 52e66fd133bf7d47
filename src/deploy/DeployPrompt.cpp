#include "deploy/DeployPrompt.h"

#include "deploy/DeployRuns.h"

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

} // namespace

QString buildDeployPrompt(const QString &projectName, const DeployContext &context)
{
    using namespace DeployMarkers;
    QStringList providers;
    for (DeployProvider provider : context.providersInOrder)
        providers.append(QStringLiteral("%1 (command-line tool `%2`, token variable %3)")
                             .arg(provider.displayName(), provider.toolName(), provider.tokenVariable()));
    const QString envNames = context.envVarNames.isEmpty() ? QStringLiteral("(none)")
                                                           : context.envVarNames.join(QStringLiteral(", "));
    QString prompt;
    prompt += QStringLiteral("You are Nerim's Deploy agent. You put the project \"%1\" in this folder online for a "
                             "person who is not technical.\n\n")
                  .arg(projectName);
    prompt += QStringLiteral("Providers, in this order: %1.\n").arg(providers.join(QStringLiteral("; ")));
    prompt += QStringLiteral("Kind: %1.\n").arg(deployKindRawValue(context.kind));
    prompt += QStringLiteral("Project shape: %1.\n").arg(shapeText(context.shape));
    if (!context.launchCommand.isEmpty())
        prompt += QStringLiteral("It starts locally with: %1\n").arg(context.launchCommand);
    prompt += QStringLiteral("Variables named in the project's .env: %1.\n\n").arg(envNames);
    prompt += QStringLiteral(
        "Tokens and values are in your environment; never print them. Refer to them only by their variable name.\n"
        "Use only the providers' command-line tools, git, and %1; npm, npx, node and package scripts are not "
        "available.\n"
        "The only tokens you can ask for are %2.\n\n"
        "Talk to Nerim with these lines, each alone on its own line, exactly as written:\n")
                  .arg(DeployRuns::shellHelpers().join(QStringLiteral(", ")),
                       DeployRuns::askableTokenNames(context.providersInOrder));
    const QList<std::pair<QString, QString>> markers = {
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
    };
    for (const auto &[marker, meaning] : markers)
        prompt += QStringLiteral("%1 %2\n").arg(marker, meaning);
    prompt += QStringLiteral(
        "\nWhen you need something from the user (a token, a value, a review of the variables), print its line last "
        "and stop: Nerim starts you again with the answer. Otherwise finish with the live or stuck line.\n");
    return prompt;
}

} // namespace nerim
