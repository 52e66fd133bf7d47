#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <optional>


namespace nerim {

// Text carets stop blinking after a stretch without input, as the desktop's
// own text fields do (GNOME's cursor-blink-timeout). A blinking caret repaints
// its field twice a second for as long as the field has the focus, and once a
// web view is in the window every repaint is composited over the whole
// window: at rest that is most of what the window costs.
//
// After `timeout` without a key, click, wheel, input-method or focus event
// anywhere in the application, the application's cursor flash time is set to
// 0, which every Qt text widget follows by showing its caret steadily; the
// next such event puts the desktop's flash time back, and the carets blink
// again. A desktop whose carets do not blink is left alone.
class CaretBlinkRest : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds defaultTimeout{10000};

    // The one instance, watching the application's input from its first use
    // on. Its timeout is the desktop's, when the desktop's settings portal
    // answers with one, else `defaultTimeout`. Needs a QGuiApplication.
    static CaretBlinkRest &shared();

    std::chrono::milliseconds timeout() const { return m_timeout; }
    // Replaces the timeout (tests use a short one) and starts it over.
    void setTimeout(std::chrono::milliseconds timeout);
    // Whether the carets are resting (steady) now.
    bool isResting() const { return m_resting; }
    // The flash time carets blink with while awake (the desktop's).
    int awakeFlashTime() const { return m_awakeFlashTime; }

    // The timeout a cursor-blink-timeout of `seconds` stands for: none (the
    // carets never rest) for a value too large to be meant as a wait, the
    // default for a value of 0 or less.
    static std::optional<std::chrono::milliseconds> timeoutForDesktopSeconds(qint64 seconds);

signals:
    void restingChanged(bool resting);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    explicit CaretBlinkRest(QObject *parent);
    void readDesktopTimeout();
    void rest();
    void wake();

    std::chrono::milliseconds m_timeout = defaultTimeout;
    bool m_neverRests = false;
    bool m_resting = false;
    int m_awakeFlashTime = 0;
    QTimer m_timer;
};

} // namespace nerim
