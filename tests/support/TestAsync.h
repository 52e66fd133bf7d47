#pragma once

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroTask>
#include <QEventLoop>
#include <QFuture>
#include <exception>
#include <optional>
#include <type_traits>

namespace nerim::test {

namespace detail {
struct Unit {};
} // namespace detail

// Runs the event loop until the task completes, the way the GUI thread would
// `co_await` it, and returns its result or rethrows its exception.
template <typename T>
T await(QCoro::Task<T> &&task)
{
    QEventLoop loop;
    bool done = false;
    std::exception_ptr error;
    std::optional<std::conditional_t<std::is_void_v<T>, detail::Unit, T>> result;
    auto driver = [&]() -> QCoro::Task<> {
        try {
            if constexpr (std::is_void_v<T>) {
                co_await std::move(task);
                result.emplace();
            } else {
                result.emplace(co_await std::move(task));
            }
        } catch (...) {
            error = std::current_exception();
        }
        done = true;
        loop.quit();
    };
    auto running = driver();
    if (!done)
        loop.exec();
    if (error)
        std::rethrow_exception(error);
    if constexpr (!std::is_void_v<T>)
        return std::move(*result);
}

template <typename T>
T await(QFuture<T> future)
{
    return await([](QFuture<T> f) -> QCoro::Task<T> {
        if constexpr (std::is_void_v<T>)
            co_await f;
        else
            co_return co_await f;
    }(std::move(future)));
}

} // namespace nerim::test
