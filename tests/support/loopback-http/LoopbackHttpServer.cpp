#include "LoopbackHttpServer.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpSocket>
#include <QTimer>

namespace nerim::test {

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 402: return "Payment Required";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

} // namespace

LoopbackHttpServer::Reply LoopbackHttpServer::Reply::withStatus(int status, QByteArray body)
{
    Reply reply;
    reply.status = status;
    reply.body = std::move(body);
    return reply;
}

LoopbackHttpServer::Reply LoopbackHttpServer::Reply::json(int status, QByteArray body)
{
    Reply reply = withStatus(status, std::move(body));
    reply.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
    return reply;
}

LoopbackHttpServer::Reply LoopbackHttpServer::Reply::text(int status, QByteArray body)
{
    Reply reply = withStatus(status, std::move(body));
    reply.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("text/plain; charset=utf-8")));
    return reply;
}

LoopbackHttpServer::Reply LoopbackHttpServer::Reply::redirect(int status, const QUrl &location)
{
    Reply reply = withStatus(status);
    reply.headers.append(qMakePair(QByteArray("Location"), location.toEncoded()));
    return reply;
}

LoopbackHttpServer::Reply LoopbackHttpServer::Reply::hang()
{
    Reply reply;
    reply.behaviour = Behaviour::neverAnswer;
    return reply;
}

LoopbackHttpServer::Reply LoopbackHttpServer::Reply::close()
{
    Reply reply;
    reply.behaviour = Behaviour::closeConnection;
    return reply;
}

LoopbackHttpServer::Reply LoopbackHttpServer::Reply::delayed(int ms) const
{
    Reply copy = *this;
    copy.delayMs = ms;
    return copy;
}

QByteArray LoopbackHttpServer::Request::path() const
{
    const int query = target.indexOf('?');
    return query < 0 ? target : target.left(query);
}

QByteArray LoopbackHttpServer::Request::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers)
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    return QByteArray();
}

bool LoopbackHttpServer::Request::hasHeader(const QByteArray &name) const
{
    for (const auto &pair : headers)
        if (pair.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

QJsonDocument LoopbackHttpServer::Request::json() const { return QJsonDocument::fromJson(body); }

LoopbackHttpServer::LoopbackHttpServer(QObject *parent)
    : QObject(parent)
    , m_defaultReply(Reply::text(404, "no reply scripted"))
{
    connect(&m_server, &QTcpServer::newConnection, this, &LoopbackHttpServer::onNewConnection);
    if (!m_server.listen(QHostAddress::LocalHost, 0))
        qFatal("loopback HTTP server could not listen: %s", qPrintable(m_server.errorString()));
}

LoopbackHttpServer::~LoopbackHttpServer() { closeAllConnections(); }

quint16 LoopbackHttpServer::port() const { return m_server.serverPort(); }

QUrl LoopbackHttpServer::baseUrl() const { return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port())); }

QUrl LoopbackHttpServer::url(const QString &path) const
{
    return QUrl(baseUrl().toString() + path);
}

void LoopbackHttpServer::enqueue(Reply reply) { m_queue.push_back(std::move(reply)); }

void LoopbackHttpServer::setDefaultReply(Reply reply) { m_defaultReply = std::move(reply); }

void LoopbackHttpServer::setHandler(std::function<Reply(const Request &)> handler) { m_handler = std::move(handler); }

QList<LoopbackHttpServer::Request> LoopbackHttpServer::requests() const { return m_requests; }

int LoopbackHttpServer::requestCount() const { return m_requests.size(); }

bool LoopbackHttpServer::waitForRequests(int count, int timeoutMs)
{
    QElapsedTimer elapsed;
    elapsed.start();
    while (m_requests.size() < count) {
        const qint64 left = timeoutMs - elapsed.elapsed();
        if (left <= 0)
            return false;
        QEventLoop loop;
        QTimer::singleShot(left, &loop, &QEventLoop::quit);
        connect(this, &LoopbackHttpServer::requestReceived, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

void LoopbackHttpServer::closeAllConnections()
{
    const auto sockets = m_sockets;
    for (const auto &socket : sockets) {
        if (socket) {
            socket->abort();
            socket->deleteLater();
        }
    }
    m_sockets.clear();
    m_buffers.clear();
}

QUrl LoopbackHttpServer::refusedUrl(const QString &path)
{
    // Take a free port from the system, then release it: nothing listens there.
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path));
}

void LoopbackHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        socket->setParent(this);
        m_sockets.append(socket);
        m_buffers.insert(socket, QByteArray());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_buffers.remove(socket);
            m_sockets.removeAll(socket);
            socket->deleteLater();
        });
    }
}

void LoopbackHttpServer::onReadyRead(QTcpSocket *socket)
{
    auto it = m_buffers.find(socket);
    if (it == m_buffers.end())
        return;
    it->append(socket->readAll());
    Request request;
    // One request per connection is answered; the reply closes the connection.
    if (!tryParseRequest(*it, request))
        return;
    m_buffers.remove(socket);
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
    m_requests.append(request);
    const Reply reply = nextReply(request);
    emit requestReceived(m_requests.size() - 1);
    if (reply.behaviour == Reply::Behaviour::neverAnswer)
        return;
    QPointer<QTcpSocket> guard(socket);
    if (reply.delayMs > 0) {
        QTimer::singleShot(reply.delayMs, this, [this, guard, reply] {
            if (guard)
                answer(guard, reply);
        });
    } else {
        answer(socket, reply);
    }
}

bool LoopbackHttpServer::tryParseRequest(QByteArray &buffer, Request &out) const
{
    const int headerEnd = buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return false;
    const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
    if (lines.isEmpty())
        return false;
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    Request request;
    request.method = requestLine.value(0);
    request.target = requestLine.value(1);
    qsizetype contentLength = 0;
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const int colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed();
        const QByteArray value = line.mid(colon + 1).trimmed();
        request.headers.append({name, value});
        if (name.compare("content-length", Qt::CaseInsensitive) == 0)
            contentLength = value.toLongLong();
    }
    const qsizetype bodyStart = headerEnd + 4;
    if (buffer.size() - bodyStart < contentLength)
        return false;
    request.body = buffer.mid(bodyStart, contentLength);
    buffer.remove(0, bodyStart + contentLength);
    out = std::move(request);
    return true;
}

LoopbackHttpServer::Reply LoopbackHttpServer::nextReply(const Request &request)
{
    if (!m_queue.empty()) {
        Reply reply = std::move(m_queue.front());
        m_queue.pop_front();
        return reply;
    }
    if (m_handler)
        return m_handler(request);
    return m_defaultReply;
}

void LoopbackHttpServer::answer(QTcpSocket *socket, const Reply &reply)
{
    if (reply.behaviour == Reply::Behaviour::closeConnection) {
        socket->abort();
        return;
    }
    QByteArray bytes = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reasonPhrase(reply.status) + "\r\n";
    for (const auto &[name, value] : reply.headers)
        bytes += name + ": " + value + "\r\n";
    bytes += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    bytes += "Connection: close\r\n\r\n";
    bytes += reply.body;
    socket->write(bytes);
    socket->disconnectFromHost();
}

} // namespace nerim::test
