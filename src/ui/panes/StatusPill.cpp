#include "ui/panes/StatusPill.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/MotionPreferences.h"
#include "ui/design/NmPainter.h"
#include "ui/design/widgets/ReducibleAnimation.h"
#include "ui/panes/TranscriptLook.h"

#include <QPainter>
#include <QVariantAnimation>
#include <cmath>

namespace nerim {

namespace {

constexpr qreal horizontalPadding = 8;
constexpr qreal verticalPadding = 3;
constexpr qreal dotSize = 6;
constexpr qreal spacing = 6;
constexpr double dimOpacity = 0.35;
constexpr int swingMs = 1000; // one way

QFont labelFont()
{
    QFont font = Font::tracked(Font::make(NmFontSpecs::micro), 0.08);
    return font;
}

bool reduceMotion() { return MotionPreferences::shared().reduceMotion(); }

} // namespace

StatusPill::StatusPill(AgentStatus status, QWidget *parent)
    : QWidget(parent)
    , m_status(status)
    , m_active(statusLook(status).pulses)
{
    setObjectName(QStringLiteral("statusPill"));
    setFont(labelFont());
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);

    // One value runs 0 → 2 per cycle: out to the dim end and back, each half
    // eased in and out.
    m_swing = new QVariantAnimation(this);
    m_swing->setStartValue(0.0);
    m_swing->setEndValue(2.0);
    m_swing->setDuration(2 * swingMs);
    m_swing->setLoopCount(-1);
    connect(m_swing, &QVariantAnimation::valueChanged, this, [this](const QVariant &value) {
        const double phase = value.toDouble();
        const double half = phase <= 1.0 ? phase : 2.0 - phase;
        const double eased = NmAnimation::easeInOut(1.0).curve.valueForProgress(half);
        setDotOpacity(1.0 + (dimOpacity - 1.0) * eased);
    });

    connect(&MotionPreferences::shared(), &MotionPreferences::reduceMotionChanged, this,
            &StatusPill::followMotionPreference);
}

bool StatusPill::isPulsing() const { return m_swing->state() == QAbstractAnimation::Running; }

void StatusPill::setStatus(AgentStatus status)
{
    if (status == m_status)
        return;
    m_status = status;
    const bool active = statusLook(status).pulses;
    if (active != m_active) {
        m_active = active;
        if (m_appeared)
            setPulse(active && !reduceMotion());
    }
    updateGeometry();
    update();
}

void StatusPill::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_appeared)
        return;
    m_appeared = true;
    if (m_active && !reduceMotion())
        setPulse(true);
}

void StatusPill::setPulse(bool pulse)
{
    m_pulse = pulse;
    if (m_active && m_pulse && !reduceMotion()) {
        ReducibleAnimation::stop(this, "dot");
        if (m_swing->state() != QAbstractAnimation::Running)
            m_swing->start();
        return;
    }
    m_swing->stop();
    ReducibleAnimation::animateValue(this, "dot", m_dotOpacity, 1.0, NmAnimation::easeInOut(0.35),
                                     [this](double value) { setDotOpacity(value); });
}

void StatusPill::followMotionPreference(bool reduce)
{
    if (reduce) {
        m_swing->stop();
        ReducibleAnimation::stop(this, "dot");
        setDotOpacity(1.0);
    } else if (m_active && m_pulse && m_appeared) {
        setPulse(true);
    }
}

void StatusPill::setDotOpacity(double opacity)
{
    if (qFuzzyCompare(opacity, m_dotOpacity))
        return;
    m_dotOpacity = opacity;
    update();
}

QSize StatusPill::sizeHint() const
{
    const QFontMetricsF metrics(font());
    const qreal width =
        horizontalPadding + dotSize + spacing + metrics.horizontalAdvance(statusLook(m_status).shownLabel())
        + horizontalPadding;
    const qreal height = std::max(dotSize, metrics.height()) + 2 * verticalPadding;
    return QSize(int(std::ceil(width)), int(std::ceil(height)));
}

void StatusPill::paintEvent(QPaintEvent *)
{
    const StatusLook look = statusLook(m_status);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box(rect());
    NmPainter::fill(painter, NmShape::capsule(), box, qColor(NmColor::paperShade, 0.5));

    const QRectF dot(horizontalPadding, (box.height() - dotSize) / 2, dotSize, dotSize);
    painter.setPen(Qt::NoPen);
    painter.setBrush(qColor(look.dotColor.rgb, look.dotColor.opacity * m_dotOpacity));
    painter.drawEllipse(dot);

    painter.setPen(qColor(NmColor::inkSecondary));
    painter.setFont(font());
    const QRectF text(dot.right() + spacing, 0, box.width() - dot.right() - spacing - horizontalPadding,
                      box.height());
    painter.drawText(text, Qt::AlignLeft | Qt::AlignVCenter, look.shownLabel());
}

} // namespace nerim
