#include "credentials/HttpClient.h"

#include "credentials/HttpTransport.h"
#include "foundation/Log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <dlfcn.h>
#include <mutex>

namespace nerim {

namespace {

struct TransportLibrary {
    HttpTransport *transport = nullptr;
    QString error;
};

// Finds the library beside the executable, then where the build put it, and
// takes its transport; done once, by the first request of the process.
TransportLibrary loadTransportLibrary()
{
    const QString fileName = QStringLiteral("libnerim_http_transport.so");
    QStringList paths;
    if (QCoreApplication::instance())
        paths << QDir(QCoreApplication::applicationDirPath()).filePath(fileName);
#ifdef NERIM_HTTP_TRANSPORT_BUILD_PATH
    paths << QStringLiteral(NERIM_HTTP_TRANSPORT_BUILD_PATH);
#endif
    TransportLibrary library;
    QStringList failures;
    for (const QString &path : paths) {
        if (!QFileInfo::exists(path))
            continue;
        // Never closed: replies and managers made by it live until the end.
        void *handle = dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            failures << QString::fromLocal8Bit(dlerror());
            continue;
        }
        using Create = HttpTransport *(*)();
        if (auto create = reinterpret_cast<Create>(dlsym(handle, "nerimCreateHttpTransport"))) {
            library.transport = create();
            return library;
        }
        failures << QStringLiteral("%1 lacks nerimCreateHttpTransport").arg(path);
    }
    library.error = failures.isEmpty() ? QStringLiteral("%1 was not found").arg(fileName) : failures.join(u' ');
    return library;
}

HttpTransport *transport()
{
    static std::once_flag once;
    static TransportLibrary library;
    std::call_once(once, [] {
        library = loadTransportLibrary();
        if (!library.transport)
            logLine(QStringLiteral("[Nerim] the network library couldn't be loaded (%1)").arg(library.error));
    });
    return library.transport;
}

} // namespace

QByteArray HttpClient::Response::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers)
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    return QByteArray();
}

bool HttpClient::TransportError::isRetriable() const
{
    switch (kind) {
    case Kind::timedOut:
    case Kind::cannotConnect:
    case Kind::hostNotFound:
    case Kind::connectionLost:
    case Kind::notConnected:
        return true;
    default:
        return false;
    }
}

QString HttpClient::TransportError::kindName(Kind kind)
{
    switch (kind) {
    case Kind::timedOut: return QStringLiteral("timedOut");
    case Kind::cannotConnect: return QStringLiteral("cannotConnect");
    case Kind::hostNotFound: return QStringLiteral("hostNotFound");
    case Kind::connectionLost: return QStringLiteral("connectionLost");
    case Kind::notConnected: return QStringLiteral("notConnected");
    case Kind::secureConnectionFailed: return QStringLiteral("secureConnectionFailed");
    case Kind::redirectRefused: return QStringLiteral("redirectRefused");
    case Kind::cancelled: return QStringLiteral("cancelled");
    case Kind::other: return QStringLiteral("other");
    }
    return QStringLiteral("other");
}

QString HttpClient::TransportError::text() const
{
    return QStringLiteral("network error %1 (%2): %3").arg(code).arg(kindName(kind), description);
}

QCoro::Task<HttpClient::Result> HttpClient::send(HttpRequest request)
{
    HttpTransport *carrier = transport();
    if (!carrier) {
        TransportError unavailable;
        unavailable.kind = TransportError::Kind::other;
        unavailable.description = QStringLiteral("Nerim's network library couldn't be loaded.");
        co_return unavailable;
    }
    co_return co_await carrier->send(std::move(request));
}

} // namespace nerim
