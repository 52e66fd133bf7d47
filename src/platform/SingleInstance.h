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
// credentials (SO_PEERCRED) name this user, it runs the same program as this
// process (the very file /proc/<pid>/exe names, or the file at the same path
// when one of the two was started before that file was replaced by a rebuild
// or an upgrade), and it runs in this process's user, mount and PID
// namespaces (so a program Nerim runs in a namespace of its own cannot pass,
// whatever it executes). A launch that finds another program holding the name
// sends it nothing and runs on as an instance of its own, without the
// channel; links from a sender that is not Nerim are refused (never
// delivered) and the refusal is logged.
//
// The message is the URLs, one a line, ended by the sender shutting down its
// writing side. The sender then waits for the answer ("taken" once the
// running instance checked it and holds the links, "refused" otherwise), so
// it is still there to be checked however long the running instance took to
// reach the connection; without an answer in time it gives up and says so in
// its log. The socket is a plain Unix stream socket watched by the event loop
// (no network library is loaded for it).
//
//     const QStringList urls = SingleInstance::takeUrlArguments(argc, argv);
//     QApplication app(argc, argv);
//     platform::SingleInstance instance;
//     if (!instance.claimOrForward(urls))
//         return instance.linksTaken() ? 0 : 1; // handed over (or refused, or unanswered)
//     connect(&instance, &SingleInstance::urlsReceived, ...);
//     ... create the main window, hand `urls` to the pairing handler ...
//     instance.startDelivering(); // URLs that arrived meanwhile follow, in order
//
// The details: the name is "nerim-<uid>-<16 hex digits of the SHA-256 of the
// runtime folder>". The peer is held through SO_PEERPIDFD (or a pidfd opened
// at once and checked alive after), so the process checked is the one that
// connected. "The same program" is the same device and inode of
// /proc/<pid>/exe, or, when /proc reads "<path> (deleted)" and that file has
// no link left, the file started from the same path (the mark is taken off
// only then, so a file really named "… (deleted)" stays another path):
// whoever could put a program at Nerim's path could replace Nerim itself, so
// the path vouches as much as the file; a program started from any other path
// is refused. The running instance checks the peer when it accepts the
// connection, holds or delivers the URLs, and answers "taken", or "refused"
// (not Nerim, message too long). A launch waits up to 20 s for the answer
// (defaultAnswerTimeoutMs), exits 0 once taken and 1 when refused or
// unanswered, and logs which; links from a launch that had already ended when
// the instance reached them are refused with their own log line (it can no
// longer be checked). The running instance closes, unread, any connection
// from a program that is not Nerim (no link is stored, nothing is asked).
// The "nerim" URL scheme reaches the launch through `nerim.desktop`
// (MimeType=x-scheme-handler/nerim), which `scripts/run` installs.
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
    // False: another instance is running and was sent `urls`; `linksTaken`
    // tells whether it took them. `timeoutMs` bounds connecting and writing,
    // `answerTimeoutMs` the wait for the answer.
    bool claimOrForward(const QStringList &urls, int timeoutMs = 2000, int answerTimeoutMs = defaultAnswerTimeoutMs);
    // After claimOrForward returned false: whether the running instance answered
    // that it took the URLs (false when it refused them or did not answer).
    bool linksTaken() const { return m_linksTaken; }

    // How long a launch waits for the running instance's answer by default.
    static constexpr int defaultAnswerTimeoutMs = 20000;

    // URLs that arrive before this call are held and then delivered in order;
    // after it they are delivered as they come.
    void startDelivering();

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

    // Who is at the other end: a Nerim of this user, another program, or a
    // process that has ended (so it can no longer be checked).
    enum class Peer { nerim, other, ended };
    static Peer checkPeer(int fd);

    enum class Forwarded { taken, refused, unanswered, nobodyListens, notNerim };
    Forwarded forward(const QStringList &urls, int timeoutMs, int answerTimeoutMs);
    bool listen(bool *nameTaken);
    void acceptConnections();
    void readConnection(int fd);
    void closeConnection(int fd);
    void deliver(const QStringList &urls);

    QString m_name;
    bool m_delivering = false;
    bool m_linksTaken = false;
    QStringList m_held;
    int m_listener = -1;
    QSocketNotifier *m_listenerNotifier = nullptr;
    std::map<int, std::unique_ptr<Connection>> m_connections;
};

} // namespace nerim::platform
