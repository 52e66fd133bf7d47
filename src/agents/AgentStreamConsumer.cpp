#include "agents/AgentStreamConsumer.h"

#include "foundation/Log.h"

#include <QCoro/QCoroTask>
#include <QCoro/QCoroTimer>
#include <QElapsedTimer>
#include <chrono>
#include <exception>

namespace nerim {

namespace {

// The longest stretch of handling before the consumer lets the event loop run.
constexpr qint64 sliceMs = 8;

QCoro::Task<> consume(std::shared_ptr<AgentStreamConsumer> consumer, std::shared_ptr<AgentOutputStream> stream,
                      AgentStreamConsumer::EventHandler onEvent, AgentStreamConsumer::EndHandler onEnd,
                      bool *finishedFlag)
{
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
        // A large batch is handled in slices, giving the event loop a turn in
        // between, so a flood of output never holds the GUI thread for long.
        QElapsedTimer slice;
        slice.start();
        for (const AgentOutput &event : batch) {
            if (slice.elapsed() >= sliceMs) {
                co_await QCoro::sleepFor(std::chrono::milliseconds(0));
                if (consumer->isCancelled())
                    break;
                slice.restart();
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
