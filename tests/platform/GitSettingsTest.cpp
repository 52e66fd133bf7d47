// A project's own git configuration runs nothing and chooses no host in the
// processes Nerim starts, while the user's own settings keep working; what
// git will read is asked of git itself, and what cannot be known or
// overridden is refused.
#include "platform/guard/AskGit.h"
#include "platform/guard/GitSettings.h"

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

namespace {

std::map<std::string, std::string> asMap(const std::vector<Setting> &settings)
{
    std::map<std::string, std::string> out;
    for (const auto &[key, value] : settings)
        out[key] = value;
    return out;
}

Environment testEnvironment()
{
    return environmentFrom(environ);
}

// The overrides git's answer calls for when `arguments` run in `folder`.
GitOverrides ask(const QString &folder, const std::vector<std::string> &arguments,
                 Environment environment = testEnvironment())
{
    environment.erase("GIT_DIR");
    GitInvocation invocation = parseInvocation("git", arguments);
    invocation.queryOptions.insert(invocation.queryOptions.begin(), {"-C", folder.toStdString()});
    return askGit(QStandardPaths::findExecutable(QStringLiteral("git")).toStdString(), invocation, environment);
}

} // namespace

// git's own reading of a configuration file decides; a file git refuses makes
// the command refused, and the answer is read whole or not at all.
TEST(GitSettings, ReadsConfigurationTheWayGitDoes)
{
    const QString repository = newRepository(QStringLiteral("reads"));
    appendConfig(repository, "[include]\n\tpath = weird.inc\n");
    writeFile(repository + QStringLiteral("/.git/weird.inc"), "\xEF\xBB\xBF# comment\r\n"
                             "[core] fsmonitor = /planted/monitor ; trailing comment\n"
                             "[Filter \"My Driver\"]\n"
                             "\tClean = \"quoted ; not a comment\" and  more   words  \n"
                             "\tsmudge = line \\\n continued\n"
                             "[diff.OldStyle]\n"
                             "\ttextconv = a\\tb\\\\c\\\"d\n"
                             "[filter.evil \"x\"]\n\tclean = /planted/x\n"
                             "[sub \"with \\\"escaped\\\" quote\"]\n"
                             "\tx-y = 1\n");
    const GitOverrides overrides = ask(repository, {"status"});
    ASSERT_FALSE(overrides.refusal) << *overrides.refusal;
    const auto set = asMap(overrides.settings);
    for (const auto &[key, value] : std::map<std::string, std::string>{{"core.fsmonitor", "false"},
                                                                       {"filter.My Driver.clean", ""},
                                                                       {"filter.My Driver.smudge", ""},
                                                                       {"diff.oldstyle.textconv", "cat"},
                                                                       {"filter.evil.x.clean", ""},
                                                                       {"core.hookspath", "/dev/null"}}) {
        ASSERT_TRUE(set.count(key)) << key;
        EXPECT_EQ(set.at(key), value) << key;
    }
    EXPECT_FALSE(set.count("sub.with \"escaped\" quote.x-y"));

    // A line git refuses: git reads nothing, so nothing runs.
    appendConfig(repository, "[this line is broken\n\tlost = x\n");
    const GitOverrides broken = ask(repository, {"status"});
    ASSERT_TRUE(broken.refusal);
    EXPECT_NE(broken.refusal->find("could not be read whole"), std::string::npos) << *broken.refusal;

    // The listing itself: values with line breaks, keys without a value; a cut answer is none.
    const char text[] = "local\0alias.x\n!a\nb\0command\0core.bare\0";
    const std::string listing(text, sizeof text - 1);
    const auto items = parseConfigListing(listing);
    ASSERT_TRUE(items);
    ASSERT_EQ(items->size(), 2u);
    EXPECT_EQ((*items)[0].value, std::optional<std::string>("!a\nb"));
    EXPECT_FALSE((*items)[1].value);
    for (size_t cut = 1; cut < listing.size(); ++cut)
        EXPECT_FALSE(parseConfigListing(listing.substr(0, cut)) &&
                     parseConfigListing(listing.substr(0, cut))->size() == 2)
            << cut;
    EXPECT_FALSE(parseConfigListing(std::string("local\0nodot\0", 12)));
}

