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
    const bool fresh = context.kind == DeployKind::fresh;
    QString prompt;
    prompt += QStringLiteral("You are Nerim's Deploy agent. You put the project \"%1\" in this folder online for a "
                             "person who is not technical. You do not change the project's code.\n\n")
                  .arg(projectName);
    prompt += QStringLiteral("Providers, in this order: %1.\n").arg(providers.join(QStringLiteral("; ")));
    prompt += QStringLiteral("Kind: %1.\n").arg(deployKindRawValue(context.kind));
    prompt += QStringLiteral("Project shape: %1.\n").arg(shapeText(context.shape));
    if (!context.launchCommand.isEmpty())
        prompt += QStringLiteral("It starts locally with: %1\n").arg(context.launchCommand);
    prompt += QStringLiteral("Variables named in the project's .env: %1.\n\n").arg(envNames);

    prompt += QStringLiteral(
        "There is no terminal and nobody can answer a question or open a browser for you. Run every command "
        "non-interactively: pass --yes (or the tool's own flag that skips confirmations) to anything that could ask, "
        "never start a login prompt or a browser sign-in, and take tokens only from the environment (for example "
        "`vercel --token \"$VERCEL_TOKEN\"`; railway and supabase read RAILWAY_TOKEN and SUPABASE_ACCESS_TOKEN "
        "by themselves). If a command waits for input, stop it and find the non-interactive form.\n"
        "Tokens and values are in your environment; never print them. Refer to them only by their variable name.\n"
        "Use only the providers' command-line tools, git, and %1; npm, npx, node and package scripts are not "
        "available.\n"
        "The only tokens you can ask for are %2.\n\n")
                  .arg(DeployRuns::shellHelpers().join(QStringLiteral(", ")),
                       DeployRuns::askableTokenNames(context.providersInOrder));

    prompt += QStringLiteral("Talk to Nerim with these lines, each alone on its own line, exactly as written, printed "
                             "at the moment the step happens (not collected at the end):\n");
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
                             "records as soon as the provider gives them, then check DNS as asked and print %2 "
                             "when it works.\n")
                  .arg(domainRecords, domainVerified);
    prompt += QStringLiteral(
                  "\nWhen you need something from the user (a token, a value, the review of the variables), print "
                  "its line last and end your reply: Nerim starts you again with the answer. When you cannot go "
                  "on, print %1 with the reason and end your reply. Do not ask questions in prose; nobody reads "
                  "them until you stop.\n")
                  .arg(stuck);
    return prompt;
}

} // namespace nerim
