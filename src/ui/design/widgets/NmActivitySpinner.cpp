#include "ui/design/widgets/NmActivitySpinner.h"

#include "ui/design/MotionPreferences.h"

#include <QPainter>
#include <QtMath>

namespace nerim {

NmActivitySpinner::NmActivitySpinner(QWidget *parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    m_steps.setInterval(1000 / 12);
    connect(&m_steps, &QTimer::timeout, this, [this] {
        m_phase = (m_phase + 1) % spokeCount;
        update();
    });
    connect(&MotionPreferences::shared(), &MotionPreferences::reduceMotionChanged, this,
            [this] { updateSchedule(); });
}

void NmActivitySpinner::setColor(const QColor &color)
{
    if (m_color == color)
        return;
    m_color = color;
    update();
}

void NmActivitySpinner::setDiameter(qreal diameter)
{
    if (qFuzzyCompare(m_diameter, diameter))
        return;
    m_diameter = diameter;
    updateGeometry();
    update();
}

double NmActivitySpinner::spokeOpacity(int spoke, int phase)
{
    // How many steps the spoke trails the brightest one.
    const int behind = ((phase - spoke) % spokeCount + spokeCount) % spokeCount;
    return 1.0 - 0.75 * behind / (spokeCount - 1);
}

QSize NmActivitySpinner::sizeHint() const
{
    const int side = qCeil(m_diameter);
    return {side, side};
}

void NmActivitySpinner::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal side = qMin<qreal>(m_diameter, qMin(width(), height()));
    const qreal outer = side / 2.0;
    const qreal inner = outer * 0.45;
    const qreal thickness = qMax<qreal>(1.2, side * 0.11);
    painter.translate(width() / 2.0, height() / 2.0);
    for (int spoke = 0; spoke < spokeCount; ++spoke) {
        QColor color = m_color;
        color.setAlphaF(float(m_color.alphaF() * spokeOpacity(spoke, m_phase)));
        QPen pen(color, thickness, Qt::SolidLine, Qt::RoundCap);
        painter.setPen(pen);
        const qreal angle = qDegreesToRadians(360.0 * spoke / spokeCount - 90.0);
        const qreal c = qCos(angle), s = qSin(angle);
        const qreal reach = outer - thickness / 2.0;
        painter.drawLine(QPointF(c * inner, s * inner), QPointF(c * reach, s * reach));
    }
}

void NmActivitySpinner::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    updateSchedule();
}

void NmActivitySpinner::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    updateSchedule();
}

void NmActivitySpinner::updateSchedule()
{
    const bool spin = isVisible() && !MotionPreferences::shared().reduceMotion();
    if (spin && !m_steps.isActive())
        m_steps.start();
    else if (!spin)
        m_steps.stop();
}

} // namespace nerim
