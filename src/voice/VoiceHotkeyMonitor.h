#pragma once

#include <functional>

namespace nerim {

// The double tap that starts and stops dictation. Creating one installs
// nothing; `start` arms it once and `stop` disarms it and forgets a first tap.
// Whatever watches the keyboard reports a completed double tap with
// `doubleTapped`, which calls the callback only while the monitor is armed.
class VoiceHotkeyMonitor {
public:
    explicit VoiceHotkeyMonitor(std::function<void()> onDoubleTap) : m_onDoubleTap(std::move(onDoubleTap)) {}

    void start() { m_started = true; }
    void stop() { m_started = false; }
    bool isStarted() const { return m_started; }

    void doubleTapped()
    {
        if (m_started && m_onDoubleTap)
            m_onDoubleTap();
    }

private:
    std::function<void()> m_onDoubleTap;
    bool m_started = false;
};

} // namespace nerim
