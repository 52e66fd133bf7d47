#include "PlantedRepository.h"
#include "TestAsync.h"
#include "ProviderTestSupport.h"
#include "TestEnvironment.h"
#include "deploy/DeployContext.h"
#include "deploy/DeployPrompt.h"
#include "deploy/DeployRuns.h"
#include "deploy/DeployToolInstaller.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace nerim;
using namespace nerim::test;

// Each deploy's run may use the subcommands of its own providers' tools that a
// deploy needs, a few exact git commands and the shell helpers: never a whole
// tool, git with a setting or an alias, a subcommand that runs the project's
// own code here, or anything that runs a package.
TEST(DeployRunsTest, AllowedToolsAreSubcommandsOfTheProvidersToolsGitAndTheHelpers)
{
    const QStringList vercel = DeployRuns::allowedTools({DeployProvider::vercel});
    for (const char *rule : {"Bash(vercel deploy:*)", "Bash(vercel env:*)", "Bash(vercel rollback:*)",
                             "Bash(vercel git:*)", "Bash(git init)", "Bash(git push)", "Bash(git push -u origin main)",
                             "Bash(git add:*)", "Bash(git commit:*)", "Bash(git status:*)", "Bash(printenv:*)",
                             "Bash(dig:*)"})
        EXPECT_TRUE(vercel.contains(QLatin1String(rule))) << rule;
    const QStringList all = DeployRuns::allowedTools(DeployProvider::allCases());
    for (const char *rule : {"Bash(vercel:*)", "Bash(git:*)", "Bash(git push:*)", "Bash(git init:*)",
                             "Bash(vercel build:*)", "Bash(vercel dev:*)", "Bash(vercel pull:*)",
                             "Bash(railway:*)", "Bash(railway run:*)", "Bash(railway shell:*)", "Bash(supabase:*)",
                             "Bash(supabase start:*)", "Bash(supabase functions serve:*)", "Bash(npm:*)",
                             "Bash(npx:*)", "Bash(node:*)", "Bash(git config:*)"})
        EXPECT_FALSE(all.contains(QLatin1String(rule))) << rule;
    for (const QString &rule : all)
        for (const char *forbidden : {"npm", "npx", "node", "pnpm", "yarn", "bun", " -c", "build", "login", "run"})
            EXPECT_FALSE(rule.contains(QRegularExpression(QStringLiteral("\\b%1\\b").arg(QLatin1String(forbidden)))))
                << rule.toStdString();
    // Only the deploy's own providers' tools.
    for (const QList<DeployProvider> &providers :
         {QList<DeployProvider>{DeployProvider::vercel}, QList<DeployProvider>{DeployProvider::supabase, DeployProvider::railway}}) {
        const QString rules = DeployRuns::runArguments(providers).at(1);
        for (DeployProvider other : DeployProvider::allCases())
            EXPECT_EQ(rules.contains(QStringLiteral("Bash(%1 ").arg(other.toolName())), providers.contains(other));
    }
    const QStringList arguments = DeployRuns::runArguments({DeployProvider::supabase, DeployProvider::railway});
    ASSERT_EQ(arguments.size(), 2);
    EXPECT_EQ(arguments.at(0), QStringLiteral("--allowedTools"));
    EXPECT_TRUE(arguments.at(1).startsWith(QStringLiteral("Bash(supabase projects list:*) ")));

    // The briefing names the same commands, and the README lists each of them.
    DeployContext context;
    context.providersInOrder = {DeployProvider::supabase, DeployProvider::vercel};
    const QString prompt = buildDeployPrompt(QStringLiteral("Shop"), context);
    EXPECT_TRUE(prompt.contains(DeployRuns::allowedCommandsText(context.providersInOrder)));
    EXPECT_TRUE(prompt.contains(QStringLiteral("The only tokens you can ask for are SUPABASE_ACCESS_TOKEN, VERCEL_TOKEN.")));
    EXPECT_FALSE(prompt.contains(QLatin1String("--token")));
    const QByteArray readme = readFile(test::sourceDir() + QStringLiteral("/README.md"));
    ASSERT_FALSE(readme.isEmpty());
    for (const DeployRuns::AllowedCommand &command : DeployRuns::allowedCommands(DeployProvider::allCases()))
        EXPECT_TRUE(readme.contains("`" + command.words.toUtf8())) << command.words.toStdString();
}

