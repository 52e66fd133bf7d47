#include "agents/AgentStreamConsumer.h"

#include "foundation/Log.h"

#include <QCoro/QCoroTask>
#include <QElapsedTimer>
#include <QTimer>
#include <coroutine>
#include <deque>
#include <exception>

namespace nerim {

namespace {

// One time budget per turn of the event loop, shared by every consumer on the
// GUI thread. A consumer with events to hand out waits for a turn; a turn is a
// single zero-interval timer firing that resumes the waiting consumers one
// after another until together they have used the budget. One that runs out
// in the middle of a batch waits for the next turn behind the others, so
// several streaming panes take the budget in rounds and, between two turns,
// the event loop paints and answers input.
class TurnBudget {
public:
    static TurnBudget &shared()
    {
        // Never destroyed: its timer must not outlive the application object.
        static TurnBudget *budget = new TurnBudget;
        return *budget;
    }

    static constexpr qint64 budgetNs = AgentStreamConsumer::turnBudgetNs;

    // Whether the running turn's budget is used up (outside a turn: always).
    bool spent() const { return !m_inTurn || m_clock.nsecsElapsed() >= budgetNs; }

    class TurnAwaiter {
    public:
        bool await_ready() const { return false; }
        void await_suspend(std::coroutine_handle<> waiter) { TurnBudget::shared().enqueue(waiter); }
        void await_resume() const {}
    };
    // Awaitable: resumes the consumer inside a turn of the shared budget.
    TurnAwaiter nextTurn() { return {}; }

private:
    TurnBudget()
    {
        m_timer.setSingleShot(true);
        m_timer.setInterval(0);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { runTurn(); });
    }

    void enqueue(std::coroutine_handle<> waiter)
    {
        m_waiting.push_back(waiter);
        if (!m_inTurn && !m_timer.isActive())
            m_timer.start();
    }

    void runTurn()
    {
        m_inTurn = true;
        m_clock.start();
        // Only those waiting when the turn began take part; one that runs out
        // and queues again waits for the next turn.
        std::deque<std::coroutine_handle<>> now;
        now.swap(m_waiting);
        while (!now.empty()) {
            if (m_clock.nsecsElapsed() >= budgetNs) {
                // The rest go first next time.
                m_waiting.insert(m_waiting.begin(), now.begin(), now.end());
                break;
            }
            const std::coroutine_handle<> waiter = now.front();
            now.pop_front();
            waiter.resume();
        }
        m_inTurn = false;
        if (!m_waiting.empty())
            m_timer.start();
    }

    QTimer m_timer;
    QElapsedTimer m_clock;
    bool m_inTurn = false;
    std::deque<std::coroutine_handle<>> m_waiting;
};

QCoro::Task<> consume(std::shared_ptr<AgentStreamConsumer> consumer, std::shared_ptr<AgentOutputStream> stream,
                      AgentStreamConsumer::EventHandler onEvent, AgentStreamConsumer::EndHandler onEnd,
                      bool *finishedFlag)
{
    TurnBudget &budget = TurnBudget::shared();
    for (;;) {
        const QList<AgentOutput> batch = co_await stream->next();
        if (consumer->isCancelled())
            break;
        if (batch.isEmpty() && stream->atEnd()) {
            *finishedFlag = true;
            if (onEnd) {
                try {
                    onEnd();
                } catch (...) {
                    logLine(QStringLiteral("[Nerim agent] output end handler failed"));
                }
            }
            co_return;
        }
        // The batch is handed out within turns of the shared budget: a flood
        // of output, in one pane or several, never holds the GUI thread for
        // longer than the budget before the event loop runs again.
        for (const AgentOutput &event : batch) {
            if (budget.spent()) {
                co_await budget.nextTurn();
                if (consumer->isCancelled())
                    break;
            }
            // A fire-and-forget task must not let an exception escape.
            try {
                onEvent(event);
            } catch (const std::exception &e) {
                logLine(QStringLiteral("[Nerim agent] output handler failed: %1").arg(QString::fromUtf8(e.what())));
            } catch (...) {
                logLine(QStringLiteral("[Nerim agent] output handler failed"));
            }
            if (consumer->isCancelled())
                break;
        }
        if (consumer->isCancelled())
            break;
    }
    *finishedFlag = true;
}

} // namespace

std::shared_ptr<AgentStreamConsumer> AgentStreamConsumer::start(std::shared_ptr<AgentOutputStream> stream,
                                                                 EventHandler onEvent, EndHandler onEnd)
{
    std::shared_ptr<AgentStreamConsumer> consumer(new AgentStreamConsumer());
    consumer->m_stream = stream;
    // The coroutine holds the consumer for as long as it runs.
    consume(consumer, std::move(stream), std::move(onEvent), std::move(onEnd), &consumer->m_finished);
    return consumer;
}

void AgentStreamConsumer::cancel()
{
    if (m_cancelled)
        return;
    m_cancelled = true;
    if (m_stream)
        m_stream->wakeConsumer();
}

} // namespace nerim
