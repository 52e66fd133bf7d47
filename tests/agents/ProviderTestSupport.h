#pragma once

#include "agents/AgentOutputStream.h"
#include "agents/ClaudeCodeProvider.h"
#include "support/claude-standin/ClaudeStandin.h"
#include "TestAsync.h"

#include <QCoro/QCoroTask>
#include <QCoro/QCoroTimer>
#include <QTimer>

namespace nerim::test {

// Reads a stream to its end.
inline QCoro::Task<QList<AgentOutput>> collectAll(std::shared_ptr<AgentOutputStream> stream)
{
    QList<AgentOutput> all;
    for (;;) {
        const QList<AgentOutput> batch = co_await stream->next();
        all += batch;
        if (stream->atEnd())
            break;
    }
    co_return all;
}

// The next batch of a stream (empty once it has ended).
inline QCoro::Task<QList<AgentOutput>> nextBatch(std::shared_ptr<AgentOutputStream> stream)
{
    co_return co_await stream->next();
}

inline QCoro::Task<> sleepFor(int ms)
{
    QTimer timer;
    timer.setSingleShot(true);
    timer.start(ms);
    co_await timer;
}

// Runs the event loop until `condition` holds or the time is up; returns whether it held.
template <typename F>
inline bool waitUntil(F condition, int timeoutMs = 5000)
{
    for (int waited = 0; !condition(); waited += 10) {
        if (waited >= timeoutMs)
            return false;
        test::await(sleepFor(10));
    }
    return true;
}

// A provider that runs the stand-in `claude`.
inline ClaudeCodeProvider::Options standinOptions()
{
    ClaudeCodeProvider::Options options;
    options.resolveBinary = [] { return std::optional<QString>(claudeStandin::path()); };
    return options;
}

} // namespace nerim::test
