#pragma once

#include "ui/design/DesignTokens.h"

#include <QByteArray>
#include <QVariant>
#include <functional>

class QObject;
class QVariantAnimation;

namespace nerim {

// Animates a change of a value with the given animation, or applies it at
// once under Reduce Motion. A new change of the same property (or key) of the
// same object replaces the one still running, starting from where it is.
class ReducibleAnimation {
public:
    // Animates `property` of `target` towards `to`. Returns the running
    // animation, or null when the value was set at once.
    static QVariantAnimation *animateProperty(QObject *target, const QByteArray &property, const QVariant &to,
                                              const NmAnimation &animation);

    // Animates a number from `from` to `to`, handing each step to `apply`.
    // `owner` keeps the animation alive; `key` names it among the owner's
    // animations. Under Reduce Motion `apply(to)` runs at once.
    static QVariantAnimation *animateValue(QObject *owner, const QByteArray &key, double from, double to,
                                           const NmAnimation &animation, std::function<void(double)> apply);

    // Stops the running animation `key` of `owner`, if any, where it is.
    static void stop(QObject *owner, const QByteArray &key);
};

} // namespace nerim
