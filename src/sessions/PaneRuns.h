#pragma once

#include "agents/AgentOutput.h"
#include "agents/AgentPaneState.h"

#include <QString>

namespace nerim {

// Steps that every agent run in a pane shares, task panes and system panes alike.

// Drops the pane's newest turn while it is still in flight: the turn a run
// that failed or was abandoned had opened.
void removeTurnInFlight(AgentPaneState *pane);

// The case name of a hang threshold, as pane lines show it.
QString hangThresholdName(HangThreshold threshold);

} // namespace nerim
