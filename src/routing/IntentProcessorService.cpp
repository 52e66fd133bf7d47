#include "routing/IntentProcessorService.h"

#include "credentials/Credentials.h"
#include "credentials/HttpClient.h"
#include "foundation/Json.h"
#include "foundation/Text.h"
#include "persistence/IntentProcessorConstants.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QCoro/QCoroFuture>

namespace nerim {

namespace {

int countMatches(const QString &text, const QString &pattern)
{
    const QRegularExpression expression(pattern, QRegularExpression::UseUnicodePropertiesOption);
    if (!expression.isValid())
        return 0;
    int count = 0;
    auto it = expression.globalMatch(text);
    while (it.hasNext()) {
        it.next();
        ++count;
    }
    return count;
}

// Reads the text of the first "text" block of a Messages reply; every block
// must carry "type" and "text". Throws JsonDecodingError.
QString firstTextBlock(const QByteArray &body)
{
    const JsonObjectReader reply = JsonObjectReader::parse(body);
    QString text;
    bool found = false;
    for (const JsonValueReader &block : reply.array(QStringLiteral("content"))) {
        const JsonObjectReader object = block.toObject();
        const QString type = object.string(QStringLiteral("type"));
        const QString blockText = object.string(QStringLiteral("text"));
        if (!found && type == QLatin1String("text")) {
            text = blockText;
            found = true;
        }
    }
    return text;
}

QString bodyText(const QByteArray &body)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(body);
    return decoder.hasError() ? QStringLiteral("<binary>") : text;
}

QString httpErrorText(int status, const QString &body)
{
    return QStringLiteral("httpError(status: %1, body: \"%2\")").arg(status).arg(body);
}

} // namespace

bool IntentProcessorService::looksMultiTarget(const QString &utterance)
{
    const QString lower = utterance.toLower();
    const int mentions = countMatches(lower, QStringLiteral("claude\\s+\\d")) + countMatches(lower, QStringLiteral("agent\\s+\\d"))
        + countMatches(lower, QStringLiteral("@\\d"));
    if (mentions >= 2)
        return true;
    const QStringList pieces = lower.split(QRegularExpression(QStringLiteral("\\s"), QRegularExpression::UseUnicodePropertiesOption),
                                           Qt::SkipEmptyParts);
    if (pieces.size() < 10)
        return false;
    static const QStringList connectors{QStringLiteral(" and then "), QStringLiteral(" and also "), QStringLiteral(" while "),
                                        QStringLiteral("; then "),    QStringLiteral(", then "),    QStringLiteral(" also "),
                                        QStringLiteral(" meanwhile ")};
    for (const QString &connector : connectors)
        if (lower.contains(connector))
            return true;
    return false;
}

const QString &IntentProcessorService::systemPrompt()
{
    static const QString prompt = QStringList{
        QStringLiteral("You are Nerim's intent router. You classify a user utterance into"),
        QStringLiteral("either a single dispatch (all-panes or focus-pane) or a multi-target"),
        QStringLiteral("split (specific tasks for specific panes)."),
        QString(),
        QStringLiteral("Return JSON with one of these two shapes exactly:"),
        QString(),
        QStringLiteral("Single target (default when uncertain):"),
        QStringLiteral("  {\"kind\": \"single\"}"),
        QString(),
        QStringLiteral("Multi target (the user is clearly addressing two or more panes with"),
        QStringLiteral("distinct tasks in one utterance):"),
        QStringLiteral("  {\"kind\": \"multi\", \"tasks\": ["),
        QStringLiteral("    {\"pane\": 1, \"task\": \"first task text\"},"),
        QStringLiteral("    {\"pane\": 2, \"task\": \"second task text\"}"),
        QStringLiteral("  ]}"),
        QString(),
        QStringLiteral("Rules:"),
        QStringLiteral("1. Only use \"multi\" when the utterance clearly assigns different"),
        QStringLiteral("   work to different named panes. When in doubt, prefer \"single\"."),
        QStringLiteral("2. Pane numbers must be from the list of available panes. Never"),
        QStringLiteral("   invent numbers."),
        QStringLiteral("3. Each \"task\" field is the user's own words for that pane's work,"),
        QStringLiteral("   edited only to remove the agent-address prefix. Preserve tone."),
        QStringLiteral("4. Do not include tasks for panes that aren't addressed."),
        QStringLiteral("5. Respond with the JSON object only. No prose, no code fences."),
    }.join(QLatin1Char('\n'));
    return prompt;
}

