#include "app/StartupChores.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThreadPool>
#include <QTimer>

#include <dlfcn.h>
#include <malloc.h>

namespace nerim {

FontconfigPreload::FontconfigPreload(std::function<void()> then)
{
    // Qt's font database links fontconfig, so it is loaded with the program;
    // looked up rather than linked, so that nothing more is built against it.
    using Init = int (*)();
    const auto init = reinterpret_cast<Init>(::dlsym(RTLD_DEFAULT, "FcInit"));
    if (init)
        m_thread = std::thread([init, then = std::move(then)] {
            init();
            if (then)
                then();
        });
}

FontconfigPreload::~FontconfigPreload()
{
    wait();
}

void FontconfigPreload::wait()
{
    if (m_thread.joinable())
        m_thread.join();
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
