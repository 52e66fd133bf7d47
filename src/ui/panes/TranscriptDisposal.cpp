#include "ui/panes/TranscriptDisposal.h"

#include "foundation/SerialExecutor.h"
#include "platform/OutputTurnBudget.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QList>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QWidget>

namespace nerim::TranscriptDisposal {

namespace {

// What deleting widgets may take of a turn: a row's widget (a laid-out
// document, a code block) takes a fraction of a millisecond to delete.
constexpr qint64 kDeleteBudgetNs = 1'000'000;
// A turn whose transcript work (taking lines in, laying out rows, deleting)
// has already taken this long leaves the widgets to the next turn, at most
// this many turns in a row: a change of mode lays out the new rows in the
// turns right after it, and those are painted too.
constexpr qint64 kBusyTurnNs = 4'000'000;
constexpr int kMostTurnsPutOff = 8;

SerialExecutor &disposalThread()
{
    // One thread, so that what is freed never competes with itself for the
    // allocator; waited for when the program ends.
    static SerialExecutor executor;
    return executor;
}

struct WidgetQueue {
    struct Entry {
        QPointer<QWidget> widget;
        // The event loop's nesting when it was let go of: as with a deferred
        // delete, it is deleted only back at that level or outside it, never
        // inside a nested loop (a context menu's) that one of its own
        // handlers may have started.
        int loopLevel = 0;
    };
    QList<Entry> widgets;
    QTimer *timer = nullptr;
    int turnsPutOff = 0;
};

WidgetQueue &widgetQueue()
{
    static WidgetQueue queue;
    return queue;
}

void deleteSome()
{
    WidgetQueue &queue = widgetQueue();
    // (Reading the turn's clock starts it: what is deleted here counts
    // against the transcript work that comes later in the turn.)
    if (platform::OutputTurnBudget::elapsedNs() >= kBusyTurnNs && queue.turnsPutOff < kMostTurnsPutOff) {
        ++queue.turnsPutOff;
        queue.timer->start(0);
        return;
    }
    queue.turnsPutOff = 0;
    QElapsedTimer clock;
    clock.start();
    const int level = QThread::currentThread()->loopLevel();
    bool first = true;
    for (qsizetype i = 0; i < queue.widgets.size();) {
        if (queue.widgets[i].loopLevel < level) {
            ++i;
            continue;
        }
        if (!first && clock.nsecsElapsed() >= kDeleteBudgetNs)
            break;
        first = false;
        delete queue.widgets.takeAt(i).widget.data();
    }
    queue.widgets.removeIf([](const WidgetQueue::Entry &entry) { return entry.widget.isNull(); });
    // Widgets left inside a nested event loop wait for it to end without
    // spinning through its turns.
    if (!queue.widgets.isEmpty())
        queue.timer->start(first ? 16 : 0);
}

} // namespace

void runInBackground(std::function<void()> free)
{
    (void)disposalThread().run(std::move(free));
}

void pauseBetweenSlices() { QThread::usleep(500); }

void waitForBackground() { disposalThread().waitForIdle(); }

void deleteSoon(QWidget *widget)
{
    if (!widget)
        return;
    widget->hide();
    WidgetQueue &queue = widgetQueue();
    if (!queue.timer) {
        // Lives as long as the application: deleted with it.
        queue.timer = new QTimer(QCoreApplication::instance());
        queue.timer->setSingleShot(true);
        queue.timer->setInterval(0);
        QObject::connect(queue.timer, &QTimer::timeout, queue.timer, &deleteSome);
        QObject::connect(queue.timer, &QObject::destroyed, [] { widgetQueue().timer = nullptr; });
    }
    queue.widgets.append({widget, QThread::currentThread()->loopLevel()});
    if (!queue.timer->isActive())
        queue.timer->start();
}

int pendingWidgetCount()
{
    int pending = 0;
    for (const WidgetQueue::Entry &entry : std::as_const(widgetQueue().widgets))
        pending += !entry.widget.isNull();
    return pending;
}

} // namespace nerim::TranscriptDisposal
