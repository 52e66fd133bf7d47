#pragma once

#include <QFuture>
#include <QPromise>
#include <QThreadPool>
#include <exception>
#include <memory>
#include <type_traits>

namespace nerim {

// Runs one piece of file work on Qt's shared thread pool and hands back a future
// the GUI thread can `co_await`. Used by the file owners' factories, which must
// load before the owner (and its own serial executor) exists. An exception thrown
// by the work arrives as its own class, never wrapped.
template <typename F>
auto runInBackground(F work) -> QFuture<std::invoke_result_t<F>>
{
    using R = std::invoke_result_t<F>;
    auto promise = std::make_shared<QPromise<R>>();
    QFuture<R> future = promise->future();
    promise->start();
    QThreadPool::globalInstance()->start([promise, work = std::move(work)]() mutable {
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

} // namespace nerim
