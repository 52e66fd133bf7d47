#pragma once

#include <QObject>
#include <chrono>
#include <functional>
#include <optional>

class QKeyEvent;

namespace nerim {

// Watches the whole application's key presses for a double tap of Right
// Shift: two presses of Right Shift alone (no Control, Alt or Super held),
// the second within `doubleTapInterval` of the first, with no other key
// pressed in between. Right Shift is told from Left Shift by its native key
// code, the X11 keysym Shift_R. Each key event is looked at once, when it
// reaches its window. GUI thread.
class VoiceHotkeyMonitor : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds doubleTapInterval{400};
    // X11 keysym of the right Shift key (Shift_R), as Qt reports it in nativeVirtualKey().
    static constexpr quint32 rightShiftKeysym = 0xffe2;

    using Clock = std::function<std::chrono::milliseconds()>;

    // Creating the monitor installs nothing. `clock` measures the time between
    // taps (a monotonic clock when empty).
    explicit VoiceHotkeyMonitor(std::function<void()> onDoubleTap, Clock clock = {}, QObject *parent = nullptr);
    ~VoiceHotkeyMonitor() override;

    // Installs the application-wide filter; does nothing when it is installed already.
    void start();
    // Removes the filter, if installed, and forgets a first tap.
    void stop();
    bool isStarted() const { return m_started; }

    // Reports a completed double tap: calls the callback while started. The
    // filter calls it; tests of the callers may too.
    void doubleTapped();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void keyPressed(const QKeyEvent &event);

    std::function<void()> m_onDoubleTap;
    Clock m_clock;
    std::optional<std::chrono::milliseconds> m_firstTapAt;
    bool m_started = false;
};

} // namespace nerim
