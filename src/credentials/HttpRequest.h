#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QUrl>

namespace nerim {

// One HTTP request as the shared client sends it: the address, the headers,
// the method, the body and the idle timeout. The timeout is the longest
// silence allowed between two transfers of data, the way a URL loading
// system's request timeout works: a reply that keeps arriving is never cut
// off, one that stalls is.
//
// Plain Qt Core, so that building a request loads no network library.
struct HttpRequest {
    QUrl url;
    QList<QPair<QByteArray, QByteArray>> headers; // in the order they were set
    QByteArray method = "GET";
    QByteArray body;
    double timeoutSeconds = 60.0;

    // Sets a header, replacing one of the same name (names compare
    // case-insensitively, as HTTP's do).
    void setRawHeader(const QByteArray &name, const QByteArray &value)
    {
        for (auto &header : headers) {
            if (header.first.compare(name, Qt::CaseInsensitive) == 0) {
                header.second = value;
                return;
            }
        }
        headers.append({name, value});
    }

    bool hasRawHeader(const QByteArray &name) const
    {
        for (const auto &header : headers) {
            if (header.first.compare(name, Qt::CaseInsensitive) == 0)
                return true;
        }
        return false;
    }

    // The header's value; empty when it is not set.
    QByteArray rawHeader(const QByteArray &name) const
    {
        for (const auto &header : headers) {
            if (header.first.compare(name, Qt::CaseInsensitive) == 0)
                return header.second;
        }
        return QByteArray();
    }
};

} // namespace nerim