QString IntentProcessorService::userText(const QString &utterance, const QList<PaneDescriptor> &panes)
{
    QStringList paneLines;
    for (const PaneDescriptor &pane : panes)
        // Concatenated rather than QString::arg: a pane name the user typed may
        // itself contain "%1" or "%2".
        paneLines.append(QStringLiteral("  - ") + pane.agentName + QStringLiteral(" (pane number ")
                         + QString::number(pane.number) + QLatin1Char(')'));
    return QStringLiteral("The user is speaking to a canvas with the following agent panes open:\n")
        + paneLines.join(QLatin1Char('\n')) + QStringLiteral("\n\nTheir utterance: \"") + utterance
        + QStringLiteral("\"\n\nRespond with JSON only. No prose, no code fences.");
}

QByteArray IntentProcessorService::makeRequestBody(const QString &utterance, const QList<PaneDescriptor> &panes)
{
    QJsonObject message;
    message.insert(QStringLiteral("role"), QStringLiteral("user"));
    message.insert(QStringLiteral("content"), userText(utterance, panes));
    QJsonObject body;
    body.insert(QStringLiteral("model"), QString::fromLatin1(routerModel));
    body.insert(QStringLiteral("max_tokens"), maxTokens);
    body.insert(QStringLiteral("system"), systemPrompt());
    body.insert(QStringLiteral("messages"), QJsonArray{message});
    return json::encodeCompact(body);
}

QString IntentProcessorService::stripCodeFences(const QString &reply)
{
    const QString fence = QStringLiteral("```");
    QString text = reply;
    if (text.startsWith(fence + QStringLiteral("json")))
        text = text.mid(7);
    else if (text.startsWith(fence))
        text = text.mid(3);
    if (text.endsWith(fence))
        text.chop(3);
    return text;
}

IntentProcessorService::RouteResult IntentProcessorService::parseRouterOutput(const QString &reply,
                                                                              const QList<PaneDescriptor> &panes)
{
    const QString text = stripCodeFences(reply).trimmed();
    if (text.isEmpty())
        return RouteResult::failed(QStringLiteral("empty model response"));
    QString kind;
    QList<RoutedTask> candidates;
    try {
        const JsonObjectReader output = JsonObjectReader::parse(text.toUtf8());
        kind = output.string(QStringLiteral("kind"));
        if (auto tasks = output.optionalArray(QStringLiteral("tasks"))) {
            for (const JsonValueReader &entry : *tasks) {
                const JsonObjectReader task = entry.toObject();
                candidates.append(RoutedTask{task.int32(QStringLiteral("pane")), task.string(QStringLiteral("task"))});
            }
        }
    } catch (const JsonDecodingError &error) {
        return RouteResult::failed(QStringLiteral("json decode: ") + error.description());
    }
    if (kind == QLatin1String("single"))
        return RouteResult::single();
    if (kind != QLatin1String("multi"))
        return RouteResult::failed(QStringLiteral("unknown kind: ") + kind);

    QList<RoutedTask> kept;
    for (const RoutedTask &task : candidates) {
        const bool open = std::any_of(panes.begin(), panes.end(),
                                      [&](const PaneDescriptor &pane) { return pane.number == task.paneNumber; });
        if (open && !text::trimSpacesAndTabs(task.task).isEmpty())
            kept.append(task);
    }
    if (kept.size() < 2)
        return RouteResult::single();
    return RouteResult::multi(kept);
}

QCoro::Task<IntentProcessorService::RouteResult> IntentProcessorService::route(QString utterance,
                                                                                QList<PaneDescriptor> panes)
{
    // Only an own key enables the router; a session token alone does not
    // (when both exist, the call itself goes through the proxy).
    if (!hasOwnAnthropicKey())
        co_return RouteResult::noCredentials();
    if (panes.size() < 2 || !looksMultiTarget(utterance))
        co_return RouteResult::single();

    // The builder reads the session token from the keyring: off the GUI thread.
    QFuture<std::optional<HttpRequest>> building = anthropicMessagesRequestAsync(timeoutSeconds);
    std::optional<HttpRequest> request = co_await building;
    if (!request)
        co_return RouteResult::failed(
            httpErrorText(401, QStringLiteral("Nerim is not configured with managed keys or a BYOK Anthropic key.")));
    request->body = makeRequestBody(utterance, panes);

    const HttpClient::Result result = co_await HttpClient::send(*request);
    if (const auto *error = std::get_if<HttpClient::TransportError>(&result))
        co_return RouteResult::failed(error->text());
    const auto &response = std::get<HttpClient::Response>(result);
    if (!response.isHttp())
        co_return RouteResult::failed(QStringLiteral("unexpectedResponseShape"));
    if (!response.isSuccess())
        co_return RouteResult::failed(httpErrorText(response.status, bodyText(response.body)));
    QString reply;
    try {
        reply = firstTextBlock(response.body);
    } catch (const JsonDecodingError &error) {
        co_return RouteResult::failed(QStringLiteral("response decode: ") + error.description());
    }
    co_return parseRouterOutput(reply, panes);
}

} // namespace nerim
