#include "ui/panes/MenuPill.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/NmIcons.h"
#include "ui/design/NmPainter.h"

#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QtMath>

namespace nerim {

namespace {
// Room around the capsule for the 2 % growth under the pointer.
constexpr qreal kGrowthMargin = 1.0;
} // namespace

MenuPill::MenuPill(QWidget *parent)
    : NmHoverWidget(parent)
{
    setFocusPolicy(Qt::TabFocus);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void MenuPill::setLook(const MenuPillLook &look)
{
    if (m_look == look)
        return;
    const bool resized = m_look.title != look.title || m_look.symbol != look.symbol;
    m_look = look;
    if (resized)
        updateGeometry();
    update();
}

QString MenuPill::menuEntryText(const QString &title)
{
    QString text = title;
    text.replace(QLatin1Char('&'), QStringLiteral("&&"));
    return text;
}

QMenu *MenuPill::buildMenu(QWidget *parent) const { return m_builder ? m_builder(parent) : nullptr; }

QFont MenuPill::titleFont() const
{
    QFont font = Font::tracked(NmFont::captionMedium(), MenuPillLook::tracking);
    return font;
}

QSize MenuPill::sizeHint() const
{
    const QFontMetricsF metrics(titleFont());
    const qreal icon = NmIcons::boxSide(MenuPillLook::symbolSize);
    const qreal chevron = NmIcons::boxSide(MenuPillLook::chevronSize);
    const qreal content = icon + MenuPillLook::spacing + metrics.horizontalAdvance(m_look.shownTitle()) +
                          MenuPillLook::spacing + chevron;
    const qreal height = qMax(qMax(icon, chevron), metrics.height()) + 2 * MenuPillLook::verticalPadding;
    return {qCeil(content + 2 * MenuPillLook::horizontalPadding + 2 * kGrowthMargin),
            qCeil(height + 2 * kGrowthMargin)};
}

void MenuPill::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF capsule = QRectF(rect()).adjusted(kGrowthMargin, kGrowthMargin, -kGrowthMargin, -kGrowthMargin);
    const qreal scale = MenuPillLook::scale(hoverProgress());
    painter.translate(capsule.center());
    painter.scale(scale, scale);
    painter.translate(-capsule.center());

    NmPainter::fill(painter, NmShape::capsule(), capsule, qColor(NmColor::paperBright, MenuPillLook::paperOpacity));
    if (m_look.tinted) {
        const TokenColor tint = MenuPillLook::tintColor();
        NmPainter::fill(painter, NmShape::capsule(), capsule, qColor(tint.rgb, tint.opacity));
    }

    const QRectF content = capsule.adjusted(MenuPillLook::horizontalPadding, MenuPillLook::verticalPadding,
                                            -MenuPillLook::horizontalPadding, -MenuPillLook::verticalPadding);
    const qreal icon = NmIcons::boxSide(MenuPillLook::symbolSize);
    const qreal chevron = NmIcons::boxSide(MenuPillLook::chevronSize);
    const QColor ink = qColor(NmColor::ink);
    NmIcons::paint(painter, QRectF(content.left(), content.center().y() - icon / 2, icon, icon), m_look.symbol,
                   NmSymbolWeight::medium, MenuPillLook::symbolSize, ink);
    const qreal titleLeft = content.left() + icon + MenuPillLook::spacing;
    const QRectF titleBox(titleLeft, content.top(), content.right() - chevron - MenuPillLook::spacing - titleLeft,
                          content.height());
    painter.setFont(titleFont());
    painter.setPen(ink);
    painter.drawText(titleBox, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, m_look.shownTitle());
    NmIcons::paint(painter, QRectF(content.right() - chevron, content.center().y() - chevron / 2, chevron, chevron),
                   u"chevron.down", NmSymbolWeight::semibold, MenuPillLook::chevronSize,
                   qColor(NmColor::inkSecondary));

    NmPainter::strokeInside(painter, NmShape::capsule(), capsule, MenuPillLook::outlineWidth,
                            qColor(NmColor::hairline, MenuPillLook::outlineOpacity(hoverProgress())));
}

void MenuPill::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        NmHoverWidget::mousePressEvent(event);
        return;
    }
    // Only the capsule is the hit area.
    const QRectF capsule = QRectF(rect()).adjusted(kGrowthMargin, kGrowthMargin, -kGrowthMargin, -kGrowthMargin);
    if (!NmPainter::capsulePath(capsule).contains(event->position())) {
        event->ignore();
        return;
    }
    event->accept();
    popUpMenu();
}

void MenuPill::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Space || event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        popUpMenu();
        return;
    }
    NmHoverWidget::keyPressEvent(event);
}

void MenuPill::popUpMenu()
{
    QMenu *menu = buildMenu(this);
    if (!menu)
        return;
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(mapToGlobal(QPoint(0, height() + 4)));
    emit menuShown(menu);
}

} // namespace nerim
