#include "PlantedRepository.h"
#include "TestAsync.h"
#include "TestEnvironment.h"
#include "deploy/DeployContext.h"
#include "deploy/DeployPrompt.h"
#include "deploy/DeployRuns.h"
#include "deploy/DeployToolInstaller.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>

using namespace nerim;
using namespace nerim::test;

// Each deploy's run may use its own providers' tools, git and the few shell
// helpers, and nothing that runs a package or a project script.
TEST(DeployRunsTest, AllowedToolsAreTheProvidersToolsGitAndTheHelpers)
{
    EXPECT_EQ(DeployRuns::allowedTools({DeployProvider::vercel}),
              (QStringList{QStringLiteral("Bash(vercel:*)"), QStringLiteral("Bash(git:*)"), QStringLiteral("Bash(printf:*)"),
                           QStringLiteral("Bash(cat:*)"), QStringLiteral("Bash(sleep:*)"), QStringLiteral("Bash(dig:*)"),
                           QStringLiteral("Bash(nslookup:*)")}));
    const QStringList arguments = DeployRuns::runArguments({DeployProvider::supabase, DeployProvider::railway});
    ASSERT_EQ(arguments.size(), 2);
    EXPECT_EQ(arguments.at(0), QStringLiteral("--allowedTools"));
    EXPECT_TRUE(arguments.at(1).startsWith(QStringLiteral("Bash(supabase:*) Bash(railway:*) Bash(git:*) ")));
    for (const QList<DeployProvider> &providers :
         {QList<DeployProvider>{DeployProvider::vercel}, QList<DeployProvider>{DeployProvider::supabase, DeployProvider::railway},
          QList<DeployProvider>(DeployProvider::allCases())}) {
        const QString rules = DeployRuns::runArguments(providers).at(1);
        for (const char *forbidden : {"npm", "npx", "node", "pnpm", "yarn", "bun"})
            EXPECT_FALSE(rules.contains(QStringLiteral("Bash(%1:").arg(QLatin1String(forbidden)))) << forbidden;
        for (DeployProvider other : DeployProvider::allCases())
            EXPECT_EQ(rules.contains(QStringLiteral("Bash(%1:*)").arg(other.toolName())), providers.contains(other));
    }

    // The briefing says the same.
    DeployContext context;
    context.providersInOrder = {DeployProvider::supabase, DeployProvider::vercel};
    const QString prompt = buildDeployPrompt(QStringLiteral("Shop"), context);
    EXPECT_TRUE(prompt.contains(QStringLiteral("Use only the providers' command-line tools, git, and printf, cat, "
                                               "sleep, dig, nslookup; npm, npx, node and package scripts are not available.")));
    EXPECT_TRUE(prompt.contains(QStringLiteral("The only tokens you can ask for are SUPABASE_ACCESS_TOKEN, VERCEL_TOKEN.")));
}

// A token request is honoured only for a provider of this deploy; every other
// name is refused by name, and the agent is told what it may ask for.
TEST(DeployRunsTest, OnlyThisDeploysTokenVariablesCanBeRequested)
{
    const QList<DeployProvider> providers{DeployProvider::supabase, DeployProvider::vercel};
    EXPECT_EQ(DeployRuns::providerForTokenRequest(QStringLiteral("VERCEL_TOKEN"), providers),
              std::optional<DeployProvider>(DeployProvider::vercel));
    EXPECT_EQ(DeployRuns::providerForTokenRequest(QStringLiteral(" supabase_access_token"), providers),
              std::optional<DeployProvider>(DeployProvider::supabase));
    for (const char *name : {"RAILWAY_TOKEN", "GITHUB_TOKEN", "AWS_SECRET_ACCESS_KEY", "GIT_SSH_COMMAND", "BASH_ENV",
                             "NODE_PATH", "PATH", "ANTHROPIC_API_KEY", "VERCEL_TOKEN2", ""})
        EXPECT_FALSE(DeployRuns::providerForTokenRequest(QLatin1String(name), providers)) << name;

    EXPECT_EQ(DeployRuns::refusedTokenReply(QStringLiteral("BASH_ENV"), providers),
              QStringLiteral("Nerim can't give you BASH_ENV. The only tokens you can ask for are SUPABASE_ACCESS_TOKEN, "
                             "VERCEL_TOKEN."));
    EXPECT_EQ(DeployRuns::refusedTokenLogLine(QStringLiteral("GITHUB_TOKEN")),
              QStringLiteral("token request refused: GITHUB_TOKEN"));
}

// A held token goes only to the runs of its own provider, and is gone once cleared.
TEST(DeployRunsTest, ARunGetsOnlyItsOwnProvidersToken)
{
    DeployRuns::HeldTokens tokens;
    tokens.hold(DeployProvider::vercel, QStringLiteral("v-secret"));
    tokens.hold(DeployProvider::supabase, QStringLiteral("s-secret"));
    using Env = QHash<QString, QString>;
    EXPECT_EQ(tokens.environmentFor(DeployProvider::vercel), (Env{{QStringLiteral("VERCEL_TOKEN"), QStringLiteral("v-secret")}}));
    EXPECT_EQ(tokens.environmentFor(DeployProvider::supabase),
              (Env{{QStringLiteral("SUPABASE_ACCESS_TOKEN"), QStringLiteral("s-secret")}}));
    EXPECT_TRUE(tokens.environmentFor(DeployProvider::railway).isEmpty());
    EXPECT_TRUE(tokens.environmentFor(std::nullopt).isEmpty());
    tokens.clear();
    EXPECT_TRUE(tokens.environmentFor(DeployProvider::vercel).isEmpty());
}

