#include "ProviderTestSupport.h"
#include "TestAsync.h"
#include "TestEnvironment.h"
#include "platform/TaggedProcesses.h"
#include "agents/AgentError.h"
#include "agents/AgentEventReader.h"
#include "agents/ClaudeBinary.h"
#include "agents/AgentStreamConsumer.h"
#include "foundation/UuidText.h"
#include "persistence/IntentProcessorConstants.h"
#include "platform/OutputLineSplitter.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <csignal>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace nerim;
using namespace nerim::test;

namespace {

class ClaudeCodeProviderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        project = makeTempDir(QStringLiteral("project"));
        records = makeTempDir(QStringLiteral("records"));
        qputenv("CLAUDE_STANDIN_RECORD_ARGS", (records + QStringLiteral("/args")).toUtf8());
        qputenv("CLAUDE_STANDIN_RECORD_ENV", (records + QStringLiteral("/env")).toUtf8());
        qputenv("CLAUDE_STANDIN_RECORD_STDIN", (records + QStringLiteral("/stdin")).toUtf8());
        qputenv("CLAUDE_STANDIN_RECORD_CWD", (records + QStringLiteral("/cwd")).toUtf8());
        qputenv("CLAUDE_STANDIN_RECORD_PID", (records + QStringLiteral("/pid")).toUtf8());
    }

    AgentSession spawn(ClaudeCodeProvider &provider, const QString &task = QStringLiteral("do the thing"),
                       ModelChoice model = ModelChoice::sonnet45)
    {
        return test::await(provider.spawn(AgentRole::code, {}, {}, task, ProjectAwareness{}, model));
    }

    QList<AgentOutput> run(const QString &commands)
    {
        claudeStandin::setCommands(commands);
        ClaudeCodeProvider provider(project, standinOptions());
        const AgentSession session = spawn(provider);
        return test::await(collectAll(test::await(provider.outputStream(session.id))));
    }

    QString project;
    QString records;
};

// A process that has ended but was not reaped (a zombie) counts as gone.
bool isAlive(qint64 pid)
{
    if (::kill(static_cast<pid_t>(pid), 0) != 0)
        return false;
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype close = stat.lastIndexOf(')');
    return close < 0 || stat.mid(close + 2, 1) != "Z";
}

QStringList texts(const QList<AgentOutput> &events, AgentOutput::Kind kind)
{
    QStringList out;
    for (const AgentOutput &event : events)
        if (event.kind() == kind)
            out.append(event.text());
    return out;
}

} // namespace

TEST_F(ClaudeCodeProviderTest, StartsClaudeWithArgumentsPromptOnStdinAndProjectFolder)
{
    claudeStandin::setCommands(QStringLiteral("out hello"));
    ClaudeCodeProvider provider(project, standinOptions());
    const AgentSession session = spawn(provider, QStringLiteral("make the button blue"), ModelChoice::opus47);
    const QList<AgentOutput> events = test::await(collectAll(test::await(provider.outputStream(session.id))));

    EXPECT_EQ(claudeStandin::readList(records + QStringLiteral("/args")),
              (QStringList{QStringLiteral("--print"), QStringLiteral("--permission-mode"), QStringLiteral("acceptEdits"),
                           QStringLiteral("--output-format"), QStringLiteral("stream-json"), QStringLiteral("--verbose"),
                           QStringLiteral("--model"), modelId(ModelChoice::opus47), QStringLiteral("--setting-sources"),
                           QStringLiteral("user"), QStringLiteral("--strict-mcp-config")}));
    const QString prompt = QString::fromUtf8(readFile(records + QStringLiteral("/stdin")));
    EXPECT_TRUE(prompt.startsWith(QStringLiteral("[ROLE DECLARATION]\nYou are the Code agent")));
    EXPECT_TRUE(prompt.contains(QStringLiteral("\n[TASK]\nmake the button blue\n\n[OUTPUT INSTRUCTION]")));
    EXPECT_EQ(session.openingPromptDigest, promptDigest(prompt));
    EXPECT_EQ(QFileInfo(QString::fromUtf8(readFile(records + QStringLiteral("/cwd")))).canonicalFilePath(),
              QFileInfo(project).canonicalFilePath());

    // The child leads its own process group.
    const QStringList ids = QString::fromUtf8(readFile(records + QStringLiteral("/pid"))).split(QLatin1Char(' '));
    ASSERT_EQ(ids.size(), 2);
    EXPECT_EQ(ids.at(0).toInt(), session.processID);
    EXPECT_EQ(ids.at(1).toInt(), session.processID);

    EXPECT_EQ(session.role, AgentRole::code);
    EXPECT_EQ(session.provider, AgentProviderType::claudeCode);
    EXPECT_GT(session.processID, 0);
    ASSERT_EQ(events.size(), 2);
    EXPECT_EQ(events.at(0), AgentOutput::stdoutLine(QStringLiteral("hello")));
    EXPECT_EQ(events.at(1), AgentOutput::processExited(0));
    EXPECT_FALSE(provider.hasSession(session.id));
}

