#include "foundation/SerialFileWriter.h"

#include "foundation/Log.h"

#include <QtConcurrent/QtConcurrentRun>
#include <exception>

namespace nerim {

SerialFileWriter::SerialFileWriter()
{
    m_pool.setMaxThreadCount(2);
}

SerialFileWriter::~SerialFileWriter()
{
    flush();
    m_pool.waitForDone();
}

SerialFileWriter &SerialFileWriter::shared()
{
    static SerialFileWriter writer;
    return writer;
}

void SerialFileWriter::submit(const QString &path, std::function<void()> job, const QString &tag)
{
    QMutexLocker lock(&m_mutex);
    auto it = m_running.find(path);
    if (it != m_running.end()) {
        it->pending = Job{std::move(job), tag}; // replaces an older queued snapshot
        return;
    }
    m_running.insert(path, Slot{});
    Job first{std::move(job), tag};
    m_pool.start([this, path, first = std::move(first)]() mutable { drain(path, std::move(first)); });
}

void SerialFileWriter::drain(const QString &path, Job job)
{
    for (;;) {
        try {
            job.run();
        } catch (const std::exception &e) {
            logLine(QStringLiteral("%1 Background save of %2 failed: %3").arg(job.tag, path, QString::fromUtf8(e.what())));
        } catch (...) {
            logLine(QStringLiteral("%1 Background save of %2 failed").arg(job.tag, path));
        }
        QMutexLocker lock(&m_mutex);
        auto it = m_running.find(path);
        if (it->pending) {
            job = std::move(*it->pending);
            it->pending.reset();
            continue;
        }
        m_running.erase(it);
        if (m_running.isEmpty())
            m_idle.wakeAll();
        return;
    }
}

void SerialFileWriter::flush()
{
    QMutexLocker lock(&m_mutex);
    while (!m_running.isEmpty())
        m_idle.wait(&m_mutex);
}

QFuture<void> SerialFileWriter::whenIdle()
{
    return QtConcurrent::run([this] { flush(); });
}

} // namespace nerim
