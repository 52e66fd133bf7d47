// Local secrets and Nerim's folder stay out of what an agent stages in a git
// repository: checked with real git, through a whole agent run, against a
// planted link in the repository's git folder, and over repeated runs.
#include "ProviderTestSupport.h"
#include "TestAsync.h"
#include "TestEnvironment.h"
#include "agents/GitExcludes.h"

#include <QDir>
#include <algorithm>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>

using namespace nerim;
using namespace nerim::test;

namespace {

bool hasGit() { return !QStandardPaths::findExecutable(QStringLiteral("git")).isEmpty(); }

QString runGit(const QString &folder, const QStringList &arguments)
{
    QProcess git;
    git.setWorkingDirectory(folder);
    git.start(QStringLiteral("git"), QStringList{QStringLiteral("-c"), QStringLiteral("user.name=t"), QStringLiteral("-c"),
                                                 QStringLiteral("user.email=t@example.com")} +
                                         arguments);
    git.waitForFinished(60000);
    return QString::fromUtf8(git.readAllStandardOutput());
}

// A repository holding what a project looks like after a Repair run wrote its
// secrets: .env files at the top and below, the examples meant for git, and
// Nerim's folder with a launch override holding a key.
QString projectWithSecrets(const QString &name)
{
    const QString folder = makeTempDir(name);
    runGit(folder, {QStringLiteral("init"), QStringLiteral("-q")});
    for (const char *file : {"app.js", ".env", ".env.local", ".env.production", ".env.example", ".env.sample",
                             "web/.env", "web/.env.development.local", "web/index.html", ".nerim/launch-override.json",
                             ".nerim/context.json", "web/.nerim/notes"}) {
        const QString path = folder + QLatin1Char('/') + QLatin1String(file);
        QDir().mkpath(QFileInfo(path).absolutePath());
        writeFile(path, QByteArrayLiteral("STRIPE_KEY=sk_live_123\n"));
    }
    return folder;
}

QStringList staged(const QString &folder)
{
    runGit(folder, {QStringLiteral("add"), QStringLiteral("-A")});
    QStringList names = runGit(folder, {QStringLiteral("diff"), QStringLiteral("--cached"), QStringLiteral("--name-only")})
                            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    names.sort();
    return names;
}

} // namespace

TEST(GitExcludes, TheLinesAreAddedOnceAndTheExamplesStayAfterTheVariants)
{
    const QByteArray all = *GitExcludes::withSecretLines({});
    EXPECT_EQ(all, GitExcludes::secretLines().join(QLatin1Char('\n')).toUtf8() + '\n');
    // Everything there already, even with other lines, blanks and CR LF endings: nothing to write.
    EXPECT_FALSE(GitExcludes::withSecretLines("# mine\nbuild/\n" + all).has_value());
    QByteArray crlf = all;
    crlf.replace("\n", "  \r\n");
    EXPECT_FALSE(GitExcludes::withSecretLines(crlf).has_value());
    // A last line without its end gets one before the new lines.
    EXPECT_EQ(*GitExcludes::withSecretLines("build/"), "build/\n" + all);
    // Only what is missing is added; the examples re-included earlier come
    // again after a newly added `.env.*`, since the last matching line wins.
    const QByteArray partial = "!.env.example\n.env\n.nerim/\n";
    const QByteArray added = *GitExcludes::withSecretLines(partial);
    EXPECT_EQ(added.count("\n.env\n"), 1);
    EXPECT_EQ(added.count(".nerim/\n"), 1);
    EXPECT_TRUE(added.endsWith(".env.*\n!.env.example\n!.env.sample\n!.env.template\n")) << added.toStdString();
}

