#pragma once

#include <QFuture>
#include <QPromise>
#include <QThreadPool>
#include <exception>
#include <memory>
#include <type_traits>

namespace nerim {

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
