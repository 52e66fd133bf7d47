// Nerim's own check of a Deploy run's tool calls: the exact list, whatever the
// agent program's rules would let through.
#include "TestEnvironment.h"
#include "deploy/DeployCommandCheck.h"
#include "deploy/DeployAllowedCommands.h"
#include "deploy/DeployRunArguments.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <gtest/gtest.h>

using namespace nerim;
using namespace nerim::test;

namespace {

QList<DeployCommandCheck::Rule> rulesOf(const DeployRuns::RunScope &scope)
{
    QStringList arguments;
    for (const DeployRuns::AllowedCommand &command : DeployRuns::allowedCommands(scope))
        arguments.append((command.withArguments ? QLatin1Char('+') : QLatin1Char('=')) + command.words);
    const auto rules = DeployCommandCheck::rulesFromArguments(arguments);
    EXPECT_TRUE(rules.has_value());
    return rules.value_or(QList<DeployCommandCheck::Rule>{});
}

QByteArray call(const QString &tool, const QJsonObject &input, const QString &cwd)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("tool_name"), tool},
                                     {QStringLiteral("tool_input"), input},
                                     {QStringLiteral("cwd"), cwd}})
        .toJson();
}

QByteArray bash(const QString &command, const QString &cwd)
{
    return call(QStringLiteral("Bash"), {{QStringLiteral("command"), command}}, cwd);
}

} // namespace

// Only words the shell reads as this check does: anything it would expand,
// chain, redirect or run in a subshell is refused before any rule is looked at.
TEST(DeployCommandCheckTest, OnlyPlainWordsAndPipes)
{
    using Words = QList<QStringList>;
    EXPECT_EQ(DeployCommandCheck::pipelineWords(QStringLiteral("git commit -m \"Deploy from Nerim\"")),
              (Words{{"git", "commit", "-m", "Deploy from Nerim"}}));
    EXPECT_EQ(DeployCommandCheck::pipelineWords(QStringLiteral("printf 'a b\\n'x\t|  vercel env add K production")),
              (Words{{"printf", "a b\\nx"}, {"vercel", "env", "add", "K", "production"}}));
    EXPECT_EQ(DeployCommandCheck::pipelineWords(QStringLiteral("git add -A -- . ':!*/.env'")),
              (Words{{"git", "add", "-A", "--", ".", ":!*/.env"}}));
    for (const char *line :
         {"sleep 0; rm -rf src", "sleep 0 && touch made", "sleep 0 || true", "printf x |& cat", "printf x &",
          "printf '%s\\n' ~/.local/share/Nerim/*", "printf *", "printf ?", "printf [a]", "printf {a,b}", "printf ~",
          "printf $HOME", "printf \"$HOME\"", "printf \"`id`\"", "printf \"a\\\"b\"", "sleep $(rm x)", "sleep `rm x`",
          "printf x > notes.txt", "cat < .env", "(sleep 0)", "sleep 0\nrm x", "printf 'a\nb'", "printf x # note",
          "printf 'open", "| printf x", "printf x |", "", "   ", "printf \\x", "printf é", "printf /etc/^x",
          "printf =ls"})
        EXPECT_FALSE(DeployCommandCheck::pipelineWords(QString::fromUtf8(line))) << line;
}

