#include "ui/workspace/VoiceStatusIndicator.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/NmPainter.h"
#include "ui/design/SurfaceStyles.h"
#include "ui/design/widgets/ReducibleTransition.h"
#include "ui/workspace/HeaderControlsLook.h"

#include <QFontMetricsF>
#include <QPainter>
#include <cmath>

namespace nerim {

namespace {

constexpr double kHorizontalPadding = 14;
constexpr double kVerticalPadding = 8;
constexpr double kSpacing = 8;
constexpr double kDot = 8;

NmShadow indicatorShadow()
{
    return NmShadow{qColor(NmRgb{27, 23, 18}, 0.06), 24, QPointF(0, 8)};
}

NmTransition fadeAndScale()
{
    return NmTransition{MaterializeValues{0.0, 0.0, 0.9}};
}

} // namespace

VoiceStatusIndicator::VoiceStatusIndicator(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("VoiceStatusIndicator"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    QWidget::hide();
}

QMargins VoiceStatusIndicator::shadowMargins()
{
    const NmShadow shadow = indicatorShadow();
    const int spread = int(std::ceil(shadow.spread()));
    return QMargins(spread, spread, spread, spread + int(shadow.offset.y()));
}

QSize VoiceStatusIndicator::sizeHint() const
{
    const QFontMetricsF metrics(NmFont::caption());
    const double width = kHorizontalPadding * 2 + kDot + kSpacing + metrics.horizontalAdvance(m_label);
    const double height = std::max(metrics.height(), kDot) + kVerticalPadding * 2;
    const QMargins margins = shadowMargins();
    return QSize(int(std::ceil(width)) + margins.left() + margins.right(),
                 int(std::ceil(height)) + margins.top() + margins.bottom());
}

void VoiceStatusIndicator::setState(const VoiceState &state)
{
    const std::optional<QString> label = HeaderControlsLook::voiceIndicatorLabel(state);
    if (label) {
        m_label = *label;
        resize(sizeHint());
        update();
    }
    const bool showing = label.has_value();
    if (showing == m_showing)
        return;
    m_showing = showing;
    if (showing)
        ReducibleTransition::insert(this, fadeAndScale(), NmMotion::standard());
    else
        ReducibleTransition::remove(this, fadeAndScale(), NmMotion::standard());
}

void VoiceStatusIndicator::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF capsule = QRectF(rect()).marginsRemoved(QMarginsF(shadowMargins()));
    NmPainter::paintShadow(painter, NmShape::capsule(), capsule, indicatorShadow());
    NmPainter::fill(painter, NmShape::capsule(), capsule, SurfaceStyles::pane(false).material);
    NmPainter::fill(painter, NmShape::capsule(), capsule, qColor(NmColor::paperBright, 0.6));
    // The outline, centred on the edge.
    QPen pen(qColor(NmColor::hairline, 0.4), 0.5);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(NmPainter::capsulePath(capsule.adjusted(0.25, 0.25, -0.25, -0.25)));

    double x = capsule.left() + kHorizontalPadding;
    painter.setPen(Qt::NoPen);
    painter.setBrush(qColor(NmColor::danger));
    painter.drawEllipse(QRectF(x, capsule.center().y() - kDot / 2, kDot, kDot));
    x += kDot + kSpacing;
    painter.setFont(NmFont::caption());
    painter.setPen(qColor(NmColor::ink));
    painter.drawText(QRectF(x, capsule.top(), capsule.right() - x, capsule.height()), Qt::AlignVCenter | Qt::AlignLeft,
                     m_label);
}

} // namespace nerim
