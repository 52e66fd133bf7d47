#include "ui/design/widgets/NmCapsuleButton.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/NmPainter.h"

#include <QPainter>
#include <cmath>

namespace nerim {

namespace {

constexpr qreal kPaddingH = 14;
constexpr qreal kPaddingV = 6;
constexpr qreal kDisabledOpacity = 0.45;

struct Colours {
    QColor fill;
    QColor stroke; // transparent: none
    QColor text;
};

Colours coloursFor(NmCapsuleButton::Role role)
{
    switch (role) {
    case NmCapsuleButton::Role::prominent:
        return {qColor(NmColor::accent), Qt::transparent, qColor(NmColor::paperBright)};
    case NmCapsuleButton::Role::destructive:
        return {qColor(NmColor::danger, 0.08), qColor(NmColor::danger, 0.35), qColor(NmColor::danger)};
    case NmCapsuleButton::Role::bordered:
        break;
    }
    return {qColor(NmColor::paperBright, 0.9), qColor(NmColor::hairline, 0.8), qColor(NmColor::ink)};
}

// `colour` with `amount` (0…1) of ink over it, keeping its opacity.
QColor darkened(const QColor &colour, qreal amount)
{
    const QColor ink = qColor(NmColor::ink);
    QColor result;
    result.setRgbF(float(colour.redF() + (ink.redF() - colour.redF()) * amount),
                   float(colour.greenF() + (ink.greenF() - colour.greenF()) * amount),
                   float(colour.blueF() + (ink.blueF() - colour.blueF()) * amount), colour.alphaF());
    return result;
}

} // namespace

NmCapsuleButton::NmCapsuleButton(const QString &text, Role role, QWidget *parent)
    : QPushButton(text, parent)
    , m_role(role)
{
    setFont(NmFont::bodyMedium());
    setFocusPolicy(Qt::TabFocus);
    setCursor(Qt::PointingHandCursor);
    setAutoDefault(false);
    setAttribute(Qt::WA_Hover);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void NmCapsuleButton::setRole(Role role)
{
    if (m_role == role)
        return;
    m_role = role;
    update();
}

QSize NmCapsuleButton::sizeHint() const
{
    const QFontMetricsF metrics(font());
    // The title as shown: "&&" is one ampersand.
    const QString shown = QString(text()).replace(QStringLiteral("&&"), QStringLiteral("&"));
    const qreal width = std::ceil(metrics.horizontalAdvance(shown) + 2 * kPaddingH);
    const qreal height = std::ceil(metrics.height() + 2 * kPaddingV);
    return QSize(int(width) + 2 * kRingRoom, int(height) + 2 * kRingRoom);
}

void NmCapsuleButton::enterEvent(QEnterEvent *event)
{
    QPushButton::enterEvent(event);
    m_hovered = true;
    update();
}

void NmCapsuleButton::leaveEvent(QEvent *event)
{
    QPushButton::leaveEvent(event);
    m_hovered = false;
    update();
}

void NmCapsuleButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    const QRectF capsule = QRectF(rect()).adjusted(kRingRoom, kRingRoom, -kRingRoom, -kRingRoom);
    Colours colours = coloursFor(m_role);
    if (isEnabled()) {
        if (isDown())
            colours.fill = darkened(colours.fill, 0.16);
        else if (m_hovered)
            colours.fill = darkened(colours.fill, 0.08);
    } else {
        painter.setOpacity(kDisabledOpacity);
    }
    NmPainter::fill(painter, NmShape::capsule(), capsule, colours.fill);
    if (colours.stroke.alpha() > 0)
        NmPainter::strokeInside(painter, NmShape::capsule(), capsule, 0.5, colours.stroke);
    painter.setPen(colours.text);
    painter.setFont(font());
    painter.drawText(capsule, Qt::AlignCenter | Qt::TextShowMnemonic, text());
    painter.setOpacity(1);
    if (hasFocus())
        NmPainter::focusRing(painter, NmShape::capsule(), QRectF(rect()));
}

} // namespace nerim
