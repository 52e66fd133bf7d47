// A Deploy run's staging, commit and push (the exact commands it is allowed)
// take in nothing outside the project folder: a work tree the repository
// names elsewhere is refused, and so is a push whose commits hold a path
// outside the project or one of Nerim's own files.
#include "deploy/DeployAllowedCommands.h"

#include "GitTestSupport.h"

#include <QDir>
#include <QProcess>
#include <gtest/gtest.h>

using namespace nerim;
using namespace nerim::test;

namespace {

// The paths on the remote's main branch.
QStringList pushedPaths(const QString &remote)
{
    QProcess process;
    process.start(QStringLiteral("git"), {QStringLiteral("--git-dir=") + remote, QStringLiteral("ls-tree"),
                                          QStringLiteral("-r"), QStringLiteral("--name-only"), QStringLiteral("main")});
    process.waitForFinished(30000);
    return QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// A project (or the folder `inner` of a repository) with a first commit
// pushed to a bare remote beside it.
struct Project {
    QString base;
    QString repository;
    QString folder; // where the run works
    QString remote;

    static Project make(const QString &name, const QString &inner = {})
    {
        Project project;
        project.base = makeTempDir(name);
        project.repository = project.base + QStringLiteral("/repository");
        project.folder = inner.isEmpty() ? project.repository : project.repository + QLatin1Char('/') + inner;
        project.remote = project.base + QStringLiteral("/remote.git");
        writeUserIdentity();
        QDir().mkpath(project.folder);
        writeFile(project.folder + QStringLiteral("/index.html"), "<p>shop</p>\n");
        EXPECT_TRUE(commitAsBase(project.repository));
        EXPECT_TRUE(git(project.base, {QStringLiteral("init"), QStringLiteral("-q"), QStringLiteral("--bare"), project.remote}));
        EXPECT_TRUE(git(project.repository, {QStringLiteral("remote"), QStringLiteral("add"), QStringLiteral("origin"), project.remote}));
        EXPECT_TRUE(git(project.repository, {QStringLiteral("push"), QStringLiteral("-q"), QStringLiteral("origin"), QStringLiteral("main")}));
        writeFile(project.folder + QStringLiteral("/index.html"), "<p>shop, changed</p>\n");
        return project;
    }
};

// What a Deploy run does with git, as it is allowed to write it.
QString deployCommands()
{
    return DeployRuns::deployStageCommand() + QStringLiteral("; ") + DeployRuns::deployCommitCommand() +
           QStringLiteral("; git push origin main");
}

// As a Deploy run's agent runs them: under the guard, with the names of the
// run's own variables for nerim-git (none unless `environment` says).
Outcome deployThroughGuard(const Project &project, QProcessEnvironment environment = QProcessEnvironment::systemEnvironment())
{
    if (!environment.contains(QStringLiteral("NERIM_GIT_SECRET_NAMES")))
        environment.insert(QStringLiteral("NERIM_GIT_SECRET_NAMES"), QString());
    return runThroughChildProcess(project.folder, deployCommands(), true, environment);
}

} // namespace

TEST(DeployRunsGit, AWorkTreePlantedOutsideTheProjectPushesNothingFromIt)
{
    const auto plant = [](const Project &project) {
        const QString data = project.base + QStringLiteral("/home/.local/share");
        writeFile(data + QStringLiteral("/Nerim/api-keys.json"), "{\"anthropic\":\"sk-ant-secret\"}\n");
        appendFile(project.repository + QStringLiteral("/.git/config"), "[core]\n\tworktree = ../../home/.local/share\n");
    };
    // Plainly, the allowed commands stage the user's data folder and push the key file.
    const Project plain = Project::make(QStringLiteral("deploy-plain"));
    plant(plain);
    QProcess shell;
    shell.setWorkingDirectory(plain.folder);
    shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), deployCommands()});
    ASSERT_TRUE(shell.waitForFinished(60000));
    ASSERT_TRUE(pushedPaths(plain.remote).contains(QStringLiteral("Nerim/api-keys.json")))
        << "the planted work tree was not used plainly: the test tests nothing";

    const Project guarded = Project::make(QStringLiteral("deploy-guarded"));
    plant(guarded);
    const Outcome outcome = deployThroughGuard(guarded);
    ASSERT_TRUE(outcome.ended);
    EXPECT_EQ(outcome.errorLines.size(), 3) << outcome.errorLines.join('\n').toStdString();
    for (const QString &line : outcome.errorLines) {
        EXPECT_TRUE(line.startsWith(QLatin1String("nerim: git was not run:"))) << line.toStdString();
        EXPECT_TRUE(line.contains(QLatin1String("outside the project folder"))) << line.toStdString();
    }
    EXPECT_EQ(pushedPaths(guarded.remote), QStringList{QStringLiteral("index.html")});
}

