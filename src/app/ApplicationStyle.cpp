#include "app/ApplicationStyle.h"

#include "ui/design/Colors.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace nerim {

ApplicationStyle::ApplicationStyle() = default;

QIcon ApplicationStyle::standardIcon(StandardPixmap standardIcon, const QStyleOption *option,
                                     const QWidget *widget) const
{
    switch (standardIcon) {
    case SP_ToolBarHorizontalExtensionButton: return extensionIcon(Qt::Horizontal);
    case SP_ToolBarVerticalExtensionButton: return extensionIcon(Qt::Vertical);
    default: return QProxyStyle::standardIcon(standardIcon, option, widget);
    }
}

QIcon ApplicationStyle::extensionIcon(Qt::Orientation orientation)
{
    QIcon icon;
    for (const int side : {16, 32}) {
        QPixmap pixmap(side, side);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal unit = side / 16.0;
        if (orientation == Qt::Vertical) {
            // Drawn pointing right, turned to point down.
            painter.translate(side, 0);
            painter.rotate(90);
        }
        QPainterPath chevrons;
        for (const qreal x : {4.0, 8.5}) {
            chevrons.moveTo(x * unit, 4.5 * unit);
            chevrons.lineTo((x + 3.5) * unit, 8 * unit);
            chevrons.lineTo(x * unit, 11.5 * unit);
        }
        QPen pen(qColor(NmColor::inkSecondary), 1.5 * unit);
        pen.setCapStyle(Qt::RoundCap);
        pen.setJoinStyle(Qt::RoundJoin);
        painter.setPen(pen);
        painter.drawPath(chevrons);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace nerim
