#include "agents/AgentProviderType.h"

namespace nerim {

namespace {
constexpr const char *typeNames[] = {"claudeCode", "codex", "composer"};
}

QString rawValue(AgentProviderType type) { return QString::fromLatin1(typeNames[static_cast<int>(type)]); }

std::optional<AgentProviderType> agentProviderTypeFromRaw(const QString &raw)
{
    for (int i = 0; i < 3; ++i)
        if (raw == QLatin1String(typeNames[i]))
            return static_cast<AgentProviderType>(i);
    return std::nullopt;
}

} // namespace nerim
