#include "ui/design/widgets/TaskCompletePulseWrapper.h"

#include "ui/design/MotionPreferences.h"
#include "ui/design/widgets/NmMotionEffect.h"

#include <QWidget>

namespace nerim {

namespace {
constexpr int kFrameMs = 16;
} // namespace

TaskCompletePulseWrapper *TaskCompletePulseWrapper::apply(QWidget *widget)
{
    if (!widget)
        return nullptr;
    if (auto *existing = widget->findChild<TaskCompletePulseWrapper *>(QString(), Qt::FindDirectChildrenOnly))
        return existing;
    return new TaskCompletePulseWrapper(widget);
}

TaskCompletePulseWrapper::TaskCompletePulseWrapper(QWidget *widget)
    : QObject(widget)
    , m_widget(widget)
{
    m_elapsed.start();
    m_frames.setInterval(kFrameMs);
    connect(&m_frames, &QTimer::timeout, this, &TaskCompletePulseWrapper::tick);
    // Turning Reduce Motion on mid-pulse puts the widget back at once.
    connect(&MotionPreferences::shared(), &MotionPreferences::reduceMotionChanged, this, [this] { tick(); });
}

double TaskCompletePulseWrapper::now() const
{
    return m_clock ? m_clock() : double(m_elapsed.nsecsElapsed()) / 1e9;
}

void TaskCompletePulseWrapper::setClock(std::function<double()> clock)
{
    m_clock = std::move(clock);
    tick();
}

void TaskCompletePulseWrapper::setTrigger(const QVariant &value)
{
    if (m_track.setTrigger(value, now(), MotionPreferences::shared().reduceMotion()))
        m_frames.start();
    tick();
}

double TaskCompletePulseWrapper::brightness() const
{
    return m_track.brightness(now(), MotionPreferences::shared().reduceMotion());
}

void TaskCompletePulseWrapper::tick()
{
    const bool reduce = MotionPreferences::shared().reduceMotion();
    const double t = now();
    const double value = m_track.brightness(t, reduce);
    if (!m_track.isRunning(t) || reduce)
        m_frames.stop();
    if (!m_widget)
        return;
    NmMotionEffect *effect = value != 0.0 ? NmMotionEffect::of(m_widget) : NmMotionEffect::existing(m_widget);
    if (effect)
        effect->setBrightness(value);
}

} // namespace nerim
