#include "ui/design/widgets/NmMotionEffect.h"

#include "ui/design/ImageEffects.h"
#include "ui/design/widgets/NmSurfaceModifier.h"

#include <QPainter>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace nerim {

namespace {

// Above this sigma (in device pixels) the blur runs on a half-size copy: the
// result is indistinguishable and four times cheaper.
constexpr double kDownsampleSigma = 4.0;

} // namespace

NmMotionEffect::NmMotionEffect(QObject *parent)
    : QGraphicsEffect(parent)
{
}

NmMotionEffect *NmMotionEffect::of(QWidget *widget)
{
    if (!widget)
        return nullptr;
    if (QGraphicsEffect *effect = widget->graphicsEffect())
        return qobject_cast<NmMotionEffect *>(effect);
    auto *effect = new NmMotionEffect(widget);
    widget->setGraphicsEffect(effect);
    return effect;
}

NmMotionEffect *NmMotionEffect::existing(const QWidget *widget)
{
    return widget ? qobject_cast<NmMotionEffect *>(widget->graphicsEffect()) : nullptr;
}

void NmMotionEffect::setOpacity(qreal opacity)
{
    opacity = std::clamp<qreal>(opacity, 0.0, 1.0);
    if (qFuzzyCompare(opacity, m_opacity))
        return;
    m_opacity = opacity;
    changed();
}

void NmMotionEffect::setScale(qreal scale)
{
    if (qFuzzyCompare(scale, m_scale))
        return;
    m_scale = scale;
    changed();
}

void NmMotionEffect::setBlurRadius(qreal radius)
{
    radius = std::max<qreal>(0.0, radius);
    if (qFuzzyCompare(1.0 + radius, 1.0 + m_blur))
        return;
    m_blur = radius;
    changed();
}

void NmMotionEffect::setBrightness(qreal brightness)
{
    if (qFuzzyCompare(1.0 + brightness, 1.0 + m_brightness))
        return;
    m_brightness = brightness;
    changed();
}

void NmMotionEffect::setValues(const MaterializeValues &values)
{
    const bool boundsChange = !qFuzzyCompare(1.0 + values.blur, 1.0 + m_blur) || values.scale > 1.0 || m_scale > 1.0;
    m_opacity = std::clamp(values.opacity, 0.0, 1.0);
    m_scale = values.scale;
    m_blur = std::max(0.0, values.blur);
    if (boundsChange)
        updateBoundingRect();
    update();
    notifySurface();
    emit valuesChanged();
}

bool NmMotionEffect::isAtRest() const
{
    return m_opacity >= 1.0 && m_scale == 1.0 && m_blur <= 0.0 && m_brightness == 0.0;
}

QRectF NmMotionEffect::boundingRectFor(const QRectF &sourceRect) const
{
    QRectF rect = sourceRect;
    if (m_scale > 1.0) {
        const QPointF c = rect.center();
        rect = QRectF(c.x() - rect.width() * m_scale / 2, c.y() - rect.height() * m_scale / 2,
                      rect.width() * m_scale, rect.height() * m_scale);
    }
    if (m_blur > 0.0) {
        const qreal spread = std::ceil(3.0 * m_blur / 2.0);
        rect.adjust(-spread, -spread, spread, spread);
    }
    return rect;
}

void NmMotionEffect::changed()
{
    updateBoundingRect();
    update();
    notifySurface();
    emit valuesChanged();
}

void NmMotionEffect::notifySurface()
{
    // The shadow of a surface is painted by its parent and must follow.
    if (auto *widget = qobject_cast<QWidget *>(parent()))
        if (NmSurfaceModifier *surface = NmSurfaceModifier::of(widget))
            surface->updateShadow();
}

void NmMotionEffect::draw(QPainter *painter)
{
    if (isAtRest()) {
        drawSource(painter);
        return;
    }
    if (m_opacity <= 0.0)
        return;
    if (m_scale == 1.0 && m_blur <= 0.0 && m_brightness == 0.0) {
        painter->save();
        painter->setOpacity(painter->opacity() * m_opacity);
        drawSource(painter);
        painter->restore();
        return;
    }

    QPoint offset;
    const QPixmap source = sourcePixmap(Qt::LogicalCoordinates, &offset, QGraphicsEffect::PadToEffectiveBoundingRect);
    if (source.isNull())
        return;
    const qreal dpr = source.devicePixelRatio();
    QImage image = source.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QSizeF logicalSize(image.width() / dpr, image.height() / dpr);

    if (m_blur > 0.0) {
        const double sigma = m_blur / 2.0 * dpr;
        if (sigma > kDownsampleSigma) {
            image = image.scaled(image.size() / 2, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            gaussianBlur(image, sigma / 2.0);
        } else {
            gaussianBlur(image, sigma);
        }
    }
    if (m_brightness != 0.0)
        addBrightness(image, m_brightness);

    const QRectF target(QPointF(offset), logicalSize);
    const QPointF centre = sourceBoundingRect(Qt::LogicalCoordinates).center();
    painter->save();
    painter->setOpacity(painter->opacity() * m_opacity);
    painter->setRenderHint(QPainter::SmoothPixmapTransform);
    if (m_scale != 1.0) {
        painter->translate(centre);
        painter->scale(m_scale, m_scale);
        painter->translate(-centre);
    }
    painter->drawImage(target, image);
    painter->restore();
}

} // namespace nerim
