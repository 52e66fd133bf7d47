#pragma once

class QWidget;

namespace nerim {

// Gives a dialog (or any top-level window of Nerim's) the design's face:
// Inter, ink on bright paper, accent selection. Message boxes also get room
// for their text, so that a title is never cut and a message wraps into a
// few wide lines instead of many narrow ones.
namespace DialogStyle {

void apply(QWidget *dialog);

// Places a top-level window centred over `over`'s window (clamped to the
// screen that window is on); nothing without `over`.
void centreOver(QWidget *window, const QWidget *over);

} // namespace DialogStyle

} // namespace nerim
