#pragma once

#include <QPointer>
#include <QWidget>

#include <functional>

#include <pthread.h>

namespace nerim {

// Fontconfig reads its configuration (some seventy files) and its font caches
// the first time a font is looked up, some milliseconds of work. Started at the
// top of main, on a thread of its own, it is done while the application object
// connects to the display; wait() is called before the first font is looked up
// (fontconfig's own start-up is safe to race, but doing it twice is a waste).
// Where Qt draws text without fontconfig, it does nothing.
// The thread is started on another core than the caller's: the scheduler puts
// a new thread beside the one that made it and, with the other cores asleep,
// lets the two take turns on that core for milliseconds, which the GUI
// thread's start would wait through. Once running, it may move anywhere.
class FontconfigPreload {
public:
    // `then` runs on the same thread once fontconfig is up.
    explicit FontconfigPreload(std::function<void()> then = {});
    ~FontconfigPreload();
    FontconfigPreload(const FontconfigPreload &) = delete;
    FontconfigPreload &operator=(const FontconfigPreload &) = delete;

    void wait();

private:
    static void *run(void *self);

    std::function<void()> m_then;
    int (*m_init)() = nullptr;
    pthread_t m_thread{};
    bool m_running = false;
};

// Which paint counts: the widget painted (inside the window).
using PaintCounts = std::function<bool(const QWidget *painted)>;

// Runs `chore` once, on the GUI thread, right after the first paint of
// `window` (or of a widget inside it) that `counts` accepts (any, when empty)
// has reached the screen: for start-up work that the first picture does not
// need. If no such paint comes within `fallbackMs` (a window that is never
// shown, say), the chore runs then. Nothing runs if the window is gone first.
void runAfterFirstPaint(QWidget *window, std::function<void()> chore, int fallbackMs = 2000, PaintCounts counts = {});

// How threads and the heap give memory back while Nerim rests.
namespace IdleMemory {
// At most two allocator arenas: the GUI thread's and one that the background
// threads share (glibc makes one per thread up to eight per core, and keeps
// each for the life of the process). Call first thing in main, before any
// thread starts.
void limitArenas();
// Threads of Qt's shared pool (the start-up's state load, Qt's own painting
// helpers) end after `idleMs` without work instead of thirty seconds.
void releasePoolThreadsAfter(int idleMs);
// `delayMs` after the call, on the GUI thread, hands the free pages of every
// arena back to the system (a tenth of a millisecond or so; nothing runs if
// `context` is gone by then).
void returnFreeHeapLater(QObject *context, int delayMs);
} // namespace IdleMemory

} // namespace nerim