TEST(DeployRunsGit, AnOrdinaryProjectDeploysAndNerimsFilesStayBehind)
{
    // The commands do their work in an ordinary project, hooks manager and all.
    const Project ordinary = Project::make(QStringLiteral("deploy-ordinary"));
    QDir().mkpath(ordinary.folder + QStringLiteral("/.husky/_"));
    ASSERT_TRUE(git(ordinary.folder, {QStringLiteral("config"), QStringLiteral("core.hooksPath"), QStringLiteral(".husky/_")}));
    writeFile(ordinary.folder + QStringLiteral("/about.html"), "<p>about</p>\n");
    const Outcome done = deployThroughGuard(ordinary);
    ASSERT_TRUE(done.ended);
    EXPECT_EQ(done.exitCode, 0) << done.errorLines.join('\n').toStdString();
    EXPECT_TRUE(pushedPaths(ordinary.remote).contains(QStringLiteral("about.html")));
    QProcess log;
    log.start(QStringLiteral("git"), {QStringLiteral("--git-dir=") + ordinary.remote, QStringLiteral("log"),
                                      QStringLiteral("--format=%s"), QStringLiteral("-1"), QStringLiteral("main")});
    ASSERT_TRUE(log.waitForFinished(30000));
    EXPECT_EQ(log.readAllStandardOutput().trimmed(), DeployRuns::deployCommitMessage().toUtf8());

    // Nerim's data folder inside the project (its data is kept there): a
    // commit that holds its key file is not pushed.
    const Project holding = Project::make(QStringLiteral("deploy-holding"));
    writeFile(holding.folder + QStringLiteral("/data/Nerim/api-keys.json"), "{\"anthropic\":\"sk-ant-secret\"}\n");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_DATA_HOME"), holding.folder + QStringLiteral("/data"));
    const Outcome held = deployThroughGuard(holding, environment);
    ASSERT_TRUE(held.ended);
    EXPECT_NE(held.exitCode, 0);
    EXPECT_TRUE(held.errorLines.join('\n').contains(QLatin1String("one of Nerim's own files")))
        << held.errorLines.join('\n').toStdString();
    EXPECT_FALSE(pushedPaths(holding.remote).contains(QStringLiteral("data/Nerim/api-keys.json")));

    // A project in a folder of a larger repository: its work tree is not the
    // project, so a deploy does not stage, commit or push from it.
    const Project inner = Project::make(QStringLiteral("deploy-inner"), QStringLiteral("web"));
    writeFile(inner.repository + QStringLiteral("/elsewhere.txt"), "not the project's\n");
    const Outcome refused = deployThroughGuard(inner);
    ASSERT_TRUE(refused.ended);
    EXPECT_TRUE(refused.errorLines.join('\n').contains(QLatin1String("a deploy works in the project folder only")))
        << refused.errorLines.join('\n').toStdString();
    EXPECT_EQ(pushedPaths(inner.remote), QStringList{QStringLiteral("web/index.html")});
}

