// A project's CLAUDE.md reaches task and Repair agents as the program itself
// would show it in the folder, read like any file a project may have planted.
// The last test runs the real `claude` (NERIM_REAL_CLAUDE) against a loopback
// stand-in of the Messages API and skips without it.
#include "LoopbackHttpServer.h"
#include "PlantedFiles.h"
#include "ProviderTestSupport.h"
#include "TestAsync.h"
#include "TestEnvironment.h"
#include "agents/ProjectInstructions.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace nerim;
using namespace nerim::test;

namespace {

const QString flag = QStringLiteral("--append-system-prompt-file");

class ProjectInstructionsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        project = makeTempDir(QStringLiteral("project"));
        records = makeTempDir(QStringLiteral("records"));
        qputenv("CLAUDE_STANDIN_RECORD_ARGS", (records + QStringLiteral("/args")).toUtf8());
        qputenv("CLAUDE_STANDIN_RECORD_STDIN", (records + QStringLiteral("/stdin")).toUtf8());
    }

    QString notesPath() const { return project + QStringLiteral("/CLAUDE.md"); }

    // Runs one agent of `role` to its end and returns its arguments.
    QStringList argumentsOfARun(AgentRole role = AgentRole::code)
    {
        claudeStandin::setCommands(QStringLiteral("out done"));
        ClaudeCodeProvider provider(project, standinOptions());
        const AgentSession session =
            test::await(provider.spawn(role, {}, {}, QStringLiteral("task"), ProjectAwareness{}, ModelChoice::sonnet45));
        test::await(collectAll(test::await(provider.outputStream(session.id))));
        return claudeStandin::readList(records + QStringLiteral("/args"));
    }

    QString project;
    QString records;
};

mode_t modeOf(const QString &path)
{
    struct stat st {};
    ::stat(QFile::encodeName(path).constData(), &st);
    return st.st_mode & 07777;
}

} // namespace

TEST_F(ProjectInstructionsTest, TheNotesReachTheAgentInAPrivateFileWhileItRuns)
{
    const QByteArray notes = "# Project notes\nUse tabs. Never touch `legacy/`.\n\u00e9\n";
    ASSERT_TRUE(writeFile(notesPath(), notes));
    const QString release = records + QStringLiteral("/release");
    claudeStandin::setCommands(QStringLiteral("hold %1\nout done").arg(release));
    ClaudeCodeProvider provider(project, standinOptions());
    const AgentSession session =
        test::await(provider.spawn(AgentRole::code, {}, {}, QStringLiteral("task"), ProjectAwareness{},
                                   ModelChoice::sonnet45));
    const std::shared_ptr<AgentOutputStream> stream = test::await(provider.outputStream(session.id));

    ASSERT_TRUE(waitUntil([&] { return claudeStandin::readList(records + QStringLiteral("/args")).contains(flag); }));
    const QStringList arguments = claudeStandin::readList(records + QStringLiteral("/args"));
    EXPECT_EQ(arguments, claudeArguments(ModelChoice::sonnet45) + (QStringList{flag, arguments.last()}));
    const QString copy = arguments.last();
    EXPECT_EQ(QString::fromUtf8(readFile(copy)),
              ProjectInstructions::forAgent(project, QString::fromUtf8(notes)));
    EXPECT_TRUE(QString::fromUtf8(readFile(copy))
                    .contains(QStringLiteral("Contents of %1/CLAUDE.md (project instructions, checked into the "
                                             "codebase):\n\n# Project notes\nUse tabs.")
                                  .arg(project)));
    EXPECT_EQ(modeOf(copy), 0600u);
    EXPECT_TRUE(copy.startsWith(qEnvironmentVariable("XDG_RUNTIME_DIR") + QLatin1Char('/')));
    // The notes are not in the prompt, and no command line holds their text.
    EXPECT_FALSE(readFile(records + QStringLiteral("/stdin")).contains("Use tabs."));

    QFile(release).open(QIODevice::WriteOnly);
    test::await(collectAll(stream));
    EXPECT_TRUE(waitUntil([&] { return !QFileInfo::exists(copy); })); // removed once the agent has gone
}

