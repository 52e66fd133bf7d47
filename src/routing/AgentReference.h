#pragma once

#include <QString>

namespace nerim {

// Which pane a plan-step hand-off names: a pane number, or a key of the pane
// name table exactly as the table spells it.
struct AgentReference {
    enum class Kind { number, name };

    Kind kind = Kind::number;
    int number = 0; // for number
    QString name;   // for name

    static AgentReference byNumber(int number) { return AgentReference{Kind::number, number, QString()}; }
    static AgentReference byName(QString name) { return AgentReference{Kind::name, 0, std::move(name)}; }

    friend bool operator==(const AgentReference &, const AgentReference &) = default;
};

} // namespace nerim
