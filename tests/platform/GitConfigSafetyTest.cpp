// A project's own git configuration runs nothing in the processes Nerim
// starts, while the user's own settings keep working.
#include "platform/ChildProcess.h"
#include "platform/guard/GitConfigSafety.h"

#include "PlantedFiles.h"
#include "PlantedRepository.h"
#include "TaggedProcesses.h"
#include "TestEnvironment.h"

#include <QDir>
#include <QProcess>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace nerim::platform;
using namespace nerim::platform::guard;
using namespace nerim::test;

namespace {

std::string keys(const std::vector<GitConfigEntry> &entries)
{
    std::string out;
    for (const GitConfigEntry &entry : entries)
        out += keyOf(entry) + "=" + (entry.value ? *entry.value : std::string("<none>")) + "\n";
    return out;
}

std::map<std::string, std::string> asMap(const std::vector<std::pair<std::string, std::string>> &settings)
{
    std::map<std::string, std::string> out;
    for (const auto &[key, value] : settings)
        out[key] = value;
    return out;
}

Environment testEnvironment()
{
    return Environment{{"HOME", homeDir().toStdString()}, {"GIT_CONFIG_NOSYSTEM", "1"}};
}

// Runs `script` with /bin/sh in `folder` through ChildProcess, as every run Nerim starts.
bool runThroughChildProcess(const QString &folder, const QString &script)
{
    ChildProcess child;
    bool ended = false;
    QObject::connect(&child, &ChildProcess::treeEnded, [&] { ended = true; });
    ChildProcess::Options options;
    options.program = QStringLiteral("/bin/sh");
    options.arguments = {QStringLiteral("-c"), script};
    options.workingDirectory = folder;
    child.start(options);
    return waitFor([&] { return ended; }, 60000);
}

} // namespace

TEST(GitConfigSafety, ReadsConfigurationTheWayGitDoes)
{
    const std::string text = "\xEF\xBB\xBF# comment\r\n"
                             "[core] fsmonitor = /planted/monitor ; trailing comment\n"
                             "[Filter \"My Driver\"]\n"
                             "\tClean = \"quoted ; not a comment\" and  more   words  \n"
                             "\tsmudge = line \\\n continued\n"
                             "[diff.OldStyle]\n"
                             "\ttextconv = a\\tb\\\\c\\\"d\n"
                             "[alias]\n"
                             "\tbare\n"
                             "[this line is broken\n"
                             "\tlost = to the section before?\n"
                             "[sub \"with \\\"escaped\\\" quote\"]\n"
                             "\tx-y = 1\n"
                             "\tbad = \"unterminated\n"
                             "\tbadescape = \\q\n";
    const std::vector<GitConfigEntry> entries = parseGitConfig(text, "/folder");
    EXPECT_EQ(keys(entries), "core.fsmonitor=/planted/monitor\n"
                             "filter.My Driver.clean=quoted ; not a comment and  more   words\n"
                             "filter.My Driver.smudge=line  continued\n"
                             "diff.oldstyle.textconv=a\tb\\c\"d\n"
                             "alias.bare=<none>\n"
                             "alias.lost=to the section before?\n"
                             "sub.with \"escaped\" quote.x-y=1\n")
        << keys(entries);
    EXPECT_EQ(entries.front().folder, "/folder");

    // Nothing makes it read past its input or loop: bytes of every kind.
    std::string noise;
    for (int i = 0; i < 4096; ++i)
        noise.push_back(static_cast<char>((i * 7919) % 256));
    parseGitConfig(noise);
    parseGitConfig("[a \"unterminated");
    parseGitConfig("[a]\nk = \\");
}

