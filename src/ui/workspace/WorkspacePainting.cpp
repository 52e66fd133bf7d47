#include "ui/workspace/WorkspacePainting.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/NmPainter.h"
#include "ui/workspace/HeaderControlsLook.h"

#include <QPainter>
#include <algorithm>
#include <cmath>

namespace nerim {

namespace WorkspacePainting {

QColor color(TokenColor token)
{
    return qColor(token.rgb, token.opacity);
}

QColor mix(TokenColor from, TokenColor to, double progress)
{
    const double t = std::clamp(progress, 0.0, 1.0);
    const auto lerp = [t](double a, double b) { return a + (b - a) * t; };
    QColor result;
    result.setRgbF(float(lerp(from.rgb.redF(), to.rgb.redF())), float(lerp(from.rgb.greenF(), to.rgb.greenF())),
                   float(lerp(from.rgb.blueF(), to.rgb.blueF())), float(lerp(from.opacity, to.opacity)));
    return result;
}

QFont tracked(const QFont &font, double tracking)
{
    return Font::tracked(font, tracking);
}

QFont pillLabelFont()
{
    return tracked(NmFont::captionMedium(), 0.08);
}

void paintHeaderPillBackground(QPainter &painter, const QRectF &rect)
{
    NmPainter::fill(painter, NmShape::capsule(), rect, color(HeaderControlsLook::pillFill));
}

void paintHeaderPillOutline(QPainter &painter, const QRectF &rect)
{
    // Centred on the edge, as an outline is drawn; the rect is inset by half
    // the width so that the line stays inside the widget.
    const double w = HeaderControlsLook::pillStrokeWidth;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(color(HeaderControlsLook::pillStroke), w);
    pen.setCapStyle(Qt::FlatCap);
    pen.setJoinStyle(Qt::MiterJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(NmPainter::capsulePath(rect.adjusted(w / 2, w / 2, -w / 2, -w / 2)));
    painter.restore();
}

void paintFocusRing(QPainter &painter, const QRectF &bounds, double cornerRadius)
{
    NmPainter::focusRing(painter, NmShape::roundedRect(cornerRadius), bounds);
}

bool isActivationKey(int key)
{
    return key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space;
}

} // namespace WorkspacePainting

IconCircleButton::IconCircleButton(Look look, QWidget *parent)
    : QAbstractButton(parent)
    , m_look(std::move(look))
{
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::NoFocus);
    setFixedSize(sizeHint());
}

QSize IconCircleButton::sizeHint() const
{
    const int side = int(std::ceil(m_look.side));
    return QSize(side, side);
}

void IconCircleButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF circle(QPointF(0, 0), QSizeF(m_look.side, m_look.side));
    painter.setPen(Qt::NoPen);
    painter.setBrush(WorkspacePainting::color(m_look.fill));
    painter.drawEllipse(circle);
    if (m_look.stroke.opacity > 0) {
        const double w = m_look.strokeWidth;
        painter.setPen(QPen(WorkspacePainting::color(m_look.stroke), w));
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(circle.adjusted(w / 2, w / 2, -w / 2, -w / 2));
    }
    NmIcons::paint(painter, circle, m_look.symbol, m_look.weight, m_look.pointSize,
                   WorkspacePainting::color(m_look.iconColor));
}

} // namespace nerim
