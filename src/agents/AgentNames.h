#pragma once

#include <QMap>
#include <QString>
#include <optional>

namespace nerim {

class ProjectDataFolder;

// The names the user gave to pane numbers (agent-names.json): a pane spawned
// later with a number that once had a custom name gets that name again.
using AgentNameMap = QMap<qint64, QString>;

// Reads agent-names.json into `names`. No file: nothing changes. A file that
// cannot be read or decoded is logged as "[Nerim agents] name load failed: …"
// and `names` is kept; otherwise the entries whose keys are decimal integers
// (an optional sign, within 64 bits) replace `names`.
void loadAgentNames(const QString &path, AgentNameMap &names);

// Writes the map in the background through the per-path serial writer, as one
// JSON object with decimal keys, replacing the file crash-safely in one step
// (no backup; a link in its place is replaced, never written through).
// A failure is logged as "[Nerim agents] rename persist failed: …".
void saveAgentNames(const QString &path, AgentNameMap names);
// The same through the project's data folder door (agent-names.json in it):
// retried and told when it fails, never written by a Nerim that does not hold
// the project.
void saveAgentNames(ProjectDataFolder &door, AgentNameMap names);

// The decimal integer a key stands for, if it is one.
std::optional<qint64> agentNumberFromKey(const QString &key);

} // namespace nerim
