#include "foundation/Log.h"

#include <QMutex>
#include <QMutexLocker>
#include <cstdio>

namespace nerim {

namespace {

QMutex &sinkMutex()
{
    static QMutex mutex;
    return mutex;
}

LogSink &currentSink()
{
    static LogSink sink;
    return sink;
}

} // namespace

void logLine(const QString &line)
{
    QMutexLocker lock(&sinkMutex());
    if (currentSink()) {
        currentSink()(line);
        return;
    }
    const QByteArray utf8 = line.toUtf8();
    std::fprintf(stderr, "%s\n", utf8.constData());
    std::fflush(stderr);
}

LogSink setLogSink(LogSink sink)
{
    QMutexLocker lock(&sinkMutex());
    LogSink previous = std::move(currentSink());
    currentSink() = std::move(sink);
    return previous;
}

} // namespace nerim
