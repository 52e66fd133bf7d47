// Through the guard and nerim-git, with the real git: nothing a project's
// own configuration plants runs in a process Nerim starts, a refusal is one
// line and runs nothing, and git by its full path is nerim-git too.
#include "platform/guard/GitSettings.h"
#include "platform/guard/ProcessTree.h"

#include "GitTestSupport.h"

#include <QDir>
#include <algorithm>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace nerim::platform;
using namespace nerim::platform::guard;
using namespace nerim::test;

// The whole road with the real git: a planted repository's programs run when
// git is used plainly, and none runs in a process Nerim starts, while the
// user's own credential helper still answers.
TEST(GitShim, NothingARepositoryPlantedRunsInAChildProcess)
{
    const PlantedRepository planted = PlantedRepository::create();
    if (planted.folder.isEmpty())
        GTEST_SKIP() << "git is not installed";

    ASSERT_TRUE(runThroughChildProcess(planted.folder, planted.routineCommands()).ended);
    EXPECT_TRUE(planted.marksLeft().isEmpty()) << planted.marksLeft().join(' ').toStdString();
    EXPECT_TRUE(planted.ownHelperAnswer().contains("password=from-your-own-helper")) << planted.ownHelperAnswer().toStdString();
    EXPECT_EQ(planted.lastCommit(), "work");
    // The content went in unfiltered.
    EXPECT_TRUE(PlantedRepository::git(planted.folder, {QStringLiteral("cat-file"), QStringLiteral("-e"),
                                                        QStringLiteral("HEAD:a.txt")}));

    // Used plainly, the same commands run what was planted: the plants are real.
    const PlantedRepository again = PlantedRepository::create(QStringLiteral("plain"));
    QProcess plain;
    plain.setWorkingDirectory(again.folder);
    plain.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), again.routineCommands()});
    plain.closeWriteChannel();
    ASSERT_TRUE(plain.waitForFinished(60000));
    const QStringList ran = again.marksLeft();
    for (const char *mark : {"fsmonitor", "clean", "smudge", "textconv", "included", "hook", "alias", "credential"})
        EXPECT_TRUE(ran.contains(QLatin1String(mark))) << mark << ": " << ran.join(' ').toStdString();
}

// A refusal is one line on standard error, and git does not run.
TEST(GitShim, ARefusalPrintsOneLineAndRunsNothing)
{
    struct Refused {
        const char *name;
        QByteArray config;
        const char *expected;
    };
    QByteArray manyFilters;
    for (size_t i = 0; i <= maxOverrides; ++i)
        manyFilters += "[filter \"f" + QByteArray::number(qulonglong(i)) + "\"]\n\tclean = /p\n";
    const std::vector<Refused> cases{
        {"a line git cannot read", "[core\n", "could not be read whole"},
        {"an include that is a named pipe", "[include]\n\tpath = fifo\n", "took too long"},
        {"more settings than the budget", manyFilters, "more program-running settings"},
    };
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(queryTimeoutVariable), QStringLiteral("300"));
    for (const Refused &refused : cases) {
        SCOPED_TRACE(refused.name);
        const QString repository = newRepository(QStringLiteral("refused"));
        ASSERT_EQ(::mkfifo(QFile::encodeName(repository + QStringLiteral("/.git/fifo")).constData(), 0600), 0);
        const QByteArray original = readFile(repository + QStringLiteral("/.git/config"));
        appendConfig(repository, refused.config);
        const Outcome outcome =
            runThroughChildProcess(repository, QStringLiteral("git commit -q --allow-empty -m refused"), false, environment);
        ASSERT_TRUE(outcome.ended);
        EXPECT_EQ(outcome.exitCode, 128);
        ASSERT_EQ(outcome.errorLines.size(), 1) << outcome.errorLines.join('\n').toStdString();
        EXPECT_TRUE(outcome.errorLines.front().startsWith(QLatin1String(refusalPrefix)));
        EXPECT_TRUE(outcome.errorLines.front().contains(QLatin1String(refused.expected)))
            << outcome.errorLines.front().toStdString();
        writeFile(repository + QStringLiteral("/.git/config"), original);
        EXPECT_EQ(gitOutput(repository, {QStringLiteral("rev-list"), QStringLiteral("--count"), QStringLiteral("HEAD")}),
                  QStringLiteral("1"));
    }
}