// Each command of a pipe must be one of the run's, word for word (or its words
// and then any, for a command that takes arguments), and any word that names
// something that exists must name it inside the project.
TEST(DeployCommandCheckTest, OnlyTheRunsCommandsNamingNothingOutsideTheProject)
{
    const QString project = makeTempDir(QStringLiteral("project"));
    const QString outside = makeTempDir(QStringLiteral("outside"));
    writeFile(project + QStringLiteral("/.env"), "API_KEY=value-1\n");
    writeFile(outside + QStringLiteral("/secrets"), "API_KEY=other\n");
    DeployRuns::RunScope scope({DeployProvider::vercel});
    scope.valueNames = {QStringLiteral("API_KEY")};
    scope.variableNames = {QStringLiteral("API_KEY")};
    const QList<DeployCommandCheck::Rule> rules = rulesOf(scope);
    for (const QString &line :
         {DeployRuns::deployStageCommand(), DeployRuns::deployCommitCommand(),
          QStringLiteral("git commit -m 'Deploy from Nerim'"), QStringLiteral("git push origin main"),
          DeployRuns::uploadFromEnvironmentCommand(DeployProvider::vercel, QStringLiteral("API_KEY")),
          QStringLiteral("grep '^API_KEY=' .env | cut -d= -f2- | vercel env add API_KEY production"),
          QStringLiteral("printf 'y\\n' | vercel link --yes"), QStringLiteral("sleep 5")})
        EXPECT_FALSE(DeployCommandCheck::commandRefusal(line, rules, project)) << line.toStdString();
    for (const QString &line :
         {QStringLiteral("git push origin main --force"), QStringLiteral("cat .env"), QStringLiteral("printf x | sh"),
          QStringLiteral("vercel deploy --prod --yes --cwd ") + outside, QStringLiteral("printf '%s\\n' ") + outside,
          QStringLiteral("grep '^OTHER=' .env"), QStringLiteral("printenv VERCEL_TOKEN"), QStringLiteral("rm -rf src"),
          QStringLiteral("GIT_DIR=x git push")})
        EXPECT_TRUE(DeployCommandCheck::commandRefusal(line, rules, project)) << line.toStdString();

    // A .env that leads out of the project is not read through it.
    QFile::remove(project + QStringLiteral("/.env"));
    ASSERT_TRUE(QFile::link(outside + QStringLiteral("/secrets"), project + QStringLiteral("/.env")));
    EXPECT_EQ(DeployCommandCheck::commandRefusal(QStringLiteral("grep '^API_KEY=' .env"), rules, project),
              QStringLiteral("Nerim refused `grep ^API_KEY= .env`: .env is outside the project folder."));
}

// printf and sleep, run by the shell itself, take words that only hand text on
// or wait: an option, a subscript the shell would evaluate (running what is in
// it), a conversion that reads a variable or an unknown escape is refused.
TEST(DeployCommandCheckTest, PrintfAndSleepTakePlainWordsOnly)
{
    const QString project = makeTempDir(QStringLiteral("project"));
    const QList<DeployCommandCheck::Rule> rules = rulesOf(DeployRuns::RunScope({DeployProvider::vercel}));
    for (const char *line : {"printf 'y\\n' | vercel link --yes", "printf '%s\\t%s%%' a b", "printf hello",
                             "sleep 5", "sleep 0.5", "sleep 2m", "printf 'https://app.example.com/path?q=1'"})
        EXPECT_FALSE(DeployCommandCheck::commandRefusal(QString::fromUtf8(line), rules, project)) << line;
    for (const char *line :
         {"printf -v 'a[$(cp .env site.txt)]' x", "printf -v x y", "printf -- x", "printf '%s' 'a[$(id)]'",
          "printf '%d' 'a[$(id)]'", "printf '%d' HOME", "printf '%n' x", "printf '%5s' x", "printf '%b' x",
          "printf '\\141'", "printf 'a\\'", "printf '%'", "sleep -h", "sleep infinity", "sleep 'a[$(id)]'",
          "sleep 1 2x", "printf x | sleep --help"})
        EXPECT_TRUE(DeployCommandCheck::commandRefusal(QString::fromUtf8(line), rules, project)) << line;
    EXPECT_EQ(DeployCommandCheck::commandRefusal(QStringLiteral("printf -v 'a[$(cp .env site.txt)]' x"), rules, project),
              QStringLiteral("Nerim refused `printf -v a[$(cp .env site.txt)] x`: printf takes plain words only (no "
                             "option, no [ or ], only %s and %% as formats and \\n, \\t or \\\\ as escapes)."));
}

