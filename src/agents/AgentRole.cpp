#include "agents/AgentRole.h"

#include "foundation/RawValues.h"

namespace nerim {

namespace {
constexpr auto roleNames =
    rawValues<AgentRole>("unspecified", "designer", "backend", "research", "dbSchema", "ui", "code");
}

const QList<AgentRole> &allAgentRoles()
{
    static const QList<AgentRole> roles{AgentRole::unspecified, AgentRole::designer, AgentRole::backend,
                                        AgentRole::research,    AgentRole::dbSchema, AgentRole::ui,
                                        AgentRole::code};
    return roles;
}

QString rawValue(AgentRole role) { return roleNames.raw(role); }

std::optional<AgentRole> agentRoleFromRaw(const QString &raw) { return roleNames.fromRaw(raw); }

} // namespace nerim
