#include "voice/VoiceHotkeyMonitor.h"

#include <QCoreApplication>
#include <QKeyEvent>

namespace nerim {

VoiceHotkeyMonitor::VoiceHotkeyMonitor(std::function<void()> onDoubleTap, Clock clock, QObject *parent)
    : QObject(parent), m_onDoubleTap(std::move(onDoubleTap)), m_clock(std::move(clock))
{
    if (!m_clock)
        m_clock = [] {
            return std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now().time_since_epoch());
        };
}

VoiceHotkeyMonitor::~VoiceHotkeyMonitor() { stop(); }

void VoiceHotkeyMonitor::start()
{
    if (m_started)
        return;
    if (auto *app = QCoreApplication::instance()) {
        app->installEventFilter(this);
        m_started = true;
    }
}

void VoiceHotkeyMonitor::stop()
{
    m_firstTapAt.reset();
    if (!m_started)
        return;
    if (auto *app = QCoreApplication::instance())
        app->removeEventFilter(this);
    m_started = false;
}

bool VoiceHotkeyMonitor::eventFilter(QObject *watched, QEvent *event)
{
    // A key event goes first to its window, then to the focus widget or item
    // and up through its parents, passing this filter at every step; only the
    // window's delivery counts, so each key is seen once.
    if (event->type() == QEvent::KeyPress && watched->isWindowType())
        keyPressed(*static_cast<QKeyEvent *>(event));
    return false;
}

void VoiceHotkeyMonitor::keyPressed(const QKeyEvent &event)
{
    if (event.isAutoRepeat())
        return;
    const Qt::KeyboardModifiers others = event.modifiers() & ~(Qt::ShiftModifier | Qt::KeypadModifier);
    const bool rightShiftAlone =
        event.key() == Qt::Key_Shift && event.nativeVirtualKey() == rightShiftKeysym && others == Qt::NoModifier;
    if (!rightShiftAlone) {
        m_firstTapAt.reset();
        return;
    }
    const std::chrono::milliseconds now = m_clock();
    if (m_firstTapAt && now - *m_firstTapAt <= doubleTapInterval) {
        m_firstTapAt.reset();
        doubleTapped();
        return;
    }
    m_firstTapAt = now;
}

void VoiceHotkeyMonitor::doubleTapped()
{
    if (!m_started)
        return;
    // The callback may stop or destroy the monitor; nothing here runs after it.
    const auto onDoubleTap = m_onDoubleTap;
    if (onDoubleTap)
        onDoubleTap();
}

} // namespace nerim
