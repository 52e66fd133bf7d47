// What a transcript lets go of: data freed on the disposal thread, row
// widgets hidden at once and deleted in later turns, never inside an event
// loop nested deeper than where they were let go of, nor twice.
#include "platform/OutputTurnBudget.h"
#include "ui/panes/TranscriptDisposal.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QList>
#include <QPointer>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>
#include <atomic>
#include <memory>
#include <vector>

namespace nerim {
namespace {

bool allDeleted(const std::vector<QPointer<QWidget>> &widgets)
{
    for (const QPointer<QWidget> &widget : widgets)
        if (widget)
            return false;
    return true;
}

TEST(TranscriptDisposal, RowsLetGoOfAreHiddenAtOnceAndDeletedInLaterTurns)
{
    QWidget parent;
    std::vector<QPointer<QWidget>> rows;
    for (int i = 0; i < 40; ++i) {
        rows.emplace_back(new QWidget(&parent));
        rows.back()->show();
    }
    parent.show();
    for (const QPointer<QWidget> &row : rows)
        TranscriptDisposal::deleteSoon(row);
    for (const QPointer<QWidget> &row : rows) {
        ASSERT_TRUE(row);
        EXPECT_FALSE(row->isVisible());
    }
    // One that goes with its parent first is not deleted again.
    auto *other = new QWidget;
    auto *child = new QWidget(other);
    TranscriptDisposal::deleteSoon(child);
    delete other;
    EXPECT_TRUE(QTest::qWaitFor([&] { return TranscriptDisposal::pendingWidgetCount() == 0; }, 5000));
    EXPECT_TRUE(allDeleted(rows));
}

TEST(TranscriptDisposal, RowsAreDeletedEvenWhileEveryTurnIsBusy)
{
    // Every turn spends more than its share on transcript work before the
    // rows' turn comes: the rows are still deleted, later.
    QTimer busy;
    busy.setInterval(0);
    QObject::connect(&busy, &QTimer::timeout, [] {
        platform::OutputTurnBudget::elapsedNs();
        QElapsedTimer spin;
        spin.start();
        while (spin.nsecsElapsed() < 5'000'000)
            ;
    });
    busy.start();
    QWidget parent;
    std::vector<QPointer<QWidget>> rows;
    for (int i = 0; i < 10; ++i)
        rows.emplace_back(new QWidget(&parent));
    parent.show();
    for (const QPointer<QWidget> &row : rows)
        TranscriptDisposal::deleteSoon(row);
    EXPECT_TRUE(QTest::qWaitFor([&] { return TranscriptDisposal::pendingWidgetCount() == 0; }, 10000));
    EXPECT_TRUE(allDeleted(rows));
}

TEST(TranscriptDisposal, ARowIsNotDeletedInsideAnEventLoopNestedAfterItWasLetGo)
{
    // (As a context menu's loop, started from the row's own handler.)
    auto *row = new QWidget;
    QPointer<QWidget> watched(row);
    TranscriptDisposal::deleteSoon(row);
    QEventLoop nested;
    bool aliveInside = false;
    QTimer::singleShot(60, &nested, [&] {
        aliveInside = !watched.isNull();
        nested.quit();
    });
    nested.exec();
    EXPECT_TRUE(aliveInside);
    EXPECT_TRUE(QTest::qWaitFor([&] { return watched.isNull(); }, 5000));
}

struct Probe {
    std::shared_ptr<std::atomic<QThread *>> freedOn;
    Probe(std::shared_ptr<std::atomic<QThread *>> where)
        : freedOn(std::move(where))
    {
    }
    Probe(Probe &&) = default;
    ~Probe()
    {
        if (freedOn)
            freedOn->store(QThread::currentThread());
    }
};

// Counts where the elements of a list are freed.
struct Counted {
    struct Tally {
        QThread *gui = QThread::currentThread();
        std::atomic<int> onGui{0};
        std::atomic<int> elsewhere{0};
    };
    std::shared_ptr<Tally> tally;
    ~Counted()
    {
        if (tally)
            ++(QThread::currentThread() == tally->gui ? tally->onGui : tally->elsewhere);
    }
};

TEST(TranscriptDisposal, DataIsFreedOffTheGuiThread)
{
    auto freedOn = std::make_shared<std::atomic<QThread *>>(nullptr);
    TranscriptDisposal::freeInBackground(Probe(freedOn));
    TranscriptDisposal::waitForBackground();
    ASSERT_NE(freedOn->load(), nullptr);
    EXPECT_NE(freedOn->load(), QThread::currentThread());

    // A long list, a slice at a time.
    auto tally = std::make_shared<Counted::Tally>();
    QList<Counted> list;
    list.resize(1000);
    for (Counted &element : list)
        element.tally = tally;
    TranscriptDisposal::freeListInBackground(std::move(list));
    TranscriptDisposal::waitForBackground();
    EXPECT_EQ(tally->onGui.load(), 0);
    EXPECT_EQ(tally->elsewhere.load(), 1000);
}

} // namespace
} // namespace nerim