TEST_F(ProjectInstructionsTest, OnlyARegularFileWithinTheCapIsPassedAndNeverToTheDeployAgent)
{
    // Within the cap, to the byte: passed.
    ASSERT_TRUE(writeFile(notesPath(), QByteArray(ProjectInstructions::maxBytes, 'n')));
    EXPECT_TRUE(argumentsOfARun().contains(flag));
    // The Deploy agent holds a provider's token: project text never steers it.
    EXPECT_FALSE(argumentsOfARun(AgentRole::deploy).contains(flag));

    LogCapture log;
    // One byte over the cap: left out, said in the log.
    ASSERT_TRUE(writeFile(notesPath(), QByteArray(ProjectInstructions::maxBytes + 1, 'n')));
    EXPECT_FALSE(argumentsOfARun().contains(flag));
    EXPECT_TRUE(log.contains(QStringLiteral("[Nerim agent] CLAUDE.md was left out of the run")));

    // A link (even to a file of the project), a named pipe nobody writes to,
    // a device and a folder are left out; the run starts at once all the same.
    const QString inside = project + QStringLiteral("/AGENTS.md");
    ASSERT_TRUE(writeFile(inside, "notes"));
    const auto plant = [&](const std::function<bool()> &make) {
        QFile::remove(notesPath());
        QDir(notesPath()).removeRecursively();
        return make();
    };
    const std::function<bool()> planted[] = {
        [&] { return plantLink(notesPath(), inside); },
        [&] { return plantLink(notesPath(), QStringLiteral("/dev/zero")); },
        [&] { return plantFifo(notesPath()); },
        [&] { return QDir().mkpath(notesPath()); },
    };
    for (const auto &make : planted) {
        log.clear();
        ASSERT_TRUE(plant(make));
        EXPECT_FALSE(argumentsOfARun().contains(flag));
        EXPECT_TRUE(log.contains(QStringLiteral("CLAUDE.md was left out of the run")));
    }

    // No notes: no flag, nothing said.
    QDir(notesPath()).removeRecursively();
    log.clear();
    EXPECT_EQ(argumentsOfARun(), claudeArguments(ModelChoice::sonnet45));
    EXPECT_TRUE(log.lines().isEmpty());
}

// With the real program: the notes reach the request it sends to the
// Messages API, and where the agent reads them.
TEST_F(ProjectInstructionsTest, TheRealProgramSendsTheNotesInItsSystemPrompt)
{
    const QString real = qEnvironmentVariable("NERIM_REAL_CLAUDE");
    if (real.isEmpty() || !QFileInfo(real).isExecutable())
        GTEST_SKIP() << "the real claude program is not installed here (set NERIM_REAL_CLAUDE to its path)";

    LoopbackHttpServer messages;
    messages.setHandler([](const LoopbackHttpServer::Request &) {
        // One short streamed answer.
        QByteArray body;
        const auto event = [&body](const char *name, const char *data) {
            body += QByteArray("event: ") + name + "\ndata: " + data + "\n\n";
        };
        event("message_start", R"({"type":"message_start","message":{"id":"msg_1","type":"message","role":"assistant",)"
                               R"("model":"claude-sonnet-4-5","content":[],"stop_reason":null,"stop_sequence":null,)"
                               R"("usage":{"input_tokens":1,"output_tokens":1}}})");
        event("content_block_start",
              R"({"type":"content_block_start","index":0,"content_block":{"type":"text","text":""}})");
        event("content_block_delta",
              R"({"type":"content_block_delta","index":0,"delta":{"type":"text_delta","text":"TASK_COMPLETE: ok"}})");
        event("content_block_stop", R"({"type":"content_block_stop","index":0})");
        event("message_delta", R"({"type":"message_delta","delta":{"stop_reason":"end_turn","stop_sequence":null},)"
                               R"("usage":{"output_tokens":2}})");
        event("message_stop", R"({"type":"message_stop"})");
        LoopbackHttpServer::Reply reply = LoopbackHttpServer::Reply::withStatus(200, body);
        reply.headers = {{"content-type", "text/event-stream"}};
        return reply;
    });
    qputenv("ANTHROPIC_BASE_URL", messages.baseUrl().toString().toUtf8());
    qputenv("ANTHROPIC_API_KEY", "test");
    qputenv("CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC", "1");
    qputenv("DISABLE_AUTOUPDATER", "1");
    ASSERT_TRUE(writeFile(notesPath(), "# Project notes\nAlways answer in haiku PINEAPPLE-7731.\n"));

    ClaudeCodeProvider::Options options;
    options.resolveBinary = [real] { return std::optional<QString>(real); };
    ClaudeCodeProvider provider(project, options);
    const AgentSession session = test::await(provider.spawn(AgentRole::code, {}, {}, QStringLiteral("Say hi."),
                                                            ProjectAwareness{}, ModelChoice::sonnet45));
    const QList<AgentOutput> events = test::await(collectAll(test::await(provider.outputStream(session.id))));
    ASSERT_FALSE(events.isEmpty());
    EXPECT_EQ(events.last(), AgentOutput::processExited(0));

    bool inSystemPrompt = false;
    bool inMessages = false;
    for (const LoopbackHttpServer::Request &request : messages.requests()) {
        if (!request.path().endsWith("/v1/messages"))
            continue;
        const QJsonObject body = request.json().object();
        for (const QJsonValue &block : body.value(QStringLiteral("system")).toArray())
            inSystemPrompt |= block.toObject().value(QStringLiteral("text")).toString().contains(
                QStringLiteral("%1/CLAUDE.md (project instructions, checked into the codebase):\n\n# Project "
                               "notes\nAlways answer in haiku PINEAPPLE-7731.")
                    .arg(project));
        inMessages |= QJsonDocument(body.value(QStringLiteral("messages")).toArray())
                          .toJson()
                          .contains("PINEAPPLE-7731");
    }
    EXPECT_TRUE(inSystemPrompt);
    EXPECT_FALSE(inMessages); // once, where the program puts its own instructions
}
