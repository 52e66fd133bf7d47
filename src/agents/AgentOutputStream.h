#pragma once

#include "agents/AgentOutput.h"

#include <QList>
#include <coroutine>
#include <memory>

namespace nerim {

// The event stream of one agent session: an unbounded buffer with one producer
// (the provider) and one consumer, both on the GUI thread. Events that arrive
// before anyone listens are kept, so nothing is lost between `spawn` and the
// first read. A consumer awaits `next()` in a coroutine:
//
//     for (;;) {
//         const QList<AgentOutput> batch = co_await stream->next();
//         if (batch.isEmpty())
//             break;            // the stream has ended
//         for (const AgentOutput &event : batch) ...
//     }
//
// `next()` resumes from the event loop (never inside the producer's or the
// consumer's own call), with
// every event that arrived since the previous read, oldest first.
class AgentOutputStream : public std::enable_shared_from_this<AgentOutputStream> {
public:
    static std::shared_ptr<AgentOutputStream> create();
    // A stream that has already ended and holds nothing.
    static std::shared_ptr<AgentOutputStream> finishedStream();

    // Producer side.
    void yield(AgentOutput event);
    // Several events at once, in order (one wake-up for all of them).
    void yield(QList<AgentOutput> &&events);
    void finish();

    bool isFinished() const { return m_finished; }
    // Finished and nothing left to read.
    bool atEnd() const { return m_finished && m_buffer.isEmpty(); }
    // Takes whatever is buffered now, without waiting (may be empty).
    QList<AgentOutput> takeAvailable();

    // Resumes a waiting consumer with whatever is buffered (possibly nothing);
    // used to let a cancelled consumer leave its loop at once.
    void wakeConsumer();

    class NextAwaiter {
    public:
        explicit NextAwaiter(std::shared_ptr<AgentOutputStream> stream) : m_stream(std::move(stream)) {}
        // Always suspends, so a consumer never runs inside its starter's call either.
        bool await_ready() const { return false; }
        void await_suspend(std::coroutine_handle<> waiter)
        {
            m_stream->m_waiter = waiter;
            if (!m_stream->m_buffer.isEmpty() || m_stream->m_finished)
                m_stream->scheduleWake();
        }
        QList<AgentOutput> await_resume() { return m_stream->takeAvailable(); }

    private:
        std::shared_ptr<AgentOutputStream> m_stream;
    };
    // Awaitable: the next batch of events; an empty batch once the stream has ended.
    NextAwaiter next() { return NextAwaiter(shared_from_this()); }

private:
    AgentOutputStream() = default;
    void scheduleWake();

    QList<AgentOutput> m_buffer;
    bool m_finished = false;
    bool m_wakeScheduled = false;
    std::coroutine_handle<> m_waiter;
};

} // namespace nerim
