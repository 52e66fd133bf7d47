#pragma once

#include <QString>

class QLabel;
class QWidget;

namespace nerim::NmText {

// Shows `text` in `label` as plain text, whatever it contains: Qt would
// otherwise guess rich text from the content, and text from agents, files and
// users must never be read as markup.
void setPlainText(QLabel *label, const QString &text);

// Gives `widget` a tooltip that shows `text` literally. Tooltips are always
// guessed as rich text by Qt, so text that looks like markup is escaped.
void setPlainToolTip(QWidget *widget, const QString &text);

} // namespace nerim::NmText
