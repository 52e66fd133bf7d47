#include "agents/ConversationTurn.h"

namespace nerim {

TurnResponse::TurnResponse(const QString &text) : m_size(text.size())
{
    if (!text.isEmpty())
        m_lines.append(text);
}

TurnResponse &TurnResponse::operator=(const QString &text)
{
    *this = TurnResponse(text);
    return *this;
}

void TurnResponse::appendLine(const QString &line)
{
    if (m_size == 0) {
        m_lines.clear();
        if (!line.isEmpty())
            m_lines.append(line);
        m_size = line.size();
        return;
    }
    m_lines.append(line);
    m_size += 1 + line.size();
}

QString TurnResponse::toString() const
{
    if (m_lines.size() == 1)
        return m_lines.first();
    return m_lines.join(QLatin1Char('\n'));
}

qsizetype TurnResponse::count(QChar c) const
{
    qsizetype n = 0;
    for (const QString &line : m_lines)
        n += line.count(c);
    if (c == QLatin1Char('\n') && !m_lines.isEmpty())
        n += m_lines.size() - 1;
    return n;
}

bool operator==(const TurnResponse &a, const TurnResponse &b)
{
    return a.m_size == b.m_size && (a.m_lines == b.m_lines || a.toString() == b.toString());
}

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
    object.insert(QStringLiteral("agentResponse"), agentResponse.toString());
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
