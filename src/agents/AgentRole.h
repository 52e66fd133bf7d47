#pragma once

#include <QList>
#include <QString>
#include <optional>

namespace nerim {

// The role an agent's prompt is built for. Stored by its raw value (the case name).
enum class AgentRole { unspecified, designer, backend, research, dbSchema, ui, code };

// Every role, in declaration order.
const QList<AgentRole> &allAgentRoles();

QString rawValue(AgentRole role);
// Exact, case-sensitive match of a raw value; anything else gives nothing.
std::optional<AgentRole> agentRoleFromRaw(const QString &raw);

} // namespace nerim
