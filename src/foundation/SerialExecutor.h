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
//
// The thread is made at the first item and, by default, released once it has
// been idle for `releasedAfterIdleMs`: an owner at rest (the application state
// once the start-up has read it) keeps no thread and no stack, and the next
// item starts a thread again, which costs far less than the file work it runs.
// The order holds across threads: the pool never runs two items at once and
// takes them in the order they came. Work that keeps state tied to its thread
// (a library context made there) asks for the thread to be kept instead
// (`Thread::kept`: CanberraCuePlayer, for its canberra context). `main` gives
// Qt's shared pool the same 1 s (IdleMemory::releasePoolThreadsAfter), so at
// rest Nerim runs the threads a bare Qt window runs (GUI, X events, D-Bus).
class SerialExecutor {
public:
    enum class Thread { releasedWhenIdle, kept };
    static constexpr int releasedAfterIdleMs = 1000;

    explicit SerialExecutor(Thread thread = Thread::releasedWhenIdle, int idleMs = releasedAfterIdleMs)
    {
        m_pool.setMaxThreadCount(1);
        m_pool.setExpiryTimeout(thread == Thread::kept ? -1 : idleMs);
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
