#pragma once

#include "credentials/HttpRequest.h"
#include "persistence/ModelChoice.h"
#include "plans/PlanStep.h"
#include "plans/PlanTurn.h"

#include <QCoro/QCoroTask>
#include <QList>
#include <QString>
#include <QUuid>
#include <functional>
#include <optional>
#include <utility>
#include <variant>

namespace nerim {

// The Plans agent's client of the Anthropic Messages API. It keeps nothing
// between calls and never touches the plan: the caller records the turns and
// applies a revised plan.
//
// Both calls are coroutines on the calling (GUI) thread: the request is built
// on a worker thread (reading the credential may touch the system keyring) and
// sent with the shared HTTP client, so the thread never blocks. Each call
// copies what it needs before its first suspension, so the service may be
// destroyed while a call is in flight. Calls never throw.
class PlansAgentService {
public:
    // A complete new plan sent by the agent, in plan order; never empty.
    struct RevisedPlan {
        struct Step {
            std::optional<QUuid> previousID; // the current step this one continues; none for a new step
            QString title;                   // trimmed, never empty
            QString detail;                  // trimmed, may be empty

            friend bool operator==(const Step &, const Step &) = default;
        };
        QString goal; // trimmed
        QList<Step> steps;

        friend bool operator==(const RevisedPlan &, const RevisedPlan &) = default;
    };

    // One Markdown file of an ORGANIZE reply, for the plans folder.
    struct OrganizedFile {
        QString filename; // cleaned relative path, ends in ".md"
        QString contents; // trimmed

        friend bool operator==(const OrganizedFile &, const OrganizedFile &) = default;
    };

    // Outcomes of the two calls. `Failed` carries a text describing the failure
    // (the canvas turns it into a sentence); `Disabled` means no own Anthropic
    // key is configured and nothing was sent.
    struct Success {
        QString reply; // never empty
        std::optional<RevisedPlan> revisedPlan;
        friend bool operator==(const Success &, const Success &) = default;
    };
    struct Failed {
        QString message;
        friend bool operator==(const Failed &, const Failed &) = default;
    };
    struct Disabled {
        friend bool operator==(const Disabled &, const Disabled &) = default;
    };
    using Outcome = std::variant<Success, Failed, Disabled>;

    struct OrganizeSuccess {
        QString notice;             // never empty
        QList<OrganizedFile> files; // never empty, in reply order
        friend bool operator==(const OrganizeSuccess &, const OrganizeSuccess &) = default;
    };
    using OrganizeOutcome = std::variant<OrganizeSuccess, Failed, Disabled>;

    // A file of the plans folder as given to ORGANIZE: name and contents.
    using WorkspaceFile = std::pair<QString, QString>;

    // What the service consults, replaceable in tests.
    struct Environment {
        // Whether an own Anthropic key is configured (without one both calls
        // are disabled, whatever the managed-keys state).
        std::function<bool()> hasAnthropicKey;
        // The Messages request with the current credential, or nothing.
        std::function<std::optional<HttpRequest>(double timeoutSeconds)> messagesRequest;
        double requestTimeoutSeconds = 60.0;
        int retryDelayMs = 400;

        // The application's: the cached key file and the shared request builder.
        static Environment standard();
    };

    PlansAgentService();
    explicit PlansAgentService(Environment environment);

    // Whether the calls can be made at all (an own Anthropic key is configured).
    bool hasAnthropicKey() const { return m_environment.hasAnthropicKey && m_environment.hasAnthropicKey(); }

    // One turn of the planning conversation. `conversation` is the plan's
    // conversation without the new message; `fileTree` is given only with the
    // first message. A transport failure that may pass (offline, connection
    // lost, cannot connect, host not found, timed out) is retried once after
    // 400 ms.
    QCoro::Task<Outcome> converse(QList<PlanTurn> conversation, QString userMessage, QString goal,
                                  QList<PlanStep> steps, QString projectContext, QString recentActivity,
                                  QString fileTree, ModelChoice model) const;

    // The ORGANIZE call: turns the plan and the conversation into Markdown
    // files for the plans folder. One attempt, no retry.
    QCoro::Task<OrganizeOutcome> organize(QString goal, QList<PlanStep> steps, QList<PlanTurn> conversation,
                                          QString projectContext, QList<WorkspaceFile> workspaceFiles,
                                          ModelChoice model) const;

    // --- Message building and reply parsing (pure) ---

    // The last user message of a conversation call: project context and file
    // tree on the first turn, the current plan with step ids whenever there is a
    // goal or a step, the recent activity and the user's message.
    static QString buildPlansUserMessage(const QList<PlanTurn> &conversation, const QString &userMessage,
                                         const QString &goal, const QList<PlanStep> &steps,
                                         const QString &projectContext, const QString &recentActivity,
                                         const QString &fileTree);

    // The one user message of an ORGANIZE call.
    static QString buildOrganizeMessage(const QString &goal, const QList<PlanStep> &steps,
                                        const QList<PlanTurn> &conversation, const QString &projectContext,
                                        const QList<WorkspaceFile> &workspaceFiles);

    // Turns the model's text into the prose reply and, when the text holds a
    // complete <steps_update> block with a usable plan, the revised plan.
    static Outcome parseConversationReply(const QString &modelText);

    // Decodes the JSON inside a <steps_update> block (optionally fenced).
    static std::optional<RevisedPlan> parseStepsUpdate(const QString &stepsUpdateText);

    // Collects the <file name="…"> blocks of an ORGANIZE reply and its notice.
    static OrganizeOutcome parseOrganizeResponse(const QString &modelText);

    // Cleans a model-supplied file name into a relative path ending in ".md".
    static QString cleanFileName(const QString &name);

    // The two fixed system prompts.
    static const QString &conversationSystemPrompt();
    static const QString &organizeSystemPrompt();

    // Text appended to the reply when a <steps_update> block was cut off.
    static const QString &cutOffPlanNotice();

    // The JSON body of a Messages request (compact).
    struct Message {
        QString role; // "user" or "assistant"
        QString content;
    };
    static QByteArray requestBody(ModelChoice model, const QString &system, const QList<Message> &messages);

    // The model text of a 2xx response body: the "text" of the first block of
    // type "text", or empty. Throws JsonDecodingError when the body does not
    // decode (every block needs "type" and "text").
    static QString modelText(const QByteArray &responseBody);

    // The failure text of a status outside 200–299, holding "status: <code>"
    // and the body ("<binary>" when it is not UTF-8).
    static QString httpErrorText(int status, const QByteArray &body);

private:
    Environment m_environment;
};

} // namespace nerim
