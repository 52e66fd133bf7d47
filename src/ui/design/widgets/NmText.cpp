#include "ui/design/widgets/NmText.h"

#include <QFontMetricsF>
#include <QLabel>
#include <QTextDocument>
#include <QTextLayout>

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

QStringList wrappedLines(const QString &text, const QFont &font, qreal width, int maxLines, bool *complete)
{
    // The layout breaks at line separators, not at newlines.
    QString laid = text;
    laid.replace(QLatin1Char('\n'), QChar::LineSeparator);
    const auto plain = [](QString line) {
        line.replace(QChar::LineSeparator, QLatin1Char(' '));
        return line;
    };
    QStringList lines;
    QTextLayout layout(laid, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    int consumed = 0;
    int lastStart = 0;
    while (lines.size() < maxLines) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(width);
        QString shown = laid.mid(line.textStart(), line.textLength());
        if (shown.endsWith(QChar::LineSeparator))
            shown.chop(1);
        lines.append(shown);
        lastStart = line.textStart();
        consumed = line.textStart() + line.textLength();
    }
    layout.endLayout();
    const bool whole = consumed >= laid.size();
    if (!whole && !lines.isEmpty()) {
        const QFontMetricsF metrics(font);
        lines.last() = metrics.elidedText(plain(laid.mid(lastStart)), Qt::ElideRight, width);
        // A last line that the ellipsis alone fills still says the text goes on.
        if (lines.last().isEmpty())
            lines.last() = QStringLiteral("\u2026");
    }
    if (complete)
        *complete = whole;
    return lines;
}

} // namespace nerim::NmText
