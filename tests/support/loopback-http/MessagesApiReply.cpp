#include "MessagesApiReply.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace nerim::test {

QJsonObject textBlock(const QString &text)
{
    return {{QStringLiteral("type"), QStringLiteral("text")}, {QStringLiteral("text"), text}};
}

QJsonObject bashToolUse(const QString &id, const QString &command, const QString &description)
{
    return {{QStringLiteral("type"), QStringLiteral("tool_use")},
            {QStringLiteral("id"), id},
            {QStringLiteral("name"), QStringLiteral("Bash")},
            {QStringLiteral("input"),
             QJsonObject{{QStringLiteral("command"), command}, {QStringLiteral("description"), description}}}};
}

QList<QPair<QString, QString>> toolResults(const QJsonObject &body)
{
    QList<QPair<QString, QString>> results;
    const QJsonArray messages = body.value(QLatin1String("messages")).toArray();
    if (messages.isEmpty())
        return results;
    for (const QJsonValue &block : messages.last().toObject().value(QLatin1String("content")).toArray()) {
        const QJsonObject object = block.toObject();
        if (object.value(QLatin1String("type")).toString() != QLatin1String("tool_result"))
            continue;
        const QJsonValue content = object.value(QLatin1String("content"));
        QString text = content.toString();
        for (const QJsonValue &part : content.toArray())
            text += part.toObject().value(QLatin1String("text")).toString();
        results.append({object.value(QLatin1String("tool_use_id")).toString(), text});
    }
    return results;
}

LoopbackHttpServer::Reply messagesApiReply(const QJsonObject &body, const QJsonObject &block, const QString &stopReason)
{
    const QJsonObject usage{{QStringLiteral("input_tokens"), 10}, {QStringLiteral("output_tokens"), 5}};
    QJsonObject message{{QStringLiteral("id"), QStringLiteral("msg_1")},
                        {QStringLiteral("type"), QStringLiteral("message")},
                        {QStringLiteral("role"), QStringLiteral("assistant")},
                        {QStringLiteral("model"), QStringLiteral("claude-sonnet-4-5")},
                        {QStringLiteral("stop_sequence"), QJsonValue::Null},
                        {QStringLiteral("usage"), usage}};
    if (!body.value(QLatin1String("stream")).toBool()) {
        message.insert(QStringLiteral("content"), QJsonArray{block});
        message.insert(QStringLiteral("stop_reason"), stopReason);
        return LoopbackHttpServer::Reply::json(200, QJsonDocument(message).toJson(QJsonDocument::Compact));
    }

    // Streamed: the block starts empty and its content comes as one delta.
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
         {QStringLiteral("delta"), QJsonObject{{QStringLiteral("stop_reason"), stopReason}, {QStringLiteral("stop_sequence"), QJsonValue::Null}}},
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

BashCommandPlayer::BashCommandPlayer(QStringList commands, QString description)
    : m_commands(std::move(commands)), m_description(std::move(description))
{
    m_server.setHandler([this](const LoopbackHttpServer::Request &request) { return answer(request); });
}

LoopbackHttpServer::Reply BashCommandPlayer::answer(const LoopbackHttpServer::Request &request)
{
    if (!request.path().endsWith("/v1/messages"))
        return LoopbackHttpServer::Reply::text(404, "not here");
    const QJsonObject body = request.json().object();
    for (const auto &[id, text] : toolResults(body))
        if (m_played.contains(id))
            m_results.insert(m_played.value(id), text);
    if (body.value(QLatin1String("tools")).toArray().isEmpty() || m_next >= m_commands.size())
        return messagesApiReply(body, textBlock(QStringLiteral("Done.")), QStringLiteral("end_turn"));
    const QString id = QStringLiteral("toolu_%1").arg(m_next);
    m_played.insert(id, m_commands.at(m_next));
    return messagesApiReply(body, bashToolUse(id, m_commands.at(m_next++), m_description), QStringLiteral("tool_use"));
}

} // namespace nerim::test
