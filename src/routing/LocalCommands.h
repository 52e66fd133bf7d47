#pragma once

#include "routing/AgentReference.h"

#include <QString>
#include <optional>

// The values of the local command matchers.
namespace nerim {

// "run the app", "start the server", "show me the app"...
enum class RunAppCommand { runApp };

// "open the preview", "hide the browser"...
enum class PreviewCommand { open, close };

// "plan", "close plans", "plan a booking page for my bakery"...
struct PlanCommand {
    enum class Kind { open, close };

    Kind kind = Kind::open;
    std::optional<QString> topic; // open only; absent: just show the panel

    static PlanCommand open(std::optional<QString> topic = std::nullopt) { return PlanCommand{Kind::open, std::move(topic)}; }
    static PlanCommand close() { return PlanCommand{Kind::close, std::nullopt}; }

    friend bool operator==(const PlanCommand &, const PlanCommand &) = default;
};

// "hand step 2 to claude 1", "claude 2, pick up step three".
struct StepHandover {
    int stepNumber = 0; // 1 to 20
    AgentReference agent;

    friend bool operator==(const StepHandover &, const StepHandover &) = default;
};

} // namespace nerim
