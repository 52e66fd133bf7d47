#pragma once

#include "foundation/NmColor.h"

namespace nerim {

// What a pane's agent is doing. Never saved: a restored pane starts `idle`.
enum class AgentStatus { idle, spawning, working, hung, done, error, stopped };

// The colour token in which the status is drawn.
constexpr NmRgb color(AgentStatus status)
{
    switch (status) {
    case AgentStatus::idle: return NmColor::neutral;
    case AgentStatus::spawning: return NmColor::warning;
    case AgentStatus::working: return NmColor::success;
    case AgentStatus::hung: return NmColor::warning;
    case AgentStatus::done: return NmColor::success;
    case AgentStatus::error: return NmColor::danger;
    case AgentStatus::stopped: return NmColor::inkTertiary;
    }
    return NmColor::neutral;
}

// `spawning`, `working` and `hung` are busy: a busy pane takes no new prompt.
constexpr bool isBusy(AgentStatus status)
{
    return status == AgentStatus::spawning || status == AgentStatus::working || status == AgentStatus::hung;
}

} // namespace nerim
