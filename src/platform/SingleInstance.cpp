#include "platform/SingleInstance.h"

#include "foundation/Log.h"

#include <QDir>
#include <QLocalSocket>
#include <QLockFile>
#include <QPointer>
#include <QStandardPaths>
#include <cstring>
#include <sys/stat.h>

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

} // namespace

SingleInstance::SingleInstance(QString name, QObject *parent)
    : QObject(parent)
    , m_name(std::move(name))
{
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&m_server, &QLocalServer::newConnection, this, &SingleInstance::onNewConnection);
}

SingleInstance::~SingleInstance()
{
    if (m_server.isListening())
        m_server.close();
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

    const QString path = socketPath();
    QLocalServer::removeServer(path); // a socket left by an instance that crashed
    if (!m_server.listen(path)) {
        logLine(QStringLiteral("[Nerim] single-instance socket unavailable: ") + m_server.errorString());
        return true;
    }
    ::chmod(QFile::encodeName(m_server.fullServerName()).constData(), 0600);
    return true;
}

bool SingleInstance::forward(const QStringList &urls, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(socketPath());
    if (!socket.waitForConnected(timeoutMs))
        return false;
    socket.write(encode(urls));
    bool delivered = socket.waitForBytesWritten(timeoutMs) || socket.bytesToWrite() == 0;
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(timeoutMs);
    if (!delivered)
        logLine(QStringLiteral("[Nerim] could not hand the opened links to the running instance"));
    // The running instance answered; this launch exits either way.
    return true;
}

void SingleInstance::onNewConnection()
{
    while (QLocalSocket *socket = m_server.nextPendingConnection()) {
        socket->setParent(this);
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QLocalSocket::readyRead, this, [socket, buffer] {
            buffer->append(socket->readAll());
            if (buffer->size() > maxMessageBytes)
                socket->abort();
        });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket, buffer] {
            buffer->append(socket->readAll());
            socket->deleteLater();
            if (buffer->size() > maxMessageBytes)
                return;
            QStringList urls;
            for (const QByteArray &line : buffer->split('\n')) {
                const QString url = QString::fromUtf8(line).trimmed();
                if (!url.isEmpty())
                    urls.append(url);
            }
            if (!urls.isEmpty())
                deliver(urls);
        });
    }
}

} // namespace nerim::platform
