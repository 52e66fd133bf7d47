#include "ui/design/widgets/ReducibleTransition.h"

#include "ui/design/MotionMath.h"
#include "ui/design/MotionPreferences.h"
#include "ui/design/widgets/NmMotionEffect.h"

#include <QPainter>
#include <QPointer>
#include <QVariantAnimation>
#include <QWidget>

namespace nerim {

namespace {

const QString kAnimationName = QStringLiteral("nm-transition");
const QString kSnapshotName = QStringLiteral("nm-removal-snapshot");

// A still image of a widget that is leaving, drawn where it was.
class RemovalSnapshot : public QWidget {
public:
    RemovalSnapshot(const QPixmap &pixmap, QWidget *parent)
        : QWidget(parent)
        , m_pixmap(pixmap)
    {
        setObjectName(kSnapshotName);
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::NoFocus);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.drawPixmap(rect(), m_pixmap);
    }

private:
    QPixmap m_pixmap;
};

QVariantAnimation *run(QWidget *widget, NmMotionEffect *effect, const MaterializeValues &from,
                       const MaterializeValues &to, const NmAnimation &animation)
{
    for (auto *old : widget->findChildren<QVariantAnimation *>(kAnimationName, Qt::FindDirectChildrenOnly)) {
        old->setObjectName(QString());
        old->stop();
    }
    auto *running = new QVariantAnimation(widget);
    running->setObjectName(kAnimationName);
    running->setStartValue(0.0);
    running->setEndValue(1.0);
    running->setDuration(std::max(1, animation.durationMs));
    running->setEasingCurve(animation.curve);
    QPointer<NmMotionEffect> target = effect;
    QObject::connect(running, &QVariantAnimation::valueChanged, widget, [target, from, to](const QVariant &value) {
        if (target)
            target->setValues(MaterializeValues::interpolate(from, to, value.toDouble()));
    });
    effect->setValues(from);
    running->start(QAbstractAnimation::DeleteWhenStopped);
    return running;
}

} // namespace

QVariantAnimation *ReducibleTransition::insert(QWidget *widget, const NmTransition &transition,
                                               const NmAnimation &animation)
{
    if (!widget)
        return nullptr;
    const ResolvedTransition resolved =
        resolveTransition(transition, animation, MotionPreferences::shared().reduceMotion());
    NmMotionEffect *effect = NmMotionEffect::of(widget);
    widget->show();
    if (!effect)
        return nullptr;
    QVariantAnimation *running = run(widget, effect, resolved.transition.away, MaterializeValues{}, resolved.animation);
    QPointer<NmMotionEffect> target = effect;
    QPointer<QWidget> inserted = widget;
    QObject::connect(running, &QVariantAnimation::finished, widget, [target, inserted] {
        if (!target)
            return;
        target->setValues(MaterializeValues{});
        // At rest the effect draws nothing of its own, but while it is on,
        // every repaint inside the widget goes through it, and a web view
        // inside is no longer composited live (its last frame under the
        // effect stays on screen): it comes off once the widget is at rest,
        // unless something else has set it moving again meanwhile.
        QMetaObject::invokeMethod(
            target,
            [target, inserted] {
                if (target && inserted && inserted->graphicsEffect() == target && target->isAtRest())
                    inserted->setGraphicsEffect(nullptr);
            },
            Qt::QueuedConnection);
    });
    return running;
}

QVariantAnimation *ReducibleTransition::remove(QWidget *widget, const NmTransition &transition,
                                               const NmAnimation &animation)
{
    if (!widget)
        return nullptr;
    QWidget *parent = widget->parentWidget();
    if (!parent || !widget->isVisible() || widget->size().isEmpty()) {
        widget->hide();
        return nullptr;
    }
    const ResolvedTransition resolved =
        resolveTransition(transition, animation, MotionPreferences::shared().reduceMotion());

    // Photograph the widget as it is now (its effect at rest for the picture).
    const MaterializeValues current =
        NmMotionEffect::existing(widget) ? NmMotionEffect::existing(widget)->values() : MaterializeValues{};
    if (NmMotionEffect *own = NmMotionEffect::existing(widget))
        own->setValues(MaterializeValues{});
    const QPixmap pixmap = widget->grab();
    widget->hide();

    auto *snapshot = new RemovalSnapshot(pixmap, parent);
    snapshot->setGeometry(widget->geometry());
    snapshot->raise();
    snapshot->show();
    NmMotionEffect *effect = NmMotionEffect::of(snapshot);
    QVariantAnimation *running = run(snapshot, effect, current, resolved.transition.away, resolved.animation);
    QObject::connect(running, &QVariantAnimation::finished, snapshot, &QObject::deleteLater);
    return running;
}

int ReducibleTransition::runningRemovals(const QWidget *parent)
{
    return parent ? int(parent->findChildren<QWidget *>(kSnapshotName, Qt::FindDirectChildrenOnly).size()) : 0;
}

} // namespace nerim
