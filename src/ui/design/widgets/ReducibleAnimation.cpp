#include "ui/design/widgets/ReducibleAnimation.h"

#include "ui/design/MotionMath.h"
#include "ui/design/MotionPreferences.h"

#include <QPropertyAnimation>

namespace nerim {

namespace {

QString animationName(const QByteArray &key)
{
    return QStringLiteral("nm-animation:") + QString::fromLatin1(key);
}

} // namespace

void ReducibleAnimation::stop(QObject *owner, const QByteArray &key)
{
    if (!owner)
        return;
    const auto running = owner->findChildren<QVariantAnimation *>(animationName(key), Qt::FindDirectChildrenOnly);
    for (QVariantAnimation *animation : running) {
        animation->stop();
        animation->deleteLater();
        animation->setObjectName(QString());
    }
}

QVariantAnimation *ReducibleAnimation::animateProperty(QObject *target, const QByteArray &property,
                                                       const QVariant &to, const NmAnimation &animation)
{
    if (!target)
        return nullptr;
    stop(target, property);
    const std::optional<NmAnimation> resolved = resolveAnimation(animation, MotionPreferences::shared().reduceMotion());
    if (!resolved || resolved->durationMs <= 0 || target->property(property) == to) {
        target->setProperty(property, to);
        return nullptr;
    }
    auto *running = new QPropertyAnimation(target, property, target);
    running->setObjectName(animationName(property));
    running->setEasingCurve(resolved->curve);
    running->setDuration(resolved->durationMs);
    running->setEndValue(to);
    running->start(QAbstractAnimation::DeleteWhenStopped);
    return running;
}

QVariantAnimation *ReducibleAnimation::animateValue(QObject *owner, const QByteArray &key, double from, double to,
                                                    const NmAnimation &animation, std::function<void(double)> apply)
{
    if (!owner)
        return nullptr;
    stop(owner, key);
    const std::optional<NmAnimation> resolved = resolveAnimation(animation, MotionPreferences::shared().reduceMotion());
    if (!resolved || resolved->durationMs <= 0 || from == to) {
        apply(to);
        return nullptr;
    }
    auto *running = new QVariantAnimation(owner);
    running->setObjectName(animationName(key));
    running->setEasingCurve(resolved->curve);
    running->setDuration(resolved->durationMs);
    running->setStartValue(from);
    running->setEndValue(to);
    QObject::connect(running, &QVariantAnimation::valueChanged, owner,
                     [apply](const QVariant &value) { apply(value.toDouble()); });
    running->start(QAbstractAnimation::DeleteWhenStopped);
    return running;
}

} // namespace nerim
