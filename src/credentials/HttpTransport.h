#pragma once

#include "credentials/HttpClient.h"

namespace nerim {

// What carries HttpClient's requests: Qt Network's client, in a library of
// its own beside the `nerim` executable (libnerim_http_transport.so), which
// HttpClient loads at the first request, so that Nerim starts without the
// network library and what it pulls in. The library's entry point,
// `nerimCreateHttpTransport`, returns the one transport of the process.
class HttpTransport {
public:
    virtual ~HttpTransport() = default;

    // Sends the request on the calling thread's event loop; see HttpClient.
    virtual QCoro::Task<HttpClient::Result> send(HttpRequest request) = 0;
};

} // namespace nerim