TEST_F(ClaudeCodeProviderTest, ChildEnvironmentLayersCredentialsAndPath)
{
    claudeStandin::setCommands(QString());
    qputenv("PATH", "/usr/bin:/home/someone/bin::/usr/local/bin");
    qputenv("NERIM_TEST_INHERITED", "kept");
    auto options = standinOptions();
    options.managedKeysEnvironment = [] {
        return QHash<QString, QString>{{QStringLiteral("ANTHROPIC_BASE_URL"), QStringLiteral("http://127.0.0.1:9")},
                                       {QStringLiteral("ANTHROPIC_AUTH_TOKEN"), QStringLiteral("token")},
                                       {QStringLiteral("TERM"), QStringLiteral("xterm")}};
    };
    ClaudeCodeProvider provider(project, options);
    const AgentSession session = spawn(provider);
    test::await(collectAll(test::await(provider.outputStream(session.id))));

    const auto env = claudeStandin::readEnvironment(records + QStringLiteral("/env"));
    EXPECT_EQ(env.value(QStringLiteral("NERIM_TEST_INHERITED")), QStringLiteral("kept"));
    EXPECT_EQ(env.value(QStringLiteral("ANTHROPIC_BASE_URL")), QStringLiteral("http://127.0.0.1:9"));
    EXPECT_EQ(env.value(QStringLiteral("ANTHROPIC_AUTH_TOKEN")), QStringLiteral("token"));
    EXPECT_EQ(env.value(QStringLiteral("TERM")), QStringLiteral("xterm")); // the later layer wins
    // Led only by the guard's folder that routes git (see guard/GitRouting.h).
    QString path = env.value(QStringLiteral("PATH"));
    path.remove(QRegularExpression(QStringLiteral("^/[^:]*/nerim-git-[^/:]+/bin:")));
    EXPECT_EQ(path, claudeStandin::folder() +
                        QStringLiteral(":/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin:/home/someone/bin"));
}

TEST_F(ClaudeCodeProviderTest, ProvidersWithoutTheirOwnSourceUseTheInstalledCredentials)
{
    claudeStandin::setCommands(QString());
    ClaudeCodeProvider::setDefaultManagedKeysEnvironment(
        [] { return QHash<QString, QString>{{QStringLiteral("ANTHROPIC_AUTH_TOKEN"), QStringLiteral("installed")}}; });
    ClaudeCodeProvider provider(project, standinOptions());
    const AgentSession session = spawn(provider);
    test::await(collectAll(test::await(provider.outputStream(session.id))));
    ClaudeCodeProvider::setDefaultManagedKeysEnvironment({});

    const auto env = claudeStandin::readEnvironment(records + QStringLiteral("/env"));
    EXPECT_EQ(env.value(QStringLiteral("ANTHROPIC_AUTH_TOKEN")), QStringLiteral("installed"));
}

TEST(ChildEnvironment, FixedOverlayThenManagedKeysThenPathOrder)
{
    const QHash<QString, QString> inherited{{QStringLiteral("HOME"), QStringLiteral("/home/u")},
                                            {QStringLiteral("TERM"), QStringLiteral("xterm-256color")}};
    const auto env = childEnvironment(inherited, {}, QStringLiteral("/usr/bin/claude"));
    EXPECT_EQ(env.value(QStringLiteral("TERM")), QStringLiteral("dumb"));
    EXPECT_EQ(env.value(QStringLiteral("HOME")), QStringLiteral("/home/u"));
    EXPECT_EQ(env.value(QStringLiteral("PATH")),
              QStringLiteral("/usr/bin:/opt/homebrew/bin:/usr/local/bin:/bin:/usr/sbin:/sbin"));
}

