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
// file-system monitor, an ssh command, a pager); in a Deploy run they would
// see the provider's token. The run's environment overrides all of them.
TEST(DeployRunsTest, GitInADeployRunRunsNothingTheRepositoryConfigNames)
{
    const QString repo = makeTempDir(QStringLiteral("repo"));
    const QString ran = makeTempDir(QStringLiteral("ran"));
    const auto git = [&](const QStringList &arguments, const QHash<QString, QString> &extra) {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (auto it = extra.begin(); it != extra.end(); ++it)
            environment.insert(it.key(), it.value());
        environment.insert(QStringLiteral("GIT_AUTHOR_NAME"), QStringLiteral("t"));
        environment.insert(QStringLiteral("GIT_AUTHOR_EMAIL"), QStringLiteral("t@example.com"));
        environment.insert(QStringLiteral("GIT_COMMITTER_NAME"), QStringLiteral("t"));
        environment.insert(QStringLiteral("GIT_COMMITTER_EMAIL"), QStringLiteral("t@example.com"));
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(repo);
        process.start(QStringLiteral("git"), arguments);
        process.waitForFinished(30000);
        return process.exitCode();
    };
    if (git({QStringLiteral("init"), QStringLiteral("-q")}, {}) != 0)
        GTEST_SKIP() << "git is not available";
    // The planted configuration: a hook folder and a monitor that leave a mark when run.
    const QString hooks = repo + QStringLiteral("/planted-hooks");
    QDir().mkpath(hooks);
    const QString hook = hooks + QStringLiteral("/pre-commit");
    writeFile(hook, QStringLiteral("#!/bin/sh\ntouch '%1/hook'\n").arg(ran).toUtf8());
    const QString monitor = repo + QStringLiteral("/planted-monitor");
    writeFile(monitor, QStringLiteral("#!/bin/sh\ntouch '%1/monitor'\n").arg(ran).toUtf8());
    for (const QString &path : {hook, monitor})
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    ASSERT_EQ(git({QStringLiteral("config"), QStringLiteral("core.hooksPath"), hooks}, {}), 0);
    ASSERT_EQ(git({QStringLiteral("config"), QStringLiteral("core.fsmonitor"), monitor}, {}), 0);

    const QStringList commit{QStringLiteral("commit"), QStringLiteral("-q"), QStringLiteral("--allow-empty"),
                             QStringLiteral("-m"), QStringLiteral("x")};
    EXPECT_EQ(git(commit, DeployRuns::gitSafetyEnvironment()), 0);
    EXPECT_EQ(git({QStringLiteral("status"), QStringLiteral("--short")}, DeployRuns::gitSafetyEnvironment()), 0);
    EXPECT_FALSE(QFile::exists(ran + QStringLiteral("/hook")));
    EXPECT_FALSE(QFile::exists(ran + QStringLiteral("/monitor")));

    // Without it the planted programs run: the plant above is a real one.
    git(commit, {});
    EXPECT_TRUE(QFile::exists(ran + QStringLiteral("/hook")));
}
