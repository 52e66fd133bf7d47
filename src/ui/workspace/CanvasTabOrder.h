#pragma once

#include <QList>

class QWidget;

namespace nerim::CanvasTabOrder {

// Where Tab goes in a window made of regions, in the order the eye reads
// them (on the canvas: the sidebar, the header's controls from left to
// right, the panels of the row from left to right, the prompt bar). The
// stops are the window's controls that Tab may reach (shown, enabled,
// taking focus by Tab): first those in no region (the window's own, such as
// an error banner over the screen), then region by region in the order
// given; within each, in the window's focus order. A null region is skipped.
//
// Moves the keyboard focus from the focused widget to the next stop (or the
// previous one), going round at either end. A focused widget that is no stop
// (a scroll area, the screen itself) counts where it stands among the
// regions. Returns false when there is no stop at all.
bool moveFocus(QWidget *window, const QList<QWidget *> &regions, bool next);

} // namespace nerim::CanvasTabOrder
