#pragma once

#include "foundation/Timestamp.h"

#include <QJsonObject>
#include <QString>
#include <QUuid>
#include <optional>

namespace nerim {

class JsonObjectReader;

// One message of the Plans conversation, from the user or from the Plans agent.
struct PlanTurn {
    enum class Role { user, agent };

    QUuid id;
    Role role = Role::user;
    QString content;     // trimmed
    Timestamp timestamp; // when the turn was made
    // On an agent turn: the reply came with a revised plan. Always false on a user turn.
    bool revisedPlan = false;

    friend bool operator==(const PlanTurn &, const PlanTurn &) = default;

    // JSON form in plan.json: "content", "id", "revisedPlan", "role", "timestamp"
    // (seconds since 2001-01-01 as a number); all required.
    QJsonObject toJson() const;
    static PlanTurn fromJson(const JsonObjectReader &object); // throws JsonDecodingError
};

QString rawValue(PlanTurn::Role role);
std::optional<PlanTurn::Role> planTurnRoleFromRaw(const QString &raw);

} // namespace nerim
