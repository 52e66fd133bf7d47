#pragma once

#include "ui/design/DesignTokens.h"

class QVariantAnimation;
class QWidget;

namespace nerim {

// Brings widgets into view and takes them out with a transition (blur,
// opacity, scale about the centre), driven by an animation. Under Reduce
// Motion every transition is a plain 0.2 s ease-in-out fade instead.
class ReducibleTransition {
public:
    // Shows `widget` and runs it from the transition's away end to rest.
    // Returns the running animation (owned by the widget).
    static QVariantAnimation *insert(QWidget *widget, const NmTransition &transition, const NmAnimation &animation);

    // Takes `widget` out of view: it is hidden at once (the caller may take it
    // out of its layout or delete it straight away) while a snapshot of it,
    // laid over the same place in its parent, runs to the away end and is
    // then deleted. Returns the running animation (owned by the snapshot), or
    // null when there is nothing visible to animate.
    static QVariantAnimation *remove(QWidget *widget, const NmTransition &transition, const NmAnimation &animation);

    // The snapshots still running removals in `parent`.
    static int runningRemovals(const QWidget *parent);
};

} // namespace nerim