TEST(GitSettings, EachProgramNamingKeyOfTheRepositoryIsTakenAwayAndTheUsersOwnValueStands)
{
    const std::vector<GitConfigItem> items{
        {"global", "core.pager", "less -R"},
        {"global", "credential.helper", "cache"},
        {"global", "credential.https://mine.helper", "store"},
        {"global", "filter.lfs.process", "git-lfs filter-process"},
        {"global", "gpg.openpgp.program", "gpg2"},
        {"global", "alias.co", "checkout -q"},
        {"local", "core.fsmonitor", "/p/monitor"},
        {"local", "core.pager", "/p/pager"},
        {"local", "core.gitproxy", "/p/proxy"},
        {"local", "filter.lfs.clean", "/p/clean"},
        {"local", "filter.lfs.process", "/p/process"},
        {"local", "filter.lfs.required", std::nullopt},
        {"local", "diff.img.textconv", "/p/conv"},
        {"local", "diff.img.command", "/p/diff"},
        {"local", "merge.m.driver", "/p/merge %A"},
        {"local", "credential.https://host.helper", "/p/helper"},
        {"local", "alias.st", "!/p/alias"},
        {"local", "alias.co", "checkout"},
        {"local", "alias.unused", "!/p/unused"},
        {"local", "submodule.s.update", "!/p/update"},
        {"local", "submodule.t.update", "rebase"},
        {"local", "remote.origin.url", "x"},
        {"local", "gpg.openpgp.program", "/p/gpg"},
        {"local", "gpg.x509.program", "/p/gpgsm"},
        {"local", "tar.tgz.command", "/p/tar"},
        {"local", "tar.custom.command", "/p/tar"},
        {"local", "trailer.sign.cmd", "/p/trailer"},
        {"local", "http.proxy", "http://elsewhere"},
        {"local", "http.sslverify", "false"},
        {"local", "help.autocorrect", "immediate"},
        {"local", "pager.co", "/p/pager"},
        {"local", "pager.log", "/p/pager"},
        {"worktree", "user.name", "planted"},
    };
    const GitOverrides overrides =
        gitOverrides(items, parseInvocation("git", {"co", "main"}), Environment{{"TERM", "dumb"}, {"EDITOR", "nano"}});
    ASSERT_FALSE(overrides.refusal);
    const auto set = asMap(overrides.settings);
    const std::map<std::string, std::string> expected{
        {"core.fsmonitor", "false"},
        {"core.hookspath", "/dev/null"},
        {"core.pager", "less -R"}, // the user's own
        {"protocol.ext.allow", "never"},
        {"gpg.openpgp.program", "gpg2"},
        {"gpg.x509.program", "gpgsm"},
        {"filter.lfs.clean", ""},
        {"filter.lfs.process", "git-lfs filter-process"},
        {"filter.lfs.required", "false"},
        {"diff.img.textconv", "cat"},
        {"merge.m.driver", "git merge-file -L ours -L base -L theirs --marker-size=%L %A %O %B"},
        {"alias.co", "checkout -q"},
        {"submodule.s.update", "checkout"},
        {"tar.tgz.command", "gzip -cn"},
        {"tar.custom.command", "cat"},
        {"trailer.sign.cmd", "true"},
        {"http.proxy", ""},
        {"http.sslverify", "true"},
        {"help.autocorrect", "never"},
        {"pager.co", "false"},
        {"pager.log", "false"}, // every pager of the repository's, not only the command's
    };
    for (const auto &[key, value] : expected) {
        ASSERT_TRUE(set.count(key)) << key;
        EXPECT_EQ(set.at(key), value) << key;
    }
    EXPECT_TRUE(set.count("diff.img.command"));
    // Left alone: what names no program, a submodule update that is no
    // command, and the aliases of commands not run.
    for (const char *key : {"submodule.t.update", "remote.origin.url", "user.name", "credential.https://host.helper",
                            "alias.st", "alias.unused"})
        EXPECT_FALSE(set.count(key)) << key;
    // Credential helpers: all forgotten, then the user's come back in order.
    std::vector<Setting> helpers;
    for (const auto &setting : overrides.settings)
        if (setting.first.rfind("credential.", 0) == 0)
            helpers.push_back(setting);
    EXPECT_EQ(helpers, (std::vector<Setting>{
                           {"credential.helper", ""}, {"credential.helper", "cache"}, {"credential.https://mine.helper", "store"}}));
    // The repository's proxy command only the environment can override.
    EXPECT_EQ(overrides.variables, (std::vector<Setting>{{"GIT_PROXY_COMMAND", ""}}));
    EXPECT_EQ(overrides.finalCommand, "checkout");

    // A repository alias the command names is emptied (git refuses it), and so is each one it leads through.
    const GitOverrides chain = gitOverrides({{"global", "alias.mine", "-c x.y=z st"}, {"local", "alias.st", "!/p"}},
                                            parseInvocation("git", {"-C", "x", "mine"}), {});
    EXPECT_EQ(asMap(chain.settings).at("alias.st"), "");

    // With the user's own autocorrection, a mistyped command could become any
    // of the repository's aliases: all are emptied, or past the budget
    // corrections are only suggested.
    std::vector<GitConfigItem> correcting{{"global", "help.autocorrect", "immediate"}, {"local", "alias.statsu", "!/p"}};
    EXPECT_EQ(asMap(gitOverrides(correcting, parseInvocation("git", {"stats"}), {}).settings).at("alias.statsu"), "");
    for (size_t i = 0; i < maxOverrides; ++i)
        correcting.push_back({"local", "alias.a" + std::to_string(i), "!/p"});
    const GitOverrides suggesting = gitOverrides(correcting, parseInvocation("git", {"stats"}), {});
    EXPECT_FALSE(suggesting.refusal);
    EXPECT_EQ(asMap(suggesting.settings).at("help.autocorrect"), "0");
    EXPECT_FALSE(asMap(suggesting.settings).count("alias.a1"));
}

