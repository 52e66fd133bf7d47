#include "ui/panes/AgentColumnButtons.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/NmIcons.h"
#include "ui/design/NmPainter.h"
#include "ui/design/Strings.h"
#include "ui/design/widgets/NmKeyboardButton.h"
#include "ui/design/widgets/NmText.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QtMath>

namespace nerim {

namespace {
constexpr qreal kSpawnSymbolSize = 11;
constexpr qreal kSpawnSpacing = 8;
constexpr qreal kSpawnHorizontalPadding = 14;
constexpr qreal kSpawnVerticalPadding = 12;

QColor colorOf(TokenColor color) { return qColor(color.rgb, color.opacity); }
} // namespace

// ---- SpawnAgentButton -----------------------------------------------------------------------

SpawnAgentButton::SpawnAgentButton(QWidget *parent)
    : QAbstractButton(parent)
{
    setObjectName(QStringLiteral("spawnButton"));
    setCursor(Qt::PointingHandCursor);
    NmKeyboardButton::enable(this);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setLook(AgentColumnLook::spawnButton({}));
}

void SpawnAgentButton::setLook(const AgentColumnLook::SpawnButtonLook &look)
{
    const bool counterChanged = look.counter != m_look.counter;
    m_look = look;
    setEnabled(look.enabled);
    NmText::setPlainToolTip(this, look.help);
    if (counterChanged)
        updateGeometry();
    update();
}

QFont SpawnAgentButton::counterFont() const
{
    QFont font = Font::tracked(NmFont::micro(), 0.08);
    return font;
}

qreal SpawnAgentButton::contentWidth() const
{
    qreal width = NmIcons::boxSide(kSpawnSymbolSize) + kSpawnSpacing +
                  QFontMetricsF(NmFont::captionMedium()).horizontalAdvance(Strings::AgentColumn::spawnTitle);
    if (m_look.counter)
        width += kSpawnSpacing + QFontMetricsF(counterFont()).horizontalAdvance(*m_look.counter);
    return width;
}

QSize SpawnAgentButton::sizeHint() const
{
    const qreal height = qMax(NmIcons::boxSide(kSpawnSymbolSize), QFontMetricsF(NmFont::captionMedium()).height());
    return {qCeil(contentWidth() + 2 * kSpawnHorizontalPadding), qCeil(height + 2 * kSpawnVerticalPadding)};
}

QSize SpawnAgentButton::minimumSizeHint() const { return sizeHint(); }

void SpawnAgentButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box(rect());
    NmPainter::strokeInside(painter, NmShape::roundedRect(14), box, 0.75,
                            qColor(NmColor::inkTertiary, m_look.borderOpacity), {4, 4});

    const QColor color = colorOf(m_look.color);
    const qreal symbol = NmIcons::boxSide(kSpawnSymbolSize);
    qreal x = box.center().x() - contentWidth() / 2;
    NmIcons::paint(painter, QRectF(x, box.center().y() - symbol / 2, symbol, symbol), u"plus", NmSymbolWeight::regular,
                   kSpawnSymbolSize, color);
    x += symbol + kSpawnSpacing;
    painter.setPen(color);
    painter.setFont(NmFont::captionMedium());
    const qreal titleWidth = QFontMetricsF(NmFont::captionMedium()).horizontalAdvance(Strings::AgentColumn::spawnTitle);
    painter.drawText(QRectF(x, box.top(), titleWidth + 1, box.height()), Qt::AlignLeft | Qt::AlignVCenter,
                     Strings::AgentColumn::spawnTitle);
    if (m_look.counter) {
        x += titleWidth + kSpawnSpacing;
        painter.setFont(counterFont());
        painter.setPen(qColor(NmColor::inkTertiary));
        painter.drawText(QRectF(x, box.top(), box.right() - x, box.height()), Qt::AlignLeft | Qt::AlignVCenter,
                         *m_look.counter);
    }
}

// ---- PaneSwitchChip -------------------------------------------------------------------------

namespace {
constexpr qreal kChipDot = 6;
constexpr qreal kChipSpacing = 6;
constexpr qreal kChipHorizontalPadding = 10;
constexpr qreal kChipVerticalPadding = 6;
} // namespace

PaneSwitchChip::PaneSwitchChip(QWidget *parent)
    : QAbstractButton(parent)
{
    setObjectName(QStringLiteral("switchChip"));
    setCursor(Qt::PointingHandCursor);
    NmKeyboardButton::enable(this);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void PaneSwitchChip::setChip(const AgentColumnLook::Chip &chip)
{
    if (chip == m_chip)
        return;
    m_chip = chip;
    NmText::setPlainToolTip(this, chip.help);
    updateGeometry();
    update();
}

QSize PaneSwitchChip::sizeHint() const
{
    const QFontMetricsF metrics(NmFont::caption());
    return {qCeil(kChipDot + kChipSpacing + metrics.horizontalAdvance(m_chip.title) + 2 * kChipHorizontalPadding),
            qCeil(metrics.height() + 2 * kChipVerticalPadding)};
}

void PaneSwitchChip::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF capsule(rect());
    NmPainter::fill(painter, NmShape::capsule(), capsule, qColor(NmColor::paperShade, 0.6));
    NmPainter::strokeInside(painter, NmShape::capsule(), capsule, 0.5, qColor(NmColor::hairline, 0.4));
    const qreal left = capsule.left() + kChipHorizontalPadding;
    painter.setPen(Qt::NoPen);
    painter.setBrush(colorOf(m_chip.dot));
    painter.drawEllipse(QRectF(left, capsule.center().y() - kChipDot / 2, kChipDot, kChipDot));
    painter.setPen(qColor(NmColor::ink));
    painter.setFont(NmFont::caption());
    const qreal textLeft = left + kChipDot + kChipSpacing;
    painter.drawText(QRectF(textLeft, capsule.top(), capsule.right() - kChipHorizontalPadding - textLeft + 1,
                            capsule.height()),
                     Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, m_chip.title);
}

} // namespace nerim
