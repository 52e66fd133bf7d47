#include "agents/AgentRole.h"

namespace nerim {

namespace {
constexpr const char *roleNames[] = {"unspecified", "designer", "backend", "research", "dbSchema", "ui", "code"};
}

const QList<AgentRole> &allAgentRoles()
{
    static const QList<AgentRole> roles{AgentRole::unspecified, AgentRole::designer, AgentRole::backend,
                                        AgentRole::research,    AgentRole::dbSchema, AgentRole::ui,
                                        AgentRole::code};
    return roles;
}

QString rawValue(AgentRole role) { return QString::fromLatin1(roleNames[static_cast<int>(role)]); }

std::optional<AgentRole> agentRoleFromRaw(const QString &raw)
{
    for (AgentRole role : allAgentRoles())
        if (raw == QLatin1String(roleNames[static_cast<int>(role)]))
            return role;
    return std::nullopt;
}

} // namespace nerim
