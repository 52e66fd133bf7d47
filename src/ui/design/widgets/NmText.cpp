#include "ui/design/widgets/NmText.h"

#include <QLabel>
#include <QTextDocument>

namespace nerim::NmText {

void setPlainText(QLabel *label, const QString &text)
{
    if (!label)
        return;
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
}

void setPlainToolTip(QWidget *widget, const QString &text)
{
    if (!widget)
        return;
    widget->setToolTip(Qt::mightBeRichText(text) ? Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal) : text);
}

} // namespace nerim::NmText