// A project whose configuration holds 60,000 aliases (about 700 KB): every
// program still starts, and git runs, with an environment of a few settings.
TEST(GitShim, AProjectWithSixtyThousandAliasesStillRuns)
{
    const QString repository = newRepository(QStringLiteral("aliases"));
    QByteArray aliases = "[alias]\n";
    for (int i = 0; i < 60000; ++i)
        aliases += "\ta" + QByteArray::number(i) + " = !echo planted-" + QByteArray::number(i) + "\n";
    appendConfig(repository, aliases);
    ASSERT_GT(QFileInfo(repository + QStringLiteral("/.git/config")).size(), 700000);
    const Outcome outcome = runThroughChildProcess(
        repository, QStringLiteral("git status --short >&2 && env | grep -c '^GIT_CONFIG_KEY_' >&2; git a59999"));
    ASSERT_TRUE(outcome.ended);
    ASSERT_GE(outcome.errorLines.size(), 1);
    // The guard's fixed settings only: far from one per alias.
    EXPECT_LT(outcome.errorLines.first().toInt(), 40) << outcome.errorLines.join('\n').toStdString();
    EXPECT_NE(outcome.exitCode, 0); // the alias was emptied, so git refused it
    EXPECT_FALSE(outcome.errorLines.join('\n').contains(QLatin1String("planted-")));
}
// A login shell sets PATH anew, and some programs run git by its full path:
// in a tree with a mount namespace of its own the real git's file is
// nerim-git too.
TEST(GitShim, GitByItsFullPathInATreeWithItsOwnNamespace)
{
    const PlantedRepository planted = PlantedRepository::create();
    if (planted.folder.isEmpty())
        GTEST_SKIP() << "git is not installed";
    const QString realGit = QFileInfo(QStandardPaths::findExecutable(QStringLiteral("git"))).canonicalFilePath();
    ChildProcess child;
    bool ended = false;
    QString namespaces;
    QObject::connect(&child, &ChildProcess::treeEnded, [&] { ended = true; });
    QObject::connect(&child, &ChildProcess::outputLine, [&](const QString &line, bool standardError) {
        if (!standardError && namespaces.isEmpty())
            namespaces = line;
    });
    ChildProcess::Options options;
    options.program = QStringLiteral("/bin/sh");
    options.arguments = {QStringLiteral("-c"),
                         QStringLiteral("cat /proc/1/comm; PATH=%1:/usr/bin:/bin; %2")
                             .arg(QFileInfo(realGit).path(), planted.routineCommands())};
    options.workingDirectory = planted.folder;
    options.pidNamespace = true;
    child.start(options);
    ASSERT_TRUE(waitFor([&] { return ended; }, 120000));
    // The namespace's own process 1 is the guard's init.
    if (!namespaces.startsWith(QLatin1String("nerim-guard-ini"))) // comm keeps 15 characters
        GTEST_SKIP() << "the kernel gives this user no namespace: " << namespaces.toStdString();
    EXPECT_TRUE(planted.marksLeft().isEmpty()) << planted.marksLeft().join(' ').toStdString();
    EXPECT_EQ(planted.lastCommit(), "work");
    EXPECT_TRUE(planted.ownHelperAnswer().contains("password=from-your-own-helper")) << planted.ownHelperAnswer().toStdString();
}