// Keys git takes the first value of, or the longest match of, cannot be
// overridden: a command that may reach a remote is refused, others run.
TEST(GitSettings, WhatCannotBeOverriddenRefusesCommandsThatReachARemote)
{
    const std::vector<std::vector<GitConfigItem>> unoverridable{
        {{"local", "remote.origin.receivepack", "/p/rp"}},
        {{"local", "remote.origin.uploadpack", "/p/up"}},
        {{"local", "remote.origin.vcs", "evil"}},
        {{"local", "url.http://elsewhere/.insteadof", "https://github.com/"}},
        {{"local", "url.http://elsewhere/.pushinsteadof", "https://github.com/"}},
        {{"local", "http.https://github.com.proxy", "http://elsewhere"}},
        {{"local", "http.https://github.com.sslverify", "false"}},
        {{"local", "http.sslcainfo", "/p/ca"}},
        {{"local", "http.curloptresolve", "github.com:443:127.0.0.1"}},
        {{"local", "bundle.version", "1"}},
    };
    for (const auto &items : unoverridable) {
        SCOPED_TRACE(items.front().key);
        for (const auto &words : std::vector<std::vector<std::string>>{
                 {"push", "origin", "main"}, {"fetch"}, {"-C", "x", "ls-remote"}, {"archive", "--remote=x", "HEAD"},
                 {"lfs", "pull"}})
            EXPECT_TRUE(gitOverrides(items, parseInvocation("git", words), {}).refusal) << words.front();
        // An alias of the user's that ends in a push counts as the push.
        std::vector<GitConfigItem> withAlias = items;
        withAlias.push_back({"global", "alias.p", "push -u"});
        EXPECT_TRUE(gitOverrides(withAlias, parseInvocation("git", {"p"}), {}).refusal);
        for (const auto &words : std::vector<std::vector<std::string>>{{"status"}, {"commit", "-m", "x"}, {"archive", "HEAD"}})
            EXPECT_FALSE(gitOverrides(items, parseInvocation("git", words), {}).refusal) << words.front();
    }
    // The user's own value overrides one of these where the last value wins.
    const GitOverrides own = gitOverrides({{"global", "http.sslcainfo", "/etc/mine"}, {"local", "http.sslcainfo", "/p"}},
                                          parseInvocation("git", {"fetch"}), {});
    EXPECT_FALSE(own.refusal);
    EXPECT_EQ(asMap(own.settings).at("http.sslcainfo"), "/etc/mine");

    // Over the budget: refused, whatever the command.
    std::vector<GitConfigItem> many;
    for (size_t i = 0; i <= maxOverrides; ++i)
        many.push_back({"local", "filter.f" + std::to_string(i) + ".clean", "/p"});
    const GitOverrides tooMany = gitOverrides(many, parseInvocation("git", {"status"}), {});
    ASSERT_TRUE(tooMany.refusal);
}

