#include "platform/SingleInstance.h"

#include "foundation/Log.h"

#include <QFile>
#include <QLockFile>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>
#include <optional>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace nerim::platform {

namespace {

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

// The socket address of `path`; none when the path is too long for one.
std::optional<sockaddr_un> socketAddress(const QString &path)
{
    const QByteArray encoded = QFile::encodeName(path);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (encoded.isEmpty() || size_t(encoded.size()) >= sizeof address.sun_path)
        return std::nullopt;
    std::memcpy(address.sun_path, encoded.constData(), size_t(encoded.size()));
    return address;
}

QString errorText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

} // namespace

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
        ::unlink(QFile::encodeName(m_listeningPath).constData());
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

QString SingleInstance::socketPath() const { return runtimeFolder() + QLatin1Char('/') + m_name + QStringLiteral(".socket"); }

bool SingleInstance::claimOrForward(const QStringList &urls, int timeoutMs)
{
    const QString folder = runtimeFolder();
    if (folder.isEmpty()) {
        logLine(QStringLiteral("[Nerim] no runtime folder for the single-instance socket; running without one"));
        return true;
    }
    // One launch at a time decides who is the running instance.
    QLockFile lock(folder + QLatin1Char('/') + m_name + QStringLiteral(".lock"));
    lock.tryLock(timeoutMs);

    if (forward(urls, timeoutMs))
        return false;
    listen(socketPath());
    return true;
}

bool SingleInstance::listen(const QString &path)
{
    const std::optional<sockaddr_un> address = socketAddress(path);
    if (!address) {
        logLine(QStringLiteral("[Nerim] single-instance socket unavailable: its path is too long"));
        return false;
    }
    // Whatever is at the path is left from an instance that crashed: nothing
    // answered there.
    ::unlink(address->sun_path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        logLine(QStringLiteral("[Nerim] single-instance socket unavailable: ") + errorText(errno));
        return false;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&*address), sizeof *address) != 0 ||
        ::chmod(address->sun_path, 0600) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        const int error = errno;
        ::close(fd);
        ::unlink(address->sun_path);
        logLine(QStringLiteral("[Nerim] single-instance socket unavailable: ") + errorText(error));
        return false;
    }
    m_listener = fd;
    m_listeningPath = path;
    m_listenerNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_listenerNotifier, &QSocketNotifier::activated, this, &SingleInstance::acceptConnections);
    return true;
}

bool SingleInstance::forward(const QStringList &urls, int timeoutMs)
{
    const std::optional<sockaddr_un> address = socketAddress(socketPath());
    if (!address)
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    // Connecting and writing wait at most the timeout each (a running
    // instance that is too busy to take the connection at once).
    timeval timeout {};
    timeout.tv_sec = timeoutMs / 1000;
    timeout.tv_usec = (timeoutMs % 1000) * 1000;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&*address), sizeof *address) != 0) {
        ::close(fd);
        return false;
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
    return true;
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
