#include "agents/AgentProviderType.h"

#include "foundation/RawValues.h"

namespace nerim {

namespace {
constexpr auto typeNames = rawValues<AgentProviderType>("claudeCode", "codex", "composer");
}

QString rawValue(AgentProviderType type) { return typeNames.raw(type); }

std::optional<AgentProviderType> agentProviderTypeFromRaw(const QString &raw) { return typeNames.fromRaw(raw); }

} // namespace nerim
