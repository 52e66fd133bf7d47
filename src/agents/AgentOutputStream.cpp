#include "agents/AgentOutputStream.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace nerim {

std::shared_ptr<AgentOutputStream> AgentOutputStream::create()
{
    return std::shared_ptr<AgentOutputStream>(new AgentOutputStream());
}

std::shared_ptr<AgentOutputStream> AgentOutputStream::finishedStream()
{
    auto stream = create();
    stream->m_finished = true;
    return stream;
}

void AgentOutputStream::yield(AgentOutput event)
{
    if (m_finished)
        return;
    m_buffer.append(std::move(event));
    scheduleWake();
}

void AgentOutputStream::yield(QList<AgentOutput> &&events)
{
    if (m_finished || events.isEmpty())
        return;
    if (m_buffer.isEmpty())
        m_buffer.swap(events);
    else
        m_buffer.append(std::move(events));
    events.clear();
    scheduleWake();
}

void AgentOutputStream::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    scheduleWake();
}

QList<AgentOutput> AgentOutputStream::takeAvailable()
{
    QList<AgentOutput> batch;
    batch.swap(m_buffer);
    return batch;
}

void AgentOutputStream::wakeConsumer() { scheduleWake(); }

void AgentOutputStream::scheduleWake()
{
    if (!m_waiter || m_wakeScheduled)
        return;
    m_wakeScheduled = true;
    // Resume from the event loop so the consumer never runs inside the producer's
    // call stack. The pending call keeps the stream alive.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self = shared_from_this()] {
            self->m_wakeScheduled = false;
            if (auto waiter = std::exchange(self->m_waiter, {}))
                waiter.resume();
        },
        Qt::QueuedConnection);
}

} // namespace nerim
