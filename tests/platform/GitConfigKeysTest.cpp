// Every configuration key and every global option the installed git knows
// has a rule in nerim-git, so a newer git cannot bring in a setting or an
// option nobody thought of; what has none refuses the command.
#include "platform/guard/GitConfigKeys.h"
#include "platform/guard/AskGit.h"

#include "GitTestSupport.h"

#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>

using namespace nerim::platform::guard;
using namespace nerim::test;

TEST(GitConfigKeys, EveryKeyTheInstalledGitListsHasARule)
{
    if (QStandardPaths::findExecutable(QStringLiteral("git")).isEmpty())
        GTEST_SKIP() << "git is not installed";
    QProcess help;
    help.start(QStringLiteral("git"), {QStringLiteral("help"), QStringLiteral("--config")});
    ASSERT_TRUE(help.waitForFinished(30000));
    QStringList unknown;
    int listed = 0;
    for (const QByteArray &line : help.readAllStandardOutput().split('\n')) {
        const QByteArray key = line.trimmed();
        if (key.isEmpty() || key.contains(' ') || !key.contains('.'))
            continue; // the closing "'git help config' for more information"
        ++listed;
        if (!classOfListedKey(key.toStdString()))
            unknown << QString::fromUtf8(key);
    }
    EXPECT_GT(listed, 500);
    EXPECT_TRUE(unknown.isEmpty()) << "keys without a rule: " << unknown.join(' ').toStdString();
}

// A key as git prints it finds its rule whatever its subsection holds (dots,
// a URL), and a key git does not know has none.
TEST(GitConfigKeys, KeysFindTheirRulesAsGitPrintsThem)
{
    const std::vector<std::pair<std::string, std::optional<KeyClass>>> cases{
        {"core.fsmonitor", KeyClass::neutralised},
        {"core.worktree", KeyClass::special},
        {"http.cookiefile", KeyClass::neutralised},
        {"http.savecookies", KeyClass::neutralised},
        {"http.https://example.com/a.b.cookiefile", KeyClass::special},
        {"pager.stash", KeyClass::special},
        {"pager.a.b", KeyClass::special},
        {"alias.a.b", KeyClass::special},
        {"filter.My Driver.clean", KeyClass::neutralised},
        {"filter.evil.x.process", KeyClass::neutralised},
        {"url.http://a.b/.insteadof", KeyClass::refusedForTransport},
        {"gpg.ssh.program", KeyClass::neutralised},
        {"commit.template", KeyClass::pathInProject},
        {"lfs.customtransfer.x.path", KeyClass::neutralised},
        {"mergetool.meld.hasoutput", KeyClass::harmless},
        {"remote.origin.url", KeyClass::harmless},
        {"includeif.gitdir:~/x/.path", KeyClass::harmless},
        {"user.name", KeyClass::harmless},
        {"lfs.repositoryformatversion", std::nullopt},
        {"nosuch.key", std::nullopt},
    };
    for (const auto &[key, expected] : cases)
        EXPECT_EQ(classOfKey(key), expected) << key;
}

// Each global option git takes with a value is passed over with its value,
// so the command is the word after it; an option git does not take, or one
// missing its value, refuses the command with one line.
TEST(GitConfigKeys, EveryGlobalOptionIsKnownAndAnUnknownOneRefuses)
{
    for (const std::vector<std::string> &words : std::vector<std::vector<std::string>>{
             {"--shallow-file", "x"}, {"-C", "."}, {"-c", "a.b=1"}, {"--config-env", "a.b=HOME"},
             {"--config-env=a.b=HOME"}, {"--git-dir", ".git"}, {"--git-dir=.git"}, {"--work-tree", "."},
             {"--work-tree=."}, {"--namespace", "x"}, {"--namespace=x"}, {"--super-prefix", "x/"},
             {"--super-prefix=x/"}, {"--exec-path=/x"}, {"--exec-path"}, {"--list-cmds=main"}, {"--bare"}, {"-p"},
             {"-P"}, {"--no-pager"}, {"--paginate"}, {"--no-replace-objects"}, {"--literal-pathspecs"},
             {"--no-literal-pathspecs"}, {"--glob-pathspecs"}, {"--noglob-pathspecs"}, {"--icase-pathspecs"},
             {"--no-optional-locks"}, {"--html-path"}, {"--man-path"}, {"--info-path"}}) {
        std::vector<std::string> arguments = words;
        arguments.insert(arguments.end(), {"planted", "arg"});
        const GitInvocation invocation = parseInvocation("git", arguments);
        EXPECT_FALSE(invocation.unknownOption) << words.front();
        EXPECT_EQ(invocation.command, "planted") << words.front();
        EXPECT_EQ(invocation.arguments, (std::vector<std::string>{"arg"})) << words.front();
    }
    for (const std::vector<std::string> &words : std::vector<std::vector<std::string>>{
             {"--shallow-file=x", "planted"}, {"--list-cmds", "planted"}, {"--attr-source", "x", "planted"},
             {"--no-advice", "planted"}, {"-cx.y=1", "planted"}, {"--bare=x", "planted"}, {"-C"}, {"--shallow-file"}}) {
        const GitInvocation invocation = parseInvocation("git", words);
        EXPECT_TRUE(invocation.unknownOption) << words.front();
        const GitOverrides refused = askGit("/nonexistent/git", invocation, {});
        ASSERT_TRUE(refused.refusal) << words.front();
        EXPECT_EQ(refused.refusal->find('\n'), std::string::npos);
    }

    // A command no alias can be named after is left to git.
    for (const std::string command : {"a_b", "x y", "-"}) {
        const GitOverrides overrides = gitOverrides({}, parseInvocation("git", {command}), {});
        for (const auto &[key, value] : overrides.settings)
            EXPECT_EQ(key.rfind("alias.", 0), std::string::npos) << key;
    }

    if (QStandardPaths::findExecutable(QStringLiteral("git")).isEmpty())
        GTEST_SKIP() << "git is not installed";
    const QString repository = makeTempDir(QStringLiteral("options"));
    writeUserIdentity();
    writeFile(repository + QStringLiteral("/a.txt"), "a\n");
    ASSERT_TRUE(commitAsBase(repository));
    const Outcome outcome = runThroughChildProcess(repository, QStringLiteral("git --shallow-file=x status"));
    ASSERT_TRUE(outcome.ended);
    EXPECT_EQ(outcome.exitCode, 128);
    ASSERT_EQ(outcome.errorLines.size(), 1) << outcome.errorLines.join('\n').toStdString();
    EXPECT_TRUE(outcome.errorLines.front().startsWith(QLatin1String(refusalPrefix)));
    EXPECT_TRUE(outcome.errorLines.front().contains(QLatin1String("--shallow-file=x")));
    // A mistyped command is git's to answer.
    const Outcome typo = runThroughChildProcess(repository, QStringLiteral("git stat_us"));
    ASSERT_TRUE(typo.ended);
    EXPECT_TRUE(typo.errorLines.join('\n').contains(QLatin1String("is not a git command")))
        << typo.errorLines.join('\n').toStdString();
}
