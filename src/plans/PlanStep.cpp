#include "plans/PlanStep.h"

#include "foundation/Json.h"
#include "foundation/RawValues.h"

namespace nerim {

namespace {
constexpr auto statusNames = rawValues<PlanStep::Status>("pending", "inProgress", "done");
}

QString rawValue(PlanStep::Status status) { return statusNames.raw(status); }

std::optional<PlanStep::Status> planStepStatusFromRaw(const QString &raw) { return statusNames.fromRaw(raw); }

PlanStep::Status nextStatus(PlanStep::Status status)
{
    switch (status) {
    case PlanStep::Status::pending: return PlanStep::Status::inProgress;
    case PlanStep::Status::inProgress: return PlanStep::Status::done;
    case PlanStep::Status::done: return PlanStep::Status::pending;
    }
    return PlanStep::Status::pending;
}

QJsonObject PlanStep::toJson() const
{
    QJsonObject object;
    object.insert(QStringLiteral("detail"), detail);
    object.insert(QStringLiteral("id"), json::uuid(id));
    object.insert(QStringLiteral("status"), rawValue(status));
    object.insert(QStringLiteral("title"), title);
    return object;
}

PlanStep PlanStep::fromJson(const JsonObjectReader &object)
{
    PlanStep step;
    step.detail = object.string(QStringLiteral("detail"));
    step.id = object.uuid(QStringLiteral("id"));
    step.status = object.enumeration(QStringLiteral("status"), &planStepStatusFromRaw);
    step.title = object.string(QStringLiteral("title"));
    return step;
}

} // namespace nerim
