#include "foundation/SerialExecutor.h"
#include "foundation/SerialFileWriter.h"
#include "TestAsync.h"
#include "TestEnvironment.h"

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroTask>
#include <QElapsedTimer>
#include <QThread>
#include <atomic>
#include <gtest/gtest.h>
#include <stdexcept>
#include <unistd.h>

using namespace nerim;

TEST(SerialExecutor, RunsInOrderOffTheCallingThreadAndRethrowsTheRealError)
{
    SerialExecutor executor;
    QList<int> order;
    QList<QFuture<int>> futures;
    for (int i = 0; i < 20; ++i)
        futures.append(executor.run([&order, i] {
            QThread::usleep(100);
            order.append(i); // safe: one item at a time
            return i * 2;
        }));
    auto failing = executor.run([]() -> int { throw std::runtime_error("boom"); });
    EXPECT_EQ(test::await(futures.last()), 38);
    const QThread *worker = test::await(executor.run([] { return QThread::currentThread(); }));
    EXPECT_NE(worker, QThread::currentThread());
    try {
        test::await(failing);
        FAIL() << "expected the work's exception";
    } catch (const std::runtime_error &e) {
        EXPECT_STREQ(e.what(), "boom");
    }
    QList<int> expected;
    for (int i = 0; i < 20; ++i)
        expected.append(i);
    EXPECT_EQ(order, expected);
}

// An executor at rest gives its thread back; the next item runs on a new one,
// still after every earlier item and never beside one. One whose thread is
// kept runs everything on the same thread however long it rested.
TEST(SerialExecutor, ReleasesItsThreadWhenIdleAndKeepsTheOrderAcrossThreads)
{
    constexpr int idleMs = 20;
    SerialExecutor executor(SerialExecutor::Thread::releasedWhenIdle, idleMs);
    SerialExecutor keeping(SerialExecutor::Thread::kept, idleMs);
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    QList<int> order;
    const auto item = [&](int i) {
        return executor.run([&, i] {
            if (running.fetch_add(1) != 0)
                overlapped = true;
            QThread::usleep(200);
            order.append(i); // safe: one item at a time
            running.fetch_sub(1);
            return ::gettid();
        });
    };
    const pid_t first = test::await(item(0));
    const pid_t kept = test::await(keeping.run([] { return ::gettid(); }));
    // Items keep coming while the thread rests and is released; the deadline
    // only ends a test that would otherwise never see a new thread.
    pid_t latest = first;
    int next = 1;
    QElapsedTimer waited;
    waited.start();
    for (; latest == first && waited.elapsed() < 30000; ++next) {
        QThread::msleep(idleMs * 3);
        QList<QFuture<pid_t>> burst;
        for (int k = 0; k < 3; ++k)
            burst.append(item(next++));
        latest = test::await(item(next));
        for (QFuture<pid_t> &f : burst)
            test::await(f);
    }
    EXPECT_NE(latest, first);
    EXPECT_EQ(test::await(keeping.run([] { return ::gettid(); })), kept);
    EXPECT_FALSE(overlapped);
    QList<int> expected;
    for (int i = 0; i < next; ++i)
        expected.append(i);
    EXPECT_EQ(order, expected);
}

TEST(SerialFileWriter, NeverOverlapsOnePathAndTheNewestSnapshotWins)
{
    SerialFileWriter writer;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    QMutex mutex;
    QList<int> written;
    for (int i = 0; i < 50; ++i) {
        writer.submit(QStringLiteral("/tmp/a.json"), [&, i] {
            if (running.fetch_add(1) != 0)
                overlapped = true;
            QThread::usleep(500);
            {
                QMutexLocker lock(&mutex);
                written.append(i);
            }
            running.fetch_sub(1);
        });
    }
    writer.flush();
    EXPECT_FALSE(overlapped);
    ASSERT_FALSE(written.isEmpty());
    EXPECT_EQ(written.last(), 49);  // the newest snapshot is always written
    EXPECT_LT(written.size(), 50); // queued intermediate snapshots were dropped
    for (int i = 1; i < written.size(); ++i)
        EXPECT_LT(written[i - 1], written[i]);
}

TEST(SerialFileWriter, FailingJobIsLoggedAndDoesNotBlockLaterWrites)
{
    test::LogCapture log;
    SerialFileWriter writer;
    std::atomic<bool> later{false};
    writer.submit(QStringLiteral("p"), [] { throw std::runtime_error("disk full"); }, QStringLiteral("[Nerim panes]"));
    writer.flush();
    writer.submit(QStringLiteral("p"), [&] { later = true; });
    test::await(writer.whenIdle());
    EXPECT_TRUE(later);
    EXPECT_TRUE(log.contains(QStringLiteral("[Nerim panes] Background save of p failed: disk full")));
}
