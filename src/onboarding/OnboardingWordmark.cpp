#include "onboarding/OnboardingWordmark.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/widgets/NmMotionEffect.h"
#include "ui/design/widgets/ReducibleAnimation.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QShowEvent>
#include <cmath>

namespace nerim {

OnboardingWordmark::OnboardingWordmark(Mode mode, QWidget *parent)
    : QWidget(parent)
    , m_mode(mode)
{
    setObjectName(QStringLiteral("OnboardingWordmark"));
    setAttribute(Qt::WA_TranslucentBackground);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    // Transparent until it settles on its first show.
    if (NmMotionEffect *effect = NmMotionEffect::of(this))
        effect->setOpacity(0.0);
}

QString OnboardingWordmark::text() const
{
    return m_mode == Mode::welcome ? QStringLiteral("Nerim") : QStringLiteral("Nm");
}

QFont OnboardingWordmark::markFont() const
{
    return m_mode == Mode::welcome ? NmFont::display() : Font::nm(monogramSize, QFont::Medium);
}

double OnboardingWordmark::opacity() const
{
    const NmMotionEffect *effect = NmMotionEffect::existing(this);
    return effect ? effect->opacity() : 1.0;
}

QSize OnboardingWordmark::sizeHint() const
{
    const QFontMetricsF metrics(markFont());
    return QSize(int(std::ceil(metrics.horizontalAdvance(text()))) + 2, int(std::ceil(metrics.height())));
}

void OnboardingWordmark::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_settled)
        return;
    m_settled = true;
    ReducibleAnimation::animateValue(this, "settle", opacity(), 1.0, NmMotion::standard(), [this](double value) {
        if (NmMotionEffect *effect = NmMotionEffect::of(this))
            effect->setOpacity(value);
    });
}

void OnboardingWordmark::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setFont(markFont());
    painter.setPen(qColor(NmColor::ink));
    painter.drawText(rect(), Qt::AlignCenter, text());
}

void OnboardingWordmark::installAsLoadingHintMark()
{
    NmLoadingHint::setWordmarkFactory(
        [](NmWordmarkMode mode, QWidget *parent) -> QWidget * { return new OnboardingWordmark(mode, parent); });
}

} // namespace nerim
