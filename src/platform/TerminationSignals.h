#pragma once

#include <QObject>

class QSocketNotifier;

namespace nerim::platform {

// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal delivered from the event
// loop, so that a logout, `kill` or Ctrl+C runs the application's orderly quit
// instead of ending the process on the spot. The handler only writes the
// signal's number to a pipe (all a signal handler may safely do); a socket
// notifier reads it. A second such signal while the first is being handled
// ends the process with the signal's default action.
//
// The orderly quit never waits for child processes: on `aboutToQuit` every
// live ChildProcess asks its guard to stop and the window closes at once; the
// guards finish the stopping after Nerim has gone.
//
// One instance per process, created on the main thread after the application
// object; the default actions come back when it is destroyed.
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

signals:
    void received(int signalNumber);

private:
    void readPipe();

    QSocketNotifier *m_notifier = nullptr;
};

} // namespace nerim::platform
