#include "TestEnvironment.h"
#include "platform/SingleInstance.h"

#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTimer>
#include <atomic>
#include <csignal>
#include <memory>
#include <thread>
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

struct Forwarding {
    bool claimed = true; // became the instance itself
    bool taken = false;  // the running instance answered that it took the links
};

// A later launch in this process: it forwards from a thread of its own and
// waits there for the answer, while this thread serves the running instance.
Forwarding forwardFromALaterLaunch(const QStringList &urls)
{
    Forwarding result;
    std::atomic<bool> done = false;
    std::thread launch([&] {
        SingleInstance later(QStringLiteral("nerim-test"));
        result.claimed = later.claimOrForward(urls);
        result.taken = later.linksTaken();
        done = true;
    });
    while (!done)
        spinEventLoop(10);
    launch.join();
    return result;
}

// A program started with `arguments` whose output is read line by line.
struct Launched {
    std::unique_ptr<QProcess> process = std::make_unique<QProcess>();

    Launched(const QString &program, const QStringList &arguments)
    {
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(program, arguments);
    }
    ~Launched()
    {
        if (process->state() != QProcess::NotRunning) {
            ::kill(pid_t(process->processId()), SIGCONT);
            process->kill();
            process->waitForFinished(5000);
        }
    }
    // The next line it prints; empty when none comes.
    QByteArray nextLine()
    {
        while (!process->canReadLine() && process->waitForReadyRead(10000)) {
        }
        return process->readLine().trimmed();
    }
    void signal(int number) const { ::kill(pid_t(process->processId()), number); }
};

// Starts `program` as a later launch handing `url` over, waiting at most
// `answerTimeoutMs` for the answer.
std::unique_ptr<QProcess> startSending(const QString &program, const QString &url, int answerTimeoutMs = 20000,
                                       QProcess::ProcessChannelMode channels = QProcess::ForwardedChannels)
{
    auto launch = std::make_unique<QProcess>();
    launch->setProcessChannelMode(channels);
    launch->start(program, {QStringLiteral("send"), QStringLiteral("nerim-test"), QString::number(answerTimeoutMs), url});
    return launch;
}

// The exit code of such a launch.
int sendFrom(const QString &program, const QString &url)
{
    const std::unique_ptr<QProcess> launch = startSending(program, url);
    if (!launch->waitForFinished(60000))
        return -1;
    return launch->exitStatus() == QProcess::NormalExit ? launch->exitCode() : -1;
}

} // namespace

TEST(SingleInstance, SecondLaunchForwardsItsUrlsInOrder)
{
    SingleInstance first(QStringLiteral("nerim-test"));
    ASSERT_TRUE(first.claimOrForward({}));
    first.startDelivering();
    EXPECT_TRUE(first.isPrimary());

    QStringList delivered;
    QObject::connect(&first, &SingleInstance::urlsReceived, [&](const QStringList &urls) { delivered += urls; });
    const QStringList urls{QStringLiteral("nerim://pair?token=a"), QStringLiteral("nerim://pair?token=b%20c")};
    const Forwarding second = forwardFromALaterLaunch(urls);
    EXPECT_FALSE(second.claimed);
    EXPECT_TRUE(second.taken);
    // Taken means delivered already: the answer comes after the links are in.
    EXPECT_EQ(delivered, urls);
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

    EXPECT_TRUE(forwardFromALaterLaunch({QStringLiteral("nerim://pair?token=real")}).taken);
    EXPECT_EQ(delivered, QStringList{QStringLiteral("nerim://pair?token=real")});
}

// A launch waits for the running Nerim's answer, so a running Nerim that is
// busy (here: stopped) when the launch comes still finds it, checks it and
// takes its link. A launch that gets no answer in time says so and exits
// with a failure; its link, found only after it ended and can no longer be
// checked, is refused.
TEST(SingleInstanceHandOver, ALinkWaitsForABusyRunningNerim)
{
    const QString program = QStringLiteral(NERIM_PLATFORM_TEST_INSTANCE_LAUNCH);
    Launched running(program, {QStringLiteral("hold"), QStringLiteral("nerim-test")});
    ASSERT_EQ(running.nextLine(), "holding");

    running.signal(SIGSTOP);
    const std::unique_ptr<QProcess> launch = startSending(program, QStringLiteral("nerim://pair?token=busy"), 60000);
    ASSERT_TRUE(launch->waitForStarted(5000));
    // Long past the moment a launch that did not wait would have ended.
    EXPECT_FALSE(launch->waitForFinished(1500));
    running.signal(SIGCONT);
    EXPECT_EQ(running.nextLine(), "nerim://pair?token=busy");
    ASSERT_TRUE(launch->waitForFinished(30000));
    EXPECT_EQ(launch->exitCode(), 0);

    running.signal(SIGSTOP);
    const std::unique_ptr<QProcess> impatient =
        startSending(program, QStringLiteral("nerim://pair?token=late"), 200, QProcess::SeparateChannels);
    ASSERT_TRUE(impatient->waitForFinished(30000));
    EXPECT_EQ(impatient->exitCode(), 1);
    EXPECT_TRUE(impatient->readAllStandardError().contains("did not answer"));
    running.signal(SIGCONT);
    // The next link comes through; the one that was given up on never does.
    EXPECT_EQ(sendFrom(program, QStringLiteral("nerim://pair?token=next")), 0);
    EXPECT_EQ(running.nextLine(), "nerim://pair?token=next");
}

