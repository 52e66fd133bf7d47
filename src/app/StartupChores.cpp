#include "app/StartupChores.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThreadPool>
#include <QTimer>

#include <dlfcn.h>
#include <sched.h>
#include <unistd.h>
#include <malloc.h>

namespace nerim {

FontconfigPreload::FontconfigPreload(std::function<void()> then)
    : m_then(std::move(then))
{
    // Qt's font database links fontconfig, so it is loaded with the program;
    // looked up rather than linked, so that nothing more is built against it.
    m_init = reinterpret_cast<int (*)()>(::dlsym(RTLD_DEFAULT, "FcInit"));
    if (!m_init)
        return;
    pthread_attr_t attributes;
    if (::pthread_attr_init(&attributes) != 0)
        return;
    cpu_set_t elsewhere;
    const int here = ::sched_getcpu();
    if (here >= 0 && ::sched_getaffinity(0, sizeof elsewhere, &elsewhere) == 0 && CPU_ISSET(here, &elsewhere) &&
        CPU_COUNT(&elsewhere) > 1) {
        CPU_CLR(here, &elsewhere);
        ::pthread_attr_setaffinity_np(&attributes, sizeof elsewhere, &elsewhere);
    }
    // Without a thread, the first font looked up starts fontconfig itself.
    m_running = ::pthread_create(&m_thread, &attributes, &FontconfigPreload::run, this) == 0;
    ::pthread_attr_destroy(&attributes);
}

void *FontconfigPreload::run(void *self)
{
    auto *preload = static_cast<FontconfigPreload *>(self);
    // Free to move again: the cores of the process's main thread.
    cpu_set_t anywhere;
    if (::sched_getaffinity(::getpid(), sizeof anywhere, &anywhere) == 0)
        ::sched_setaffinity(0, sizeof anywhere, &anywhere);
    preload->m_init();
    if (preload->m_then)
        preload->m_then();
    return nullptr;
}

FontconfigPreload::~FontconfigPreload()
{
    wait();
}

void FontconfigPreload::wait()
{
    if (m_running) {
        ::pthread_join(m_thread, nullptr);
        m_running = false;
    }
}

namespace {

class FirstPaintWatcher : public QObject {
public:
    FirstPaintWatcher(QWidget *window, std::function<void()> chore, int fallbackMs, PaintCounts counts)
        : QObject(window)
        , m_window(window)
        , m_chore(std::move(chore))
        , m_counts(std::move(counts))
    {
        QCoreApplication::instance()->installEventFilter(this);
        QTimer::singleShot(fallbackMs, this, [this] { finish(); });
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && !m_painted && watched->isWidgetType() &&
            static_cast<QWidget *>(watched)->window() == m_window &&
            (!m_counts || m_counts(static_cast<QWidget *>(watched)))) {
            m_painted = true;
            QCoreApplication::instance()->removeEventFilter(this);
            // Posted, so it runs once the paint under way has been put on the
            // screen.
            QTimer::singleShot(0, this, [this] { finish(); });
        }
        return false;
    }

private:
    void finish()
    {
        if (m_done)
            return;
        m_done = true;
        QCoreApplication::instance()->removeEventFilter(this);
        const std::function<void()> chore = std::move(m_chore);
        deleteLater();
        if (chore)
            chore();
    }

    QPointer<QWidget> m_window;
    std::function<void()> m_chore;
    PaintCounts m_counts;
    bool m_painted = false;
    bool m_done = false;
};

} // namespace

void runAfterFirstPaint(QWidget *window, std::function<void()> chore, int fallbackMs, PaintCounts counts)
{
    if (!window || !chore)
        return;
    new FirstPaintWatcher(window, std::move(chore), fallbackMs, std::move(counts));
}

void IdleMemory::limitArenas()
{
    ::mallopt(M_ARENA_MAX, 2);
}

void IdleMemory::releasePoolThreadsAfter(int idleMs)
{
    QThreadPool::globalInstance()->setExpiryTimeout(idleMs);
}

void IdleMemory::returnFreeHeapLater(QObject *context, int delayMs)
{
    QTimer::singleShot(delayMs, context, [] { ::malloc_trim(0); });
}

} // namespace nerim