TEST_F(ClaudeCodeProviderTest, DeliversLinesOfBothPipesInOrderThenTheExitCode)
{
    const QList<AgentOutput> events = run(QStringLiteral(
        "out one\nerr problem one\nout two\noutraw three\\r\\nfour\\rfive\\n\\nsix\nerr problem two\n"
        "outraw bad \\xff byte\\n\noutraw no terminator\nexit 3"));
    EXPECT_EQ(texts(events, AgentOutput::Kind::stdoutLine),
              (QStringList{QStringLiteral("one"), QStringLiteral("two"), QStringLiteral("three"), QStringLiteral("four"),
                           QStringLiteral("five"), QString(), QStringLiteral("sixbad \uFFFD byte"),
                           QStringLiteral("no terminator")}));
    EXPECT_EQ(texts(events, AgentOutput::Kind::stderrLine),
              (QStringList{QStringLiteral("problem one"), QStringLiteral("problem two")}));
    ASSERT_FALSE(events.isEmpty());
    EXPECT_EQ(events.last(), AgentOutput::processExited(3));
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [](const AgentOutput &e) { return e.kind() == AgentOutput::Kind::processExited; }),
              1);
}

TEST_F(ClaudeCodeProviderTest, AnAgentThatFailsAtOnceStillDeliversEverything)
{
    claudeStandin::setCommands(QStringLiteral("err Invalid API key · Please run /login\nexit 1"));
    ClaudeCodeProvider provider(project, standinOptions());
    const AgentSession session = spawn(provider);
    // Let the child end before anyone asks for its stream.
    EXPECT_TRUE(waitUntil([&] { return !provider.hasSession(session.id); }));
    const auto stream = test::await(provider.outputStream(session.id));
    const QList<AgentOutput> events = test::await(collectAll(stream));
    ASSERT_EQ(events.size(), 2);
    EXPECT_EQ(events.at(0), AgentOutput::stderrLine(QStringLiteral("Invalid API key · Please run /login")));
    EXPECT_EQ(events.at(1), AgentOutput::processExited(1));
    // Fetched once: afterwards the id has nothing.
    EXPECT_TRUE(test::await(provider.outputStream(session.id))->atEnd());
}

TEST_F(ClaudeCodeProviderTest, DeathBySignalReportsTheSignalNumber)
{
    const QList<AgentOutput> events = run(QStringLiteral("out before\nsignal 6"));
    ASSERT_FALSE(events.isEmpty());
    EXPECT_EQ(events.first(), AgentOutput::stdoutLine(QStringLiteral("before")));
    EXPECT_EQ(events.last(), AgentOutput::processExited(SIGABRT));
}

TEST_F(ClaudeCodeProviderTest, PromptLargerThanAnArgumentTravelsWhole)
{
    claudeStandin::setCommands(QStringLiteral("out read"));
    ClaudeCodeProvider provider(project, standinOptions());
    const QString task = QString(300 * 1024, QLatin1Char('x')) + QStringLiteral("é end");
    const AgentSession session = spawn(provider, task);
    const QList<AgentOutput> events = test::await(collectAll(test::await(provider.outputStream(session.id))));
    EXPECT_EQ(events.last(), AgentOutput::processExited(0));
    const QByteArray received = readFile(records + QStringLiteral("/stdin"));
    EXPECT_TRUE(received.contains(task.toUtf8()));
    EXPECT_EQ(promptDigest(QString::fromUtf8(received)), session.openingPromptDigest);
}

TEST_F(ClaudeCodeProviderTest, TerminateStopsTheWholeGroupAndTheStreamStillEnds)
{
    const QString sleeperPidFile = records + QStringLiteral("/sleeper");
    claudeStandin::setCommands(QStringLiteral("spawn-sleeper 30 %1\nout started\nhang").arg(sleeperPidFile));
    ClaudeCodeProvider provider(project, standinOptions());
    const AgentSession session = spawn(provider);
    const auto stream = test::await(provider.outputStream(session.id));
    ASSERT_TRUE(waitUntil([&] { return QString::fromUtf8(readFile(sleeperPidFile)).toInt() > 0; }));
    const pid_t sleeper = QString::fromUtf8(readFile(sleeperPidFile)).toInt();
    ASSERT_GT(sleeper, 0);
    EXPECT_TRUE(provider.hasSession(session.id));

    test::await(provider.terminate(session.id));
    EXPECT_FALSE(provider.hasSession(session.id));
    EXPECT_TRUE(test::await(provider.outputStream(session.id))->atEnd());
    const QList<AgentOutput> events = test::await(collectAll(stream));
    EXPECT_EQ(events.last(), AgentOutput::processExited(SIGTERM));
    EXPECT_TRUE(waitUntil([&] { return !isAlive(sleeper); })) << "the grandchild in the agent's group was left running";

    test::await(provider.terminate(session.id)); // ended: nothing happens
    test::await(provider.terminate(newUuid()));
}