// The guard's private git folder goes with the guard; one that a guard
// killed outright left behind is removed by the next guard, and only that.
TEST(GitShim, TheGuardsGitFolderIsRemovedAndOnesLeftByKilledGuardsToo)
{
    if (QStandardPaths::findExecutable(QStringLiteral("git")).isEmpty())
        GTEST_SKIP() << "git is not installed";
    // The guard's folders are in the user's private runtime folder.
    const QString runtime = makeTempDir(QStringLiteral("runtime"));
    ::chmod(QFile::encodeName(runtime).constData(), 0700);
    const QString tmp = runtime + QStringLiteral("/nerim");
    ASSERT_TRUE(QDir().mkpath(tmp));
    ::chmod(QFile::encodeName(tmp).constData(), 0700);
    char link[128] = {};
    ASSERT_GT(::readlink("/proc/self/ns/pid", link, sizeof link - 1), 0);
    const auto self = nerim::platform::guard::ProcProcessTable().read(::getpid());
    ASSERT_TRUE(self);
    const auto folder = [&](const char *name, const QByteArray &owner) {
        writeFile(tmp + QLatin1Char('/') + QLatin1String(name) + QStringLiteral("/owner"), owner);
        writeFile(tmp + QLatin1Char('/') + QLatin1String(name) + QStringLiteral("/bin/keep"), "x");
    };
    folder("nerim-git-abandoned", "999999999 12 " + QByteArray(link) + "\n");
    folder("nerim-git-reused-id", QByteArray::number(::getpid()) + " " + QByteArray::number(self->startTime + 1) + " " +
                                      QByteArray(link) + "\n");
    folder("nerim-git-live", QByteArray::number(::getpid()) + " " + QByteArray::number(self->startTime) + " " +
                                 QByteArray(link) + "\n");
    folder("nerim-git-elsewhere", "999999999 12 pid:[1]\n");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    const Outcome outcome = runThroughChildProcess(
        tmp, QStringLiteral("ls -d \"$XDG_RUNTIME_DIR\"/nerim/nerim-git-* | wc -l >&2"), false, environment);
    ASSERT_TRUE(outcome.ended);
    EXPECT_EQ(outcome.errorLines, QStringList{QStringLiteral("3")}); // its own, the live one, the other namespace's
    QStringList left = QDir(tmp).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    left.sort();
    EXPECT_EQ(left, (QStringList{QStringLiteral("nerim-git-elsewhere"), QStringLiteral("nerim-git-live")}));
}

// A configuration swapped in by rename while git runs, between nerim-git's
// question and git's own reading: the monitor, hooks folder, pager and alias
// it names are set aside all the same, since they are set on every command.
TEST(GitShim, AConfigurationSwappedInAfterTheQuestionRunsNothing)
{
    const QString repository = newRepository(QStringLiteral("swapped"));
    const QString marks = makeTempDir(QStringLiteral("swapped-marks"));
    const QString plant = marks + QStringLiteral("/../swapped-plant");
    writeFile(plant, QStringLiteral("#!/bin/sh\ntouch '%1/ran'\nexec cat \"$@\"\n").arg(marks).toUtf8());
    QFile::setPermissions(plant, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QDir().mkpath(marks + QStringLiteral("/../swapped-hooks"));
    QFile::copy(plant, marks + QStringLiteral("/../swapped-hooks/pre-commit"));
    const QByteArray benign = readFile(repository + QStringLiteral("/.git/config"));
    writeFile(repository + QStringLiteral("/benign"), benign);
    writeFile(repository + QStringLiteral("/hostile"),
              benign + "[core]\n\tfsmonitor = " + plant.toUtf8() + "\n\thooksPath = " + marks.toUtf8() +
                  "/../swapped-hooks\n[alias]\n\tst = !" + plant.toUtf8() + "\n");
    writeFile(repository + QStringLiteral("/.git/info/exclude"), "benign\nhostile\n");
    const QString script = QStringLiteral(
        "(while :; do cp hostile .git/c1; mv .git/c1 .git/config; cp benign .git/c2; mv .git/c2 .git/config; done) & "
        "swapper=$!; i=0; while [ $i -lt %1 ]; do git status </dev/null >/dev/null 2>&1; git st </dev/null >/dev/null 2>&1; "
        "git commit -q --allow-empty -m swapped </dev/null >/dev/null 2>&1; i=$((i+1)); done; kill $swapper; wait; "
        "cp benign .git/config");

    // Plainly, git reads the hostile one often enough.
    QProcess plain;
    plain.setWorkingDirectory(repository);
    plain.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script.arg(20)});
    ASSERT_TRUE(plain.waitForFinished(120000));
    ASSERT_TRUE(QFile::exists(marks + QStringLiteral("/ran"))) << "the swap never took: the test tests nothing";
    QFile::remove(marks + QStringLiteral("/ran"));

    const Outcome outcome = runThroughChildProcess(repository, script.arg(60));
    ASSERT_TRUE(outcome.ended);
    EXPECT_FALSE(QFile::exists(marks + QStringLiteral("/ran")));
    EXPECT_GT(gitOutput(repository, {QStringLiteral("rev-list"), QStringLiteral("--count"), QStringLiteral("HEAD")}).toInt(),
              60);
}
