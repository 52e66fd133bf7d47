#include "platform/SingleInstance.h"

#include "foundation/Log.h"

#include <QCryptographicHash>
#include <QFile>
#include <QThread>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>
#include <cstddef>
#include <optional>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace nerim::platform {

namespace {

// The peer's pidfd, on kernels that hand one out with the credentials.
#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

// $XDG_RUNTIME_DIR, or Qt's user-only fallback folder when it is not set.
QString runtimeFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

QByteArray encode(const QStringList &urls)
{
    QByteArray bytes;
    for (const QString &url : urls) {
        QString line = url;
        line.remove(QLatin1Char('\n'));
        line.remove(QLatin1Char('\r'));
        bytes += line.toUtf8() + '\n';
    }
    return bytes;
}

// The abstract socket address named `name`.
std::optional<std::pair<sockaddr_un, socklen_t>> socketAddress(const QByteArray &name)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (name.isEmpty() || size_t(name.size()) + 1 > sizeof address.sun_path)
        return std::nullopt;
    std::memcpy(address.sun_path + 1, name.constData(), size_t(name.size()));
    return std::pair{address, socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(name.size()))};
}

QString errorText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

bool sameFile(const QByteArray &one, const QByteArray &other)
{
    struct stat a {};
    struct stat b {};
    return ::stat(one.constData(), &a) == 0 && ::stat(other.constData(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// Whether the process behind `pidfd` has not ended.
bool stillRuns(int pidfd)
{
    pollfd ended{pidfd, POLLIN, 0};
    return ::poll(&ended, 1, 0) == 0;
}

} // namespace

bool SingleInstance::isNerimPeer(int fd)
{
    ucred credentials {};
    socklen_t size = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 || credentials.pid <= 0 ||
        credentials.uid != ::geteuid())
        return false;
    // A handle on the peer itself, so that its process id, read from /proc
    // below, cannot have passed to another process meanwhile: the kernel's
    // own where it gives one, else one opened now and checked afterwards.
    int pidfd = -1;
    size = sizeof pidfd;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &size) != 0)
        pidfd = int(::syscall(SYS_pidfd_open, credentials.pid, 0));
    if (pidfd < 0)
        return false;
    const QByteArray peer = "/proc/" + QByteArray::number(credentials.pid);
    bool same = sameFile("/proc/self/exe", peer + "/exe");
    for (const char *space : {"/ns/user", "/ns/mnt", "/ns/pid"})
        same = same && sameFile(QByteArray("/proc/self") + space, peer + space);
    same = same && stillRuns(pidfd);
    ::close(pidfd);
    return same;
}

struct SingleInstance::Connection {
    QSocketNotifier *notifier = nullptr;
    QByteArray received;
};

SingleInstance::SingleInstance(QString name, QObject *parent)
    : QObject(parent)
    , m_name(std::move(name))
{
}

SingleInstance::~SingleInstance()
{
    while (!m_connections.empty())
        closeConnection(m_connections.begin()->first);
    if (m_listener >= 0) {
        delete m_listenerNotifier;
        ::close(m_listener);
    }
}

void SingleInstance::startDelivering()
{
    m_delivering = true;
    if (!m_held.isEmpty())
        emit urlsReceived(std::exchange(m_held, QStringList()));
}

void SingleInstance::deliver(const QStringList &urls)
{
    if (m_delivering)
        emit urlsReceived(urls);
    else
        m_held.append(urls);
}

QStringList SingleInstance::urlArguments(const QStringList &arguments)
{
    QStringList urls;
    for (qsizetype i = 1; i < arguments.size(); ++i)
        if (arguments.at(i).startsWith(QLatin1String("nerim:"), Qt::CaseInsensitive))
            urls.append(arguments.at(i));
    return urls;
}

QStringList SingleInstance::takeUrlArguments(int argc, char **argv)
{
    QStringList urls;
    for (int i = 1; i < argc; ++i) {
        char *argument = argv[i];
        if (!argument || qstrnicmp(argument, "nerim:", 6) != 0)
            continue;
        urls.append(QString::fromLocal8Bit(argument));
        // Keep what names the link's action, unless it could hold user info;
        // clear every byte after it. The final terminator stays where it was,
        // so the command line keeps its length and its layout.
        const size_t length = std::strlen(argument);
        size_t kept = std::strcspn(argument, "?#");
        if (std::memchr(argument, '@', kept))
            kept = 0;
        std::memset(argument + kept, 0, length - kept);
    }
    return urls;
}

QByteArray SingleInstance::socketName() const
{
    const QByteArray session =
        QCryptographicHash::hash(QFile::encodeName(runtimeFolder()), QCryptographicHash::Sha256).toHex().left(16);
    return m_name.toUtf8() + '-' + QByteArray::number(::geteuid()) + '-' + session;
}

