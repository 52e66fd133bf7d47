#include "ui/design/widgets/NmFrameMotion.h"

#include "ui/design/MotionMath.h"
#include "ui/design/MotionPreferences.h"
#include "ui/design/widgets/ReducibleAnimation.h"

#include <QVariantAnimation>
#include <QWidget>

#include <cmath>

namespace nerim {

namespace {

constexpr const char *kMotionKey = "frameMotion";

int mix(int from, int to, double progress) { return int(std::lround(from + (to - from) * progress)); }

QRect mix(const QRect &from, const QRect &to, double progress)
{
    const int left = mix(from.left(), to.left(), progress);
    const int top = mix(from.top(), to.top(), progress);
    // A spring may overshoot a little; a frame never turns inside out.
    const int width = std::max(0, mix(from.width(), to.width(), progress));
    const int height = std::max(0, mix(from.height(), to.height(), progress));
    return {left, top, width, height};
}

} // namespace

NmFrameMotion::NmFrameMotion(QObject *parent)
    : QObject(parent)
{
}

QRect NmFrameMotion::frameInWindow(const QWidget *widget)
{
    const QWidget *parent = widget->parentWidget();
    if (!parent)
        return widget->geometry();
    return QRect(parent->mapTo(widget->window(), widget->pos()), widget->size());
}

void NmFrameMotion::capture(const QList<QWidget *> &widgets, const NmAnimation &animation)
{
    const std::optional<NmAnimation> resolved = resolveAnimation(animation, MotionPreferences::shared().reduceMotion());
    if (!resolved || resolved->durationMs <= 0) {
        finish();
        return;
    }
    // Widgets still on their way start again from where they are seen now.
    QHash<const QWidget *, Track> tracks;
    for (QWidget *widget : widgets) {
        if (!widget || !widget->isVisible())
            continue;
        Track track;
        track.widget = widget;
        track.from = frameInWindow(widget);
        track.target = widget->geometry();
        // A widget on its way keeps going there unless it is placed anew.
        const auto moving = m_tracks.constFind(widget);
        if (m_running && moving != m_tracks.cend() && moving->placed) {
            track.target = moving->target;
            track.placed = true;
        }
        tracks.insert(widget, track);
    }
    // Moving widgets not captured again go straight to their targets.
    for (Track &track : m_tracks)
        if (track.widget && !tracks.contains(track.widget.data()) && track.placed)
            track.widget->setGeometry(track.target);
    m_tracks = std::move(tracks);
    if (m_tracks.isEmpty()) {
        finish();
        return;
    }
    m_progress = 0.0;
    m_running = true;
    QVariantAnimation *running =
        ReducibleAnimation::animateValue(this, kMotionKey, 0.0, 1.0, *resolved, [this](double p) { step(p); });
    if (!running) {
        finish();
        return;
    }
    const int generation = ++m_generation;
    connect(running, &QVariantAnimation::finished, this, [this, generation] {
        // Only the latest motion finishes by running to its end.
        if (generation == m_generation)
            finish();
    });
}

void NmFrameMotion::place(QWidget *widget, const QRect &target)
{
    if (!widget)
        return;
    const auto it = m_tracks.find(widget);
    if (!m_running || it == m_tracks.end() || !it->widget) {
        widget->setGeometry(target);
        return;
    }
    it->target = target;
    it->placed = true;
    apply(*it);
}

void NmFrameMotion::apply(Track &track)
{
    QWidget *widget = track.widget;
    if (!widget)
        return;
    if (!track.placed) // no new frame yet: it stays where it was
        return;
    const QWidget *parent = widget->parentWidget();
    const QRect from = parent ? QRect(parent->mapFrom(widget->window(), track.from.topLeft()), track.from.size())
                              : track.from;
    widget->setGeometry(mix(from, track.target, m_progress));
}

void NmFrameMotion::step(double progress)
{
    if (!m_running)
        return;
    m_progress = progress;
    for (auto it = m_tracks.begin(); it != m_tracks.end();) {
        if (!it->widget) {
            it = m_tracks.erase(it);
            continue;
        }
        apply(*it);
        ++it;
    }
}

void NmFrameMotion::forget(QWidget *widget) { m_tracks.remove(widget); }

void NmFrameMotion::finish()
{
    ReducibleAnimation::stop(this, kMotionKey);
    const bool wasRunning = m_running;
    m_running = false;
    m_progress = 1.0;
    const QHash<const QWidget *, Track> tracks = std::exchange(m_tracks, {});
    for (const Track &track : tracks)
        if (track.widget && track.placed)
            track.widget->setGeometry(track.target);
    if (wasRunning)
        emit finished();
}

bool NmFrameMotion::isMoving(const QWidget *widget) const { return m_running && m_tracks.contains(widget); }

QRect NmFrameMotion::target(const QWidget *widget) const
{
    const auto it = m_tracks.constFind(widget);
    return it == m_tracks.cend() ? QRect() : it->target;
}

NmMovingWidgetItem::NmMovingWidgetItem(QWidget *widget, NmFrameMotion *motion)
    : QWidgetItem(widget)
    , m_motion(motion)
{
}

void NmMovingWidgetItem::setGeometry(const QRect &rect)
{
    QWidget *widget = this->widget();
    if (!m_motion || !widget || !m_motion->isMoving(widget)) {
        QWidgetItem::setGeometry(rect);
        return;
    }
    // Let the item work out the frame (alignment, size limits), then move
    // the widget towards it from where the motion has it.
    const QRect before = widget->geometry();
    QWidgetItem::setGeometry(rect);
    const QRect target = widget->geometry();
    widget->setGeometry(before);
    m_motion->place(widget, target);
}

QSize NmMovingWidgetItem::maximumSize() const
{
    const QWidget *widget = this->widget();
    QSize size = QWidgetItem::maximumSize();
    // A hidden widget takes no room, whatever its limits.
    return widget && !isEmpty() ? size.boundedTo(NmLayoutLimits::maximumSize(widget)).expandedTo(minimumSize()) : size;
}

QSize NmMovingWidgetItem::minimumSize() const
{
    const QWidget *widget = this->widget();
    QSize size = QWidgetItem::minimumSize();
    return widget && !isEmpty() ? size.expandedTo(NmLayoutLimits::minimumSize(widget)) : size;
}

QSize NmMovingWidgetItem::sizeHint() const
{
    const QWidget *widget = this->widget();
    QSize size = QWidgetItem::sizeHint();
    if (!widget || isEmpty())
        return size;
    return size.boundedTo(NmLayoutLimits::maximumSize(widget)).expandedTo(NmLayoutLimits::minimumSize(widget));
}

namespace NmLayoutLimits {

namespace {
constexpr const char *kMinimum = "nmLayoutMinimumSize";
constexpr const char *kMaximum = "nmLayoutMaximumSize";
} // namespace

void setMinimumSize(QWidget *widget, const QSize &size)
{
    if (!widget || minimumSize(widget) == size)
        return;
    widget->setProperty(kMinimum, size);
    widget->updateGeometry();
}

void setMaximumSize(QWidget *widget, const QSize &size)
{
    if (!widget || maximumSize(widget) == size)
        return;
    widget->setProperty(kMaximum, size);
    widget->updateGeometry();
}

QSize minimumSize(const QWidget *widget)
{
    const QVariant value = widget ? widget->property(kMinimum) : QVariant();
    return value.isValid() ? value.toSize() : QSize(0, 0);
}

QSize maximumSize(const QWidget *widget)
{
    const QVariant value = widget ? widget->property(kMaximum) : QVariant();
    return value.isValid() ? value.toSize() : QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
}

} // namespace NmLayoutLimits

} // namespace nerim
