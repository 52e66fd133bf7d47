#include "platform/OutputTurnBudget.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QThread>

namespace nerim::platform {

namespace {

struct TurnClock {
    QElapsedTimer clock;
    bool running = false;
    QPointer<QAbstractEventDispatcher> watched;

    // A turn ends whenever the event loop is about to wait or has woken up.
    void watch(QAbstractEventDispatcher *dispatcher)
    {
        if (watched == dispatcher)
            return;
        watched = dispatcher;
        if (!dispatcher)
            return;
        const auto endTurn = [this] { running = false; };
        QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, dispatcher, endTurn);
        QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, dispatcher, endTurn);
    }
};

TurnClock &turnClock()
{
    static TurnClock clock;
    return clock;
}

} // namespace

qint64 OutputTurnBudget::elapsedNs()
{
    const QCoreApplication *app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread())
        return 0;
    TurnClock &turn = turnClock();
    turn.watch(QAbstractEventDispatcher::instance());
    if (!turn.running) {
        turn.running = true;
        turn.clock.start();
        return 0;
    }
    return turn.clock.nsecsElapsed();
}

} // namespace nerim::platform
