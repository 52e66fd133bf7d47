#include "TestEnvironment.h"
#include "platform/SingleInstance.h"

#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTimer>
#include <cstddef>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
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

// A connection to the running instance made by hand from this process (this
// program's own executable, so it passes as a later launch would).
int connectTo(const QByteArray &name)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.constData(), size_t(name.size()));
    const auto size = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(name.size()));
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), size) != 0) {
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

    SingleInstance second(QStringLiteral("nerim-test"));
    const QStringList urls{QStringLiteral("nerim://pair?token=a"), QStringLiteral("nerim://pair?token=b%20c")};
    EXPECT_FALSE(second.claimOrForward(urls));
    EXPECT_FALSE(second.isPrimary());
    EXPECT_EQ(waitForUrls(first), urls);
}

// The name belongs to the user and the session: another runtime folder (another
// session of the same user) gets a channel of its own.
TEST(SingleInstance, TheChannelIsTheUsersAndTheSessions)
{
    SingleInstance instance(QStringLiteral("nerim-test"));
    const QByteArray name = instance.socketName();
    EXPECT_TRUE(name.startsWith("nerim-test-" + QByteArray::number(::geteuid()) + '-')) << name.constData();
    const QString otherSession = nerim::test::makeTempDir(QStringLiteral("other-session"));
    ASSERT_EQ(::chmod(QFile::encodeName(otherSession).constData(), 0700), 0);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(otherSession));
    EXPECT_NE(SingleInstance(QStringLiteral("nerim-test")).socketName(), name);
}

// A program that takes the name before Nerim runs (or while it is not
// running) is sent nothing: the launch sees the peer is not Nerim, runs on as
// the instance itself without the channel, and says so.
TEST(SingleInstance, AnImpostorHoldingTheNameReceivesNoLink)
{
    SingleInstance launch(QStringLiteral("nerim-test"));
    const QString received = nerim::test::makeTempDir() + QStringLiteral("/received");
    QProcess impostor;
    impostor.start(QStringLiteral(NERIM_PLATFORM_TEST_INSTANCE_PEER),
                   {QStringLiteral("listen"), QString::fromUtf8(launch.socketName()), received});
    ASSERT_TRUE(impostor.waitForStarted(5000));
    ASSERT_TRUE(impostor.waitForReadyRead(5000));
    ASSERT_EQ(impostor.readAllStandardOutput(), "listening\n");

    nerim::test::LogCapture log;
    EXPECT_TRUE(launch.claimOrForward({QStringLiteral("nerim://pair?token=stolen")}));
    EXPECT_FALSE(launch.isPrimary()); // no channel: the name is not ours
    EXPECT_TRUE(log.contains(QStringLiteral("Another program holds Nerim's instance channel"))) << log.lines().join('\n').toStdString();
    // The impostor saw a connection come and go, with nothing in it. (It
    // makes the file when the connection comes and writes it when it goes.)
    for (int i = 0; i < 250 && !nerim::test::readFile(received).endsWith("<closed>\n"); ++i)
        spinEventLoop(20);
    EXPECT_EQ(nerim::test::readFile(received), "<closed>\n");
    impostor.kill();
    impostor.waitForFinished();
}

// Whatever held the name and died (a crashed instance, a killed impostor)
// leaves nothing behind: the next launch takes the name.
TEST(SingleInstance, NameLeftByACrashedHolderIsTakenOver)
{
    SingleInstance launch(QStringLiteral("nerim-test"));
    QProcess holder;
    holder.start(QStringLiteral(NERIM_PLATFORM_TEST_INSTANCE_PEER),
                 {QStringLiteral("listen"), QString::fromUtf8(launch.socketName()), nerim::test::makeTempDir() + QStringLiteral("/x")});
    ASSERT_TRUE(holder.waitForStarted(5000));
    ASSERT_TRUE(holder.waitForReadyRead(5000));
    holder.kill();
    holder.waitForFinished();
    EXPECT_TRUE(launch.claimOrForward({QStringLiteral("nerim://pair?token=x")}));
    EXPECT_TRUE(launch.isPrimary());
}

// Links sent by a program that is not Nerim (another executable, or this one
// running as another user) are refused, never delivered, and the refusal is
// logged; a real later launch still gets through afterwards.
TEST(SingleInstance, LinksFromAProgramThatIsNotNerimAreRefused)
{
    SingleInstance first(QStringLiteral("nerim-test"));
    ASSERT_TRUE(first.claimOrForward({}));
    first.startDelivering();
    QStringList delivered;
    QObject::connect(&first, &SingleInstance::urlsReceived, [&](const QStringList &urls) { delivered += urls; });
    nerim::test::LogCapture log;

    QProcess other;
    other.start(QStringLiteral(NERIM_PLATFORM_TEST_INSTANCE_PEER),
                {QStringLiteral("send"), QString::fromUtf8(first.socketName()), QStringLiteral("nerim://pair?token=forged\n")});
    ASSERT_TRUE(other.waitForStarted(5000));
    while (other.state() != QProcess::NotRunning)
        spinEventLoop(20);

    if (::geteuid() == 0) {
        // This very program, but as another user.
        const QByteArray name = first.socketName();
        const pid_t child = ::fork();
        if (child == 0) {
            if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)
                ::_exit(3);
            const int fd = connectTo(name);
            const char text[] = "nerim://pair?token=other-user\n";
            ::_exit(fd >= 0 && ::send(fd, text, sizeof text - 1, MSG_NOSIGNAL) == ssize_t(sizeof text - 1) ? 0 : 4);
        }
        int status = 0;
        while (::waitpid(child, &status, WNOHANG) == 0)
            spinEventLoop(20);
        // 0: its link was written; 4: Nerim had already closed the connection
        // (the refusal may come before the write). Either way it ran as the
        // other user (3 would mean it could not become one).
        EXPECT_TRUE(WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 4)) << status;
    }
    spinEventLoop(300);
    EXPECT_TRUE(delivered.isEmpty()) << delivered.join(' ').toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("Refused links sent to Nerim by a program that is not Nerim")));
    EXPECT_FALSE(log.lines().join('\n').contains(QStringLiteral("token"))) << "a link in a log line";

    SingleInstance later(QStringLiteral("nerim-test"));
    EXPECT_FALSE(later.claimOrForward({QStringLiteral("nerim://pair?token=real")}));
    EXPECT_EQ(waitForUrls(first), QStringList{QStringLiteral("nerim://pair?token=real")});
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

    const int fd = connectTo(first.socketName());
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
    const int silent = connectTo(first.socketName());
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