TEST(GitExcludes, GitAddStagesNoSecretAndNoNerimFileAndASecondRunAddsNothing)
{
    if (!hasGit())
        GTEST_SKIP() << "git is not installed";
    const QString folder = projectWithSecrets(QStringLiteral("secrets"));
    EXPECT_FALSE(test::await(GitExcludes::keepSecretsOut(folder)).has_value());
    EXPECT_EQ(staged(folder), (QStringList{QStringLiteral(".env.example"), QStringLiteral(".env.sample"),
                                           QStringLiteral("app.js"), QStringLiteral("web/index.html")}));
    // A second and third run find the lines there and write nothing.
    const QString exclude = folder + QStringLiteral("/.git/info/exclude");
    const QByteArray once = readFile(exclude);
    test::await(GitExcludes::keepSecretsOut(folder));
    test::await(GitExcludes::keepSecretsOut(folder));
    EXPECT_EQ(readFile(exclude), once);
    for (const QString &line : GitExcludes::secretLines())
        EXPECT_EQ(once.count("\n" + line.toUtf8() + "\n") + (once.startsWith(line.toUtf8() + "\n") ? 1 : 0), 1)
            << line.toStdString();

    // A file git tracked before stays tracked: its changes are still staged.
    const QString tracked = projectWithSecrets(QStringLiteral("tracked"));
    runGit(tracked, {QStringLiteral("add"), QStringLiteral("-f"), QStringLiteral(".env")});
    runGit(tracked, {QStringLiteral("commit"), QStringLiteral("-qm"), QStringLiteral("before")});
    writeFile(tracked + QStringLiteral("/.env"), "STRIPE_KEY=changed\n");
    test::await(GitExcludes::keepSecretsOut(tracked));
    EXPECT_TRUE(staged(tracked).contains(QStringLiteral(".env")));
}

// git names the file; it is written only where it lies inside the project.
// A repository the project is a folder of, a worktree's main repository and
// one a planted `commondir` names are left alone, and the agent's pane says
// once that .env is not excluded from git there.
TEST(GitExcludes, TheFileGitNamesIsWrittenOnlyInsideTheProject)
{
    if (!hasGit())
        GTEST_SKIP() << "git is not installed";
    const QString outer = projectWithSecrets(QStringLiteral("outer"));
    const QString inner = outer + QStringLiteral("/web");
    EXPECT_EQ(test::await(GitExcludes::locateExcludeFile(inner)),
              std::optional<QString>(QDir(outer).canonicalPath() + QStringLiteral("/.git/info/exclude")));
    runGit(outer, {QStringLiteral("commit"), QStringLiteral("-q"), QStringLiteral("--allow-empty"), QStringLiteral("-m"),
                   QStringLiteral("first")});
    const QString worktree = makeTempDir(QStringLiteral("worktrees")) + QStringLiteral("/second");
    runGit(outer, {QStringLiteral("worktree"), QStringLiteral("add"), QStringLiteral("-q"), worktree});
    // A `.git` file naming a git folder inside the project whose `commondir`
    // is the other repository's.
    const QString planted = makeTempDir(QStringLiteral("planted"));
    writeFile(planted + QStringLiteral("/gitdir/HEAD"), "ref: refs/heads/main\n");
    writeFile(planted + QStringLiteral("/gitdir/commondir"), (outer + QStringLiteral("/.git\n")).toUtf8());
    writeFile(planted + QStringLiteral("/.git"), "gitdir: gitdir\n");
    writeFile(planted + QStringLiteral("/.env"), "STRIPE_KEY=sk_live_123\n");
    const QString info = outer + QStringLiteral("/.git/info");
    ASSERT_TRUE(QDir(info).removeRecursively());
    for (const QString &folder : {inner, worktree, planted}) {
        const std::optional<QString> notice = test::await(GitExcludes::keepSecretsOut(folder));
        ASSERT_TRUE(notice.has_value()) << folder.toStdString();
        EXPECT_TRUE(notice->startsWith(QStringLiteral("[.env is not excluded from git here: git keeps this project's "
                                                      "exclude file outside the project folder (")));
        EXPECT_FALSE(QFileInfo::exists(info)) << folder.toStdString();
    }

    // A run there still starts; its pane is told once, not at every run.
    claudeStandin::setCommands(QStringLiteral("out done"));
    ClaudeCodeProvider provider(planted, standinOptions());
    for (int run = 0; run < 2; ++run) {
        const AgentSession session = test::await(provider.spawn(AgentRole::code, {}, {}, QStringLiteral("go"),
                                                                ProjectAwareness{}, ModelChoice::sonnet45, {}));
        const QList<AgentOutput> output = test::await(collectAll(test::await(provider.outputStream(session.id))));
        ASSERT_FALSE(output.isEmpty());
        EXPECT_EQ(output.last(), AgentOutput::processExited(0));
        EXPECT_EQ(std::count_if(output.begin(), output.end(),
                                [](const AgentOutput &event) {
                                    return event.kind() == AgentOutput::Kind::statusLine &&
                                           event.text().contains(QStringLiteral(".env is not excluded from git"));
                                }),
                  run == 0 ? 1 : 0);
    }
    EXPECT_FALSE(QFileInfo::exists(info));

    // A folder in no repository: nothing found, nothing made, nothing said.
    const QString plain = makeTempDir(QStringLiteral("plain"));
    writeFile(plain + QStringLiteral("/.git"), "not a repository\n");
    EXPECT_FALSE(test::await(GitExcludes::locateExcludeFile(plain)).has_value());
    EXPECT_FALSE(test::await(GitExcludes::locateExcludeFile(plain + QStringLiteral("/gone"))).has_value());
    EXPECT_FALSE(test::await(GitExcludes::keepSecretsOut(plain)).has_value());
}

