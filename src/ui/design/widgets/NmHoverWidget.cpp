#include "ui/design/widgets/NmHoverWidget.h"

#include "ui/design/widgets/ReducibleAnimation.h"

#include <QEnterEvent>
#include <QEvent>

namespace nerim {

NmHoverWidget::NmHoverWidget(QWidget *parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_Hover);
}

void NmHoverWidget::setHoverProgress(qreal progress)
{
    if (qFuzzyCompare(1.0 + progress, 1.0 + m_progress))
        return;
    m_progress = progress;
    update();
    emit hoverProgressChanged(progress);
}

void NmHoverWidget::setHoverEnabled(bool enabled)
{
    m_hoverEnabled = enabled;
    if (!enabled)
        setHovered(false);
}

void NmHoverWidget::enterEvent(QEnterEvent *event)
{
    QWidget::enterEvent(event);
    if (m_hoverEnabled && isEnabled())
        setHovered(true);
}

void NmHoverWidget::leaveEvent(QEvent *event)
{
    QWidget::leaveEvent(event);
    setHovered(false);
}

void NmHoverWidget::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::EnabledChange && !isEnabled())
        setHovered(false);
}

void NmHoverWidget::setHovered(bool hovered)
{
    if (m_hovered == hovered)
        return;
    m_hovered = hovered;
    emit hoveredChanged(hovered);
    ReducibleAnimation::animateProperty(this, "hoverProgress", hovered ? 1.0 : 0.0, NmMotion::quick());
}

} // namespace nerim
