#pragma once

#include "credentials/HttpRequest.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QCoro/QCoroTask>
#include <variant>

namespace nerim {

// The application's one HTTP client over QNetworkAccessManager, which lives in
// a library loaded at the first request (see HttpTransport). A reply is
// classified by its HTTP status first: Qt also flags 4xx and 5xx replies as
// errors, yet their status and body are what the callers read. Only a failure
// of the transport itself (refused, host not found, connection lost, idle
// timeout, TLS, a refused redirect) becomes a TransportError.
//
// Requests to loopback hosts never go through a proxy. Redirects are followed
// only within the same origin (scheme, host and port), so credential headers
// never travel to a host they were not meant for. Each request has its own
// idle timeout (the router 3 s, the probe and the key validator 10 s).
//
// Runs on the calling thread's event loop (the GUI thread in the application);
// never blocks it. When the network library cannot be loaded, every request
// fails with a TransportError of kind `other` (logged once).
class HttpClient {
public:
    struct Response {
        int status = 0; // 0: the reply was not an HTTP response
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;

        bool isHttp() const { return status > 0; }
        bool isSuccess() const { return status >= 200 && status <= 299; }
        QByteArray header(const QByteArray &name) const; // case-insensitive
    };

    struct TransportError {
        enum class Kind {
            timedOut,        // no data within the idle timeout
            cannotConnect,   // the host refused the connection
            hostNotFound,    // the host name did not resolve
            connectionLost,  // the connection closed before the reply was complete
            notConnected,    // no network route
            secureConnectionFailed,
            redirectRefused, // a redirect to another origin, or too many redirects
            cancelled,
            other,
        };

        Kind kind = Kind::other;
        int code = 0;        // QNetworkReply::NetworkError
        QString description; // a sentence for logs and error texts

        // The transient failures after which a retry may succeed.
        bool isRetriable() const;
        // "network error <code> (<kind>): <description>", e.g.
        // "network error 4 (timedOut): The request timed out."
        QString text() const;
        static QString kindName(Kind kind);
    };

    using Result = std::variant<Response, TransportError>;

    static QCoro::Task<Result> send(HttpRequest request);
};

} // namespace nerim
