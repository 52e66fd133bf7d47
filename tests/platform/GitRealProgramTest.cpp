// The installed agent program runs git in a hostile repository the way a task
// pane does (through the guard, its Bash tool in its own shell), driven by a
// Messages API on 127.0.0.1 that answers each turn with the next command:
// none of the repository's planted programs runs, and git does its work.
//
// Runs where NERIM_REAL_CLAUDE names the installed `claude`; skipped elsewhere.
#include "platform/ChildProcess.h"

#include "LoopbackHttpServer.h"
#include "PlantedRepository.h"
#include "TaggedProcesses.h"
#include "TestEnvironment.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <gtest/gtest.h>

using namespace nerim::platform;
using namespace nerim::test;

namespace {

// A Messages API that plays Bash commands one turn at a time and keeps what
// the program answered to each.
class CommandPlayer {
public:
    explicit CommandPlayer(QStringList commands) : m_commands(std::move(commands))
    {
        m_server.setHandler([this](const LoopbackHttpServer::Request &request) { return answer(request); });
    }

    QUrl baseUrl() const { return m_server.baseUrl(); }
    const QHash<QString, QString> &results() const { return m_results; }

private:
    LoopbackHttpServer::Reply answer(const LoopbackHttpServer::Request &request)
    {
        if (!request.path().endsWith("/v1/messages"))
            return LoopbackHttpServer::Reply::text(404, "not here");
        const QJsonObject body = request.json().object();
        const QJsonArray messages = body.value(QLatin1String("messages")).toArray();
        const QJsonValue last = messages.isEmpty() ? QJsonValue() : messages.last().toObject().value(QLatin1String("content"));
        for (const QJsonValue &block : last.toArray()) {
            const QJsonObject object = block.toObject();
            if (object.value(QLatin1String("type")).toString() != QLatin1String("tool_result"))
                continue;
            const QJsonValue content = object.value(QLatin1String("content"));
            QString text = content.toString();
            for (const QJsonValue &part : content.toArray())
                text += part.toObject().value(QLatin1String("text")).toString();
            const QString id = object.value(QLatin1String("tool_use_id")).toString();
            if (m_played.contains(id))
                m_results.insert(m_played.value(id), text);
        }
        QJsonObject block;
        QString stop = QStringLiteral("end_turn");
        if (body.value(QLatin1String("tools")).toArray().isEmpty() || m_next >= m_commands.size()) {
            block = QJsonObject{{QStringLiteral("type"), QStringLiteral("text")}, {QStringLiteral("text"), QStringLiteral("Done.")}};
        } else {
            const QString id = QStringLiteral("toolu_%1").arg(m_next);
            m_played.insert(id, m_commands.at(m_next));
            block = QJsonObject{{QStringLiteral("type"), QStringLiteral("tool_use")},
                                {QStringLiteral("id"), id},
                                {QStringLiteral("name"), QStringLiteral("Bash")},
                                {QStringLiteral("input"), QJsonObject{{QStringLiteral("command"), m_commands.at(m_next)},
                                                                      {QStringLiteral("description"), QStringLiteral("git")}}}};
            stop = QStringLiteral("tool_use");
            ++m_next;
        }
        const bool stream = body.value(QLatin1String("stream")).toBool();
        const QJsonObject usage{{QStringLiteral("input_tokens"), 10}, {QStringLiteral("output_tokens"), 5}};
        QJsonObject message{{QStringLiteral("id"), QStringLiteral("msg_1")},
                            {QStringLiteral("type"), QStringLiteral("message")},
                            {QStringLiteral("role"), QStringLiteral("assistant")},
                            {QStringLiteral("model"), QStringLiteral("claude-sonnet-4-5")},
                            {QStringLiteral("stop_sequence"), QJsonValue::Null},
                            {QStringLiteral("usage"), usage}};
        if (!stream) {
            message.insert(QStringLiteral("content"), QJsonArray{block});
            message.insert(QStringLiteral("stop_reason"), stop);
            return LoopbackHttpServer::Reply::json(200, QJsonDocument(message).toJson(QJsonDocument::Compact));
        }
        message.insert(QStringLiteral("content"), QJsonArray());
        message.insert(QStringLiteral("stop_reason"), QJsonValue::Null);
        QJsonObject start = block;
        QJsonObject delta;
        if (block.value(QLatin1String("type")) == QLatin1String("text")) {
            start.insert(QStringLiteral("text"), QString());
            delta = {{QStringLiteral("type"), QStringLiteral("text_delta")}, {QStringLiteral("text"), block.value(QLatin1String("text"))}};
        } else {
            start.insert(QStringLiteral("input"), QJsonObject());
            delta = {{QStringLiteral("type"), QStringLiteral("input_json_delta")},
                     {QStringLiteral("partial_json"),
                      QString::fromUtf8(QJsonDocument(block.value(QLatin1String("input")).toObject()).toJson(QJsonDocument::Compact))}};
        }
        const QList<QJsonObject> events{
            {{QStringLiteral("type"), QStringLiteral("message_start")}, {QStringLiteral("message"), message}},
            {{QStringLiteral("type"), QStringLiteral("content_block_start")}, {QStringLiteral("index"), 0}, {QStringLiteral("content_block"), start}},
            {{QStringLiteral("type"), QStringLiteral("content_block_delta")}, {QStringLiteral("index"), 0}, {QStringLiteral("delta"), delta}},
            {{QStringLiteral("type"), QStringLiteral("content_block_stop")}, {QStringLiteral("index"), 0}},
            {{QStringLiteral("type"), QStringLiteral("message_delta")},
             {QStringLiteral("delta"), QJsonObject{{QStringLiteral("stop_reason"), stop}, {QStringLiteral("stop_sequence"), QJsonValue::Null}}},
             {QStringLiteral("usage"), QJsonObject{{QStringLiteral("output_tokens"), 5}}}},
            {{QStringLiteral("type"), QStringLiteral("message_stop")}},
        };
        QByteArray sse;
        for (const QJsonObject &event : events)
            sse += "event: " + event.value(QLatin1String("type")).toString().toUtf8() + "\ndata: " +
                   QJsonDocument(event).toJson(QJsonDocument::Compact) + "\n\n";
        LoopbackHttpServer::Reply reply = LoopbackHttpServer::Reply::withStatus(200, sse);
        reply.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("text/event-stream")));
        return reply;
    }

    LoopbackHttpServer m_server;
    QStringList m_commands;
    qsizetype m_next = 0;
    QHash<QString, QString> m_played;
    QHash<QString, QString> m_results;
};

} // namespace

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
    CommandPlayer player(commands);
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
