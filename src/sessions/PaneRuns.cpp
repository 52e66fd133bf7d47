#include "sessions/PaneRuns.h"

namespace nerim {

void removeTurnInFlight(AgentPaneState *pane)
{
    QList<ConversationTurn> turns = pane->conversation();
    if (turns.isEmpty() || !turns.last().isInFlight())
        return;
    turns.removeLast();
    pane->setConversation(turns);
}

QString hangThresholdName(HangThreshold threshold)
{
    switch (threshold) {
    case HangThreshold::log: return QStringLiteral("log");
    case HangThreshold::notify: return QStringLiteral("notify");
    case HangThreshold::forcedDecision: return QStringLiteral("forcedDecision");
    }
    return QString();
}

} // namespace nerim