TEST_F(ClaudeCodeProviderTest, AnAgentIgnoringTerminateIsKilledAfterTheGracePeriod)
{
    claudeStandin::setCommands(QStringLiteral("ignore-term\nout ready\nhang"));
    auto options = standinOptions();
    options.terminateGracePeriod = std::chrono::milliseconds(300);
    ClaudeCodeProvider provider(project, options);
    const AgentSession session = spawn(provider);
    const auto stream = test::await(provider.outputStream(session.id));
    // "ready" comes after the child has set SIGTERM aside.
    EXPECT_EQ(test::await(nextBatch(stream)).first(), AgentOutput::stdoutLine(QStringLiteral("ready")));
    test::await(provider.terminate(session.id));
    const QList<AgentOutput> events = test::await(collectAll(stream));
    EXPECT_EQ(events.last(), AgentOutput::processExited(SIGKILL));
}

TEST_F(ClaudeCodeProviderTest, ClosingTheProviderStopsItsAgents)
{
    claudeStandin::setCommands(QStringLiteral("hang"));
    auto provider = std::make_unique<ClaudeCodeProvider>(project, standinOptions());
    const AgentSession session = spawn(*provider);
    const auto stream = test::await(provider->outputStream(session.id));
    provider.reset();
    const QList<AgentOutput> events = test::await(collectAll(stream));
    EXPECT_EQ(events.last(), AgentOutput::processExited(SIGTERM));
    EXPECT_TRUE(waitUntil([&] { return !isAlive(session.processID); }));
}

TEST_F(ClaudeCodeProviderTest, SpawnFailuresNameTheirCause)
{
    // The error names every place looked at, in the order looked, also one
    // holding a `claude` that may not run.
    const QStringList places{project + QStringLiteral("/home/.local/bin/claude"),
                             project + QStringLiteral("/bin/claude")};
    QDir().mkpath(project + QStringLiteral("/bin"));
    writeFile(places.last(), "#!/bin/sh\n");
    auto options = standinOptions();
    options.resolveBinary = {};
    options.binaryCandidates = [places] { return places; };
    ClaudeCodeProvider missing(project, options);
    try {
        spawn(missing);
        FAIL() << "spawn succeeded without a program";
    } catch (const AgentError &e) {
        EXPECT_EQ(e.kind(), AgentError::Kind::binaryNotFound);
        EXPECT_EQ(e.searchedPaths(), places);
    }

    const QString file = project + QStringLiteral("/a-file");
    writeFile(file, "x");
    ClaudeCodeProvider onFile(file, standinOptions());
    try {
        spawn(onFile);
        FAIL() << "spawn succeeded in a file";
    } catch (const AgentError &e) {
        EXPECT_EQ(e.kind(), AgentError::Kind::workingDirectoryUnavailable);
        EXPECT_EQ(e.underlying(), QStringLiteral("Project path exists but is a file, not a directory: ") + file);
    }

    auto notExecutable = standinOptions();
    notExecutable.resolveBinary = [file] { return std::optional<QString>(file); };
    ClaudeCodeProvider badProgram(project, notExecutable);
    try {
        spawn(badProgram);
        FAIL() << "spawn succeeded with a non-program";
    } catch (const AgentError &e) {
        EXPECT_EQ(e.kind(), AgentError::Kind::spawnFailed);
        EXPECT_FALSE(e.underlying().isEmpty());
    }
    EXPECT_TRUE(badProgram.sessionIds().isEmpty());
}

TEST_F(ClaudeCodeProviderTest, AMissingProjectFolderIsRefusedAndNeverMadeAgain)
{
    claudeStandin::setCommands(QString());
    const QString nested = project + QStringLiteral("/gone/deeper");
    ClaudeCodeProvider provider(nested, standinOptions());
    try {
        spawn(provider);
        FAIL() << "spawn succeeded in a missing folder";
    } catch (const AgentError &e) {
        EXPECT_EQ(e.kind(), AgentError::Kind::workingDirectoryUnavailable);
        EXPECT_EQ(e.underlying(), QStringLiteral("The project folder is missing: ") + nested);
    }
    EXPECT_FALSE(QFileInfo::exists(project + QStringLiteral("/gone")));
    EXPECT_TRUE(provider.sessionIds().isEmpty());
}