namespace {

QString writeNpm(const QString &folder, const QByteArray &body)
{
    const QString npm = folder + QStringLiteral("/npm");
    writeFile(npm, "#!/bin/sh\n" + body);
    QFile::setPermissions(npm, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return npm;
}

} // namespace

// npm runs with the development server's environment (none of Nerim's
// credentials), installs the pinned version and says so first.
TEST(DeployRunsTest, TheInstallerRunsNpmWithoutCredentialsAndPinsTheVersion)
{
    const QString bin = makeTempDir(QStringLiteral("npm-bin"));
    const QString tools = makeTempDir(QStringLiteral("tools"));
    DeployToolInstaller::Request request;
    request.npmProgram = writeNpm(bin, "echo \"$@\" > \"$3/npm-args\"\nenv > \"$3/npm-env\"\n");
    request.toolsFolder = tools;
    request.provider = DeployProvider::railway;
    request.baseEnvironment = QProcessEnvironment();
    for (const char *name : {"ANTHROPIC_API_KEY", "ANTHROPIC_BASE_URL", "ANTHROPIC_AUTH_TOKEN", "CLAUDE_CODE_OAUTH_TOKEN",
                             "GROQ_API_KEY", "VERCEL_TOKEN", "RAILWAY_TOKEN", "SUPABASE_ACCESS_TOKEN"})
        request.baseEnvironment.insert(QLatin1String(name), QStringLiteral("secret"));
    request.baseEnvironment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    request.baseEnvironment.insert(QStringLiteral("HOME"), QStringLiteral("/home/someone"));
    QStringList progress;
    request.progress = [&progress](const QString &line) { progress.append(line); };

    EXPECT_EQ(await(DeployToolInstaller::install(request)), std::nullopt);
    EXPECT_EQ(readFile(tools + QStringLiteral("/npm-args")).trimmed(),
              (QStringLiteral("install --prefix ") + tools + QStringLiteral(" --no-audit --no-fund @railway/cli@") +
               DeployToolInstaller::pinnedPackage(DeployProvider::railway).section(QLatin1Char('@'), 2))
                  .toUtf8());
    const QByteArray env = readFile(tools + QStringLiteral("/npm-env"));
    EXPECT_FALSE(env.contains("secret")) << env.toStdString();
    EXPECT_TRUE(env.contains("HOME=/home/someone\n"));
    EXPECT_TRUE(env.contains("PATH=/usr/bin:/bin\n"));
    EXPECT_EQ(progress, QStringList{DeployToolInstaller::progressLine(DeployProvider::railway)});

    for (DeployProvider provider : DeployProvider::allCases()) {
        const QString package = DeployToolInstaller::pinnedPackage(provider);
        EXPECT_TRUE(package.startsWith(provider.npmPackage() + QLatin1Char('@')));
        EXPECT_FALSE(package.section(QLatin1Char('@'), -1).isEmpty());
        EXPECT_TRUE(DeployToolInstaller::progressLine(provider).contains(package));
    }
}

// An npm that never finishes is stopped at the time limit, with a clear reason.
TEST(DeployRunsTest, TheInstallerGivesUpAfterItsTimeLimit)
{
    const QString bin = makeTempDir(QStringLiteral("npm-bin"));
    DeployToolInstaller::Request request;
    request.npmProgram = writeNpm(bin, "exec sleep 600\n");
    request.toolsFolder = makeTempDir(QStringLiteral("tools"));
    request.provider = DeployProvider::vercel;
    request.timeLimit = std::chrono::milliseconds(300);
    EXPECT_EQ(await(DeployToolInstaller::install(request)),
              std::optional<QString>(QStringLiteral("npm didn't finish within 1 second and was stopped")));
}

// A project's own .git/config may name programs for git to run (hooks, a
// file-system monitor, filters, text converters...); in a deploy's runs they
// would see the provider's token. Every process Nerim starts gets git settings
// that take them away (see ChildProcess): here the deploy-tool installer's
// npm, which uses git in the repository it runs in.
TEST(DeployRunsTest, GitInTheToolInstallersRunRunsNothingTheRepositoryConfigNames)
{
    const PlantedRepository planted = PlantedRepository::create();
    if (planted.folder.isEmpty())
        GTEST_SKIP() << "git is not installed";
    const QString bin = makeTempDir(QStringLiteral("npm-bin"));
    DeployToolInstaller::Request request;
    QString npm = QStringLiteral("cd '%1' && { %2; }\n").arg(planted.folder, planted.routineCommands());
    request.npmProgram = writeNpm(bin, npm.toUtf8());
    // The tools folder lies in the repository, so npm's git works in it.
    request.toolsFolder = planted.folder + QStringLiteral("/tools");
    QDir().mkpath(request.toolsFolder);
    request.provider = DeployProvider::vercel;
    request.baseEnvironment = QProcessEnvironment::systemEnvironment();
    request.baseEnvironment.insert(QStringLiteral("VERCEL_TOKEN"), QStringLiteral("secret"));
    EXPECT_EQ(await(DeployToolInstaller::install(request)), std::nullopt);
    EXPECT_TRUE(planted.marksLeft().isEmpty()) << planted.marksLeft().join(' ').toStdString();
    EXPECT_TRUE(planted.ownHelperAnswer().contains("password=from-your-own-helper"));
    EXPECT_EQ(planted.lastCommit(), "work");
}
