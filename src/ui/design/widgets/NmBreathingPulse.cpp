#include "ui/design/widgets/NmBreathingPulse.h"

#include "ui/design/MotionMath.h"
#include "ui/design/MotionPreferences.h"
#include "ui/design/widgets/NmMotionEffect.h"

#include <QEvent>
#include <QWidget>

namespace nerim {

namespace {
// The breath is slow; 30 steps a second are smooth enough for it.
constexpr int kFrameMs = 33;
} // namespace

NmBreathingPulse *NmBreathingPulse::apply(QWidget *widget)
{
    if (!widget)
        return nullptr;
    if (auto *existing = widget->findChild<NmBreathingPulse *>(QString(), Qt::FindDirectChildrenOnly))
        return existing;
    return new NmBreathingPulse(widget);
}

NmBreathingPulse::NmBreathingPulse(QWidget *widget)
    : QObject(widget)
    , m_widget(widget)
{
    m_frames.setInterval(kFrameMs);
    connect(&m_frames, &QTimer::timeout, this, &NmBreathingPulse::tick);
    connect(&MotionPreferences::shared(), &MotionPreferences::reduceMotionChanged, this, [this] {
        if (m_shown)
            appear();
    });
    widget->installEventFilter(this);
    if (widget->isVisible())
        appear();
    else
        tick(); // the resting opacity before the first appearance
}

double NmBreathingPulse::opacity() const
{
    const bool reduce = MotionPreferences::shared().reduceMotion();
    if (!m_shown || !m_sinceAppearing.isValid())
        return breathingOpacity(0.0, reduce);
    return breathingOpacity(double(m_sinceAppearing.nsecsElapsed()) / 1e9, reduce);
}

bool NmBreathingPulse::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_widget) {
        if (event->type() == QEvent::Show)
            appear();
        else if (event->type() == QEvent::Hide)
            disappear();
    }
    return QObject::eventFilter(watched, event);
}

void NmBreathingPulse::appear()
{
    m_shown = true;
    m_sinceAppearing.start();
    if (MotionPreferences::shared().reduceMotion())
        m_frames.stop();
    else
        m_frames.start();
    tick();
}

void NmBreathingPulse::disappear()
{
    m_shown = false;
    m_frames.stop();
}

void NmBreathingPulse::tick()
{
    if (NmMotionEffect *effect = NmMotionEffect::of(m_widget))
        effect->setOpacity(opacity());
}

} // namespace nerim
