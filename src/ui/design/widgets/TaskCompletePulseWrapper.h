#pragma once

#include "ui/design/MotionMath.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QVariant>

#include <functional>

class QWidget;

namespace nerim {

// Brightens a widget briefly (+0.08 at the peak, 0.8 s in all) each time its
// trigger value changes; the first value and repeats of the same value play
// nothing, and under Reduce Motion nothing plays at all. The wrapper lives as
// a child of the widget and drives the widget's NmMotionEffect.
class TaskCompletePulseWrapper : public QObject {
    Q_OBJECT
public:
    // Attaches a pulse to `widget` (once; a second call returns the first).
    static TaskCompletePulseWrapper *apply(QWidget *widget);

    void setTrigger(const QVariant &value);
    // The brightness added right now.
    double brightness() const;

    // Replaces the clock (seconds, any origin) and redraws; for tests.
    void setClock(std::function<double()> clock);

private:
    explicit TaskCompletePulseWrapper(QWidget *widget);
    double now() const;
    void tick();

    QPointer<QWidget> m_widget;
    TaskCompletePulseTrack m_track;
    QElapsedTimer m_elapsed;
    std::function<double()> m_clock;
    QTimer m_frames;
};

} // namespace nerim