TEST_F(ClaudeCodeProviderTest, SendAlwaysFailsAndUnknownStreamsAreEmpty)
{
    ClaudeCodeProvider provider(project, standinOptions());
    try {
        test::await(provider.send(newUuid(), QStringLiteral("token added")));
        FAIL();
    } catch (const AgentError &e) {
        EXPECT_EQ(e.kind(), AgentError::Kind::sessionNotAlive);
    }
    const auto stream = test::await(provider.outputStream(newUuid()));
    EXPECT_TRUE(stream->atEnd());
    EXPECT_TRUE(test::await(collectAll(stream)).isEmpty());
}

TEST_F(ClaudeCodeProviderTest, TwoSessionsAreIndependent)
{
    claudeStandin::setCommands(QStringLiteral("out same\nexit 0"));
    ClaudeCodeProvider provider(project, standinOptions());
    const AgentSession a = spawn(provider);
    const AgentSession b = spawn(provider);
    EXPECT_NE(a.id, b.id);
    EXPECT_NE(a.processID, b.processID);
    const auto eventsA = test::await(collectAll(test::await(provider.outputStream(a.id))));
    const auto eventsB = test::await(collectAll(test::await(provider.outputStream(b.id))));
    EXPECT_EQ(eventsA, eventsB);
    EXPECT_EQ(eventsA.size(), 2);
}