TEST(GitConfigSafety, EachProgramNamingKeyOfTheRepositoryIsTakenAwayAndTheUsersOwnValueStands)
{
    const auto repository = parseGitConfig("[core]\n\tfsmonitor = /p/monitor\n\tpager = /p/pager\n\tgitProxy = /p/proxy\n"
                                           "[filter \"lfs\"]\n\tclean = /p/clean\n\tprocess = /p/process\n\trequired\n"
                                           "[diff \"img\"]\n\ttextconv = /p/conv\n\tcommand = /p/diff\n"
                                           "[merge \"m\"]\n\tdriver = /p/merge %A\n"
                                           "[credential \"https://host\"]\n\thelper = /p/helper\n"
                                           "[alias]\n\tst = !/p/alias\n\tco = checkout\n"
                                           "[submodule \"s\"]\n\tupdate = !/p/update\n[submodule \"t\"]\n\tupdate = rebase\n"
                                           "[remote \"origin\"]\n\tuploadpack = /p/upload\n\turl = x\n"
                                           "[gpg \"x509\"]\n\tprogram = /p/gpgsm\n[user]\n\tname = planted\n");
    const auto user = parseGitConfig("[core]\n\tpager = less -R\n"
                                     "[credential]\n\thelper = cache\n[credential \"https://mine\"]\n\thelper = store\n"
                                     "[filter \"lfs\"]\n\tprocess = git-lfs filter-process\n"
                                     "[gpg \"openpgp\"]\n\tprogram = gpg2\n[alias]\n\tco = checkout -q\n");
    const GitSafety safety = gitSafety(repository, user, Environment{{"TERM", "dumb"}, {"EDITOR", "nano"}});
    const auto set = asMap(safety.settings);
    const std::map<std::string, std::string> expected{
        {"core.fsmonitor", "false"},
        {"core.hookspath", "/dev/null"},
        {"core.sshcommand", "ssh"},
        {"core.pager", "less -R"}, // the user's own
        {"core.editor", "nano"}, // what git would use: a dumb terminal skips VISUAL
        {"sequence.editor", "nano"},
        {"core.askpass", ""},
        {"gpg.program", "gpg2"}, // the user set it under its newer name
        {"gpg.openpgp.program", "gpg2"},
        {"gpg.x509.program", "gpgsm"},
        {"gpg.ssh.program", "ssh-keygen"},
        {"protocol.ext.allow", "never"},
        {"filter.lfs.clean", ""},
        {"filter.lfs.process", "git-lfs filter-process"},
        {"filter.lfs.required", "false"},
        {"diff.img.textconv", "cat"},
        {"merge.m.driver", "git merge-file -L ours -L base -L theirs --marker-size=%L %A %O %B"},
        {"alias.st", ""},
        {"alias.co", "checkout -q"},
        {"submodule.s.update", "checkout"},
        {"remote.origin.uploadpack", "git-upload-pack"},
    };
    for (const auto &[key, value] : expected) {
        ASSERT_TRUE(set.count(key)) << key;
        EXPECT_EQ(set.at(key), value) << key;
    }
    EXPECT_TRUE(set.count("diff.img.command"));
    // Left alone: what names no program, and a submodule update that is no command.
    for (const char *key : {"submodule.t.update", "remote.origin.url", "user.name", "credential.https://host.helper"})
        EXPECT_FALSE(set.count(key)) << key;
    // Credential helpers: all forgotten, then the user's come back in order.
    std::vector<std::pair<std::string, std::string>> helpers;
    for (const auto &setting : safety.settings)
        if (setting.first.rfind("credential.", 0) == 0)
            helpers.push_back(setting);
    EXPECT_EQ(helpers, (std::vector<std::pair<std::string, std::string>>{
                           {"credential.helper", ""}, {"credential.helper", "cache"}, {"credential.https://mine.helper", "store"}}));
    // The repository's proxy command only the environment can override.
    EXPECT_EQ(safety.variables, (std::vector<std::pair<std::string, std::string>>{{"GIT_PROXY_COMMAND", ""}}));
}

// The repository is found as git finds it, and what its configuration
// includes is read, however it is laid out; planted files never hang the read.
TEST(GitConfigSafety, FindsTheRepositoryAndEverythingItsConfigurationIncludes)
{
    const QString base = makeTempDir(QStringLiteral("layouts"));
    const auto gitDirAt = [](const QString &path) {
        QDir().mkpath(path + QStringLiteral("/objects"));
        QDir().mkpath(path + QStringLiteral("/refs"));
        writeFile(path + QStringLiteral("/HEAD"), "ref: refs/heads/main\n");
    };
    // A linked worktree: ".git" is a file naming its folder, whose commondir is the main repository.
    const QString main = base + QStringLiteral("/main/.git");
    gitDirAt(main);
    gitDirAt(main + QStringLiteral("/worktrees/wt"));
    writeFile(main + QStringLiteral("/worktrees/wt/commondir"), "../..\n");
    writeFile(base + QStringLiteral("/wt/.git"), ("gitdir: " + main + QStringLiteral("/worktrees/wt\n")).toUtf8());
    writeFile(main + QStringLiteral("/config"),
              "[include]\n\tpath = inc/first\n[includeIf \"onbranch:never\"]\n\tpath = ~/from-home\n"
              "[include]\n\tpath = /dev/zero\n\tpath = loop\n\tpath = fifo\n[filter \"main\"]\n\tclean = x\n");
    writeFile(main + QStringLiteral("/inc/first"), "[diff \"first\"]\n\ttextconv = x\n");
    writeFile(homeDir() + QStringLiteral("/from-home"), "[merge \"home\"]\n\tdriver = x\n");
    writeFile(main + QStringLiteral("/loop"), "[include]\n\tpath = loop\n[alias]\n\tlooped = !x\n");
    ASSERT_EQ(::mkfifo(QFile::encodeName(main + QStringLiteral("/fifo")).constData(), 0600), 0);
    writeFile(main + QStringLiteral("/worktrees/wt/config.worktree"), "[filter \"worktree\"]\n\tsmudge = x\n");
    // A submodule's repository, and its own submodule.
    gitDirAt(main + QStringLiteral("/modules/lib/sub"));
    writeFile(main + QStringLiteral("/modules/lib/sub/config"), "[diff \"submodule\"]\n\tcommand = x\n");
    gitDirAt(main + QStringLiteral("/modules/lib/sub/modules/deeper"));
    writeFile(main + QStringLiteral("/modules/lib/sub/modules/deeper/config"), "[alias]\n\tdeep = !x\n");
    QDir().mkpath(base + QStringLiteral("/wt/src/deep"));

    const Environment environment = testEnvironment();
    const auto repository = findGitRepository((base + QStringLiteral("/wt/src/deep")).toStdString(), environment);
    ASSERT_TRUE(repository);
    EXPECT_EQ(QDir::cleanPath(QString::fromStdString(repository->commonDir)), main);
    const std::string all = keys(repositoryGitConfig(*repository, environment));
    for (const char *key : {"filter.main.clean", "diff.first.textconv", "merge.home.driver", "alias.looped",
                            "filter.worktree.smudge", "diff.submodule.command", "alias.deep"})
        EXPECT_NE(all.find(key), std::string::npos) << key << "\n" << all;

    // GIT_DIR, when the environment sets it, is the repository.
    Environment withGitDir = environment;
    withGitDir["GIT_DIR"] = main.toStdString();
    EXPECT_EQ(findGitRepository("/", withGitDir)->gitDir, main.toStdString());
    // A folder in no repository of its own finds none below the temporary root.
    const auto none = findGitRepository(makeTempDir(QStringLiteral("none")).toStdString(), environment);
    EXPECT_FALSE(none && QString::fromStdString(none->gitDir).startsWith(tempRoot()));
}

