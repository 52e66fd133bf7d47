#include "agents/ConversationTurn.h"

namespace nerim {

QString ConversationTurn::displayResponse() const
{
    if (taskCompleteSummary) {
        const QString summary = taskCompleteSummary->trimmed();
        if (!summary.isEmpty())
            return summary;
    }
    const QString response = agentResponse.trimmed();
    if (!response.isEmpty())
        return response;
    return QStringLiteral("(no response captured)");
}

QJsonObject ConversationTurn::toJson() const
{
    QJsonObject object;
    object.insert(QStringLiteral("id"), json::uuid(id));
    object.insert(QStringLiteral("userPrompt"), userPrompt);
    object.insert(QStringLiteral("agentResponse"), agentResponse);
    json::insertOptional(object, QStringLiteral("taskCompleteSummary"), taskCompleteSummary);
    object.insert(QStringLiteral("startedAt"), json::numberDate(startedAt));
    json::insertOptional(object, QStringLiteral("endedAt"), endedAt, &json::numberDate);
    return object;
}

ConversationTurn ConversationTurn::fromJson(const JsonObjectReader &reader)
{
    ConversationTurn turn;
    turn.id = reader.uuid(QStringLiteral("id"));
    turn.userPrompt = reader.string(QStringLiteral("userPrompt"));
    turn.agentResponse = reader.string(QStringLiteral("agentResponse"));
    turn.taskCompleteSummary = reader.optionalString(QStringLiteral("taskCompleteSummary"));
    turn.startedAt = reader.numberDate(QStringLiteral("startedAt"));
    turn.endedAt = reader.optionalNumberDate(QStringLiteral("endedAt"));
    return turn;
}

} // namespace nerim
