#pragma once

#include "foundation/Json.h"
#include "launcher/DevServerRunner.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <optional>

namespace nerim {

// The snapshot of a failed start that a repair session works on: what was run,
// how it failed and the server's last output. The Repair agent's prompt is
// filled from it. Later attempts of a session change only `attempt`; the first
// failure stays as it was.
struct RepairContext {
    using Category = DevServerRunner::DetectedFailure::Category;

    static constexpr int defaultRetryCap = 3;

    QUrl projectURL;          // the project folder (a file URL)
    QString projectType;      // a plain phrase naming the kind of project
    QString shellCommand;     // the command that was run
    Category failureCategory = Category::nodemonCatchall;
    QString summary;          // one sentence on what went wrong
    std::optional<QString> hint;
    std::optional<QString> symbol; // the missing variable or module, when known
    QStringList logTail;      // the server's last output lines, oldest first
    int attempt = 1;          // the current repair attempt, from 1
    int retryCap = defaultRetryCap;

    friend bool operator==(const RepairContext &, const RepairContext &) = default;

    // JSON form: keys are the field names; `hint` and `symbol` are left out when
    // absent; the category is its raw value; the project folder is its file URL text.
    QJsonObject toJson() const;
    // Strict: throws JsonDecodingError.
    static RepairContext fromJson(const JsonObjectReader &reader);

    // The context for a new session from what the last run of the app left behind:
    // a classified failure of the launched plan; or else, when no plan could be
    // detected, the detection error; or else nothing (there is nothing to repair).
    // `recentOutput` is the runner's kept output (at most its last 200 lines).
    static std::optional<RepairContext> fromFailedStart(const QUrl &projectURL,
                                                        const std::optional<DevServerRunner::DetectedFailure> &lastFailure,
                                                        const std::optional<LaunchPlan> &lastAttemptedLaunchPlan,
                                                        const std::optional<QString> &lastLaunchAttemptDetectionError,
                                                        const QStringList &recentOutput);
};

} // namespace nerim