TEST(GitSettings, GlobalOptionsArePassedOnAndDashedPackProgramsFound)
{
    const GitInvocation invocation = parseInvocation(
        "/x/git", {"-C", "a b", "--no-pager", "-c", "k.v=1", "--git-dir=g", "--work-tree", "w", "--bare",
                   "--exec-path=/e", "-p", "commit", "-C", "HEAD"});
    EXPECT_EQ(invocation.queryOptions,
              (std::vector<std::string>{"-C", "a b", "-c", "k.v=1", "--git-dir=g", "--work-tree", "w", "--bare"}));
    EXPECT_EQ(invocation.command, "commit");
    EXPECT_EQ(invocation.arguments, (std::vector<std::string>{"-C", "HEAD"}));
    EXPECT_FALSE(invocation.packProgram);
    const GitInvocation pack = parseInvocation("/tmp/x/exec/git-receive-pack", {"'/r'"});
    EXPECT_TRUE(pack.packProgram);
    EXPECT_EQ(pack.command, "receive-pack");
    EXPECT_TRUE(parseInvocation("git", {"upload-pack", "--strict", "/r"}).packProgram);
    EXPECT_EQ(parseInvocation("git", {"--version"}).command, "--version"); // git's "version"
    EXPECT_FALSE(parseInvocation("git", {"--version"}).unknownOption);
}

// The repository is the one git finds, with what its configuration includes
// as git resolves it; a file git would wait on refuses the command.
TEST(GitSettings, FindsTheRepositoryAndEverythingItsConfigurationIncludes)
{
    const QString base = makeTempDir(QStringLiteral("layouts"));
    const QString main = newRepository(QStringLiteral("main"));
    ASSERT_TRUE(PlantedRepository::git(main, {QStringLiteral("worktree"), QStringLiteral("add"), QStringLiteral("-q"),
                                              base + QStringLiteral("/wt")}));
    appendConfig(main, "[include]\n\tpath = inc/first\n[includeIf \"onbranch:never\"]\n\tpath = ~/from-home\n"
                       "[include]\n\tpath = loop\n[filter \"main\"]\n\tclean = x\n");
    writeFile(main + QStringLiteral("/.git/inc/first"), "[diff \"first\"]\n\ttextconv = x\n");
    writeFile(homeDir() + QStringLiteral("/from-home"), "[merge \"home\"]\n\tdriver = x\n");
    writeFile(main + QStringLiteral("/.git/loop"), "[alias]\n\tlooped = !x\n");
    QDir().mkpath(base + QStringLiteral("/wt/src/deep"));

    const GitOverrides overrides = ask(base + QStringLiteral("/wt/src/deep"), {"looped"});
    ASSERT_FALSE(overrides.refusal) << *overrides.refusal;
    const auto set = asMap(overrides.settings);
    for (const char *key : {"filter.main.clean", "diff.first.textconv", "alias.looped"})
        EXPECT_TRUE(set.count(key)) << key;
    EXPECT_FALSE(set.count("merge.home.driver")); // git does not read it: its condition does not hold

    // An include that is a named pipe: git would wait on it for ever.
    ASSERT_EQ(::mkfifo(QFile::encodeName(main + QStringLiteral("/.git/fifo")).constData(), 0600), 0);
    appendConfig(main, "[include]\n\tpath = fifo\n");
    Environment environment = testEnvironment();
    environment[queryTimeoutVariable] = "300";
    const GitOverrides waiting = ask(base + QStringLiteral("/wt"), {"status"}, environment);
    ASSERT_TRUE(waiting.refusal);
    EXPECT_NE(waiting.refusal->find("too long"), std::string::npos) << *waiting.refusal;
}