bool SingleInstance::claimOrForward(const QStringList &urls, int timeoutMs)
{
    // Two launches at once: one takes the name, the other finds it taken and
    // forwards to it. A few rounds cover an instance that was just quitting.
    for (int round = 0; round < 5; ++round) {
        switch (forward(urls, timeoutMs)) {
        case Forwarded::sent:
            return false;
        case Forwarded::notNerim:
            logLine(QStringLiteral("[Nerim] Another program holds Nerim's instance channel; nothing was sent to it, "
                                   "and this Nerim runs without the channel"));
            return true;
        case Forwarded::nobodyListens:
            break;
        }
        bool nameTaken = false;
        if (listen(&nameTaken) || !nameTaken)
            return true;
        QThread::msleep(20);
    }
    logLine(QStringLiteral("[Nerim] The instance channel could not be claimed; running without it"));
    return true;
}

bool SingleInstance::listen(bool *nameTaken)
{
    const auto address = socketAddress(socketName());
    if (!address) {
        logLine(QStringLiteral("[Nerim] single-instance socket unavailable: its name is too long"));
        return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        logLine(QStringLiteral("[Nerim] single-instance socket unavailable: ") + errorText(errno));
        return false;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address->first), address->second) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        const int error = errno;
        ::close(fd);
        *nameTaken = error == EADDRINUSE;
        if (!*nameTaken)
            logLine(QStringLiteral("[Nerim] single-instance socket unavailable: ") + errorText(error));
        return false;
    }
    m_listener = fd;
    m_listenerNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_listenerNotifier, &QSocketNotifier::activated, this, &SingleInstance::acceptConnections);
    return true;
}

SingleInstance::Forwarded SingleInstance::forward(const QStringList &urls, int timeoutMs)
{
    const auto address = socketAddress(socketName());
    if (!address)
        return Forwarded::nobodyListens;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Forwarded::nobodyListens;
    // Connecting and writing wait at most the timeout each (a running
    // instance that is too busy to take the connection at once).
    timeval timeout {};
    timeout.tv_sec = timeoutMs / 1000;
    timeout.tv_usec = (timeoutMs % 1000) * 1000;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address->first), address->second) != 0) {
        ::close(fd);
        return Forwarded::nobodyListens;
    }
    // The links go to Nerim alone: a program that took the name gets none.
    if (!isNerimPeer(fd)) {
        ::close(fd);
        return Forwarded::notNerim;
    }
    const QByteArray message = encode(urls);
    qsizetype written = 0;
    while (written < message.size()) {
        const ssize_t sent = ::send(fd, message.constData() + written, size_t(message.size() - written), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            break;
        written += sent;
    }
    ::close(fd);
    if (written < message.size())
        logLine(QStringLiteral("[Nerim] could not hand the opened links to the running instance"));
    // The running instance answered; this launch exits either way.
    return Forwarded::sent;
}

void SingleInstance::acceptConnections()
{
    for (;;) {
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return; // EAGAIN: none left; anything else: tried again at the next wake-up
        }
        // Links are taken from Nerim alone (a later launch of it); another
        // program's are refused unread.
        if (!isNerimPeer(fd)) {
            ucred credentials {};
            socklen_t size = sizeof credentials;
            ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size);
            ::close(fd);
            logLine(QStringLiteral("[Nerim] Refused links sent to Nerim by a program that is not Nerim (process %1)")
                        .arg(credentials.pid));
            continue;
        }
        auto connection = std::make_unique<Connection>();
        connection->notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(connection->notifier, &QSocketNotifier::activated, this, [this, fd] { readConnection(fd); });
        m_connections.emplace(fd, std::move(connection));
    }
}

void SingleInstance::readConnection(int fd)
{
    const auto found = m_connections.find(fd);
    if (found == m_connections.end())
        return;
    Connection &connection = *found->second;
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got > 0) {
            connection.received.append(chunk, got);
            if (connection.received.size() > maxMessageBytes) {
                closeConnection(fd); // dropped whole
                return;
            }
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return; // the rest comes later
        break; // the sender closed its end (or the connection failed): the message is complete
    }
    const QByteArray message = std::move(connection.received);
    closeConnection(fd);
    QStringList urls;
    for (const QByteArray &line : message.split('\n')) {
        const QString url = QString::fromUtf8(line).trimmed();
        if (!url.isEmpty())
            urls.append(url);
    }
    if (!urls.isEmpty())
        deliver(urls);
}

void SingleInstance::closeConnection(int fd)
{
    const auto found = m_connections.find(fd);
    if (found == m_connections.end())
        return;
    // The notifier may be the one emitting right now.
    found->second->notifier->setEnabled(false);
    found->second->notifier->deleteLater();
    ::close(fd);
    m_connections.erase(found);
}

} // namespace nerim::platform
