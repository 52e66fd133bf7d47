#include "credentials/ManagedKeysProbe.h"

#include "credentials/Credentials.h"
#include "credentials/HttpClient.h"
#include "foundation/Json.h"

namespace nerim {

namespace {

// The body of a successful usage reply: {"balance": <whole credits>}; other
// keys are ignored.
qint64 decodeBalance(const QByteArray &body)
{
    return JsonObjectReader::parse(body).int64(QStringLiteral("balance"));
}

} // namespace

QString ManagedKeysProbe::rejectedMessage() { return QStringLiteral("Session token was rejected. Ask Kest for a fresh token."); }

QCoro::Task<ManagedKeysProbe::Outcome> ManagedKeysProbe::probe(QString token)
{
    const QString trimmed = token.trimmed();
    if (trimmed.isEmpty())
        co_return Outcome::failure(QStringLiteral("Session token is empty."));
    // A line break or another character outside printable ASCII would be sent
    // inside the header as it is.
    if (!isAcceptableSessionToken(trimmed))
        co_return Outcome::failure(rejectedMessage());

    const QUrl url(managedKeysProxyBase() + QStringLiteral("/usage/current"), QUrl::StrictMode);
    if (!isUsableHttpUrl(url))
        co_return Outcome::failure(QStringLiteral("Could not build probe URL."));

    HttpRequest request;
    request.url = url;
    request.setRawHeader("Authorization", "Bearer " + trimmed.toUtf8());
    request.method = "GET";
    request.timeoutSeconds = timeoutSeconds;

    const HttpClient::Result result = co_await HttpClient::send(request);
    if (const auto *error = std::get_if<HttpClient::TransportError>(&result))
        co_return Outcome::failure(QStringLiteral("Could not reach the Nerim proxy: ") + error->description);

    const auto &response = std::get<HttpClient::Response>(result);
    if (!response.isHttp())
        co_return Outcome::failure(QStringLiteral("Unexpected response shape from proxy."));
    switch (response.status) {
    case 200:
        try {
            co_return Outcome::success(decodeBalance(response.body));
        } catch (const JsonDecodingError &error) {
            co_return Outcome::failure(QStringLiteral("Could not parse proxy response: ") + error.description());
        }
    case 401:
        co_return Outcome::failure(rejectedMessage());
    case 402:
        // The token is valid and its credit is used up.
        co_return Outcome::success(0);
    case 503:
        co_return Outcome::failure(QStringLiteral("Nerim proxy is temporarily unavailable. Try again in a minute."));
    default:
        co_return Outcome::failure(QStringLiteral("Proxy returned HTTP %1.").arg(response.status));
    }
}

} // namespace nerim
