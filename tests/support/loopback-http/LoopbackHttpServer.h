#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonDocument>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QTcpServer>
#include <QUrl>
#include <deque>
#include <functional>

class QTcpSocket;

namespace nerim::test {

// A small HTTP/1.1 server on 127.0.0.1 (a free port chosen by the system) that
// tests start themselves. It records every request it receives and answers
// each one with the next scripted reply. Runs on the thread that created it;
// the test's event loop (test::await, QSignalSpy::wait) drives it.
//
//     LoopbackHttpServer server;
//     server.enqueue(LoopbackHttpServer::Reply::json(200, R"({"balance": 12})"));
//     qputenv("NERIM_PROXY_BASE", server.baseUrl().toString().toUtf8());
//     ... run the client ...
//     EXPECT_EQ(server.requests().at(0).header("authorization"), "Bearer tok");
class LoopbackHttpServer : public QObject {
    Q_OBJECT
public:
    struct Reply {
        enum class Behaviour {
            respond,        // send status, headers and body (after `delayMs`)
            neverAnswer,    // keep the connection open and say nothing
            closeConnection // close the connection without a byte (after `delayMs`)
        };

        int status = 200;
        QList<QPair<QByteArray, QByteArray>> headers; // sent as given; Content-Length is added
        QByteArray body;
        int delayMs = 0;
        Behaviour behaviour = Behaviour::respond;

        static Reply withStatus(int status, QByteArray body = {});
        static Reply json(int status, QByteArray body); // Content-Type: application/json
        static Reply text(int status, QByteArray body);  // Content-Type: text/plain; charset=utf-8
        static Reply redirect(int status, const QUrl &location);
        static Reply hang();
        static Reply close();
        Reply delayed(int ms) const;
    };

    struct Request {
        QByteArray method;
        QByteArray target; // path with query, as sent
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;

        QByteArray path() const;                       // target without the query
        QByteArray header(const QByteArray &name) const; // case-insensitive; first value or empty
        bool hasHeader(const QByteArray &name) const;
        QJsonDocument json() const; // the body parsed as JSON (null document when it is not)
    };

    explicit LoopbackHttpServer(QObject *parent = nullptr);
    ~LoopbackHttpServer() override;

    quint16 port() const;
    QUrl baseUrl() const;                    // "http://127.0.0.1:<port>"
    QUrl url(const QString &path) const;     // baseUrl() + path

    // Replies are played in the order they were queued; when the queue is
    // empty the handler (if set) answers, else the default reply (404).
    void enqueue(Reply reply);
    void setDefaultReply(Reply reply);
    void setHandler(std::function<Reply(const Request &)> handler);

    QList<Request> requests() const;
    int requestCount() const;
    // Runs the event loop until `count` requests have arrived; false on timeout.
    bool waitForRequests(int count, int timeoutMs = 5000);

    // Drops every open connection (e.g. ones left hanging).
    void closeAllConnections();

    // A loopback URL on which nothing listens: connecting is refused.
    static QUrl refusedUrl(const QString &path = QString());

signals:
    void requestReceived(int index);

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    bool tryParseRequest(QByteArray &buffer, Request &out) const;
    void answer(QTcpSocket *socket, const Reply &reply);
    Reply nextReply(const Request &request);

    QTcpServer m_server;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    QList<QPointer<QTcpSocket>> m_sockets;
    QList<Request> m_requests;
    std::deque<Reply> m_queue;
    Reply m_defaultReply;
    std::function<Reply(const Request &)> m_handler;
};

} // namespace nerim::test
