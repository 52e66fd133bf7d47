#pragma once

#include <QList>
#include <QString>
#include <optional>

namespace nerim {

// The role an agent's prompt is built for. Stored by its raw value (the case name).
// `deploy` is the role of Nerim's own Deploy agent only: no pane holds it, so
// it is not among the roles below.
enum class AgentRole { unspecified, designer, backend, research, dbSchema, ui, code, deploy };

// Every role a pane can hold, in declaration order.
const QList<AgentRole> &allAgentRoles();

QString rawValue(AgentRole role);
// Exact, case-sensitive match of a raw value; anything else gives nothing.
std::optional<AgentRole> agentRoleFromRaw(const QString &raw);

// The role's title as the user reads it: "General", "Designer", "Backend",
// "Research", "DB Schema", "UI", "Code".
QString displayName(AgentRole role);
// The symbol drawn beside the title (a design symbol name, e.g. "paintbrush.fill").
QString symbolName(AgentRole role);
// The roles a user can choose for a pane, in menu order: the first five.
// `ui` and `code` are only ever shown, never offered.
const QList<AgentRole> &offeredAgentRoles();

} // namespace nerim
