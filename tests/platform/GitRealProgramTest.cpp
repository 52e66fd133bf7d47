// The installed agent program runs git in a hostile repository the way a task
// pane does (through the guard, its Bash tool in its own shell), driven by a
// Messages API on 127.0.0.1 that answers each turn with the next command:
// none of the repository's planted programs runs, and git does its work.
//
// Runs where NERIM_REAL_CLAUDE names the installed `claude`; skipped elsewhere.
#include "platform/ChildProcess.h"

#include "MessagesApiReply.h"
#include "PlantedRepository.h"
#include "TaggedProcesses.h"
#include "TestEnvironment.h"

#include <QFileInfo>
#include <QProcess>
#include <gtest/gtest.h>

using namespace nerim::platform;
using namespace nerim::test;

TEST(GitRealProgram, TheAgentsBashToolRunsGitWithoutTheRepositorysPrograms)
{
    const QString program = QString::fromLocal8Bit(qgetenv("NERIM_REAL_CLAUDE"));
    if (program.isEmpty() || !QFileInfo(program).isExecutable())
        GTEST_SKIP() << "NERIM_REAL_CLAUDE does not name the installed claude program, so its Bash tool is not tried here";
    const PlantedRepository planted = PlantedRepository::create();
    if (planted.folder.isEmpty())
        GTEST_SKIP() << "git is not installed";

    const QStringList commands{QStringLiteral("git status"), QStringLiteral("git add -A && git diff --cached --stat"),
                               QStringLiteral("git commit -qm work && git log -p -1 | tail -3"),
                               QStringLiteral("git planted || echo alias-refused")};
    BashCommandPlayer player(commands, QStringLiteral("git"));
    ChildProcess child;
    bool ended = false;
    QStringList said;
    QObject::connect(&child, &ChildProcess::treeEnded, [&] { ended = true; });
    QObject::connect(&child, &ChildProcess::outputLine, [&](const QString &line, bool) { said << line.left(400); });
    ChildProcess::Options options;
    options.program = program;
    options.arguments = {QStringLiteral("--print"), QStringLiteral("--output-format"), QStringLiteral("stream-json"),
                         QStringLiteral("--verbose"), QStringLiteral("--setting-sources"), QStringLiteral("user"),
                         QStringLiteral("--strict-mcp-config"), QStringLiteral("--allowedTools"),
                         QStringLiteral("Bash(git:*)")};
    options.inputPipe = true;
    options.workingDirectory = planted.folder;
    options.environment = QProcessEnvironment::systemEnvironment();
    options.environment.insert(QStringLiteral("ANTHROPIC_BASE_URL"), player.baseUrl().toString());
    options.environment.insert(QStringLiteral("ANTHROPIC_API_KEY"), QStringLiteral("test-key"));
    options.environment.insert(QStringLiteral("CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC"), QStringLiteral("1"));
    options.environment.insert(QStringLiteral("DISABLE_AUTOUPDATER"), QStringLiteral("1"));
    options.endTreeWhenProgramExits = true;
    child.start(options);
    child.write("Run git.");
    child.closeInput();
    ASSERT_TRUE(waitFor([&] { return ended; }, 180000));

    for (const QString &command : commands) {
        SCOPED_TRACE(command.toStdString());
        ASSERT_TRUE(player.results().contains(command)) << said.join('\n').toStdString();
    }
    EXPECT_TRUE(planted.marksLeft().isEmpty()) << planted.marksLeft().join(' ').toStdString();
    EXPECT_TRUE(player.results().value(commands.at(0)).contains(QLatin1String("On branch")))
        << player.results().value(commands.at(0)).toStdString();
    QProcess log;
    log.setWorkingDirectory(planted.folder);
    log.start(QStringLiteral("git"), {QStringLiteral("log"), QStringLiteral("--format=%s"), QStringLiteral("-1")});
    ASSERT_TRUE(log.waitForFinished(30000));
    EXPECT_EQ(log.readAllStandardOutput().trimmed(), "work") << player.results().value(commands.at(2)).toStdString();
    // The repository's alias was emptied, so git refused it.
    EXPECT_TRUE(player.results().value(commands.at(3)).contains(QLatin1String("alias-refused")))
        << player.results().value(commands.at(3)).toStdString();
}
