#pragma once

// The Messages API's side of one turn, for a LoopbackHttpServer that stands
// in for it in front of the real agent program: what the program sent back
// (its tool results), and the assistant's answer of one content block, as one
// JSON message or, when the request asks to stream, as the server-sent events
// the program reads (message_start, content_block_start/delta/stop,
// message_delta, message_stop).

#include "LoopbackHttpServer.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QUrl>

namespace nerim::test {

// A text content block.
QJsonObject textBlock(const QString &text);

// A tool_use content block asking the program's Bash tool to run `command`.
QJsonObject bashToolUse(const QString &id, const QString &command, const QString &description);

// The tool results in the last message of a request's `body`, in order: the
// tool_use id each answers, and its text (parts joined).
QList<QPair<QString, QString>> toolResults(const QJsonObject &body);

// The reply to a request whose body is `body`: an assistant message whose one
// content block is `block`, ended for `stopReason` ("end_turn", "tool_use").
LoopbackHttpServer::Reply messagesApiReply(const QJsonObject &body, const QJsonObject &block, const QString &stopReason);

// A Messages API on 127.0.0.1 that, while the request offers tools, answers
// each turn with the next of `commands` for the Bash tool (then "Done."), and
// keeps what the program answered to each: its output, or its refusal.
class BashCommandPlayer {
public:
    explicit BashCommandPlayer(QStringList commands, QString description = QStringLiteral("check"));

    QUrl baseUrl() const { return m_server.baseUrl(); }
    // The program's answer to each command played, by command.
    const QHash<QString, QString> &results() const { return m_results; }

private:
    LoopbackHttpServer::Reply answer(const LoopbackHttpServer::Request &request);

    LoopbackHttpServer m_server;
    QStringList m_commands;
    QString m_description;
    qsizetype m_next = 0;
    QHash<QString, QString> m_played; // tool_use id -> command
    QHash<QString, QString> m_results;
};

} // namespace nerim::test
