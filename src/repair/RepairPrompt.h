#pragma once

#include "repair/RepairContext.h"

#include <QString>

namespace nerim {

// The Repair agent's briefing, with placeholders in angle brackets that
// buildRepairPrompt fills in. Angle-bracket words such as <pid> or
// <VARIABLE_NAME> are meant for the agent and stay as they are.
extern const QString repairTemplate;

// At most this many of the failed start's last output lines go into the prompt.
inline constexpr int repairPromptLogTailLimit = 100;

// The first prompt of a repair session, built from its context: what failed, the
// last output, how to talk to the user, the mandate ending in one of the four
// marker lines, and the safety rules. Pure; never fails.
QString buildRepairPrompt(const RepairContext &context);

// The plain phrase for a failure category that the prompt gives the agent.
QString repairCategoryPhrase(RepairContext::Category category);

} // namespace nerim