// A rebuild or an upgrade replaces the program file while Nerim runs: a
// launch of the new file at the same path is the same program and hands its
// link over; a program started from anywhere else is refused, also one whose
// name only looks like that of a replaced file.
TEST(SingleInstanceHandOver, ALaunchOfTheSameProgramAfterItsFileWasReplacedHandsItsLinkOver)
{
    const QString folder = nerim::test::makeTempDir(QStringLiteral("bin"));
    const QString installed = folder + QStringLiteral("/nerim");
    ASSERT_TRUE(QFile::copy(QStringLiteral(NERIM_PLATFORM_TEST_INSTANCE_LAUNCH), installed));
    Launched running(installed, {QStringLiteral("hold"), QStringLiteral("nerim-test")});
    ASSERT_EQ(running.nextLine(), "holding");

    // The new file comes into place by a rename, as package managers and linkers do.
    ASSERT_TRUE(QFile::copy(QStringLiteral(NERIM_PLATFORM_TEST_INSTANCE_LAUNCH), installed + QStringLiteral(".new")));
    ASSERT_EQ(::rename(QFile::encodeName(installed + QStringLiteral(".new")).constData(),
                       QFile::encodeName(installed).constData()),
              0);
    char shown[4096] = {};
    const QByteArray exe = "/proc/" + QByteArray::number(running.process->processId()) + "/exe";
    ASSERT_GT(::readlink(exe.constData(), shown, sizeof shown - 1), 0);
    EXPECT_TRUE(QByteArray(shown).endsWith(" (deleted)")) << shown;
    EXPECT_EQ(sendFrom(installed, QStringLiteral("nerim://pair?token=upgraded")), 0);
    EXPECT_EQ(running.nextLine(), "nerim://pair?token=upgraded");

    // The same code from another path, and from a file named like a replaced
    // one: neither takes the running program for its own, so neither sends
    // it anything (each runs on by itself, 3), and neither link arrives.
    EXPECT_EQ(sendFrom(QStringLiteral(NERIM_PLATFORM_TEST_INSTANCE_LAUNCH), QStringLiteral("nerim://pair?token=elsewhere")), 3);
    const QString lookalike = installed + QStringLiteral(" (deleted)");
    ASSERT_TRUE(QFile::copy(QStringLiteral(NERIM_PLATFORM_TEST_INSTANCE_LAUNCH), lookalike));
    EXPECT_EQ(sendFrom(lookalike, QStringLiteral("nerim://pair?token=lookalike")), 3);
    EXPECT_EQ(sendFrom(installed, QStringLiteral("nerim://pair?token=again")), 0);
    EXPECT_EQ(running.nextLine(), "nerim://pair?token=again");
}

TEST(SingleInstance, OversizedMessageIsDropped)
{
    SingleInstance first(QStringLiteral("nerim-test"));
    ASSERT_TRUE(first.claimOrForward({}));
    first.startDelivering();
    QStringList delivered;
    QObject::connect(&first, &SingleInstance::urlsReceived, [&](const QStringList &urls) { delivered += urls; });
    const Forwarding oversized = forwardFromALaterLaunch({QString(SingleInstance::maxMessageBytes + 10, QLatin1Char('x'))});
    EXPECT_FALSE(oversized.claimed);
    EXPECT_FALSE(oversized.taken);
    EXPECT_TRUE(forwardFromALaterLaunch({QStringLiteral("nerim://pair?token=ok")}).taken);
    EXPECT_EQ(delivered, QStringList{QStringLiteral("nerim://pair?token=ok")});
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
    ::shutdown(fd, SHUT_WR);
    spinEventLoop(200);
    EXPECT_EQ(delivered, (QStringList{QStringLiteral("nerim://pair?token=a"), QStringLiteral("nerim://pair?token=b")}));
    // And the sender, still there, is told they were taken.
    char answer[16] = {};
    EXPECT_EQ(::read(fd, answer, sizeof answer), 6);
    EXPECT_STREQ(answer, "taken\n");
    ::close(fd);
}

TEST(SingleInstance, SilentConnectionHoldsUpNoLaterLaunch)
{
    SingleInstance first(QStringLiteral("nerim-test"));
    ASSERT_TRUE(first.claimOrForward({}));
    first.startDelivering();
    const int silent = connectTo(first.socketName());
    ASSERT_GE(silent, 0);
    spinEventLoop(50);
    QStringList delivered;
    QObject::connect(&first, &SingleInstance::urlsReceived, [&](const QStringList &urls) { delivered += urls; });
    EXPECT_TRUE(forwardFromALaterLaunch({QStringLiteral("nerim://pair?token=later")}).taken);
    EXPECT_EQ(delivered, QStringList{QStringLiteral("nerim://pair?token=later")});
    ::close(silent);
}

TEST(SingleInstance, UrlsArrivingBeforeTheWindowExistsAreHeldInOrder)
{
    SingleInstance first(QStringLiteral("nerim-test"));
    ASSERT_TRUE(first.claimOrForward({}));
    QStringList delivered;
    QObject::connect(&first, &SingleInstance::urlsReceived, [&](const QStringList &urls) { delivered += urls; });
    for (const char *url : {"nerim://pair?token=1", "nerim://pair?token=2"})
        EXPECT_TRUE(forwardFromALaterLaunch({QString::fromUtf8(url)}).taken); // held is taken
    EXPECT_TRUE(delivered.isEmpty());
    first.startDelivering();
    EXPECT_EQ(delivered, (QStringList{QStringLiteral("nerim://pair?token=1"), QStringLiteral("nerim://pair?token=2")}));
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
