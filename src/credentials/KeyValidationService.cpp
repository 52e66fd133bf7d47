#include "credentials/KeyValidationService.h"

#include "credentials/Credentials.h"
#include "credentials/HttpClient.h"
#include "foundation/Log.h"
#include "foundation/Text.h"

#include <QStringDecoder>

namespace nerim {

namespace {

std::optional<QString> decodeUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

} // namespace

QByteArray KeyValidationService::probeRequestBody()
{
    // Keys in the documented order: model, max_tokens, messages.
    return QByteArrayLiteral(R"({"model":"claude-haiku-4-5-20251001","max_tokens":1,"messages":[{"role":"user","content":"hi"}]})");
}

bool KeyValidationService::mentionsCredit(const QByteArray &body)
{
    const auto text = decodeUtf8(body);
    if (!text)
        return false;
    const QString lower = text->toLower();
    return lower.contains(QStringLiteral("credit balance")) || lower.contains(QStringLiteral("credit_balance"))
        || lower.contains(QStringLiteral("insufficient credit"));
}

QString KeyValidationService::bodyExcerpt(const QByteArray &body)
{
    const auto text = decodeUtf8(body);
    if (!text)
        return QStringLiteral("<empty response>");
    return text::characterPrefix(*text, 200);
}

QCoro::Task<KeyValidationService::Outcome> KeyValidationService::validate(QString key)
{
    const QString trimmed = key.trimmed();
    if (trimmed.isEmpty())
        co_return Outcome::rejected();

    HttpRequest request;
    request.url = anthropicPublicMessagesUrl();
    request.setRawHeader("Content-Type", "application/json");
    request.setRawHeader("anthropic-version", "2023-06-01");
    request.setRawHeader("x-api-key", trimmed.toUtf8());
    request.method = "POST";
    request.body = probeRequestBody();
    request.timeoutSeconds = timeoutSeconds;

    const HttpClient::Result result = co_await HttpClient::send(request);
    if (const auto *error = std::get_if<HttpClient::TransportError>(&result)) {
        logLine(QStringLiteral("[Nerim onboarding] key validate \u2014 URLError %1: %2").arg(error->code).arg(error->description));
        co_return Outcome::unreachable();
    }
    const auto &response = std::get<HttpClient::Response>(result);
    if (!response.isHttp())
        co_return Outcome::failed(QStringLiteral("Anthropic returned a response Nerim couldn't understand."));
    if (response.isSuccess())
        co_return Outcome::valid();
    if (response.status == 400) {
        if (mentionsCredit(response.body))
            co_return Outcome::noCredit();
        co_return Outcome::failed(QStringLiteral("Anthropic rejected the request: ") + bodyExcerpt(response.body));
    }
    if (response.status == 401)
        co_return Outcome::rejected();
    co_return Outcome::failed(QStringLiteral("Anthropic returned HTTP %1. ").arg(response.status) + bodyExcerpt(response.body));
}

} // namespace nerim
