#include "PlantedRepository.h"
#include "TestAsync.h"
#include "ProviderTestSupport.h"
#include "TestEnvironment.h"
#include "deploy/DeployContext.h"
#include "deploy/DeployPrompt.h"
#include "deploy/DeployAllowedCommands.h"
#include "deploy/DeployRunArguments.h"
#include "deploy/DeployHeldTokens.h"
#include "deploy/DeployVariableRules.h"
#include "deploy/DeployToolInstaller.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
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
    const QStringList vercel = DeployRuns::allowedTools(QList<DeployProvider>{DeployProvider::vercel});
    for (const char *rule : {"Bash(vercel deploy --prod --yes)", "Bash(vercel env ls)", "Bash(vercel git connect --yes)",
                             "Bash(git push)", "Bash(git push -u origin main)", "Bash(git status)",
                             "Bash(git commit -m \"Deploy from Nerim\")", "Bash(git remote -v)", "Bash(sleep:*)"})
        EXPECT_TRUE(vercel.contains(QLatin1String(rule))) << rule;
    // Nothing that takes a path, a server, a remote URL or a file: no prefix
    // rule of Vercel's or git's at all.
    for (const QString &rule : vercel)
        EXPECT_FALSE(rule.endsWith(QLatin1String(":*)")) && (rule.startsWith(QLatin1String("Bash(vercel")) ||
                                                              rule.startsWith(QLatin1String("Bash(git"))))
            << rule.toStdString();
    for (const char *rule : {"Bash(git init)", "Bash(git add:*)", "Bash(git commit:*)", "Bash(git remote:*)",
                             "Bash(printenv:*)", "Bash(dig:*)", "Bash(nslookup:*)", "Bash(cat:*)", "Bash(vercel env:*)"})
        EXPECT_FALSE(vercel.contains(QLatin1String(rule))) << rule;
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
        const QString rules = DeployRuns::runArguments(providers).at(5);
        for (DeployProvider other : DeployProvider::allCases())
            EXPECT_EQ(rules.contains(QStringLiteral("Bash(%1 ").arg(other.toolName())), providers.contains(other));
    }
    const QStringList arguments =
        DeployRuns::runArguments(QList<DeployProvider>{DeployProvider::supabase, DeployProvider::railway});
    // Only the shell and the file reader, Nerim's check before every call,
    // then the rules.
    ASSERT_EQ(arguments.size(), 8);
    EXPECT_EQ(arguments.mid(0, 3), (QStringList{QStringLiteral("--tools"), QStringLiteral("Bash,Read"), QStringLiteral("--settings")}));
    EXPECT_TRUE(arguments.at(3).contains(DeployRuns::checkProgram()));
    EXPECT_EQ(arguments.at(4), QStringLiteral("--allowedTools"));
    EXPECT_TRUE(arguments.at(5).startsWith(QStringLiteral("Bash(supabase projects list) ")));
    EXPECT_EQ(arguments.at(6), QStringLiteral("--disallowedTools"));
    EXPECT_TRUE(arguments.at(7).contains(QStringLiteral("Bash(supabase *--workdir*)")));
    EXPECT_EQ(DeployRuns::runArguments(QList<DeployProvider>{DeployProvider::vercel}).size(), 6);

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
// agent asked for: only one the project declares, never a provider's token,
// nor a name that any program of the run reads to decide how it starts, where
// it works, what it loads or whom it talks to.
TEST(DeployRunsTest, OnlyNamesThatChangeNothingAboutTheRunCanBeSet)
{
    const QStringList declared{QStringLiteral("STRIPE_KEY"),       QStringLiteral("OPENSSL_CONF"),
                               QStringLiteral("LD_PRELOAD"),       QStringLiteral("NODE_OPTIONS"),
                               QStringLiteral("SUPABASE_WORKDIR"), QStringLiteral("SUPABASE_PROFILE"),
                               QStringLiteral("DOTNET_STARTUP_HOOKS"), QStringLiteral("ELECTRON_RUN_AS_NODE"),
                               QStringLiteral("GUILE_LOAD_PATH")};
    EXPECT_TRUE(DeployRuns::isAskableSecret(QStringLiteral("STRIPE_KEY"), declared));
    for (const char *name : {"OPENSSL_CONF", "LD_PRELOAD", "NODE_OPTIONS", "DATABASE_URL", "stripe_key",
                             "SUPABASE_WORKDIR", "SUPABASE_PROFILE", "DOTNET_STARTUP_HOOKS", "ELECTRON_RUN_AS_NODE",
                             "GUILE_LOAD_PATH"})
        EXPECT_FALSE(DeployRuns::isAskableSecret(QLatin1String(name), declared)) << name;
    EXPECT_EQ(DeployRuns::refusedSecretReply(QStringLiteral("OPENSSL_CONF"), declared),
              QStringLiteral("Nerim can't ask the user for OPENSSL_CONF: a value can be asked for only under a name "
                             "this project declares in its .env files, and never under one that changes how programs "
                             "start. The names you can ask for are STRIPE_KEY."));

    for (const char *name : {"STRIPE_SECRET_KEY", "API_KEY", "DATABASE_URL", "NEXT_PUBLIC_SUPABASE_ANON_KEY",
                             "VITE_API_URL", "lessons_url", "_X", "PATHFINDER_KEY", "PROXY_SECRET"})
        EXPECT_TRUE(DeployRuns::isSettableVariable(QLatin1String(name))) << name;
    for (const char *name : {"VERCEL_TOKEN", "railway_token", "SUPABASE_ACCESS_TOKEN", "PATH", "HOME", "BASH_ENV",
                             "ENV", "NODE_OPTIONS", "NODE_PATH", "LD_PRELOAD", "ld_library_path", "GIT_SSH_COMMAND",
                             "GIT_CONFIG_COUNT", "PYTHONPATH", "PYTHONSTARTUP", "npm_config_prefix", "NPM_CONFIG_USERCONFIG",
                             "BASH_FUNC_ls%%", "HTTPS_PROXY", "https_proxy", "SSL_CERT_FILE", "XDG_CONFIG_HOME",
                             "ANTHROPIC_API_KEY", "CLAUDE_CODE_OAUTH_TOKEN", "VERCEL_PROJECT_ID", "PERL5OPT", "IFS",
                             "OPENSSL_CONF", "OPENSSL_MODULES", "openssl_engines", "ZDOTDIR", "RUBYOPT", "PERL5LIB",
                             "GLIBC_TUNABLES", "JAVA_TOOL_OPTIONS", "NODE_EXTRA_CA_CERTS", "NODE_ENV",
                             "SUPABASE_URL", "supabase_workdir", "VERCEL_ORG_ID", "RAILWAY_SERVICE_ID", "GIT_DIR",
                             "Npm_Config_Registry", "DOTNET_ROOT", "ELECTRON_RUN_AS_NODE", "CLAUDE_CONFIG_DIR",
                             "ANTHROPIC_BASE_URL", "http_proxy", "all_proxy", "No_Proxy", "SHELL", "TMPDIR", "LANG",
                             "LANGUAGE", "LC_ALL", "lc_ctype", "SSL_CERT_DIR", "CURL_CA_BUNDLE", "REQUESTS_CA_BUNDLE",
                             "GUILE_LOAD_PATH", "LUA_CPATH", "MANPATH", "TZ", "SSLKEYLOGFILE", "DBUS_SESSION_BUS_ADDRESS",
                             "PWD", "1A", "A-B", "", "STRIPE_KEY\n", "A B"})
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
    // (The shell makes the file before it writes its number in it.)
    ASSERT_TRUE(waitUntil([&] { return readFile(marks + QStringLiteral("/pid")).endsWith('\n'); }));
    const QByteArray pid = readFile(marks + QStringLiteral("/pid")).trimmed();
    ASSERT_FALSE(pid.isEmpty());
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

// The rules that name something are built for one run from what Nerim holds:
// printenv only for the values the user gave for it (never a token or a name
// that changes how programs run), the variables by name, the DNS look-ups of
// the typed domain in its ASCII form with no server, and the deployment to
// return to; anything that is not a plain name, domain or id gives no rule.
TEST(DeployRunsTest, TheRulesOfARunNameOnlyItsValuesItsDomainAndItsDeployment)
{
    struct Case {
        const char *name;
        QStringList valueNames;
        std::optional<QString> domain;
        std::optional<QString> deploymentID;
        QStringList present;
        QStringList absent;
    };
    const QList<Case> cases{
        {"no values", {}, {}, {}, {}, {QStringLiteral("Bash(printenv"), QStringLiteral("Bash(dig"), QStringLiteral("rollback")}},
        {"values the user gave", {QStringLiteral("API_KEY"), QStringLiteral("STRIPE_SECRET")}, {}, {},
         {QStringLiteral("Bash(printenv API_KEY)"), QStringLiteral("Bash(printenv STRIPE_SECRET)"),
          QStringLiteral("Bash(vercel env add API_KEY production)"),
          QStringLiteral("Bash(vercel env rm STRIPE_SECRET production --yes)"),
          QStringLiteral("Bash(railway variables --set-from-stdin API_KEY)")},
         {QStringLiteral("Bash(printenv:*)"), QStringLiteral("Bash(printenv)")}},
        {"tokens and settings are never printed",
         {QStringLiteral("VERCEL_TOKEN"), QStringLiteral("vercel_token"), QStringLiteral("ANTHROPIC_API_KEY"),
          QStringLiteral("PATH"), QStringLiteral("A B"), QStringLiteral("X;id"), QStringLiteral("-v")},
         {}, {}, {}, {QStringLiteral("Bash(printenv"), QStringLiteral("A B"), QStringLiteral("X;id"), QStringLiteral("printenv -v")}},
        {"a typed domain", {}, QStringLiteral(" Shop.Example.com "), {},
         {QStringLiteral("Bash(dig +short shop.example.com A)"), QStringLiteral("Bash(dig +short shop.example.com TXT)"),
          QStringLiteral("Bash(dig +short www.shop.example.com CNAME)"),
          QStringLiteral("Bash(vercel domains add shop.example.com)"),
          QStringLiteral("Bash(vercel domains inspect shop.example.com)"),
          QStringLiteral("Bash(railway domain shop.example.com)")},
         {QStringLiteral("Bash(dig:*)"), QStringLiteral("nslookup"), QStringLiteral("@")}},
        {"an international domain", {}, QStringLiteral("b\u00e4ckerei-m\u00fcller.de"), {},
         {QStringLiteral("Bash(dig +short xn--bckerei-mller-bfb28a.de A)")}, {QStringLiteral("\u00e4")}},
        {"not a domain", {}, QStringLiteral("@127.0.0.1 -p 5353 x.example"), {}, {},
         {QStringLiteral("Bash(dig"), QStringLiteral("domains add")}},
        {"a file for dig", {}, QStringLiteral("-f /home/u/.local/share/Nerim/api-keys.json"), {}, {},
         {QStringLiteral("Bash(dig"), QStringLiteral("api-keys.json")}},
        {"a deployment", {}, {}, QStringLiteral("dpl_3Fq9x"),
         {QStringLiteral("Bash(vercel rollback dpl_3Fq9x --yes)"), QStringLiteral("Bash(vercel promote dpl_3Fq9x --yes)")},
         {}},
        {"not a deployment", {}, {}, QStringLiteral("--local-config /tmp/x.json"), {},
         {QStringLiteral("rollback"), QStringLiteral("local-config")}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        DeployRuns::RunScope scope(DeployProvider::allCases());
        scope.valueNames = c.valueNames;
        scope.domain = c.domain;
        scope.deploymentID = c.deploymentID;
        const QStringList rules = DeployRuns::allowedTools(scope);
        const QString joined = rules.join(QLatin1Char('\n'));
        for (const QString &rule : c.present)
            EXPECT_TRUE(rules.contains(rule)) << rule.toStdString();
        for (const QString &text : c.absent)
            EXPECT_FALSE(joined.contains(text)) << text.toStdString();
    }
    // The custom-domain request names exactly the look-ups the run may make.
    const QString request = customDomainRequest(QStringLiteral("shop.example.com"), QStringLiteral("Vercel"));
    for (const DeployRuns::AllowedCommand &check : DeployRuns::domainChecks(QStringLiteral("shop.example.com")))
        EXPECT_TRUE(request.contains(QLatin1Char('`') + check.words + QLatin1Char('`'))) << check.words.toStdString();
    EXPECT_EQ(DeployRuns::domainChecks(QStringLiteral("shop.example.com")).size(), 8);
}

// The one way a Deploy run stages leaves local secrets and Nerim's folder out
// even where the project's own .gitignore asks git to take them.
TEST(DeployRunsTest, TheDeployStagingLeavesSecretsOutWhateverTheIgnoreFilesSay)
{
    if (QStandardPaths::findExecutable(QStringLiteral("git")).isEmpty())
        GTEST_SKIP() << "git is not installed";
    const QString folder = makeTempDir(QStringLiteral("stage"));
    const auto run = [&folder](const QString &program, const QStringList &arguments) {
        QProcess process;
        process.setWorkingDirectory(folder);
        process.start(program, arguments);
        process.waitForFinished(60000);
        return QString::fromUtf8(process.readAllStandardOutput());
    };
    run(QStringLiteral("git"), {QStringLiteral("init"), QStringLiteral("-q")});
    for (const char *file : {"index.html", ".env", ".env.production.local", "api/.env", "api/.env.local", "api/main.py",
                             ".nerim/launch-override.json", "api/.nerim/context.json"}) {
        const QString path = folder + QLatin1Char('/') + QLatin1String(file);
        QDir().mkpath(QFileInfo(path).absolutePath());
        writeFile(path, "STRIPE_KEY=sk_live_1\n");
    }
    writeFile(folder + QStringLiteral("/.gitignore"), "!.env\n!.env.*\n!.nerim/\n");
    // The command as the agent program runs it: through the shell.
    run(QStringLiteral("bash"), {QStringLiteral("-c"), DeployRuns::deployStageCommand()});
    QStringList staged = run(QStringLiteral("git"), {QStringLiteral("diff"), QStringLiteral("--cached"),
                                                     QStringLiteral("--name-only")})
                             .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    staged.sort();
    EXPECT_EQ(staged, (QStringList{QStringLiteral(".gitignore"), QStringLiteral("api/main.py"),
                                   QStringLiteral("index.html")}));
}

// The run's Supabase tool refuses every argument that names a folder or file
// for it, whatever the quoting or spelling, and hands every other argument to
// the real tool exactly as given.
TEST(DeployRunsTest, TheSupabaseFenceRefusesPathOptionsAndPassesTheRestUnchanged)
{
    const QString real = makeTempDir(QStringLiteral("real-bin"));
    const QString record = makeTempDir(QStringLiteral("record")) + QStringLiteral("/args");
    writeFile(real + QStringLiteral("/supabase"),
              QStringLiteral("#!/bin/sh\nfor a in \"$@\"; do printf '[%s]' \"$a\" >> '%1'; done\necho >> '%1'\n")
                  .arg(record)
                  .toUtf8());
    QFile::setPermissions(real + QStringLiteral("/supabase"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString fence = makeTempDir(QStringLiteral("tools")) + QStringLiteral("/fence");
    // The fence's own folder is passed over when the real tool is looked for.
    DeployRuns::writeSupabaseFence(fence, {fence, makeTempDir(QStringLiteral("empty-bin")), real});
    EXPECT_TRUE(QFileInfo(fence + QStringLiteral("/supabase")).isExecutable());
    EXPECT_EQ(QFile::permissions(fence + QStringLiteral("/supabase")) & 0x0077, 0);
    DeployRuns::writeSupabaseFence(fence, {fence, real});

    const auto run = [&fence](const QStringList &arguments) {
        QProcess process;
        process.start(fence + QStringLiteral("/supabase"), arguments);
        process.waitForFinished(30000);
        return std::pair{process.exitCode(), QString::fromUtf8(process.readAllStandardError())};
    };
    EXPECT_EQ(run({QStringLiteral("link"), QStringLiteral("--project-ref"), QStringLiteral("abc")}).first, 0);
    EXPECT_EQ(run({QStringLiteral("projects"), QStringLiteral("create"), QStringLiteral("My 'Shop' $HOME"),
                   QStringLiteral("--org-id"), QStringLiteral("o*")})
                  .first,
              0);
    for (const QStringList &arguments :
         {QStringList{QStringLiteral("link"), QStringLiteral("--workdir"), QStringLiteral("/tmp")},
          QStringList{QStringLiteral("link"), QStringLiteral("--project-ref"), QStringLiteral("a"), QStringLiteral("--workdir=/tmp")},
          QStringList{QStringLiteral("link"), QStringLiteral("--WorkDir=/tmp")},
          QStringList{QStringLiteral("link"), QStringLiteral("--work_dir"), QStringLiteral("/tmp")},
          QStringList{QStringLiteral("link"), QStringLiteral("--workdir\n")},
          QStringList{QStringLiteral("secrets"), QStringLiteral("set"), QStringLiteral("--env-file"), QStringLiteral("/x")},
          QStringList{QStringLiteral("functions"), QStringLiteral("deploy"), QStringLiteral("--import-map=/x")},
          QStringList{QStringLiteral("projects"), QStringLiteral("list"), QStringLiteral("--profile"), QStringLiteral("/x")}}) {
        const auto [code, error] = run(arguments);
        EXPECT_EQ(code, 2) << arguments.join(' ').toStdString();
        EXPECT_TRUE(error.startsWith(QLatin1String("Nerim refused"))) << error.toStdString();
    }
    EXPECT_EQ(readFile(record), "[link][--project-ref][abc]\n[projects][create][My 'Shop' $HOME][--org-id][o*]\n");

    // Without the real tool the fence says so and runs nothing.
    const QString lone = makeTempDir(QStringLiteral("lone")) + QStringLiteral("/fence");
    DeployRuns::writeSupabaseFence(lone, {makeTempDir(QStringLiteral("nothing"))});
    QProcess missing;
    missing.start(lone + QStringLiteral("/supabase"), {QStringLiteral("projects"), QStringLiteral("list")});
    missing.waitForFinished(30000);
    EXPECT_EQ(missing.exitCode(), 127);
}
