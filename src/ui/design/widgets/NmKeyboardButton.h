#pragma once

class QAbstractButton;

namespace nerim::NmKeyboardButton {

// Lets the keyboard reach and press a painted button: Tab and Shift+Tab stop
// on it (a click still leaves the keyboard focus where it was, so clicking a
// header control never pulls the focus out of the prompt field), and Return
// or Enter press it as Space already does. A held key presses it once.
void enable(QAbstractButton *button);

} // namespace nerim::NmKeyboardButton