// The tool call as the agent program hands it to the check program: Read only
// inside the project, no other tool, and whatever cannot be read refused; the
// program itself refuses with status 2 also when it does not know the project.
TEST(DeployCommandCheckTest, TheCheckProgramReadsInsideTheProjectOnlyAndFailsClosed)
{
    const QString project = makeTempDir(QStringLiteral("project"));
    const QString outside = makeTempDir(QStringLiteral("outside"));
    writeFile(project + QStringLiteral("/index.html"), "<p>shop</p>\n");
    writeFile(outside + QStringLiteral("/api-keys.json"), "{}\n");
    ASSERT_TRUE(QFile::link(outside + QStringLiteral("/api-keys.json"), project + QStringLiteral("/keys.json")));
    const QList<DeployCommandCheck::Rule> rules = rulesOf(DeployRuns::RunScope({DeployProvider::vercel}));
    const auto read = [&](const QString &path) {
        return call(QStringLiteral("Read"), {{QStringLiteral("file_path"), path}}, project);
    };
    EXPECT_FALSE(DeployCommandCheck::toolCallRefusal(read(project + QStringLiteral("/index.html")), rules, project));
    EXPECT_FALSE(DeployCommandCheck::toolCallRefusal(read(QStringLiteral("index.html")), rules, project));
    EXPECT_FALSE(DeployCommandCheck::toolCallRefusal(
        call(QStringLiteral("Bash"),
             {{QStringLiteral("command"), QStringLiteral("git status")},
              {QStringLiteral("description"), QStringLiteral("Check the tree")}, {QStringLiteral("timeout"), 60000}},
             project),
        rules, project));
    for (const QByteArray &refused :
         {read(project + QStringLiteral("/keys.json")), read(outside + QStringLiteral("/api-keys.json")),
          read(QStringLiteral("../outside/api-keys.json")), read(project + QStringLiteral("/missing")),
          call(QStringLiteral("Write"), {{QStringLiteral("file_path"), project + QStringLiteral("/x")}}, project),
          call(QStringLiteral("Edit"), {}, project), bash(QStringLiteral("git status"), outside),
          call(QStringLiteral("Bash"), {}, project), QByteArray("{\"tool_name\":"), QByteArray("[]"),
          call(QStringLiteral("Bash"),
               {{QStringLiteral("command"), QStringLiteral("git status")}, {QStringLiteral("run_in_background"), true}},
               project),
          call(QStringLiteral("Read"),
               {{QStringLiteral("file_path"), QStringLiteral("index.html")}, {QStringLiteral("pages"), QStringLiteral("1")}},
               project)})
        EXPECT_TRUE(DeployCommandCheck::toolCallRefusal(refused, rules, project)) << refused.toStdString();

    // The program the agent program runs, as a Deploy run names it.
    const auto run = [&](const QByteArray &input, bool knowsProject) {
        QProcess check;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (knowsProject)
            environment.insert(QStringLiteral("NERIM_GIT_PROJECT"), project);
        else
            environment.remove(QStringLiteral("NERIM_GIT_PROJECT"));
        check.setProcessEnvironment(environment);
        check.start(DeployRuns::checkProgram(), {QStringLiteral("=git status"), QStringLiteral("+sleep")});
        check.write(input);
        check.closeWriteChannel();
        EXPECT_TRUE(check.waitForFinished(30000));
        return check.exitCode();
    };
    EXPECT_EQ(run(bash(QStringLiteral("git status"), project), true), 0);
    EXPECT_EQ(run(bash(QStringLiteral("sleep 1 | git status"), project), true), 0);
    EXPECT_EQ(run(bash(QStringLiteral("git status; rm -rf ."), project), true), 2);
    EXPECT_EQ(run(bash(QStringLiteral("git status"), project), false), 2);
    EXPECT_EQ(run("not json", true), 2);
}
