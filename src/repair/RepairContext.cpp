#include "repair/RepairContext.h"

#include <QJsonArray>

namespace nerim {

namespace {

const QString projectURLKey = QStringLiteral("projectURL");
const QString projectTypeKey = QStringLiteral("projectType");
const QString shellCommandKey = QStringLiteral("shellCommand");
const QString failureCategoryKey = QStringLiteral("failureCategory");
const QString summaryKey = QStringLiteral("summary");
const QString hintKey = QStringLiteral("hint");
const QString symbolKey = QStringLiteral("symbol");
const QString logTailKey = QStringLiteral("logTail");
const QString attemptKey = QStringLiteral("attempt");
const QString retryCapKey = QStringLiteral("retryCap");

} // namespace

QJsonObject RepairContext::toJson() const
{
    QJsonObject object{
        {projectURLKey, projectURL.toString(QUrl::FullyEncoded)},
        {projectTypeKey, projectType},
        {shellCommandKey, shellCommand},
        {failureCategoryKey, rawValue(failureCategory)},
        {summaryKey, summary},
        {logTailKey, QJsonArray::fromStringList(logTail)},
        {attemptKey, attempt},
        {retryCapKey, retryCap},
    };
    json::insertOptional(object, hintKey, hint);
    json::insertOptional(object, symbolKey, symbol);
    return object;
}

RepairContext RepairContext::fromJson(const JsonObjectReader &reader)
{
    RepairContext context;
    const JsonValueReader urlValue = reader.value(projectURLKey);
    context.projectURL = QUrl(urlValue.toString(), QUrl::StrictMode);
    if (!context.projectURL.isValid() || !context.projectURL.isLocalFile())
        urlValue.fail(QStringLiteral("not a file URL"));
    context.projectType = reader.string(projectTypeKey);
    context.shellCommand = reader.string(shellCommandKey);
    context.failureCategory = reader.enumeration(failureCategoryKey, &detectedFailureCategoryFromRaw);
    context.summary = reader.string(summaryKey);
    context.hint = reader.optionalString(hintKey);
    context.symbol = reader.optionalString(symbolKey);
    context.logTail = reader.stringList(logTailKey);
    context.attempt = reader.int32(attemptKey);
    context.retryCap = reader.int32(retryCapKey);
    return context;
}

std::optional<RepairContext> RepairContext::fromFailedStart(
    const QUrl &projectURL, const std::optional<DevServerRunner::DetectedFailure> &lastFailure,
    const std::optional<LaunchPlan> &lastAttemptedLaunchPlan,
    const std::optional<QString> &lastLaunchAttemptDetectionError, const QStringList &recentOutput)
{
    if (lastFailure && lastAttemptedLaunchPlan) {
        RepairContext context;
        context.projectURL = projectURL;
        context.projectType = plainProjectType(*lastAttemptedLaunchPlan);
        context.shellCommand = lastAttemptedLaunchPlan->shellCommand;
        context.failureCategory = lastFailure->category;
        context.summary = lastFailure->summary;
        context.hint = lastFailure->hint;
        context.symbol = lastFailure->symbol;
        context.logTail = recentOutput;
        return context;
    }
    if (lastLaunchAttemptDetectionError) {
        RepairContext context;
        context.projectURL = projectURL;
        context.projectType = QStringLiteral("(Nerim couldn't tell)");
        context.shellCommand = QStringLiteral("(no command — Nerim didn't run one)");
        context.failureCategory = Category::unknownProjectType;
        context.summary = *lastLaunchAttemptDetectionError;
        context.hint = QStringLiteral("Ask the user how they normally start this project, then emit an "
                                      "[NERIM_REPAIR_LAUNCH_OVERRIDE] with the command they give you.");
        context.logTail = recentOutput;
        return context;
    }
    return std::nullopt;
}

} // namespace nerim
