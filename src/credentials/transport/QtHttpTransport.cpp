// Qt Network's HTTP client behind HttpClient, as a library the application
// loads at its first request (see HttpTransport): Nerim starts without
// QtNetwork and the security libraries it brings.
#include "credentials/HttpTransport.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QCoro/QCoroNetworkReply>
#include <cmath>
#include <memory>

namespace nerim {

namespace {

bool isLoopbackHost(const QString &host)
{
    if (host.compare(QStringLiteral("localhost"), Qt::CaseInsensitive) == 0
        || host.endsWith(QStringLiteral(".localhost"), Qt::CaseInsensitive))
        return true;
    QHostAddress address;
    return address.setAddress(host) && address.isLoopback();
}

// Loopback traffic never goes through a proxy; everything else follows the
// system's proxy settings (http_proxy, no_proxy, ...).
class LoopbackDirectProxyFactory final : public QNetworkProxyFactory {
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override
    {
        if (isLoopbackHost(query.peerHostName()))
            return {QNetworkProxy(QNetworkProxy::NoProxy)};
        return QNetworkProxyFactory::systemProxyForQuery(query);
    }
};

HttpClient::TransportError transportError(QNetworkReply::NetworkError code, bool idleTimeoutFired)
{
    using Kind = HttpClient::TransportError::Kind;
    HttpClient::TransportError error;
    error.code = int(code);
    if (idleTimeoutFired) {
        error.kind = Kind::timedOut;
        error.code = int(QNetworkReply::TimeoutError);
        error.description = QStringLiteral("The request timed out.");
        return error;
    }
    switch (code) {
    case QNetworkReply::TimeoutError:
        error.kind = Kind::timedOut;
        error.description = QStringLiteral("The request timed out.");
        break;
    case QNetworkReply::ConnectionRefusedError:
        error.kind = Kind::cannotConnect;
        error.description = QStringLiteral("Could not connect to the server.");
        break;
    case QNetworkReply::HostNotFoundError:
        error.kind = Kind::hostNotFound;
        error.description = QStringLiteral("A server with the specified host name could not be found.");
        break;
    case QNetworkReply::RemoteHostClosedError:
        error.kind = Kind::connectionLost;
        error.description = QStringLiteral("The network connection was lost.");
        break;
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
        error.kind = Kind::notConnected;
        error.description = QStringLiteral("The network is unreachable; the computer appears to be offline.");
        break;
    case QNetworkReply::SslHandshakeFailedError:
        error.kind = Kind::secureConnectionFailed;
        error.description = QStringLiteral("A secure connection to the server could not be made.");
        break;
    case QNetworkReply::InsecureRedirectError:
    case QNetworkReply::TooManyRedirectsError:
        error.kind = Kind::redirectRefused;
        error.description = QStringLiteral("The server redirected the request to another address, which was not followed.");
        break;
    case QNetworkReply::OperationCanceledError:
        error.kind = Kind::cancelled;
        error.description = QStringLiteral("The request was cancelled.");
        break;
    default:
        error.kind = Kind::other;
        error.description = QStringLiteral("The request failed (network error %1).").arg(int(code));
        break;
    }
    return error;
}

// Errors below 200 are failures of the connection or the proxy; from 200 on
// Qt reports an HTTP status it received (and then status and body are valid).
bool isTransportFailure(QNetworkReply::NetworkError code)
{
    return code != QNetworkReply::NoError && int(code) < 200;
}

class QtHttpTransport final : public HttpTransport {
public:
    QCoro::Task<HttpClient::Result> send(HttpRequest request) override
    {
        QNetworkRequest qtRequest(request.url);
        for (const auto &[name, value] : request.headers)
            qtRequest.setRawHeader(name, value);
        // The idle timeout is enforced here so that its expiry is told apart from
        // other aborts; Qt's own transfer timeout stays off.
        qtRequest.setTransferTimeout(0);
        // Credential headers never travel to another origin.
        qtRequest.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);

        QNetworkReply *rawReply = manager()->sendCustomRequest(qtRequest, request.method, request.body);
        QPointer<QNetworkReply> reply = rawReply;

        // The timer lives with the reply, so that it is never destroyed while it
        // is emitting (the abort below resumes this coroutine synchronously).
        auto idleTimeoutFired = std::make_shared<bool>(false);
        const double ms = std::ceil(request.timeoutSeconds * 1000.0);
        if (ms > 0 && ms < 2147483647.0) {
            auto *idleTimer = new QTimer(rawReply);
            idleTimer->setSingleShot(true);
            idleTimer->setTimerType(Qt::PreciseTimer); // a coarse timer may fire up to 5% early
            idleTimer->setInterval(int(ms));
            QObject::connect(idleTimer, &QTimer::timeout, rawReply, [idleTimeoutFired, rawReply] {
                *idleTimeoutFired = true;
                rawReply->abort();
            });
            const auto restart = [idleTimer] { idleTimer->start(); };
            QObject::connect(rawReply, &QNetworkReply::downloadProgress, idleTimer, restart);
            QObject::connect(rawReply, &QNetworkReply::uploadProgress, idleTimer, restart);
            QObject::connect(rawReply, &QNetworkReply::metaDataChanged, idleTimer, restart);
            QObject::connect(rawReply, &QNetworkReply::redirected, idleTimer, restart);
            QObject::connect(rawReply, &QNetworkReply::finished, idleTimer, &QTimer::stop);
            idleTimer->start();
        }

        if (!rawReply->isFinished())
            co_await rawReply;
        if (!reply) {
            HttpClient::TransportError gone;
            gone.kind = HttpClient::TransportError::Kind::cancelled;
            gone.code = int(QNetworkReply::OperationCanceledError);
            gone.description = QStringLiteral("The request was cancelled.");
            co_return gone;
        }
        reply->deleteLater();

        const QNetworkReply::NetworkError code = reply->error();
        if (*idleTimeoutFired || isTransportFailure(code))
            co_return transportError(code, *idleTimeoutFired);

        HttpClient::Response response;
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        response.status = status.isValid() ? status.toInt() : 0;
        response.body = reply->readAll();
        response.headers = reply->rawHeaderPairs();
        co_return response;
    }

private:
    // One manager per thread: QNetworkAccessManager belongs to one.
    QNetworkAccessManager *manager()
    {
        thread_local QPointer<QNetworkAccessManager> perThread;
        if (!perThread) {
            auto *created = new QNetworkAccessManager();
            created->setProxyFactory(new LoopbackDirectProxyFactory());
            QThread *thread = QThread::currentThread();
            if (QCoreApplication::instance() && thread == QCoreApplication::instance()->thread()) {
                created->setParent(QCoreApplication::instance());
            } else {
                QObject::connect(thread, &QThread::finished, created, &QObject::deleteLater);
            }
            perThread = created;
        }
        return perThread;
    }
};

} // namespace

} // namespace nerim

extern "C" Q_DECL_EXPORT nerim::HttpTransport *nerimCreateHttpTransport()
{
    static nerim::QtHttpTransport transport;
    return &transport;
}
