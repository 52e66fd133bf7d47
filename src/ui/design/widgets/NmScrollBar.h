#pragma once

#include <QColor>

class QScrollBar;

namespace nerim {

namespace NmScrollBar {

// The app's vertical scroll bar: a slim rounded handle in `handle` on no
// track, without arrows, so a scrolling page keeps the look of the surface
// around it instead of the platform's grey bar.
void styleSlimVertical(QScrollBar *bar, const QColor &handle);

} // namespace NmScrollBar

} // namespace nerim
