#include "plans/PlanStep.h"

#include "foundation/Json.h"

namespace nerim {

QString rawValue(PlanStep::Status status)
{
    switch (status) {
    case PlanStep::Status::pending: return QStringLiteral("pending");
    case PlanStep::Status::inProgress: return QStringLiteral("inProgress");
    case PlanStep::Status::done: return QStringLiteral("done");
    }
    return QStringLiteral("pending");
}

std::optional<PlanStep::Status> planStepStatusFromRaw(const QString &raw)
{
    if (raw == QLatin1String("pending"))
        return PlanStep::Status::pending;
    if (raw == QLatin1String("inProgress"))
        return PlanStep::Status::inProgress;
    if (raw == QLatin1String("done"))
        return PlanStep::Status::done;
    return std::nullopt;
}

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