TEST(GitExcludes, APlantedLinkIsNeverWrittenThroughAndTheRunStillStarts)
{
    if (!hasGit())
        GTEST_SKIP() << "git is not installed";
    const QString outside = makeTempDir(QStringLiteral("outside"));
    const QString target = outside + QStringLiteral("/bashrc");
    writeFile(target, "export KEEP=1\n");

    // The exclude file is a link to a file of the user's.
    const QString linked = projectWithSecrets(QStringLiteral("linked-file"));
    const QString exclude = linked + QStringLiteral("/.git/info/exclude");
    QFile::remove(exclude);
    ASSERT_TRUE(QFile::link(target, exclude));
    test::await(GitExcludes::keepSecretsOut(linked));
    EXPECT_EQ(readFile(target), "export KEEP=1\n");
    EXPECT_TRUE(QFileInfo(exclude).isSymLink());
    EXPECT_THROW(GitExcludes::addSecretLines(exclude), std::runtime_error);

    // The info folder is a link to a folder of the user's.
    const QString linkedFolder = projectWithSecrets(QStringLiteral("linked-folder"));
    const QString info = linkedFolder + QStringLiteral("/.git/info");
    QDir(info).removeRecursively();
    ASSERT_TRUE(QFile::link(outside, info));
    test::await(GitExcludes::keepSecretsOut(linkedFolder));
    EXPECT_FALSE(QFile::exists(outside + QStringLiteral("/exclude")));

    // A run still starts in such a project, and still stages nothing of Nerim's
    // where the file is missing altogether (its folder is made).
    const QString missing = projectWithSecrets(QStringLiteral("missing"));
    QDir(missing + QStringLiteral("/.git/info")).removeRecursively();
    claudeStandin::setCommands(QStringLiteral("run git add -A\nout done"));
    for (const QString &folder : {linked, missing}) {
        ClaudeCodeProvider provider(folder, standinOptions());
        const AgentSession session = test::await(provider.spawn(AgentRole::deploy, {}, {}, QStringLiteral("deploy"),
                                                                ProjectAwareness{}, ModelChoice::sonnet45, {}));
        const QList<AgentOutput> output = test::await(collectAll(test::await(provider.outputStream(session.id))));
        ASSERT_FALSE(output.isEmpty());
        EXPECT_EQ(output.last(), AgentOutput::processExited(0));
    }
    EXPECT_EQ(readFile(target), "export KEEP=1\n");
    EXPECT_EQ(runGit(missing, {QStringLiteral("diff"), QStringLiteral("--cached"), QStringLiteral("--name-only")})
                  .split(QLatin1Char('\n'), Qt::SkipEmptyParts),
              (QStringList{QStringLiteral(".env.example"), QStringLiteral(".env.sample"), QStringLiteral("app.js"),
                           QStringLiteral("web/index.html")}));
}
