#include "panes-store/AgentRole.h"

#include "foundation/RawValues.h"

namespace nerim {

namespace {
constexpr auto roleNames =
    rawValues<AgentRole>("unspecified", "designer", "backend", "research", "dbSchema", "ui", "code", "deploy");
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

QString displayName(AgentRole role)
{
    switch (role) {
    case AgentRole::unspecified: return QStringLiteral("General");
    case AgentRole::designer: return QStringLiteral("Designer");
    case AgentRole::backend: return QStringLiteral("Backend");
    case AgentRole::research: return QStringLiteral("Research");
    case AgentRole::dbSchema: return QStringLiteral("DB Schema");
    case AgentRole::ui: return QStringLiteral("UI");
    case AgentRole::code: return QStringLiteral("Code");
    case AgentRole::deploy: return QStringLiteral("Deploy");
    }
    return QString();
}

QString symbolName(AgentRole role)
{
    switch (role) {
    case AgentRole::unspecified: return QStringLiteral("person.fill");
    case AgentRole::designer: return QStringLiteral("paintbrush.fill");
    case AgentRole::backend: return QStringLiteral("server.rack");
    case AgentRole::research: return QStringLiteral("magnifyingglass");
    case AgentRole::dbSchema: return QStringLiteral("cylinder.split.1x2");
    case AgentRole::ui: return QStringLiteral("square.on.circle");
    case AgentRole::code: return QStringLiteral("chevron.left.forwardslash.chevron.right");
    case AgentRole::deploy: return QStringLiteral("globe");
    }
    return QString();
}

const QList<AgentRole> &offeredAgentRoles()
{
    static const QList<AgentRole> roles{AgentRole::unspecified, AgentRole::designer, AgentRole::backend,
                                        AgentRole::research, AgentRole::dbSchema};
    return roles;
}

} // namespace nerim