// The push reads what it sends: a value of any of the project's .env files, or
// one given for the run, is not pushed under any other name; short values and
// examples' values, which ordinary code holds too, do not stop a deploy; and
// a run whose values cannot be known pushes nothing.
TEST(DeployRunsGit, APushCarryingASecretValueUnderAnotherNameIsRefused)
{
    const QByteArray env = "API_KEY=sk-live-51HqSecretValue\nNODE_ENV=production\nPORT=3000\n";
    const QString apiKey = QStringLiteral("sk-live-51HqSecretValue");
    const auto attempt = [&](const QString &name, const QString &file, const QByteArray &content,
                             const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment()) {
        const Project project = Project::make(name);
        writeFile(project.folder + QStringLiteral("/.env"), env);
        writeFile(project.folder + QStringLiteral("/.env.example"), "API_KEY=your-api-key-goes-here\n");
        writeFile(project.folder + QLatin1Char('/') + file, content);
        const Outcome outcome = deployThroughGuard(project, environment);
        EXPECT_TRUE(outcome.ended);
        return std::make_pair(outcome, pushedPaths(project.remote).contains(file));
    };

    // Ordinary code, with the .env's mode, port and the example's placeholder in it, goes live.
    const auto [ordinary, ordinaryPushed] =
        attempt(QStringLiteral("content-ordinary"), QStringLiteral("server.js"),
                "const port = process.env.PORT || 3000; // production, your-api-key-goes-here\n");
    EXPECT_EQ(ordinary.exitCode, 0) << ordinary.errorLines.join('\n').toStdString();
    EXPECT_TRUE(ordinaryPushed);

    // The .env's value copied into a file of another name.
    const auto [copied, copiedPushed] = attempt(QStringLiteral("content-copied"), QStringLiteral("notes.txt"),
                                                "API_KEY=" + apiKey.toUtf8() + "\n");
    EXPECT_NE(copied.exitCode, 0);
    EXPECT_TRUE(copied.errorLines.join('\n').contains(QLatin1String("holds the value of API_KEY in .env")))
        << copied.errorLines.join('\n').toStdString();
    EXPECT_FALSE(copiedPushed);

    // A value given for the run, and a nested .env's value.
    QProcessEnvironment run = QProcessEnvironment::systemEnvironment();
    run.insert(QStringLiteral("NERIM_GIT_SECRET_NAMES"), QStringLiteral("STRIPE_KEY,VERCEL_TOKEN"));
    run.insert(QStringLiteral("STRIPE_KEY"), QStringLiteral("rk_live_given-for-the-run"));
    run.insert(QStringLiteral("VERCEL_TOKEN"), QStringLiteral("vercel-token-0001"));
    const auto [given, givenPushed] =
        attempt(QStringLiteral("content-given"), QStringLiteral("config.js"), "export const key = 'rk_live_given-for-the-run';\n", run);
    EXPECT_TRUE(given.errorLines.join('\n').contains(QLatin1String("the deploy's STRIPE_KEY")))
        << given.errorLines.join('\n').toStdString();
    EXPECT_FALSE(givenPushed);
    const Project nestedProject = Project::make(QStringLiteral("content-nested-copy"));
    writeFile(nestedProject.folder + QStringLiteral("/apps/web/.env.local"), "DB_PASSWORD=\"correct horse battery\"\n");
    writeFile(nestedProject.folder + QStringLiteral("/apps/web/db.js"), "connect('correct horse battery')\n");
    const Outcome nestedCopy = deployThroughGuard(nestedProject);
    EXPECT_TRUE(nestedCopy.errorLines.join('\n').contains(QLatin1String("DB_PASSWORD in apps/web/.env.local")))
        << nestedCopy.errorLines.join('\n').toStdString();
    EXPECT_FALSE(pushedPaths(nestedProject.remote).contains(QStringLiteral("apps/web/db.js")));

    // A value named for the run that is not in its environment: nothing is pushed.
    QProcessEnvironment lost = QProcessEnvironment::systemEnvironment();
    lost.insert(QStringLiteral("NERIM_GIT_SECRET_NAMES"), QStringLiteral("STRIPE_KEY"));
    lost.remove(QStringLiteral("STRIPE_KEY"));
    const auto [unknown, unknownPushed] = attempt(QStringLiteral("content-unknown"), QStringLiteral("about.html"), "<p>about</p>\n", lost);
    EXPECT_TRUE(unknown.errorLines.join('\n').contains(QLatin1String("could not be known")))
        << unknown.errorLines.join('\n').toStdString();
    EXPECT_FALSE(unknownPushed);
}
