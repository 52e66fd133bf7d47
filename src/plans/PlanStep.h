#pragma once

#include <QJsonObject>
#include <QString>
#include <QUuid>
#include <optional>

namespace nerim {

class JsonObjectReader;

// One step of a project's plan: an imperative title, a few sentences of detail
// and where the work stands. The id is fixed when the step is created; task
// agents refer to the step by it ("PLAN_STEP_COMPLETE: <id>").
struct PlanStep {
    enum class Status { pending, inProgress, done };

    QUuid id;
    QString title;
    QString detail;
    Status status = Status::pending;

    friend bool operator==(const PlanStep &, const PlanStep &) = default;

    // JSON form in plan.json: "detail", "id" (upper-case UUID), "status", "title"; all required.
    QJsonObject toJson() const;
    static PlanStep fromJson(const JsonObjectReader &object); // throws JsonDecodingError
};

QString rawValue(PlanStep::Status status);
std::optional<PlanStep::Status> planStepStatusFromRaw(const QString &raw);

// The status that follows in the panel's toggle cycle: pending → inProgress → done → pending.
PlanStep::Status nextStatus(PlanStep::Status status);

} // namespace nerim
