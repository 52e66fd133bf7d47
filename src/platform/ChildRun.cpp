#include "platform/ChildRun.h"

#include <QCoro/QCoroFuture>
#include <QTimer>
#include <memory>

namespace nerim::platform {

QCoro::Task<ChildRun> runToEnd(ChildProcess::Options options, std::chrono::milliseconds timeLimit,
                               QPointer<QObject> stopper)
{
    auto run = std::make_shared<ChildRun>();
    auto child = std::make_unique<ChildProcess>();
    QObject::connect(child.get(), &ChildProcess::exited, child.get(), [run](int code, bool normal) {
        run->exited = true;
        run->exitedNormally = normal;
        run->exitCode = code;
    });
    QObject::connect(child.get(), &ChildProcess::failedToStart, child.get(),
                     [run](const QString &reason) { run->startFailure = reason; });
    QObject::connect(child.get(), &ChildProcess::outputLine, child.get(),
                     [run](const QString &line, bool standardError) {
                         (standardError ? run->errorLines : run->outputLines).append(line);
                     });
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, child.get(), [run, process = child.get()] {
        run->timedOut = true;
        process->stop();
    });
    if (stopper) {
        QObject::connect(stopper.data(), &QObject::destroyed, child.get(), [run, process = child.get()] {
            run->stopped = true;
            process->stop();
        });
    }
    child->start(options);
    limit.start(timeLimit);
    QFuture<void> ended = child->whenTreeEnded();
    co_await ended;
    limit.stop();
    co_return *run;
}

} // namespace nerim::platform