// The user's own files are read as git reads them: an includeIf applies only
// where its condition holds for the repository at hand.
TEST(GitSettings, TheUsersIncludesFollowTheirConditions)
{
    const QString work = newRepository(QStringLiteral("work"));
    ASSERT_TRUE(PlantedRepository::git(work, {QStringLiteral("checkout"), QStringLiteral("-q"), QStringLiteral("-b"),
                                              QStringLiteral("topic")}));
    appendConfig(work, "[credential]\n\thelper = /p/helper\n[core]\n\tpager = /p/pager\n");
    writeFile(homeDir() + QStringLiteral("/.gitconfig"),
              QStringLiteral("[includeIf \"gitdir:%1/\"]\n\tpath = work.inc\n"
                             "[includeIf \"gitdir:/elsewhere/\"]\n\tpath = other.inc\n"
                             "[includeIf \"onbranch:top*\"]\n\tpath = branch.inc\n")
                  .arg(work)
                  .toUtf8());
    writeFile(homeDir() + QStringLiteral("/work.inc"), "[credential]\n\thelper = work-helper\n");
    writeFile(homeDir() + QStringLiteral("/other.inc"), "[credential]\n\thelper = other-helper\n");
    writeFile(homeDir() + QStringLiteral("/branch.inc"), "[core]\n\tpager = branch-pager\n");
    Environment environment = testEnvironment();
    environment["GIT_CONFIG_NOSYSTEM"] = "1";
    const GitOverrides overrides = ask(work, {"log"}, environment);
    ASSERT_FALSE(overrides.refusal) << *overrides.refusal;
    const auto set = asMap(overrides.settings);
    EXPECT_EQ(set.at("core.pager"), "branch-pager");
    std::vector<Setting> helpers;
    for (const auto &setting : overrides.settings)
        if (setting.first == "credential.helper")
            helpers.push_back(setting);
    EXPECT_EQ(helpers, (std::vector<Setting>{{"credential.helper", ""}, {"credential.helper", "work-helper"}}));
}

