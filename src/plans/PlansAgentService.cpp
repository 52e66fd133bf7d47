#include "plans/PlansAgentService.h"

#include "credentials/Credentials.h"
#include "credentials/HttpClient.h"
#include "foundation/Json.h"
#include "persistence/IntentProcessorConstants.h"

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QStringDecoder>
#include <QtConcurrent/QtConcurrentRun>
#include <chrono>

namespace nerim {

namespace {

constexpr int maxTokens = 8000;

// One request's outcome: the model text, or the failure text and whether the
// failure is a passing network condition worth one more attempt.
struct Attempt {
    std::optional<QString> modelText;
    QString failure;
    bool retriable = false;
};

// A string as a quoted, escaped literal, the way an error's payload is shown.
QString quoted(const QString &text)
{
    QString result = QStringLiteral("\"");
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '"': result += QStringLiteral("\\\""); break;
        case '\\': result += QStringLiteral("\\\\"); break;
        case '\n': result += QStringLiteral("\\n"); break;
        case '\r': result += QStringLiteral("\\r"); break;
        case '\t': result += QStringLiteral("\\t"); break;
        default: result += c;
        }
    }
    return result + QLatin1Char('"');
}

QCoro::Task<Attempt> sendOnce(PlansAgentService::Environment environment, QByteArray body)
{
    // Reading the credential may ask the system keyring: keep it off this thread.
    // Awaited futures and tasks are named locals throughout: GCC 12 may destroy
    // temporaries of a co_await expression twice.
    QFuture<std::optional<HttpRequest>> built =
        QtConcurrent::run(environment.messagesRequest, environment.requestTimeoutSeconds);
    std::optional<HttpRequest> request = co_await built;
    if (!request)
        co_return Attempt{std::nullopt, QStringLiteral("notConfigured"), false};
    request->body = std::move(body);

    QCoro::Task<HttpClient::Result> sending = HttpClient::send(std::move(*request));
    const HttpClient::Result result = co_await std::move(sending);
    if (const auto *error = std::get_if<HttpClient::TransportError>(&result))
        co_return Attempt{std::nullopt, error->text(), error->isRetriable()};

    const auto &response = std::get<HttpClient::Response>(result);
    if (!response.isHttp())
        co_return Attempt{std::nullopt, QStringLiteral("unexpectedResponseShape"), false};
    if (!response.isSuccess())
        co_return Attempt{std::nullopt, PlansAgentService::httpErrorText(response.status, response.body), false};
    try {
        co_return Attempt{PlansAgentService::modelText(response.body), QString(), false};
    } catch (const JsonDecodingError &error) {
        // The prefix lets the canvas recognise an unexpected answer.
        co_return Attempt{std::nullopt, QStringLiteral("json decode: ") + error.description(), false};
    }
}

} // namespace

PlansAgentService::Environment PlansAgentService::Environment::standard()
{
    Environment environment;
    environment.hasAnthropicKey = [] { return IntentProcessorConstants::hasAnthropicKey(); };
    environment.messagesRequest = [](double timeoutSeconds) { return anthropicMessagesRequest(timeoutSeconds); };
    return environment;
}

PlansAgentService::PlansAgentService() : m_environment(Environment::standard()) {}

PlansAgentService::PlansAgentService(Environment environment) : m_environment(std::move(environment)) {}

QByteArray PlansAgentService::requestBody(ModelChoice model, const QString &system, const QList<Message> &messages)
{
    QJsonArray messageArray;
    for (const Message &message : messages)
        messageArray.append(QJsonObject{{QStringLiteral("role"), message.role},
                                        {QStringLiteral("content"), message.content}});
    QJsonObject root;
    root.insert(QStringLiteral("model"), modelId(model));
    root.insert(QStringLiteral("max_tokens"), maxTokens);
    root.insert(QStringLiteral("system"), system);
    root.insert(QStringLiteral("messages"), messageArray);
    return json::encodeCompact(root);
}

QString PlansAgentService::modelText(const QByteArray &responseBody)
{
    const JsonObjectReader root = JsonObjectReader::parse(responseBody);
    std::optional<QString> text;
    for (const JsonValueReader &value : root.array(QStringLiteral("content"))) {
        const JsonObjectReader block = value.toObject();
        const QString type = block.string(QStringLiteral("type"));
        const QString blockText = block.string(QStringLiteral("text"));
        if (!text && type == QLatin1String("text"))
            text = blockText;
    }
    return text.value_or(QString());
}

QString PlansAgentService::httpErrorText(int status, const QByteArray &body)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder(body);
    if (decoder.hasError())
        text = QStringLiteral("<binary>");
    return QStringLiteral("httpError(status: %1, body: %2)").arg(status).arg(quoted(text));
}

QCoro::Task<PlansAgentService::Outcome> PlansAgentService::converse(QList<PlanTurn> conversation, QString userMessage,
                                                                    QString goal, QList<PlanStep> steps,
                                                                    QString projectContext, QString recentActivity,
                                                                    QString fileTree, ModelChoice model) const
{
    const Environment environment = m_environment; // `this` is not used past this point
    if (!environment.hasAnthropicKey())
        co_return Disabled{};

    QList<Message> messages;
    for (const PlanTurn &turn : std::as_const(conversation))
        messages.append(Message{turn.role == PlanTurn::Role::user ? QStringLiteral("user") : QStringLiteral("assistant"),
                                turn.content});
    messages.append(Message{QStringLiteral("user"),
                            buildPlansUserMessage(conversation, userMessage, goal, steps, projectContext,
                                                  recentActivity, fileTree)});
    const QByteArray body = requestBody(model, conversationSystemPrompt(), messages);

    QCoro::Task<Attempt> first = sendOnce(environment, body);
    Attempt attempt = co_await std::move(first);
    if (!attempt.modelText && attempt.retriable) {
        QCoro::Task<> pause = QCoro::sleepFor(std::chrono::milliseconds(environment.retryDelayMs));
        co_await std::move(pause);
        QCoro::Task<Attempt> second = sendOnce(environment, body);
        attempt = co_await std::move(second);
    }
    if (!attempt.modelText)
        co_return Failed{attempt.failure};
    co_return parseConversationReply(*attempt.modelText);
}

QCoro::Task<PlansAgentService::OrganizeOutcome>
PlansAgentService::organize(QString goal, QList<PlanStep> steps, QList<PlanTurn> conversation, QString projectContext,
                            QList<WorkspaceFile> workspaceFiles, ModelChoice model) const
{
    const Environment environment = m_environment;
    if (!environment.hasAnthropicKey())
        co_return Disabled{};

    const QString message = buildOrganizeMessage(goal, steps, conversation, projectContext, workspaceFiles);
    const QByteArray body = requestBody(model, organizeSystemPrompt(), {Message{QStringLiteral("user"), message}});
    QCoro::Task<Attempt> sending = sendOnce(environment, body);
    const Attempt attempt = co_await std::move(sending);
    if (!attempt.modelText)
        co_return Failed{attempt.failure};
    co_return parseOrganizeResponse(*attempt.modelText);
}

} // namespace nerim
