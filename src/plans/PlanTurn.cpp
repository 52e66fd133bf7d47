#include "plans/PlanTurn.h"

#include "foundation/Json.h"
#include "foundation/RawValues.h"

namespace nerim {

namespace {
constexpr auto roleNames = rawValues<PlanTurn::Role>("user", "agent");
}

QString rawValue(PlanTurn::Role role) { return roleNames.raw(role); }

std::optional<PlanTurn::Role> planTurnRoleFromRaw(const QString &raw) { return roleNames.fromRaw(raw); }

QJsonObject PlanTurn::toJson() const
{
    QJsonObject object;
    object.insert(QStringLiteral("content"), content);
    object.insert(QStringLiteral("id"), json::uuid(id));
    object.insert(QStringLiteral("revisedPlan"), revisedPlan);
    object.insert(QStringLiteral("role"), rawValue(role));
    object.insert(QStringLiteral("timestamp"), json::numberDate(timestamp));
    return object;
}

PlanTurn PlanTurn::fromJson(const JsonObjectReader &object)
{
    PlanTurn turn;
    turn.content = object.string(QStringLiteral("content"));
    turn.id = object.uuid(QStringLiteral("id"));
    turn.revisedPlan = object.boolean(QStringLiteral("revisedPlan"));
    turn.role = object.enumeration(QStringLiteral("role"), &planTurnRoleFromRaw);
    turn.timestamp = object.numberDate(QStringLiteral("timestamp"));
    return turn;
}

} // namespace nerim
