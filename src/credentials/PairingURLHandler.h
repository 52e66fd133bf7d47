#pragma once

#include <QObject>
#include <QString>
#include <QUrl>
#include <QCoro/QCoroTask>
#include <deque>
#include <functional>

namespace nerim {

// Takes "nerim://pair?token=<session token>" links that the system hands to
// the application: stores the token in the system keyring, verifies it with
// the usage probe, brings the application to the front and announces the
// outcome through PairingNotifier.
//
// Links are verified one at a time, in the order they arrive; each probes its
// own token, and a failed one restores the token stored before it only while
// the keyring still holds the failed token. Keyring calls run off the GUI
// thread. No log line carries a token or a query string.
class PairingURLHandler : public QObject {
    Q_OBJECT
public:
    explicit PairingURLHandler(QObject *parent = nullptr);

    // The application's handler (GUI thread).
    static PairingURLHandler &shared();

    // True when the link was taken: a pair link with a token, queued for
    // storing and verification. False for another scheme, another action or
    // a link without a usable token (the last two post pairingFailed).
    bool handle(const QUrl &url);
    bool handlePair(const QUrl &url);

    // What brings the application's window to the front (installed by the
    // application shell; nothing by default).
    void setBringToFront(std::function<void()> bringToFront);

    bool isBusy() const { return m_draining; }

    // The URL without its query, fragment and user info, for log lines.
    static QString redactedForLog(const QUrl &url);

signals:
    // The queue of links has been worked off.
    void idle();

private:
    QCoro::Task<> drain();
    QCoro::Task<> processLink(QString token);
    void bringAppToFront();

    std::deque<QString> m_pending;
    bool m_draining = false;
    std::function<void()> m_bringToFront;
};

} // namespace nerim
