// Message building and reply parsing of PlansAgentService: pure functions over
// values, shared by the conversation and the ORGANIZE call.
#include "plans/PlansAgentService.h"

#include "foundation/Json.h"
#include "foundation/UuidText.h"

#include <QRegularExpression>
#include <QStringList>

namespace nerim {

namespace {

const QString openStepsTag = QStringLiteral("<steps_update>");
const QString closeStepsTag = QStringLiteral("</steps_update>");

QString conversationStatusMark(PlanStep::Status status)
{
    switch (status) {
    case PlanStep::Status::pending: return QStringLiteral(" ");
    case PlanStep::Status::inProgress: return QStringLiteral("\u2026");
    case PlanStep::Status::done: return QStringLiteral("\u2713");
    }
    return QStringLiteral(" ");
}

// The [CURRENT PLAN] lines; with ids for the conversation call, without for ORGANIZE.
QString renderPlan(const QString &goal, const QList<PlanStep> &steps, bool withIds)
{
    QStringList lines;
    if (!goal.isEmpty())
        lines << QStringLiteral("Goal: ") + goal;
    for (qsizetype i = 0; i < steps.size(); ++i) {
        const PlanStep &step = steps[i];
        QString line = QStringLiteral("  ") + QString::number(i + 1) + QStringLiteral(". [") +
                       conversationStatusMark(step.status) + QStringLiteral("] ");
        if (withIds)
            line += QStringLiteral("{id=") + uuidText(step.id) + QStringLiteral("} ");
        lines << line + step.title;
        if (!step.detail.isEmpty())
            lines << QStringLiteral("      ") + step.detail;
    }
    return lines.join(QLatin1Char('\n'));
}

} // namespace

const QString &PlansAgentService::cutOffPlanNotice()
{
    static const QString notice =
        QStringLiteral("The plan update was cut off before it was complete, so it was not applied.");
    return notice;
}

QString PlansAgentService::buildPlansUserMessage(const QList<PlanTurn> &conversation, const QString &userMessage,
                                                 const QString &goal, const QList<PlanStep> &steps,
                                                 const QString &projectContext, const QString &recentActivity,
                                                 const QString &fileTree)
{
    QStringList parts;
    const bool hasPlan = !goal.isEmpty() || !steps.isEmpty();
    if (conversation.isEmpty()) {
        parts << QStringLiteral("[PROJECT CONTEXT]\n") + projectContext;
        const QString tree = fileTree.trimmed();
        if (!tree.isEmpty())
            parts << QStringLiteral("[PROJECT FILE TREE]\n") + tree;
        // A plan can exist before the first turn (a plan.json without a
        // conversation): the agent must see it, ids included, or it would
        // re-create the plan and every check-off would be lost.
        parts << QStringLiteral("[CURRENT PLAN]\n") +
                     (hasPlan ? renderPlan(goal, steps, true) : QStringLiteral("No plan exists yet."));
    } else if (hasPlan) {
        parts << QStringLiteral("[CURRENT PLAN]\n") + renderPlan(goal, steps, true);
    }
    const QString activity = recentActivity.trimmed();
    if (!activity.isEmpty())
        parts << QStringLiteral("[RECENT ACTIVITY IN THIS PROJECT]\n") + activity;
    parts << userMessage;
    return parts.join(QStringLiteral("\n\n"));
}

QString PlansAgentService::buildOrganizeMessage(const QString &goal, const QList<PlanStep> &steps,
                                                const QList<PlanTurn> &conversation, const QString &projectContext,
                                                const QList<WorkspaceFile> &workspaceFiles)
{
    QStringList parts;
    parts << QStringLiteral("[PROJECT CONTEXT]\n") + projectContext;
    if (!goal.isEmpty() || !steps.isEmpty())
        parts << QStringLiteral("[CURRENT PLAN]\n") + renderPlan(goal, steps, false);
    if (!conversation.isEmpty()) {
        QStringList lines;
        for (const PlanTurn &turn : conversation) {
            lines << (turn.role == PlanTurn::Role::user ? QStringLiteral("USER: ") : QStringLiteral("NERIM: ")) +
                         turn.content;
            lines << QString();
        }
        parts << QStringLiteral("[CONVERSATION SO FAR]\n") + lines.join(QLatin1Char('\n')).trimmed();
    }
    if (!workspaceFiles.isEmpty()) {
        QStringList lines;
        for (const auto &[filename, contents] : workspaceFiles)
            lines << QStringLiteral("--- FILE: ") + filename + QStringLiteral(" ---") << contents << QString();
        parts << QStringLiteral("[EXISTING WORKSPACE FILES]\n") + lines.join(QLatin1Char('\n'));
    } else {
        parts << QStringLiteral("[EXISTING WORKSPACE FILES]\n(none \u2014 this is the first Organize call for this "
                                "project)");
    }
    parts << QStringLiteral("Now organize this project's plan into a clean set of Markdown files under "
                            "`.nerim/plans/`.");
    return parts.join(QStringLiteral("\n\n"));
}

PlansAgentService::Outcome PlansAgentService::parseConversationReply(const QString &modelText)
{
    const QString text = modelText.trimmed();
    if (text.isEmpty())
        return Failed{QStringLiteral("empty model response")};

    // Offsets are found case-insensitively in the text itself and the pieces cut
    // from it, so the reply keeps its own letter case.
    const qsizetype open = text.indexOf(openStepsTag, 0, Qt::CaseInsensitive);
    if (open < 0)
        return Success{text, std::nullopt};

    const qsizetype innerStart = open + openStepsTag.size();
    const qsizetype close = text.indexOf(closeStepsTag, innerStart, Qt::CaseInsensitive);
    if (close < 0) {
        // The block was cut off (for example at the token limit): nothing is
        // applied, and the reply says so instead of claiming an update.
        const QString before = text.left(open).trimmed();
        return Success{before.isEmpty() ? cutOffPlanNotice() : before + QStringLiteral("\n\n") + cutOffPlanNotice(),
                       std::nullopt};
    }

    const QString stepsText = text.mid(innerStart, close - innerStart).trimmed();
    QString prose = text.left(open) + text.mid(close + closeStepsTag.size());
    while (prose.contains(QStringLiteral("\n\n\n")))
        prose.replace(QStringLiteral("\n\n\n"), QStringLiteral("\n\n"));
    prose = prose.trimmed();

    std::optional<RevisedPlan> plan = parseStepsUpdate(stepsText);
    QString reply = prose;
    if (reply.isEmpty())
        reply = plan ? QStringLiteral("Plan updated.") : QStringLiteral("\u2026");
    return Success{reply, std::move(plan)};
}

std::optional<PlansAgentService::RevisedPlan> PlansAgentService::parseStepsUpdate(const QString &stepsUpdateText)
{
    QString body = stepsUpdateText;
    if (body.startsWith(QLatin1String("```json")))
        body.remove(0, 7);
    else if (body.startsWith(QLatin1String("```")))
        body.remove(0, 3);
    if (body.endsWith(QLatin1String("```")))
        body.chop(3);
    body = body.trimmed();

    RevisedPlan plan;
    try {
        const JsonObjectReader root = JsonObjectReader::parse(body.toUtf8());
        plan.goal = root.string(QStringLiteral("goal")).trimmed();
        for (const JsonValueReader &value : root.array(QStringLiteral("steps"))) {
            const JsonObjectReader step = value.toObject();
            const QString title = step.string(QStringLiteral("title")).trimmed();
            const QString detail = step.string(QStringLiteral("detail")).trimmed();
            const QString previous = step.optionalString(QStringLiteral("previous_id")).value_or(QString()).trimmed();
            if (title.isEmpty())
                continue;
            plan.steps.append(RevisedPlan::Step{previous.isEmpty() ? std::nullopt : parseUuid(previous), title, detail});
        }
    } catch (const JsonDecodingError &) {
        return std::nullopt;
    }
    if (plan.steps.isEmpty())
        return std::nullopt;
    return plan;
}

PlansAgentService::OrganizeOutcome PlansAgentService::parseOrganizeResponse(const QString &modelText)
{
    const QString text = modelText.trimmed();
    if (text.isEmpty())
        return Failed{QStringLiteral("empty organize response")};

    static const QRegularExpression doubleQuotedName(QStringLiteral("name\\s*=\\s*\"([^\"]+)\""),
                                                     QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression singleQuotedName(QStringLiteral("name\\s*=\\s*'([^']+)'"),
                                                     QRegularExpression::CaseInsensitiveOption);
    const QString openTag = QStringLiteral("<file");
    const QString closeTag = QStringLiteral("</file>");

    QStringList prose;
    QList<OrganizedFile> files;
    const auto addProse = [&prose](const QString &piece) {
        if (!piece.trimmed().isEmpty())
            prose << piece;
    };
    qsizetype cursor = 0;
    for (;;) {
        const qsizetype start = text.indexOf(openTag, cursor, Qt::CaseInsensitive);
        if (start < 0) {
            addProse(text.mid(cursor));
            break;
        }
        addProse(text.mid(cursor, start - cursor));
        const qsizetype attributesStart = start + openTag.size();
        const qsizetype tagEnd = text.indexOf(QLatin1Char('>'), attributesStart);
        if (tagEnd < 0) {
            addProse(text.mid(start));
            break;
        }
        const QString attributes = text.mid(attributesStart, tagEnd - attributesStart);
        std::optional<QString> name;
        if (const auto match = doubleQuotedName.match(attributes); match.hasMatch())
            name = match.captured(1);
        else if (const auto single = singleQuotedName.match(attributes); single.hasMatch())
            name = single.captured(1);

        const qsizetype bodyStart = tagEnd + 1;
        const qsizetype end = text.indexOf(closeTag, bodyStart, Qt::CaseInsensitive);
        const QString body = end < 0 ? text.mid(bodyStart) : text.mid(bodyStart, end - bodyStart);
        if (name)
            files.append(OrganizedFile{cleanFileName(*name), body.trimmed()});
        if (end < 0)
            break;
        cursor = end + closeTag.size();
        if (cursor >= text.size())
            break;
    }

    if (files.isEmpty())
        return Failed{QStringLiteral("organize response contained no <file> blocks")};

    QString notice = prose.join(QLatin1Char(' '));
    notice.replace(QStringLiteral("\n\n"), QStringLiteral(" "));
    notice.replace(QLatin1Char('\n'), QLatin1Char(' '));
    notice = notice.trimmed();
    if (notice.isEmpty()) {
        notice = files.size() == 1 ? QStringLiteral("Organized 1 file.")
                                   : QStringLiteral("Organized %1 files.").arg(files.size());
    }
    return OrganizeSuccess{notice, files};
}

QString PlansAgentService::cleanFileName(const QString &name)
{
    QString cleaned = name.trimmed();
    if (cleaned.startsWith(QLatin1Char('/')))
        cleaned.remove(0, 1);
    cleaned.remove(QStringLiteral(".."));
    cleaned.replace(QStringLiteral("//"), QStringLiteral("/"));
    // Removing ".." can leave an absolute name ("../etc/x" gives "/etc/x"); the
    // name must stay relative to the plans folder.
    while (cleaned.startsWith(QLatin1Char('/')))
        cleaned.remove(0, 1);
    if (!cleaned.endsWith(QLatin1String(".md")))
        cleaned += QStringLiteral(".md");
    return cleaned;
}

} // namespace nerim
