#pragma once

#include "foundation/BackgroundWork.h"

#include <QFuture>
#include <QThreadPool>
#include <type_traits>

namespace nerim {

// One background thread that runs submitted work strictly one item at a time, in
// submission order. File owners use it so that each operation (a change and its
// save) runs whole before the next starts. The GUI thread awaits the returned
// future with `co_await`; an exception thrown by the work arrives unwrapped, as
// its own class.
class SerialExecutor {
public:
    SerialExecutor()
    {
        m_pool.setMaxThreadCount(1);
        m_pool.setExpiryTimeout(-1);
    }
    ~SerialExecutor() { m_pool.waitForDone(); }

    SerialExecutor(const SerialExecutor &) = delete;
    SerialExecutor &operator=(const SerialExecutor &) = delete;

    template <typename F>
    auto run(F work) -> QFuture<std::invoke_result_t<F>>
    {
        return runInBackground(m_pool, std::move(work));
    }

    // Blocks until everything submitted so far has run (used at shutdown and in tests).
    void waitForIdle() { m_pool.waitForDone(); }

private:
    QThreadPool m_pool;
};

} // namespace nerim
