#pragma once

#include "routing/LocalCommands.h"
#include "routing/PromptWords.h"

#include <optional>

// The local command matchers: each recognises a whole prompt as its command,
// or returns nothing. English only, blind to letter case, no state, no
// logging; safe on any thread.
//
// The canvas runs them on a prompt with target "auto" in this order and stops
// at the first that answers: parseRunAppCommand, parsePreviewCommand,
// parsePlanCommand, parseStepHandover, parseSpawnCount, parsePaneAddress.
namespace nerim {

std::optional<RunAppCommand> parseRunAppCommand(const QString &prompt);
std::optional<PreviewCommand> parsePreviewCommand(const QString &prompt);
std::optional<PlanCommand> parsePlanCommand(const QString &prompt);
std::optional<StepHandover> parseStepHandover(const QString &prompt, const OpenPaneNumbers &openPanes,
                                              const PaneNameTable &table);
// 1, 2 or 3 agents.
std::optional<int> parseSpawnCount(const QString &prompt);

} // namespace nerim
