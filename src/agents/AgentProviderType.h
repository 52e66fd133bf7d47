#pragma once

#include <QString>
#include <optional>

namespace nerim {

// Which program runs an agent. Only `claudeCode` is ever produced.
enum class AgentProviderType { claudeCode, codex, composer };

QString rawValue(AgentProviderType type);
std::optional<AgentProviderType> agentProviderTypeFromRaw(const QString &raw);

} // namespace nerim
