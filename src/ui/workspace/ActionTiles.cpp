#include "ui/workspace/ActionTiles.h"

#include "ui/design/Font.h"
#include "ui/design/NmPainter.h"
#include "ui/design/widgets/NmText.h"
#include "ui/workspace/WorkspacePainting.h"

#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

namespace nerim {

namespace {
constexpr double kSymbolSize = 20;
constexpr double kSpacing = 10;
} // namespace

ActionTile::ActionTile(OverviewLook::ActionTileLook rest, OverviewLook::ActionTileLook hovered,
                       std::function<void()> action, QWidget *parent)
    : NmHoverWidget(parent)
    , m_rest(std::move(rest))
    , m_hovered(std::move(hovered))
    , m_action(std::move(action))
{
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    NmText::setPlainToolTip(this, m_rest.help);
}

void ActionTile::keyPressEvent(QKeyEvent *event)
{
    if (!event->isAutoRepeat() && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier
        && WorkspacePainting::isActivationKey(event->key())) {
        event->accept();
        if (m_action)
            m_action();
        return;
    }
    NmHoverWidget::keyPressEvent(event);
}

void ActionTile::focusInEvent(QFocusEvent *event)
{
    NmHoverWidget::focusInEvent(event);
    update();
}

void ActionTile::focusOutEvent(QFocusEvent *event)
{
    NmHoverWidget::focusOutEvent(event);
    update();
}

bool ActionTile::hits(const QPointF &point) const
{
    return NmPainter::continuousRoundedRectPath(QRectF(rect()), OverviewLook::cardCornerRadius).contains(point);
}

void ActionTile::mousePressEvent(QMouseEvent *event)
{
    m_pressed = event->button() == Qt::LeftButton && hits(event->position());
    event->accept();
}

void ActionTile::mouseReleaseEvent(QMouseEvent *event)
{
    const bool clicked = m_pressed && event->button() == Qt::LeftButton && hits(event->position());
    m_pressed = false;
    event->accept();
    if (clicked && m_action)
        m_action();
}

void ActionTile::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double t = hoverProgress();
    const QRectF bounds = rect();
    const NmShape shape = NmShape::roundedRect(OverviewLook::cardCornerRadius);
    NmPainter::fill(painter, shape, bounds, WorkspacePainting::mix(m_rest.fill, m_hovered.fill, t));
    const double borderWidth = m_rest.borderWidth + (m_hovered.borderWidth - m_rest.borderWidth) * t;
    NmPainter::strokeInside(painter, shape, bounds, borderWidth, WorkspacePainting::mix(m_rest.border, m_hovered.border, t),
                            m_rest.dash);

    const QFont font = NmFont::captionMedium();
    const QFontMetricsF metrics(font);
    const double symbol = NmIcons::boxSide(kSymbolSize);
    const double total = symbol + kSpacing + metrics.height();
    const double top = (height() - total) / 2;
    NmIcons::paint(painter, QRectF((width() - symbol) / 2, top, symbol, symbol), m_rest.symbol, NmSymbolWeight::light,
                   kSymbolSize, WorkspacePainting::mix(m_rest.symbolColor, m_hovered.symbolColor, t));
    painter.setFont(font);
    painter.setPen(WorkspacePainting::mix(m_rest.labelColor, m_hovered.labelColor, t));
    painter.drawText(QRectF(0, top + symbol + kSpacing, width(), metrics.height()), Qt::AlignCenter, m_rest.label);
    if (hasFocus())
        WorkspacePainting::paintFocusRing(painter, bounds, OverviewLook::cardCornerRadius);
}

AddProjectCard::AddProjectCard(std::function<void()> onAdd, QWidget *parent)
    : ActionTile(OverviewLook::addProjectTileLook(false), OverviewLook::addProjectTileLook(true), std::move(onAdd),
                 parent)
{
    setObjectName(QStringLiteral("AddProjectCard"));
}

StartBlankCard::StartBlankCard(std::function<void()> onStart, const QString &projectsFolder, QWidget *parent)
    : ActionTile(OverviewLook::startBlankTileLook(false, projectsFolder),
                 OverviewLook::startBlankTileLook(true, projectsFolder), std::move(onStart), parent)
{
    setObjectName(QStringLiteral("StartBlankCard"));
}

} // namespace nerim
