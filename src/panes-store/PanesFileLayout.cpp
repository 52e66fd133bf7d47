#include "panes-store/PanesFileLayout.h"

namespace nerim {

size_t PanesFileLayout::turnKey(const ConversationTurn &turn)
{
    return qHashMulti(0, turn.userPrompt.size(), turn.agentResponse.size(), turn.taskCompleteSummary.has_value(),
                      turn.taskCompleteSummary ? turn.taskCompleteSummary->size() : 0,
                      turn.startedAt.secondsSinceReferenceDate(),
                      turn.endedAt ? turn.endedAt->secondsSinceReferenceDate() : -1.0);
}

} // namespace nerim