TEST(PromptDigest, IsPrefixedLowerCaseSha256)
{
    EXPECT_EQ(promptDigest(QString()),
              QStringLiteral("sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
    EXPECT_EQ(promptDigest(QStringLiteral("abc")).size(), 71);
}

TEST(ClaudeBinary, CandidatesInOrderWithEmptyPathPiecesSkipped)
{
    EXPECT_EQ(claudeBinaryCandidates(QStringLiteral("/home/u"), QStringLiteral(":/a::/usr/local/bin:/b/:/a")),
              (QStringList{QStringLiteral("/usr/local/bin/claude"), QStringLiteral("/home/u/.local/bin/claude"),
                           QStringLiteral("/home/u/.claude/local/claude"), QStringLiteral("/a/claude"),
                           QStringLiteral("/b//claude")}));
    EXPECT_EQ(claudeBinaryCandidates(QStringLiteral("/h"), std::nullopt).size(), 3);
}

TEST(ClaudeBinary, OnlyExecutableRegularFilesCount)
{
    const QString root = makeTempDir(QStringLiteral("bins"));
    QDir().mkpath(root + QStringLiteral("/dir/claude")); // a folder named claude
    writeFile(root + QStringLiteral("/plain/claude"), "#!/bin/sh\n");
    writeFile(root + QStringLiteral("/exec/claude"), "#!/bin/sh\n");
    QFile::setPermissions(root + QStringLiteral("/exec/claude"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QStringList candidates{root + QStringLiteral("/missing/claude"), root + QStringLiteral("/dir/claude"),
                                 root + QStringLiteral("/plain/claude"), root + QStringLiteral("/exec/claude")};
    EXPECT_EQ(resolveClaudeBinary(candidates), root + QStringLiteral("/exec/claude"));
    EXPECT_FALSE(resolveClaudeBinary(candidates.mid(0, 3)));

    // Found on PATH when none of the fixed and home places has it.
    qputenv("PATH", (QStringLiteral("::") + root + QStringLiteral("/dir:") + root + QStringLiteral("/exec")).toUtf8());
    if (!QFileInfo(QStringLiteral("/usr/local/bin/claude")).exists()) {
        EXPECT_EQ(resolveClaudeBinary(), root + QStringLiteral("/exec/claude"));
    }
}

TEST(OutputLineSplitter, SplitsAcrossReadsOnEveryTerminator)
{
    const struct {
        QList<QByteArray> chunks;
        QStringList lines;
    } cases[] = {
        {{"a\r", "\nb\n"}, {QStringLiteral("a"), QStringLiteral("b")}},
        {{"a\r", "b\r\r\n"}, {QStringLiteral("a"), QStringLiteral("b"), QString()}},
        {{"caf\xc3", "\xa9\n"}, {QStringLiteral("café")}},
        {{"x", "y", "z"}, {QStringLiteral("xyz")}},
        {{"\n\n"}, {QString(), QString()}},
        {{"end\r"}, {QStringLiteral("end")}},
        {{"\xff\xfe\n"}, {QStringLiteral("\uFFFD\uFFFD")}},
    };
    for (const auto &c : cases) {
        platform::OutputLineSplitter splitter;
        QStringList lines;
        const auto collect = [&lines](QString line) { lines.append(std::move(line)); };
        for (const QByteArray &chunk : c.chunks)
            splitter.feed(chunk, collect);
        splitter.finish(collect);
        EXPECT_EQ(lines, c.lines) << c.chunks.join("|").toStdString();
    }
}

TEST_F(ClaudeCodeProviderTest, QuittingStopsEveryRunningAgent)
{
    claudeStandin::setCommands(QStringLiteral("ignore-term\nout ready\nhang"));
    auto options = standinOptions();
    options.terminateGracePeriod = std::chrono::milliseconds(200);
    ClaudeCodeProvider first(project, options);
    ClaudeCodeProvider second(project, options);
    const AgentSession a = spawn(first);
    const AgentSession b = spawn(second);
    const auto streamA = test::await(first.outputStream(a.id));
    const auto streamB = test::await(second.outputStream(b.id));
    EXPECT_FALSE(test::await(nextBatch(streamA)).isEmpty());
    EXPECT_FALSE(test::await(nextBatch(streamB)).isEmpty());
    // Returns at once; the guards finish the stopping.
    ClaudeCodeProvider::terminateAllForQuit();
    EXPECT_TRUE(waitUntil([&] { return !isAlive(a.processID) && !isAlive(b.processID); }));
    EXPECT_EQ(test::await(collectAll(streamA)).last(), AgentOutput::processExited(SIGKILL));
}

TEST(AgentStreamConsumer, HandsOutEventsInOrderUntilCancelled)
{
    auto stream = AgentOutputStream::create();
    QStringList seen;
    bool ended = false;
    auto consumer = AgentStreamConsumer::start(
        stream, [&](const AgentOutput &event) { seen.append(event.text()); }, [&] { ended = true; });
    stream->yield(AgentOutput::stdoutLine(QStringLiteral("a")));
    stream->yield(AgentOutput::stderrLine(QStringLiteral("b")));
    EXPECT_TRUE(seen.isEmpty()); // delivered from the event loop, never inside yield
    test::await(sleepFor(10));
    EXPECT_EQ(seen, (QStringList{QStringLiteral("a"), QStringLiteral("b")}));

    consumer->cancel();
    stream->yield(AgentOutput::stdoutLine(QStringLiteral("c")));
    stream->finish();
    test::await(sleepFor(10));
    EXPECT_EQ(seen.size(), 2);
    EXPECT_FALSE(ended);
    EXPECT_TRUE(consumer->isFinished());

    auto second = AgentOutputStream::create();
    second->yield(AgentOutput::stdoutLine(QStringLiteral("early")));
    second->finish();
    QStringList late;
    auto lateConsumer = AgentStreamConsumer::start(
        second, [&](const AgentOutput &event) { late.append(event.text()); }, [&] { ended = true; });
    EXPECT_TRUE(late.isEmpty());
    test::await(sleepFor(10));
    EXPECT_EQ(late, QStringList{QStringLiteral("early")});
    EXPECT_TRUE(ended);
}

TEST(AgentStreamConsumer, AFloodOfEventsLetsTheEventLoopRunAndACancelMeanwhileStopsIt)
{
    auto stream = AgentOutputStream::create();
    for (int i = 0; i < 60; ++i)
        stream->yield(AgentOutput::stdoutLine(QString::number(i)));
    int handled = 0;
    int handledWhenTheLoopRan = -1;
    std::shared_ptr<AgentStreamConsumer> consumer;
    consumer = AgentStreamConsumer::start(stream, [&](const AgentOutput &) {
        QElapsedTimer busy; // a handler that takes a while
        busy.start();
        while (busy.elapsed() < 1) {
        }
        if (++handled == 1)
            QTimer::singleShot(0, [&] {
                handledWhenTheLoopRan = handled;
                consumer->cancel();
            });
    });
    test::await(sleepFor(200));
    EXPECT_GT(handledWhenTheLoopRan, 0);
    EXPECT_LT(handledWhenTheLoopRan, 60);
    EXPECT_EQ(handled, handledWhenTheLoopRan); // nothing handled after the cancel
}

TEST(AgentStreamConsumer, FloodingStreamsShareOneBudgetPerTurnAndTakeItInRounds)
{
    // Two streams flooded at once, with handlers that take half a millisecond:
    // between two turns of the event loop both together hand out no more than
    // one budget's worth, the second stream starts before the first is done,
    // and every event is still handled, in order.
    constexpr qint64 handlerNs = 500'000;
    const auto busy = [] {
        QElapsedTimer clock;
        clock.start();
        while (clock.nsecsElapsed() < handlerNs) {
        }
    };
    auto first = AgentOutputStream::create();
    auto second = AgentOutputStream::create();
    constexpr int count = 60;
    for (int i = 0; i < count; ++i) {
        first->yield(AgentOutput::stdoutLine(QString::number(i)));
        second->yield(AgentOutput::stdoutLine(QString::number(i)));
    }
    first->finish();
    second->finish();
    QStringList order;
    qsizetype handledAtLastTurn = 0;
    qsizetype mostInOneTurn = 0;
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        mostInOneTurn = std::max(mostInOneTurn, order.size() - handledAtLastTurn);
        handledAtLastTurn = order.size();
    });
    heartbeat.start(0);
    int ends = 0;
    const auto handlerFor = [&](QString tag) {
        return [&, tag](const AgentOutput &event) {
            order.append(tag + event.text());
            busy();
        };
    };
    auto a = AgentStreamConsumer::start(first, handlerFor(QStringLiteral("a")), [&] { ++ends; });
    auto b = AgentStreamConsumer::start(second, handlerFor(QStringLiteral("b")), [&] { ++ends; });
    ASSERT_TRUE(waitUntil([&] { return ends == 2; }));

    ASSERT_EQ(order.size(), 2 * count);
    QStringList fromA;
    QStringList fromB;
    for (const QString &entry : std::as_const(order))
        (entry.startsWith(QLatin1Char('a')) ? fromA : fromB).append(entry.mid(1));
    QStringList expected;
    for (int i = 0; i < count; ++i)
        expected.append(QString::number(i));
    EXPECT_EQ(fromA, expected);
    EXPECT_EQ(fromB, expected);
    EXPECT_LT(order.indexOf(QStringLiteral("b0")), order.indexOf(QStringLiteral("a%1").arg(count - 1)))
        << "one stream waited for the other's whole flood";
    // The event that crosses the budget still finishes.
    EXPECT_LE(mostInOneTurn, AgentStreamConsumer::turnBudgetNs / handlerNs + 1);
    EXPECT_GT(mostInOneTurn, 0);
}

TEST_F(ClaudeCodeProviderTest, NeitherAnAgentNorItsDetachedToolCommandsOutliveNerim)
{
    // Nerim killed outright, and Nerim quitting in order on SIGTERM.
    for (const bool killed : {true, false}) {
        const QByteArray tag = uniqueTreeTag();
        const QString pidFile = makeTempDir(QStringLiteral("parent")) + QStringLiteral("/agent-pid");
        const QString toolPidFile = records + QStringLiteral("/tool-pid-") + QString::number(killed);
        QProcess parent;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromUtf8(tagName(tag)), QString::fromUtf8(tagValue(tag)));
        // A tool command in a session of its own, as the installed `claude` runs them.
        environment.insert(QStringLiteral("CLAUDE_STANDIN_COMMANDS"),
                           QStringLiteral("spawn-session 600 %1\nout started\nhang").arg(toolPidFile));
        parent.setProcessEnvironment(environment);
        parent.start(QStringLiteral(NERIM_AGENTS_TEST_PARENT),
                     {pidFile, project, killed ? QStringLiteral("kill-self") : QStringLiteral("wait")});
        ASSERT_TRUE(parent.waitForStarted());
        if (!killed) {
            ASSERT_TRUE(waitUntil([&] { return QString::fromUtf8(readFile(toolPidFile)).toLongLong() > 0; }, 10000));
            ASSERT_TRUE(isAlive(QString::fromUtf8(readFile(toolPidFile)).toLongLong()));
            ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(pidFile); }, 10000));
            ::kill(static_cast<pid_t>(parent.processId()), SIGTERM);
        }
        ASSERT_TRUE(parent.waitForFinished(10000));
        EXPECT_EQ(parent.exitStatus(), killed ? QProcess::CrashExit : QProcess::NormalExit);
        const qint64 agent = QString::fromUtf8(readFile(pidFile)).toLongLong();
        ASSERT_GT(agent, 0);
        EXPECT_TRUE(waitUntil([&] { return processesTagged(tag).isEmpty(); }, 10000))
            << "left running after Nerim " << (killed ? "was killed" : "quit") << ": " << processesTagged(tag).size();
        EXPECT_FALSE(isAlive(agent));
    }
}

