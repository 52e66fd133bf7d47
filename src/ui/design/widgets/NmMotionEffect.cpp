#include "ui/design/widgets/NmMotionEffect.h"

#include "ui/design/ImageEffects.h"
#include "ui/design/widgets/NmSurfaceModifier.h"

#include <QPainter>
#include <QPaintDevice>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <utility>

namespace nerim {

namespace {

// A blur runs on a copy made smaller by a whole factor that leaves at least
// this sigma (in the copy's pixels): drawn back at full size, the result is
// indistinguishable, and a factor of k makes it k² times cheaper. A blur of
// a pixel or two (the end of a materialize) is the halved copy drawn back
// smoothly, itself a blur of about that size.
constexpr double kLeastShrunkSigma = 1.0;

// How long a frame of a motion may show the widget's picture taken earlier.
constexpr qint64 kPictureLifetimeMs = 100;

int shrinkFactor(double sigma)
{
    return sigma < 0.5 ? 1 : std::clamp(int(sigma / kLeastShrunkSigma), 2, 8);
}

// A value this close to its resting one is the resting one: an animation that
// ends a hair away from it must not leave the widget drawn through the effect
// (or, for a blur or a brightness, through an offscreen copy) from then on.
qreal settled(qreal value, qreal rest) { return std::abs(value - rest) < 1e-6 ? rest : value; }

// Whether a change from `from` to `to` is too small to draw, unless it comes
// to rest or leaves it.
bool unchanged(qreal from, qreal to, qreal rest)
{
    return qFuzzyCompare(1.0 + from, 1.0 + to) && (from == rest) == (to == rest);
}

} // namespace

NmMotionEffect::NmMotionEffect(QObject *parent)
    : QGraphicsEffect(parent)
{
    // At rest the widget is drawn as if it had no effect: an enabled effect
    // has Qt draw the whole widget again whenever any part of it changes.
    setEnabled(false);
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
    opacity = settled(std::clamp<qreal>(opacity, 0.0, 1.0), 1.0);
    if (unchanged(m_opacity, opacity, 1.0))
        return;
    m_opacity = opacity;
    changed(false);
}

void NmMotionEffect::setScale(qreal scale)
{
    scale = settled(scale, 1.0);
    if (unchanged(m_scale, scale, 1.0))
        return;
    const bool boundsChange = scale > 1.0 || m_scale > 1.0;
    m_scale = scale;
    changed(boundsChange);
}

void NmMotionEffect::setBlurRadius(qreal radius)
{
    radius = settled(std::max<qreal>(0.0, radius), 0.0);
    if (unchanged(m_blur, radius, 0.0))
        return;
    m_blur = radius;
    changed(true);
}

void NmMotionEffect::setBrightness(qreal brightness)
{
    brightness = settled(brightness, 0.0);
    if (unchanged(m_brightness, brightness, 0.0))
        return;
    m_brightness = brightness;
    // The shadow the parent draws does not depend on it.
    changed(false, false);
}

void NmMotionEffect::setValues(const MaterializeValues &values)
{
    const qreal blur = settled(std::max(0.0, values.blur), 0.0);
    const bool boundsChange = !qFuzzyCompare(1.0 + blur, 1.0 + m_blur) || values.scale > 1.0 || m_scale > 1.0;
    m_opacity = settled(std::clamp(values.opacity, 0.0, 1.0), 1.0);
    m_scale = settled(values.scale, 1.0);
    m_blur = blur;
    setEnabled(!isAtRest());
    forgetCopies();
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

void NmMotionEffect::changed(bool boundsChange, bool shadowChange)
{
    setEnabled(!isAtRest());
    forgetCopies();
    // Qt repaints the whole parent widget when told the bounds moved: only
    // when they can have (an opacity or brightness animation would otherwise
    // repaint the column under every pane, shown or hidden, each frame).
    if (boundsChange)
        updateBoundingRect();
    update();
    // (The parent repaints the whole shadow, and every widget over it.)
    if (shadowChange)
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

void NmMotionEffect::forgetCopies()
{
    m_moved = true;
    if (!isAtRest())
        return;
    m_picture = QPixmap();
    m_shrunk.clear();
}

void NmMotionEffect::draw(QPainter *painter)
{
    if (isAtRest()) {
        drawSource(painter);
        return;
    }
    if (m_opacity <= 0.0)
        return;
    // A brightness that adds less than a colour level changes no pixel
    // (`addBrightness`): the widget is drawn directly, not through a copy.
    const bool brightens = std::lround(m_brightness * 255.0) != 0;
    if (m_scale == 1.0 && m_blur <= 0.0 && !brightens) {
        painter->save();
        painter->setOpacity(painter->opacity() * m_opacity);
        drawSource(painter);
        painter->restore();
        return;
    }

    // The widget's picture, without padding, taken once and animated: a
    // frame of the motion does not draw the widget again. It is taken again
    // when the widget asked to be drawn (something in it changed: no value
    // of the motion changed since the last frame), for another screen, and
    // after `kPictureLifetimeMs`, so that what changes in the widget while
    // it moves shows within a few frames.
    const bool moved = std::exchange(m_moved, false);
    const qreal deviceRatio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    if (m_picture.isNull() || !moved || m_picture.devicePixelRatio() != deviceRatio
        || m_pictureAge.elapsed() > kPictureLifetimeMs) {
        m_picture = sourcePixmap(Qt::LogicalCoordinates, &m_pictureOffset, QGraphicsEffect::NoPad);
        m_pictureAge.start();
        m_shrunk.clear();
    }
    const QPixmap &source = m_picture;
    const QPoint offset = m_pictureOffset;
    if (source.isNull())
        return;
    const qreal dpr = source.devicePixelRatio();
    QImage image = source.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QRectF target(QPointF(offset), QSizeF(image.width() / dpr, image.height() / dpr));
    // The part of the (possibly shrunk and padded) image that holds what is drawn.
    QRectF part(QPointF(0, 0), QSizeF(image.size()));

    if (m_blur > 0.0) {
        const double sigma = m_blur / 2.0 * dpr;
        const int factor = shrinkFactor(sigma);
        // The shrunk copy is made once per factor for the picture: a frame
        // blurs only a copy a factor² smaller.
        auto found = std::find_if(m_shrunk.begin(), m_shrunk.end(),
                                  [factor](const auto &copy) { return copy.first == factor; });
        if (found == m_shrunk.end()) {
            m_shrunk.emplace_back(factor, factor == 1 ? image : shrunk(image, factor));
            found = std::prev(m_shrunk.end());
        }
        const QImage &small = found->second;
        // Room for the blurred edges to fade out: three deviations.
        const int pad = int(std::ceil(3.0 * sigma / factor));
        QImage padded(small.width() + 2 * pad, small.height() + 2 * pad, QImage::Format_ARGB32_Premultiplied);
        padded.fill(Qt::transparent);
        {
            QPainter copy(&padded);
            copy.setCompositionMode(QPainter::CompositionMode_Source);
            copy.drawImage(pad, pad, small);
        }
        gaussianBlur(padded, sigma / factor);
        const qreal padPoints = pad * factor / dpr;
        // The picture, in the copy's pixels (the copy's last row and column
        // may hold less than a whole block), with the padding around it.
        part = QRectF(0, 0, image.width() / double(factor) + 2 * pad, image.height() / double(factor) + 2 * pad);
        target.adjust(-padPoints, -padPoints, padPoints, padPoints);
        image = std::move(padded);
    }
    if (brightens) {
        image.detach();
        addBrightness(image, m_brightness);
    }

    const QPointF centre = sourceBoundingRect(Qt::LogicalCoordinates).center();
    painter->save();
    painter->setOpacity(painter->opacity() * m_opacity);
    painter->setRenderHint(QPainter::SmoothPixmapTransform);
    if (m_scale != 1.0) {
        painter->translate(centre);
        painter->scale(m_scale, m_scale);
        painter->translate(-centre);
    }
    painter->drawImage(target, image, part);
    painter->restore();
}

} // namespace nerim
