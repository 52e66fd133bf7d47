#pragma once

#include <QFuture>
#include <QPromise>
#include <QThreadPool>
#include <exception>
#include <memory>
#include <type_traits>

namespace nerim {

// How Nerim uses threads. The GUI thread owns every observable model (setters
// notify only on change), every child process and every network reply;
// multi-step flows are QCoro coroutines on it, and nothing on it waits on a
// disk sync, the network or a child. Work that touches the disk runs
// elsewhere: the file owners (AppStateActor, ProjectContextActor,
// PlansWorkspaceStore) run each operation on a SerialExecutor of their own and
// their factories run here, on Qt's shared pool; snapshot files go through
// SerialFileWriter; preparing an agent spawn (finding `claude`, checking the
// folder, assembling the prompt, reading credentials) and building requests
// that read the keyring run on the pool too. Only the copy of the data is
// taken on the GUI thread.
//
// QCoro, as used here: `co_return` of a non-const lvalue (a member, a captured
// variable) moves it out, so return a copy of anything that must survive;
// `QCoro::waitFor` loses exceptions (tests use `nerim::test::await`);
// QProcess's signals are private signals, so code waits on them through a
// promise, not QCoro's signal awaiter; awaited futures and tasks are kept in
// named locals (GCC 12 can destroy temporaries of a `co_await` expression
// twice).

// Runs one piece of work on `pool` and hands back a future the GUI thread can
// `co_await`. An exception thrown by the work arrives as its own class, never
// wrapped (QtConcurrent::run would wrap it in QUnhandledException).
template <typename F>
auto runInBackground(QThreadPool &pool, F work) -> QFuture<std::invoke_result_t<F>>
{
    using R = std::invoke_result_t<F>;
    auto promise = std::make_shared<QPromise<R>>();
    QFuture<R> future = promise->future();
    promise->start();
    pool.start([promise, work = std::move(work)]() mutable {
        try {
            if constexpr (std::is_void_v<R>)
                work();
            else
                promise->addResult(work());
        } catch (...) {
            promise->setException(std::current_exception());
        }
        promise->finish();
    });
    return future;
}

// The same on Qt's shared pool: used, for example, by the file owners'
// factories, which load before the owner (and its own serial executor) exists.
template <typename F>
auto runInBackground(F work) -> QFuture<std::invoke_result_t<F>>
{
    return runInBackground(*QThreadPool::globalInstance(), std::move(work));
}

} // namespace nerim
