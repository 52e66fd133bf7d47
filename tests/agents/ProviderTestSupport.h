#pragma once

#include "agents/AgentOutputStream.h"
#include "agents/ClaudeCodeProvider.h"
#include "support/claude-standin/ClaudeStandin.h"

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

inline QCoro::Task<> sleepFor(int ms)
{
    QTimer timer;
    timer.setSingleShot(true);
    timer.start(ms);
    co_await timer;
}

// A provider that runs the stand-in `claude`.
inline ClaudeCodeProvider::Options standinOptions()
{
    ClaudeCodeProvider::Options options;
    options.resolveBinary = [] { return std::optional<QString>(claudeStandin::path()); };
    return options;
}

} // namespace nerim::test
