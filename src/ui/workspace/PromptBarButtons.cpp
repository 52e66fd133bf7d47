#include "ui/workspace/PromptBarButtons.h"

#include "ui/design/Colors.h"
#include "ui/design/widgets/NmActivitySpinner.h"
#include "ui/design/widgets/NmKeyboardButton.h"
#include "ui/design/widgets/ReducibleAnimation.h"
#include "ui/workspace/PromptBarLook.h"

#include <QPainter>

#include <algorithm>

namespace nerim {

PromptBarDiscButton::PromptBarDiscButton(QWidget *parent)
    : QAbstractButton(parent)
{
    setCursor(Qt::PointingHandCursor);
    NmKeyboardButton::enable(this);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    m_spinner = new NmActivitySpinner(this);
    m_spinner->setObjectName(QStringLiteral("spinner"));
    m_spinner->hide();
}

QSize PromptBarDiscButton::sizeHint() const { return {PromptBarLook::discSide, PromptBarLook::discSide}; }

void PromptBarDiscButton::setDisc(TokenColor disc)
{
    if (m_disc == disc)
        return;
    m_disc = disc;
    changeColor(m_shownDisc, "discColor", qColor(disc.rgb, disc.opacity));
}

void PromptBarDiscButton::changeColor(QColor &shown, const QByteArray &key, const QColor &to)
{
    if (!isVisible() || !shown.isValid()) {
        ReducibleAnimation::stop(this, key);
        shown = to;
        update();
        return;
    }
    const QColor from = shown;
    ReducibleAnimation::animateValue(this, key, 0.0, 1.0, NmMotion::quick(), [this, &shown, from, to](double t) {
        const auto mix = [t](float a, float b) { return a + (b - a) * float(std::clamp(t, 0.0, 1.0)); };
        shown = QColor::fromRgbF(mix(from.redF(), to.redF()), mix(from.greenF(), to.greenF()),
                                 mix(from.blueF(), to.blueF()), mix(from.alphaF(), to.alphaF()));
        update();
    });
}

void PromptBarDiscButton::setSymbol(const QString &symbol, qreal pointSize, NmSymbolWeight weight, TokenColor color,
                                    bool growIn)
{
    const bool changed = m_spinner->isVisibleTo(this) || m_symbol != symbol;
    m_spinner->hide();
    m_symbol = symbol;
    m_pointSize = pointSize;
    m_weight = weight;
    m_symbolColor = color;
    changeColor(m_shownSymbol, "symbolColor", qColor(color.rgb, color.opacity));
    m_growIn = growIn;
    if (changed)
        enterGlyph();
    update();
}

void PromptBarDiscButton::setSpinner(TokenColor color)
{
    m_spinner->setColor(qColor(color.rgb, color.opacity));
    if (!m_spinner->isVisibleTo(this)) {
        m_symbol.clear();
        m_spinner->show();
        ReducibleAnimation::stop(this, "glyphProgress");
        m_glyphProgress = 1.0;
    }
    update();
}

bool PromptBarDiscButton::showsSpinner() const { return m_spinner->isVisibleTo(this); }

void PromptBarDiscButton::setGlyphProgress(qreal progress)
{
    m_glyphProgress = progress;
    update();
}

void PromptBarDiscButton::enterGlyph()
{
    m_glyphProgress = 0.0;
    ReducibleAnimation::animateProperty(this, "glyphProgress", 1.0, NmMotion::quick());
}

void PromptBarDiscButton::resizeEvent(QResizeEvent *event)
{
    QAbstractButton::resizeEvent(event);
    const QSize spinner = m_spinner->sizeHint();
    m_spinner->setGeometry(QRect(QPoint((width() - spinner.width()) / 2, (height() - spinner.height()) / 2), spinner));
}

void PromptBarDiscButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal side = qMin(width(), height());
    const QRectF disc((width() - side) / 2.0, (height() - side) / 2.0, side, side);
    painter.setPen(Qt::NoPen);
    painter.setBrush(m_shownDisc.isValid() ? m_shownDisc : qColor(m_disc.rgb, m_disc.opacity));
    painter.drawEllipse(disc);
    if (m_symbol.isEmpty())
        return;
    const qreal progress = qBound(0.0, m_glyphProgress, 1.0);
    painter.setOpacity(progress);
    const qreal scale = m_growIn ? 0.7 + 0.3 * progress : 1.0;
    painter.translate(disc.center());
    painter.scale(scale, scale);
    const qreal box = NmIcons::boxSide(m_pointSize);
    NmIcons::paint(painter, QRectF(-box / 2, -box / 2, box, box), m_symbol, m_weight, m_pointSize,
                   m_shownSymbol.isValid() ? m_shownSymbol : qColor(m_symbolColor.rgb, m_symbolColor.opacity));
}

} // namespace nerim
