#pragma once

#include <QString>
#include <QStringList>

class QFont;
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

// `text` laid out in `width` on at most `maxLines` lines, breaking between
// words (anywhere when a word alone does not fit) and at the text's own line
// breaks. When the text goes on past the last line, that line ends in "…"
// and `complete` (when given) is set false.
QStringList wrappedLines(const QString &text, const QFont &font, qreal width, int maxLines, bool *complete = nullptr);

} // namespace nerim::NmText
