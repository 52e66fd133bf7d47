// A Deploy run's staging, commit and push (the exact commands it is allowed)
// take in nothing outside the project folder: a work tree the repository
// names elsewhere is refused, and so is a push whose commits hold a path
// outside the project or one of Nerim's own files.
#include "deploy/DeployRuns.h"

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

Outcome deployThroughGuard(const Project &project, const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
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
