#include "app/ApplicationStyle.h"

#include "ui/design/Colors.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QStyleOptionMenuItem>

namespace nerim {

namespace {

// The menu bar: the colour of the background's top edge (mist over paper),
// so it reads as part of the window rather than a grey strip; its items in
// secondary ink, the hovered or open one on a soft accent with round corners.
constexpr int kBarHorizontalMargin = 8;
constexpr int kBarVerticalMargin = 2;
constexpr int kItemHorizontalPadding = 10;
constexpr int kItemVerticalPadding = 3;
constexpr double kItemCornerRadius = 6;

} // namespace

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

int ApplicationStyle::pixelMetric(PixelMetric metric, const QStyleOption *option, const QWidget *widget) const
{
    switch (metric) {
    case PM_MenuBarPanelWidth: return 0;
    case PM_MenuBarHMargin: return kBarHorizontalMargin;
    case PM_MenuBarVMargin: return kBarVerticalMargin;
    default: return QProxyStyle::pixelMetric(metric, option, widget);
    }
}

QSize ApplicationStyle::sizeFromContents(ContentsType type, const QStyleOption *option, const QSize &contentsSize,
                                         const QWidget *widget) const
{
    if (type == CT_MenuBarItem)
        return contentsSize + QSize(2 * kItemHorizontalPadding, 2 * kItemVerticalPadding);
    return QProxyStyle::sizeFromContents(type, option, contentsSize, widget);
}

void ApplicationStyle::drawControl(ControlElement element, const QStyleOption *option, QPainter *painter,
                                   const QWidget *widget) const
{
    switch (element) {
    case CE_MenuBarEmptyArea: painter->fillRect(option->rect, qColor(NmColor::mist)); return;
    case CE_MenuBarItem: {
        const auto *item = qstyleoption_cast<const QStyleOptionMenuItem *>(option);
        if (!item)
            break;
        painter->save();
        painter->fillRect(item->rect, qColor(NmColor::mist));
        if (item->state & (State_Selected | State_Sunken)) {
            painter->setRenderHint(QPainter::Antialiasing);
            painter->setPen(Qt::NoPen);
            painter->setBrush(qColor(NmColor::accentSoft));
            painter->drawRoundedRect(QRectF(item->rect), kItemCornerRadius, kItemCornerRadius);
        }
        int flags = Qt::AlignCenter | Qt::TextShowMnemonic | Qt::TextDontClip | Qt::TextSingleLine;
        if (!styleHint(SH_UnderlineShortcut, item, widget))
            flags |= Qt::TextHideMnemonic;
        painter->setPen(qColor(NmColor::inkSecondary));
        painter->drawText(item->rect, flags, item->text);
        painter->restore();
        return;
    }
    default: break;
    }
    QProxyStyle::drawControl(element, option, painter, widget);
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