// A value the user gives goes into the run's environment under the name the
// agent asked for: never a provider's token, nor a name that changes how the
// run's programs behave.
TEST(DeployRunsTest, OnlyNamesThatChangeNothingAboutTheRunCanBeSet)
{
    for (const char *name : {"STRIPE_SECRET_KEY", "API_KEY", "DATABASE_URL", "NODE_ENV", "SUPABASE_URL",
                             "NEXT_PUBLIC_SUPABASE_ANON_KEY", "VITE_API_URL", "lessons_url", "_X"})
        EXPECT_TRUE(DeployRuns::isSettableVariable(QLatin1String(name))) << name;
    for (const char *name : {"VERCEL_TOKEN", "railway_token", "SUPABASE_ACCESS_TOKEN", "PATH", "HOME", "BASH_ENV",
                             "ENV", "NODE_OPTIONS", "NODE_PATH", "LD_PRELOAD", "ld_library_path", "GIT_SSH_COMMAND",
                             "GIT_CONFIG_COUNT", "PYTHONPATH", "PYTHONSTARTUP", "npm_config_prefix", "NPM_CONFIG_USERCONFIG",
                             "BASH_FUNC_ls%%", "HTTPS_PROXY", "https_proxy", "SSL_CERT_FILE", "XDG_CONFIG_HOME",
                             "ANTHROPIC_API_KEY", "CLAUDE_CODE_OAUTH_TOKEN", "VERCEL_PROJECT_ID", "PERL5OPT", "IFS",
                             "1A", "A-B", "", "STRIPE_KEY\n", "A B"})
        EXPECT_FALSE(DeployRuns::isSettableVariable(QString::fromUtf8(name))) << name;
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
    // The PATH given, led only by the guard's folder that routes git (see guard/GitRouting.h).
    EXPECT_TRUE(QRegularExpression(QStringLiteral("(^|\n)PATH=(/[^:\n]*/nerim-git-[^/:\n]+/bin:)?/usr/bin:/bin\n"))
                    .match(QString::fromUtf8(env))
                    .hasMatch())
        << env.toStdString();
    EXPECT_EQ(progress, QStringList{DeployToolInstaller::progressLine(DeployProvider::railway)});

    for (DeployProvider provider : DeployProvider::allCases()) {
        const QString package = DeployToolInstaller::pinnedPackage(provider);
        EXPECT_TRUE(package.startsWith(provider.npmPackage() + QLatin1Char('@')));
        EXPECT_FALSE(package.section(QLatin1Char('@'), -1).isEmpty());
        EXPECT_TRUE(DeployToolInstaller::progressLine(provider).contains(package));
    }
}

// The deploy that asked for an install was cancelled: npm stops at once, and
// an install asked for after that does not start.
TEST(DeployRunsTest, AnInstallStopsWhenItsStopperGoes)
{
    const QString bin = makeTempDir(QStringLiteral("npm-bin"));
    const QString marks = makeTempDir(QStringLiteral("marks"));
    DeployToolInstaller::Request request;
    request.npmProgram = writeNpm(bin, QStringLiteral("echo $$ > '%1/pid'\nexec sleep 600\n").arg(marks).toUtf8());
    request.toolsFolder = makeTempDir(QStringLiteral("tools"));
    request.provider = DeployProvider::vercel;
    auto *stopper = new QObject;
    request.stopper = stopper;
    request.stoppable = true;
    QCoro::Task<std::optional<QString>> installing = DeployToolInstaller::install(request);
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(marks + QStringLiteral("/pid")); }));
    const QByteArray pid = readFile(marks + QStringLiteral("/pid")).trimmed();
    delete stopper;
    EXPECT_EQ(await(std::move(installing)), std::optional<QString>(QStringLiteral("the install was stopped")));
    EXPECT_FALSE(QFile::exists(QStringLiteral("/proc/") + QString::fromLatin1(pid)));

    QFile::remove(marks + QStringLiteral("/pid"));
    EXPECT_EQ(await(DeployToolInstaller::install(request)), std::optional<QString>(QStringLiteral("the install was stopped")));
    EXPECT_FALSE(QFile::exists(marks + QStringLiteral("/pid")));
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
