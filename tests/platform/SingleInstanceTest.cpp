#include "TestEnvironment.h"
#include "platform/SingleInstance.h"

#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTimer>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using nerim::platform::SingleInstance;

namespace {

QStringList waitForUrls(SingleInstance &instance)
{
    QStringList received;
    QEventLoop loop;
    QObject::connect(&instance, &SingleInstance::urlsReceived, &loop, [&](const QStringList &urls) {
        received = urls;
        loop.quit();
    });
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    loop.exec();
    return received;
}

// A connection to the running instance made by hand, as any local program could.
int connectTo(const QString &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const QByteArray encoded = QFile::encodeName(path);
    std::memcpy(address.sun_path, encoded.constData(), size_t(encoded.size()));
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void spinEventLoop(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

TEST(SingleInstance, SecondLaunchForwardsItsUrlsInOrder)
{
    SingleInstance first(QStringLiteral("nerim-test"));
    ASSERT_TRUE(first.claimOrForward({}));
    first.startDelivering();
    EXPECT_TRUE(first.isPrimary());
    EXPECT_TRUE(first.socketPath().startsWith(qEnvironmentVariable("XDG_RUNTIME_DIR") + QLatin1Char('/')));

    SingleInstance second(QStringLiteral("nerim-test"));
    const QStringList urls{QStringLiteral("nerim://pair?token=a"), QStringLiteral("nerim://pair?token=b%20c")};
    EXPECT_FALSE(second.claimOrForward(urls));
    EXPECT_FALSE(second.isPrimary());
    EXPECT_EQ(waitForUrls(first), urls);
}

TEST(SingleInstance, SocketIsForTheUserAlone)
{
    SingleInstance instance(QStringLiteral("nerim-test"));
    ASSERT_TRUE(instance.claimOrForward({}));
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(instance.socketPath()).constData(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 077, 0u);
}

TEST(SingleInstance, SocketLeftByACrashedInstanceIsTakenOver)
{
    {
        SingleInstance crashed(QStringLiteral("nerim-test"));
        ASSERT_TRUE(crashed.claimOrForward({}));
        // Leave the socket file behind as a crash would: a plain file in its place.
    }
    SingleInstance stale(QStringLiteral("nerim-test"));
    QFile leftover(stale.socketPath());
    ASSERT_TRUE(leftover.open(QIODevice::WriteOnly));
    leftover.close();
    EXPECT_TRUE(stale.claimOrForward({QStringLiteral("nerim://pair?token=x")}));
    EXPECT_TRUE(stale.isPrimary());
}

TEST(SingleInstance, OversizedMessageIsDropped)
{
    SingleInstance first(QStringLiteral("nerim-test"));
    ASSERT_TRUE(first.claimOrForward({}));
    first.startDelivering();
    SingleInstance second(QStringLiteral("nerim-test"));
    EXPECT_FALSE(second.claimOrForward({QString(SingleInstance::maxMessageBytes + 10, QLatin1Char('x'))}));
    SingleInstance third(QStringLiteral("nerim-test"));
    EXPECT_FALSE(third.claimOrForward({QStringLiteral("nerim://pair?token=ok")}));
    EXPECT_EQ(waitForUrls(first), QStringList{QStringLiteral("nerim://pair?token=ok")});
}

TEST(SingleInstance, MessageArrivingInPiecesIsDeliveredWholeOnceTheSenderCloses)
{
    SingleInstance first(QStringLiteral("nerim-test"));
    ASSERT_TRUE(first.claimOrForward({}));
    first.startDelivering();
    QStringList delivered;
    QObject::connect(&first, &SingleInstance::urlsReceived, [&](const QStringList &urls) { delivered += urls; });

    const int fd = connectTo(first.socketPath());
    ASSERT_GE(fd, 0);
    const auto send = [fd](const char *text) {
        return ::write(fd, text, std::strlen(text)) == ssize_t(std::strlen(text));
    };
    ASSERT_TRUE(send("nerim://pair?tok"));
    spinEventLoop(100);
    ASSERT_TRUE(send("en=a\r\n\nnerim://pair?token=b"));
    spinEventLoop(100);
    EXPECT_TRUE(delivered.isEmpty()); // not before the sender's end
    ::close(fd);
    spinEventLoop(200);
    EXPECT_EQ(delivered, (QStringList{QStringLiteral("nerim://pair?token=a"), QStringLiteral("nerim://pair?token=b")}));
}

TEST(SingleInstance, SilentConnectionHoldsUpNoLaterLaunch)
{
    SingleInstance first(QStringLiteral("nerim-test"));
    ASSERT_TRUE(first.claimOrForward({}));
    first.startDelivering();
    const int silent = connectTo(first.socketPath());
    ASSERT_GE(silent, 0);
    spinEventLoop(50);
    SingleInstance later(QStringLiteral("nerim-test"));
    EXPECT_FALSE(later.claimOrForward({QStringLiteral("nerim://pair?token=later")}));
    EXPECT_EQ(waitForUrls(first), QStringList{QStringLiteral("nerim://pair?token=later")});
    ::close(silent);
}

TEST(SingleInstance, UrlsArrivingBeforeTheWindowExistsAreHeldInOrder)
{
    SingleInstance first(QStringLiteral("nerim-test"));
    ASSERT_TRUE(first.claimOrForward({}));
    QStringList delivered;
    QObject::connect(&first, &SingleInstance::urlsReceived, [&](const QStringList &urls) { delivered += urls; });
    for (const char *url : {"nerim://pair?token=1", "nerim://pair?token=2"}) {
        SingleInstance later(QStringLiteral("nerim-test"));
        EXPECT_FALSE(later.claimOrForward({QString::fromUtf8(url)}));
        QEventLoop loop;
        QTimer::singleShot(200, &loop, &QEventLoop::quit);
        loop.exec();
    }
    EXPECT_TRUE(delivered.isEmpty());
    first.startDelivering();
    EXPECT_EQ(delivered, (QStringList{QStringLiteral("nerim://pair?token=1"), QStringLiteral("nerim://pair?token=2")}));
    EXPECT_EQ(SingleInstance::urlArguments({QStringLiteral("nerim"), QStringLiteral("--x"), QStringLiteral("NERIM://pair?token=a"),
                                            QStringLiteral("https://example.com")}),
              QStringList{QStringLiteral("NERIM://pair?token=a")});
}

TEST(SingleInstance, PairingLinksLeaveTheVisibleCommandLine)
{
    QProcess probe;
    const QStringList arguments{QStringLiteral("--verbose"), QStringLiteral("nerim://pair?token=s3cret-one"),
                                QStringLiteral("https://example.com/?keep=1"),
                                QStringLiteral("NERIM://pair#token=s3cret-two"), QStringLiteral("nerim://s3cret-three@pair")};
    probe.start(QStringLiteral(NERIM_ARGV_PROBE_PATH), arguments);
    ASSERT_TRUE(probe.waitForStarted(5000));
    QByteArray out;
    while (!out.contains("ready\n") && probe.waitForReadyRead(10000))
        out += probe.readAllStandardOutput();
    ASSERT_TRUE(out.endsWith("ready\n")) << out.constData();

    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(probe.processId()));
    ASSERT_TRUE(cmdline.open(QIODevice::ReadOnly));
    const QByteArray visible = cmdline.readAll();
    probe.closeWriteChannel();
    probe.waitForFinished(5000);

    EXPECT_FALSE(visible.contains("s3cret")) << QByteArray(visible).replace('\0', ' ').constData();
    QList<QByteArray> shown = visible.split('\0');
    shown.removeAll(QByteArray());
    EXPECT_EQ(shown.mid(1), (QList<QByteArray>{"--verbose", "nerim://pair", "https://example.com/?keep=1", "NERIM://pair"}));
    // The links themselves were read whole before they were cleared.
    EXPECT_EQ(QString::fromUtf8(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts),
              (QStringList{arguments.at(1), arguments.at(3), arguments.at(4), QStringLiteral("ready")}));
}
