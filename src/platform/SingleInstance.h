#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <map>
#include <memory>

class QSocketNotifier;

namespace nerim::platform {

// Keeps Nerim to one running instance per user and session. The first
// instance listens on an abstract Unix socket whose name holds the user id and
// a digest of $XDG_RUNTIME_DIR: the kernel keeps that name for the listening
// process alone while it runs, so no other program can unlink it or listen in
// its place, and nothing of it lies in a folder a program could reach. A later
// launch hands its command-line URLs (pairing links opened through the
// "nerim" URL scheme) to it there and exits before touching any state.
//
// Either end checks the other is Nerim before anything passes: the peer's
// credentials (SO_PEERCRED) name this user, its executable (/proc/<pid>/exe)
// is the very file this process runs, and it runs in this process's user,
// mount and PID namespaces (so a program Nerim runs in a namespace of its own
// cannot pass, whatever it executes). A launch that finds another program
// holding the name sends it nothing and runs on as an instance of its own,
// without the channel; links from a sender that is not Nerim are refused
// (never delivered) and the refusal is logged.
//
// The message is the URLs, one a line, and the sender's end of the
// connection; the socket is a plain Unix stream socket watched by the event
// loop (no network library is loaded for it).
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
    // `name` starts the socket's name; tests pass their own.
    explicit SingleInstance(QString name = QStringLiteral("nerim"), QObject *parent = nullptr);
    ~SingleInstance() override;

    // True: this is now the running instance and listens for later launches
    // (or, when another program holds the name, runs without the channel).
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

    // The socket's abstract name (the leading NUL byte left out).
    QByteArray socketName() const;

    // Whether the process at the other end of a connected Unix socket is a
    // Nerim of this user: the same executable file, in the same namespaces.
    static bool isNerimPeer(int fd);
    bool isPrimary() const { return m_listener >= 0; }

    // Largest message a later launch may send.
    static constexpr qint64 maxMessageBytes = 64 * 1024;

signals:
    // URLs a later launch forwarded, in the order given on its command line.
    void urlsReceived(const QStringList &urls);

private:
    struct Connection;

    enum class Forwarded { sent, nobodyListens, notNerim };
    Forwarded forward(const QStringList &urls, int timeoutMs);
    bool listen(bool *nameTaken);
    void acceptConnections();
    void readConnection(int fd);
    void closeConnection(int fd);
    void deliver(const QStringList &urls);

    QString m_name;
    bool m_delivering = false;
    QStringList m_held;
    int m_listener = -1;
    QSocketNotifier *m_listenerNotifier = nullptr;
    std::map<int, std::unique_ptr<Connection>> m_connections;
};

} // namespace nerim::platform
