#pragma once

class QMessageBox;
class QString;
class QWidget;

namespace nerim {

// Gives a dialog (or any top-level window of Nerim's) the design's face:
// Inter, ink on bright paper, accent selection. Message boxes also get room
// for their text, so that a title is never cut and a message wraps into a
// few wide lines instead of many narrow ones.
namespace DialogStyle {

void apply(QWidget *dialog);

// A window-modal warning box over `parent` that deletes itself when closed,
// with `title` as its text and `message` below it, both read as plain text
// (they may hold a project's name or a reason from the system). The caller
// adds its buttons, then applies the style and opens it.
QMessageBox *warningBox(QWidget *parent, const QString &title, const QString &message);

// Places a top-level window centred over `over`'s window (clamped to the
// screen that window is on); nothing without `over`.
void centreOver(QWidget *window, const QWidget *over);

} // namespace DialogStyle

} // namespace nerim
