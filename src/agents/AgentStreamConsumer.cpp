#include "agents/AgentStreamConsumer.h"

#include "foundation/Log.h"

#include <QCoro/QCoroTask>
#include <QTimer>
#include <coroutine>
#include <deque>
#include <exception>

namespace nerim {

namespace {

// Consumers that found the turn's output budget spent wait here for a later
// turn: a single zero-interval timer firing that resumes them one after
// another, oldest first, for as long as the shared budget lasts (and always
// at least one, so every stream moves on). One that runs out in the middle
// of a batch waits again behind the others, so several streaming panes take
// the budget in rounds and, between two turns, the event loop paints and
// answers input.
class TurnQueue {
public:
    static TurnQueue &shared()
    {
        // Never destroyed: its timer must not outlive the application object.
        static TurnQueue *queue = new TurnQueue;
        return *queue;
    }

    class TurnAwaiter {
    public:
        bool await_ready() const { return false; }
        void await_suspend(std::coroutine_handle<> waiter) { TurnQueue::shared().enqueue(waiter); }
        void await_resume() const {}
    };
    // Awaitable: resumes the consumer in a later turn.
    TurnAwaiter nextTurn() { return {}; }

private:
    TurnQueue()
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
        // Only those waiting when the turn began take part; one that runs out
        // and queues again waits for the next turn.
        std::deque<std::coroutine_handle<>> now;
        now.swap(m_waiting);
        bool resumedAny = false;
        while (!now.empty()) {
            if (resumedAny && platform::OutputTurnBudget::spent()) {
                // The rest go first next time.
                m_waiting.insert(m_waiting.begin(), now.begin(), now.end());
                break;
            }
            const std::coroutine_handle<> waiter = now.front();
            now.pop_front();
            resumedAny = true;
            waiter.resume();
        }
        m_inTurn = false;
        if (!m_waiting.empty())
            m_timer.start();
    }

    QTimer m_timer;
    bool m_inTurn = false;
    std::deque<std::coroutine_handle<>> m_waiting;
};

// When a consumer reads the turn's clock. After a reading that found the
// events since the one before quick (under `quickEventNs` each on average),
// the next `stride - 1` events go without one; after a slow stretch, every
// event is followed by a reading. So a turn runs past its budget by at most
// a few quick events, or by the one slow event that crossed it.
class ClockPace {
public:
    static constexpr int stride = 4;
    static constexpr qint64 quickEventNs = 2'000;

    // The turn's clock runs from here, if not already.
    ClockPace() : m_lastReading(platform::OutputTurnBudget::elapsedNs()) {}

    // An event has been handed out.
    void count() { ++m_sinceReading; }
    // Whether the clock is to be read before the next event.
    bool due() { return m_skip == 0 || --m_skip == 0; }
    // Reads the clock: whether the turn's budget is spent.
    bool spent()
    {
        const qint64 now = platform::OutputTurnBudget::elapsedNs();
        m_skip = now - m_lastReading < quickEventNs * m_sinceReading ? stride : 0;
        m_lastReading = now;
        m_sinceReading = 0;
        return now >= platform::OutputTurnBudget::budgetNs;
    }

private:
    qint64 m_lastReading;
    qsizetype m_sinceReading = 0;
    int m_skip = 0;
};

QCoro::Task<> consume(std::shared_ptr<AgentStreamConsumer> consumer, std::shared_ptr<AgentOutputStream> stream,
                      AgentStreamConsumer::EventHandler onEvent, AgentStreamConsumer::EndHandler onEnd,
                      bool *finishedFlag)
{
    TurnQueue &queue = TurnQueue::shared();
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
        // much longer than the budget before the event loop runs again.
        // Reading the turn's clock costs about what handing out a short line
        // does: while events go quickly it is read after every few of them
        // (see `ClockPace`), and after every one once they take longer.
        ClockPace pace;
        qsizetype handledSinceResumed = 0;
        for (const AgentOutput &event : batch) {
            if (handledSinceResumed > 0 && pace.due() && pace.spent()) {
                co_await queue.nextTurn();
                handledSinceResumed = 0;
                pace = ClockPace();
                if (consumer->isCancelled())
                    break;
            }
            ++handledSinceResumed;
            pace.count();
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
