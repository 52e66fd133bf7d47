#pragma once

#include <QByteArray>
#include <QNetworkRequest>

namespace nerim {

// One HTTP request as the shared client sends it: the Qt request (URL and
// headers), the method, the body and the idle timeout. The timeout is the
// longest silence allowed between two transfers of data, the way a URL
// loading system's request timeout works: a reply that keeps arriving is
// never cut off, one that stalls is.
struct HttpRequest {
    QNetworkRequest request;
    QByteArray method = "GET";
    QByteArray body;
    double timeoutSeconds = 60.0;
};

} // namespace nerim
