#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <map>
#include <memory>

class QSocketNotifier;

namespace nerim::platform {

// Keeps Nerim to one running instance per user. The first instance listens on
// a local socket in $XDG_RUNTIME_DIR (a folder only the user can enter; the
// socket itself is made owner-only too); a later launch hands its command-line
// URLs (pairing links opened through the "nerim" URL scheme) to it there and
// exits before touching any state. The message is the URLs, one a line, and
// the sender's end of the connection; the socket is a plain Unix stream
// socket watched by the event loop (no network library is loaded for it).
//
//     const QStringList urls = SingleInstance::takeUrlArguments(argc, argv);
//     QApplication app(argc, argv);
//     platform::SingleInstance instance;
//     if (!instance.claimOrForward(urls))
//         return 0; // the running instance has the URLs now
//     connect(&instance, &SingleInstance::urlsReceived, ...);
//     ... create the main window, hand `urls` to the pairing handler ...
//     instance.startDelivering(); // URLs that arrived meanwhile follow, in order
//
// Forwarded URLs are never written to a log line. Lives on the GUI thread.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    // `name` names the socket; tests pass their own.
    explicit SingleInstance(QString name = QStringLiteral("nerim"), QObject *parent = nullptr);
    ~SingleInstance() override;

    // True: this is now the running instance and listens for later launches.
    // False: another instance is running and has been sent `urls`.
    bool claimOrForward(const QStringList &urls, int timeoutMs = 2000);

    // URLs that arrive before this call are held and then delivered in order;
    // after it they are delivered as they come.
    void startDelivering();

    // The "nerim:" URLs among command-line arguments (the program name skipped).
    static QStringList urlArguments(const QStringList &arguments);

    // The "nerim:" URLs of the process's own command line, taken out of it:
    // each such argument is overwritten in place, so that what other users
    // can read in /proc/<pid>/cmdline keeps only the part before the query or
    // fragment ("nerim://pair") and never a pairing token. Call it first
    // thing in main, before anything else reads argv. Other arguments are
    // left as they are.
    static QStringList takeUrlArguments(int argc, char **argv);

    QString socketPath() const;
    bool isPrimary() const { return m_listener >= 0; }

    // Largest message a later launch may send.
    static constexpr qint64 maxMessageBytes = 64 * 1024;

signals:
    // URLs a later launch forwarded, in the order given on its command line.
    void urlsReceived(const QStringList &urls);

private:
    struct Connection;

    bool forward(const QStringList &urls, int timeoutMs);
    bool listen(const QString &path);
    void acceptConnections();
    void readConnection(int fd);
    void closeConnection(int fd);
    void deliver(const QStringList &urls);

    QString m_name;
    bool m_delivering = false;
    QStringList m_held;
    int m_listener = -1;
    QString m_listeningPath;
    QSocketNotifier *m_listenerNotifier = nullptr;
    std::map<int, std::unique_ptr<Connection>> m_connections;
};

} // namespace nerim::platform