// Settings already in the environment stay first and unchanged, and count as
// the user's own; those a guard or shim above added do not.
TEST(GitSettings, SettingsAlreadyInTheEnvironmentAreKept)
{
    const QString repository = newRepository(QStringLiteral("kept"));
    appendConfig(repository, "[core]\n\tpager = /p/pager\n\teditor = /p/editor\n");
    Environment environment = testEnvironment();
    environment["GIT_CONFIG_COUNT"] = "1";
    environment["GIT_CONFIG_KEY_0"] = "core.pager";
    environment["GIT_CONFIG_VALUE_0"] = "most";
    environment["EDITOR"] = "nano";
    environment["TERM"] = "dumb";
    const GitOverrides overrides = ask(repository, {"log"}, environment);
    ASSERT_FALSE(overrides.refusal);
    const auto set = asMap(overrides.settings);
    EXPECT_EQ(set.at("core.pager"), "most"); // the user's own, set again after the repository's
    EXPECT_EQ(set.at("core.editor"), "nano");
    const Environment run = environmentWith(environment, *usersCommandSettings(environment), overrides.settings);
    EXPECT_EQ(run.at("GIT_CONFIG_KEY_0"), "core.pager");
    EXPECT_EQ(run.at("GIT_CONFIG_VALUE_0"), "most");
    EXPECT_EQ(std::stoul(run.at("GIT_CONFIG_COUNT")), 1 + overrides.settings.size());

    // The next shim down finds only the user's entry as the user's own...
    EXPECT_EQ(*usersCommandSettings(run), (std::vector<Setting>{{"core.pager", "most"}}));
    // ...unless what was marked has changed since (then nothing is taken for the shim's).
    Environment changed = run;
    changed["GIT_CONFIG_VALUE_1"] = "changed";
    EXPECT_EQ(usersCommandSettings(changed)->size(), 1 + overrides.settings.size());
    Environment malformed = environment;
    malformed["GIT_CONFIG_COUNT"] = "two";
    EXPECT_FALSE(usersCommandSettings(malformed));
}
// A work tree outside the project folder is refused however it is named
// (core.worktree, GIT_WORK_TREE, --work-tree), and so is a repository's file
// setting whose content would leave it from outside; inside, both work.
TEST(GitSettings, AWorkTreeOrAFileOutsideTheProjectIsRefusedHoweverItIsNamed)
{
    const QString project = newRepository(QStringLiteral("named"));
    const QString outside = makeTempDir(QStringLiteral("named-outside"));
    writeFile(outside + QStringLiteral("/secret.txt"), "secret\n");
    writeFile(project + QStringLiteral("/template.txt"), "From the project's template\n");
    ASSERT_TRUE(QFile::link(outside + QStringLiteral("/secret.txt"), project + QStringLiteral("/link.txt")));
    const QByteArray original = readFile(project + QStringLiteral("/.git/config"));
    const auto run = [&](const QString &script, const QByteArray &config = {}) {
        writeFile(project + QStringLiteral("/.git/config"), original + config);
        const Outcome outcome = runThroughChildProcess(project, script);
        EXPECT_TRUE(outcome.ended);
        return outcome;
    };
    const QString commit = QStringLiteral("git commit -q --allow-empty --cleanup=verbatim");
    const QByteArray relative = "../" + QFileInfo(outside).fileName().toUtf8() + "/secret.txt";
    for (const auto &[script, config] : std::vector<std::pair<QString, QByteArray>>{
             {QStringLiteral("git --work-tree=%1 status").arg(outside), {}},
             {QStringLiteral("git --work-tree %1 add -A").arg(outside), {}},
             {QStringLiteral("GIT_WORK_TREE=%1 git status").arg(outside), {}},
             {QStringLiteral("git status"), "[core]\n\tworktree = " + outside.toUtf8() + "\n"},
             {commit, "[commit]\n\ttemplate = " + outside.toUtf8() + "/secret.txt\n"},
             {commit, "[commit]\n\ttemplate = " + relative + "\n"},
             {commit, "[commit]\n\ttemplate = link.txt\n"}, // a link inside that leads outside
         }) {
        SCOPED_TRACE((script + QLatin1Char(' ') + QString::fromUtf8(config)).toStdString());
        const Outcome refused = run(script, config);
        EXPECT_EQ(refused.exitCode, 128);
        ASSERT_EQ(refused.errorLines.size(), 1) << refused.errorLines.join('\n').toStdString();
        EXPECT_TRUE(refused.errorLines.front().contains(QLatin1String("outside the project")))
            << refused.errorLines.front().toStdString();
    }

    // Inside the project: the work tree named as the project itself, and its own template.
    EXPECT_EQ(run(QStringLiteral("git --work-tree=. status && GIT_WORK_TREE=%1 git status").arg(project)).exitCode, 0);
    EXPECT_EQ(run(QStringLiteral("git status"), "[core]\n\tworktree = " + project.toUtf8() + "\n").exitCode, 0);
    const Outcome committed = run(QStringLiteral("GIT_EDITOR=true ") + commit, "[commit]\n\ttemplate = template.txt\n");
    EXPECT_EQ(committed.exitCode, 0) << committed.errorLines.join('\n').toStdString();
    EXPECT_EQ(gitOutput(project, {QStringLiteral("log"), QStringLiteral("--format=%s"), QStringLiteral("-1")}),
              QStringLiteral("From the project's template"));
}