// Each message reaches the stream while the agent still runs: the stand-in
// holds its second message back until the test has seen the first.
TEST_F(ClaudeCodeProviderTest, AMessageReachesTheStreamWhileTheRunGoesOn)
{
    const QString release = records + QStringLiteral("/release");
    claudeStandin::setCommands(QStringLiteral("out First I will write the page.\nhold %1\nout Done.\nexit 0").arg(release));
    ClaudeCodeProvider provider(project, standinOptions());
    const AgentSession session = spawn(provider);
    const std::shared_ptr<AgentOutputStream> stream = test::await(provider.outputStream(session.id));

    QList<AgentOutput> seen;
    ASSERT_TRUE(waitUntil([&] {
        seen += stream->takeAvailable();
        return !seen.isEmpty();
    }));
    EXPECT_EQ(seen, (QList<AgentOutput>{AgentOutput::stdoutLine(QStringLiteral("First I will write the page."))}));
    EXPECT_TRUE(provider.hasSession(session.id)); // still running

    QFile(release).open(QIODevice::WriteOnly);
    seen += test::await(collectAll(stream));
    // The closing result repeats "Done." and is not shown again.
    EXPECT_EQ(seen, (QList<AgentOutput>{AgentOutput::stdoutLine(QStringLiteral("First I will write the page.")),
                                        AgentOutput::stdoutLine(QStringLiteral("Done.")),
                                        AgentOutput::processExited(0)}));
}

