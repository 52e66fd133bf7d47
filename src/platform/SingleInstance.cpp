#include "platform/SingleInstance.h"

#include "foundation/Log.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
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

// The program a process runs: its executable file, and the path it was
// started from. When that file has since been replaced or removed (a rebuild,
// a package upgrade), /proc shows the path with " (deleted)" after it and the
// file has no name left; the path is then taken without that mark.
struct Program {
    dev_t device = 0;
    ino_t inode = 0;
    QByteArray path;
};

std::optional<Program> programOf(const QByteArray &process)
{
    const QByteArray exe = process + "/exe";
    struct stat file {};
    if (::stat(exe.constData(), &file) != 0)
        return std::nullopt;
    char target[4096];
    const ssize_t length = ::readlink(exe.constData(), target, sizeof target);
    if (length <= 0 || size_t(length) >= sizeof target || target[0] != '/')
        return std::nullopt;
    QByteArray path(target, length);
    static const QByteArray removedMark = " (deleted)";
    if (file.st_nlink == 0 && path.endsWith(removedMark))
        path.chop(removedMark.size());
    return Program{file.st_dev, file.st_ino, path};
}

// The same program: the very same file, or the file at the same path when
// one of the two was started before that file was replaced. Whoever could put
// a program at Nerim's path could replace Nerim itself, so the path vouches
// for the program as much as the file does; a program started from anywhere
// else is another program.
bool sameProgram(const Program &one, const Program &other)
{
    return (one.device == other.device && one.inode == other.inode) || one.path == other.path;
}

bool sameNamespace(const QByteArray &peer, const char *space)
{
    struct stat a {};
    struct stat b {};
    const QByteArray own = QByteArray("/proc/self") + space;
    const QByteArray theirs = peer + space;
    return ::stat(own.constData(), &a) == 0 && ::stat(theirs.constData(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// Whether the process behind `pidfd` has not ended.
bool stillRuns(int pidfd)
{
    pollfd ended{pidfd, POLLIN, 0};
    return ::poll(&ended, 1, 0) == 0;
}

// The answers of the running instance, one line each.
const QByteArray takenAnswer = "taken\n";
const QByteArray refusedAnswer = "refused\n";

// Sends a short answer on a connection without waiting (it fits the socket's buffer).
void answer(int fd, const QByteArray &text) { (void)::send(fd, text.constData(), size_t(text.size()), MSG_NOSIGNAL | MSG_DONTWAIT); }

} // namespace

SingleInstance::Peer SingleInstance::checkPeer(int fd)
{
    ucred credentials {};
    socklen_t size = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 || credentials.pid <= 0 ||
        credentials.uid != ::geteuid())
        return Peer::other;
    // A handle on the peer itself, so that its process id, read from /proc
    // below, cannot have passed to another process meanwhile: the kernel's
    // own where it gives one, else one opened now and checked afterwards.
    int pidfd = -1;
    size = sizeof pidfd;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &size) != 0)
        pidfd = int(::syscall(SYS_pidfd_open, credentials.pid, 0));
    if (pidfd < 0)
        return errno == ESRCH ? Peer::ended : Peer::other;
    const QByteArray peer = "/proc/" + QByteArray::number(credentials.pid);
    const std::optional<Program> own = programOf("/proc/self");
    const std::optional<Program> theirs = programOf(peer);
    bool same = own && theirs && sameProgram(*own, *theirs);
    for (const char *space : {"/ns/user", "/ns/mnt", "/ns/pid"})
        same = same && sameNamespace(peer, space);
    const bool running = stillRuns(pidfd);
    ::close(pidfd);
    if (!running)
        return Peer::ended;
    return same ? Peer::nerim : Peer::other;
}

bool SingleInstance::isNerimPeer(int fd) { return checkPeer(fd) == Peer::nerim; }

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

bool SingleInstance::claimOrForward(const QStringList &urls, int timeoutMs, int answerTimeoutMs)
{
    // Two launches at once: one takes the name, the other finds it taken and
    // forwards to it. A few rounds cover an instance that was just quitting.
    for (int round = 0; round < 5; ++round) {
        switch (forward(urls, timeoutMs, answerTimeoutMs)) {
        case Forwarded::taken:
            m_linksTaken = true;
            return false;
        case Forwarded::refused:
            logLine(QStringLiteral("[Nerim] The running Nerim refused the opened links"));
            return false;
        case Forwarded::unanswered:
            logLine(QStringLiteral("[Nerim] The running Nerim did not answer within %1 s; the opened links may not "
                                   "have reached it (open them again once it responds)")
                        .arg(answerTimeoutMs / 1000.0));
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

SingleInstance::Forwarded SingleInstance::forward(const QStringList &urls, int timeoutMs, int answerTimeoutMs)
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
    // The end of the message; this launch then stays, so that the running
    // instance finds it (and checks it) however busy it is, until it answers.
    ::shutdown(fd, SHUT_WR);
    QByteArray answered;
    QElapsedTimer waited;
    waited.start();
    while (!answered.contains('\n')) {
        pollfd readable{fd, POLLIN, 0};
        const qint64 left = answerTimeoutMs - waited.elapsed();
        const int ready = left > 0 ? ::poll(&readable, 1, int(left)) : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        char chunk[64];
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (answered.isEmpty())
                logLine(QStringLiteral("[Nerim] The running Nerim closed the instance channel without answering"));
            break;
        }
        answered.append(chunk, got);
    }
    const bool timedOut = !answered.contains('\n') && waited.elapsed() >= answerTimeoutMs;
    ::close(fd);
    if (answered == takenAnswer && written == message.size())
        return Forwarded::taken;
    return timedOut ? Forwarded::unanswered : Forwarded::refused;
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
        // Links are taken from Nerim alone (a later launch of it, which waits
        // for the answer); another program's are refused unread.
        const Peer peer = checkPeer(fd);
        if (peer != Peer::nerim) {
            ucred credentials {};
            socklen_t size = sizeof credentials;
            ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size);
            answer(fd, refusedAnswer);
            ::close(fd);
            logLine(peer == Peer::ended
                        ? QStringLiteral("[Nerim] Refused links from a launch that had ended before they were read "
                                         "(process %1): its program could not be checked")
                              .arg(credentials.pid)
                        : QStringLiteral("[Nerim] Refused links sent to Nerim by a program that is not Nerim "
                                         "(process %1)")
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
                answer(fd, refusedAnswer);
                closeConnection(fd); // dropped whole
                logLine(QStringLiteral("[Nerim] Refused links sent to Nerim: the message is too long"));
                return;
            }
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return; // the rest comes later
        break; // the sender ended its message (or the connection failed): the message is complete
    }
    const QByteArray message = std::move(connection.received);
    QStringList urls;
    for (const QByteArray &line : message.split('\n')) {
        const QString url = QString::fromUtf8(line).trimmed();
        if (!url.isEmpty())
            urls.append(url);
    }
    if (!urls.isEmpty())
        deliver(urls);
    // Taken (delivered, or held until delivery starts): the launch may go.
    answer(fd, takenAnswer);
    closeConnection(fd);
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
