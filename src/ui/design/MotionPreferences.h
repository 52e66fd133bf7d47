#pragma once

#include <QObject>
#include <QPointer>
#include <optional>

namespace nerim {

class DesktopAnimationSetting;

// Whether the interface should reduce motion. It comes, first match, from:
// NERIM_REDUCE_MOTION=1 or 0 in the environment; an explicit setReduceMotion
// (tests); the desktop's enable-animations setting, followed while it
// changes; otherwise motion is not reduced. Every motion helper reads
// `shared()` when it starts something and follows the change signal.
class MotionPreferences : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool reduceMotion READ reduceMotion WRITE setReduceMotion NOTIFY reduceMotionChanged)
public:
    // The application's instance; on first use it reads the environment and,
    // without an override there, starts following the desktop.
    static MotionPreferences &shared();

    // A standalone instance with the given environment override that does not
    // look at the desktop until followDesktop is called.
    explicit MotionPreferences(std::optional<bool> environmentOverride, QObject *parent = nullptr);

    bool reduceMotion() const { return m_reduceMotion; }

    // An explicit choice: from now on the desktop no longer changes the value.
    void setReduceMotion(bool reduce);

    // Follows `desktop` (taking ownership of none) unless the environment or an
    // explicit choice already decided.
    void followDesktop(DesktopAnimationSetting *desktop);

    // NERIM_REDUCE_MOTION: "1" reduces motion, "0" does not; anything else, or
    // no variable, leaves the decision to the desktop.
    static std::optional<bool> environmentOverride();
    static std::optional<bool> parseOverride(const QByteArray &value);

signals:
    void reduceMotionChanged(bool reduceMotion);

private:
    void apply(bool reduce);

    bool m_reduceMotion = false;
    bool m_decided = false; // by the environment or an explicit choice
    QPointer<DesktopAnimationSetting> m_desktop;
};

} // namespace nerim
