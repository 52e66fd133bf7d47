#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <QStringList>

namespace nerim::platform {

// Keeps Nerim to one running instance per user. The first instance listens on
// a local socket in $XDG_RUNTIME_DIR (a folder only the user can enter; the
// socket itself is made owner-only too); a later launch hands its command-line
// URLs (pairing links opened through the "nerim" URL scheme) to it there and
// exits before touching any state.
//
//     platform::SingleInstance instance;
//     if (!instance.claimOrForward(urlsFromArguments))
//         return 0; // the running instance has the URLs now
//     connect(&instance, &SingleInstance::urlsReceived, ...);
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

    QString socketPath() const;
    bool isPrimary() const { return m_server.isListening(); }

    // Largest message a later launch may send.
    static constexpr qint64 maxMessageBytes = 64 * 1024;

signals:
    // URLs a later launch forwarded, in the order given on its command line.
    void urlsReceived(const QStringList &urls);

private:
    bool forward(const QStringList &urls, int timeoutMs);
    void onNewConnection();

    QString m_name;
    QLocalServer m_server;
};

} // namespace nerim::platform