// The user's own files are read as git reads them: an includeIf applies only
// where its condition holds for the repository at hand.
TEST(GitConfigSafety, TheUsersIncludesFollowTheirConditions)
{
    EXPECT_TRUE(gitWildcardMatch("**/work/**", "/home/me/work/a/.git", false));
    EXPECT_TRUE(gitWildcardMatch("/home/*/work/**", "/home/me/work/a/.git", false));
    EXPECT_FALSE(gitWildcardMatch("/home/*/a/.git", "/home/me/work/a/.git", false));
    EXPECT_TRUE(gitWildcardMatch("/HOME/ME/**", "/home/me/x", true));
    EXPECT_TRUE(gitWildcardMatch("feature/[a-c]?", "feature/b1", false));
    EXPECT_FALSE(gitWildcardMatch("feature/[!a-c]?", "feature/b1", false));

    const QString work = makeTempDir(QStringLiteral("work"));
    ASSERT_TRUE(PlantedRepository::git(work, {QStringLiteral("init"), QStringLiteral("-q"), QStringLiteral("-b"),
                                               QStringLiteral("topic")}));
    writeFile(homeDir() + QStringLiteral("/.gitconfig"),
              QStringLiteral("[includeIf \"gitdir:%1/\"]\n\tpath = work.inc\n"
                             "[includeIf \"gitdir:/elsewhere/\"]\n\tpath = other.inc\n"
                             "[includeIf \"onbranch:top*\"]\n\tpath = branch.inc\n")
                  .arg(work)
                  .toUtf8());
    writeFile(homeDir() + QStringLiteral("/work.inc"), "[credential]\n\thelper = work-helper\n");
    writeFile(homeDir() + QStringLiteral("/other.inc"), "[credential]\n\thelper = other-helper\n");
    writeFile(homeDir() + QStringLiteral("/branch.inc"), "[core]\n\tpager = branch-pager\n");
    const Environment environment = testEnvironment();
    const auto entries = userGitConfig(environment, findGitRepository(work.toStdString(), environment));
    const std::string all = keys(entries);
    EXPECT_NE(all.find("credential.helper=work-helper"), std::string::npos) << all;
    EXPECT_NE(all.find("core.pager=branch-pager"), std::string::npos) << all;
    EXPECT_EQ(all.find("other-helper"), std::string::npos) << all;
}

// Settings already in the environment stay first and unchanged, and count as
// the user's own.
TEST(GitConfigSafety, SettingsAlreadyInTheEnvironmentAreKept)
{
    Environment environment = testEnvironment();
    environment["GIT_CONFIG_COUNT"] = "1";
    environment["GIT_CONFIG_KEY_0"] = "core.pager";
    environment["GIT_CONFIG_VALUE_0"] = "most";
    const auto variables = asMap(gitSafetyEnvironment(makeTempDir().toStdString(), environment));
    EXPECT_EQ(variables.count("GIT_CONFIG_KEY_0"), 0u); // left as it is
    const int count = std::stoi(variables.at("GIT_CONFIG_COUNT"));
    EXPECT_GT(count, 10);
    bool pager = false;
    for (int i = 1; i < count; ++i) {
        if (variables.at("GIT_CONFIG_KEY_" + std::to_string(i)) == "core.pager") {
            EXPECT_EQ(variables.at("GIT_CONFIG_VALUE_" + std::to_string(i)), "most");
            pager = true;
        }
    }
    EXPECT_TRUE(pager);
}

// The whole road with the real git: a planted repository's programs run when
// git is used plainly, and none runs in a process Nerim starts, while the
// user's own credential helper still answers.
TEST(GitConfigSafety, NothingARepositoryPlantedRunsInAChildProcess)
{
    const PlantedRepository planted = PlantedRepository::create();
    if (planted.folder.isEmpty())
        GTEST_SKIP() << "git is not installed";

    ASSERT_TRUE(runThroughChildProcess(planted.folder, planted.routineCommands()));
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