// An error the program reports in an event reaches the stream as standard
// error, in its own words; its standard error and plain lines still pass.
TEST_F(ClaudeCodeProviderTest, ErrorResultsAndPlainLinesReachTheStream)
{
    const QList<AgentOutput> events = run(QStringLiteral(
        "err a warning on standard error\n"
        "run echo plain text from a tool\n"
        "api-retry 1 500\n"
        "api-retry 2 null\n"
        "event {\"type\":\"result\",\"subtype\":\"error_during_execution\",\"is_error\":true,\"result\":\"Not logged in \u00b7 Please run /login\"}\n"
        "exit 1"));
    // The two pipes are read apart, so only the set of lines is certain.
    QStringList errors = texts(events, AgentOutput::Kind::stderrLine);
    errors.sort();
    EXPECT_EQ(errors, (QStringList{QString::fromUtf8("Not logged in \u00b7 Please run /login"),
                                   QStringLiteral("a warning on standard error")}));
    EXPECT_EQ(texts(events, AgentOutput::Kind::stdoutLine), QStringList{QStringLiteral("plain text from a tool")});
    // The program's retry notices, while it waits for the service, as status lines.
    EXPECT_EQ(texts(events, AgentOutput::Kind::statusLine),
              (QStringList{QString::fromUtf8("AI service error 500 \u2014 trying again (attempt 1 of 10)\u2026"),
                           QString::fromUtf8("AI service not answering \u2014 trying again (attempt 2 of 10)\u2026")}));
    EXPECT_EQ(events.last(), AgentOutput::processExited(1));
}

// A tool call that writes a big file arrives as one event carrying the whole
// file, and its result carries it again: both are read whole and show nothing,
// so only the agent's words reach the stream. An event past the reading limit
// is left out with one line saying so, and what follows still reads.
TEST_F(ClaudeCodeProviderTest, FileSizedEventsShowOnlyTheAgentsWords)
{
    const QString big = project + QStringLiteral("/big.txt");
    const QList<AgentOutput> events = run(QStringLiteral("out Writing the data.\n"
                                                         "write-file 3000000 data.txt\n"
                                                         "out Now a huge one.\n"
                                                         "write-file %1 %2\n"
                                                         "out TASK_COMPLETE: Wrote both.\n")
                                              .arg(AgentEventReader::maxEventBytes + 1000)
                                              .arg(big));
    EXPECT_EQ(QFileInfo(project + QStringLiteral("/data.txt")).size(), 3000000);
    EXPECT_EQ(QFileInfo(big).size(), AgentEventReader::maxEventBytes + 1000);
    EXPECT_EQ(texts(events, AgentOutput::Kind::stdoutLine),
              (QStringList{QStringLiteral("Writing the data."), QStringLiteral("Now a huge one."),
                           QStringLiteral("TASK_COMPLETE: Wrote both.")}));
    // The call and its result each went past the limit.
    EXPECT_EQ(texts(events, AgentOutput::Kind::stderrLine),
              QStringList(2, QStringLiteral("[An agent message over 64 MiB was left out]")));
    EXPECT_EQ(events.last(), AgentOutput::processExited(0));
}
