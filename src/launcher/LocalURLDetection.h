#pragma once

#include <QList>
#include <QString>
#include <QUrl>
#include <optional>

namespace nerim {

// Finds the local address at which a development server says it can be
// reached in one line of program output. Answers only with addresses on this
// machine or the local network, and with nothing for lines that report a port
// conflict, a crash or a file watcher waiting for changes. No side effects;
// callable from any thread. Used for the server's output and the agents'.
std::optional<QUrl> detectLocalURL(const QString &line);

namespace localurl {

// The ports that always count as development ports (80 among them).
const QList<int> &knownDevelopmentPorts();

// The lower-cased line holds a phrase such as "already in use", "is in use" or "app crashed".
bool isSkippedLine(const QString &line);
// "localhost", *.local, or an IP address that is loopback (127/8, ::1), 0.0.0.0
// or in the private 10/8, 172.16/12 and 192.168/16 ranges. Other names never
// pass, however they begin.
bool isLocalHost(const QUrl &url);
// A known development port, or 3000-65535.
bool isAcceptedPort(qint64 port);

// The address as log lines show it: without user name, password, query and
// fragment, where servers put access tokens ("/lab?token=...").
QString addressForLog(const QUrl &url);

} // namespace localurl
} // namespace nerim
