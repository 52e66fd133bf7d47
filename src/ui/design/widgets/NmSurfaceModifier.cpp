#include "ui/design/widgets/NmSurfaceModifier.h"

#include "ui/design/widgets/NmMotionEffect.h"
#include "ui/design/widgets/ReducibleAnimation.h"

#include <QEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QRegion>
#include <QWidget>
#include <cmath>

namespace nerim {

namespace {

constexpr const char *kClippedByProperty = "nmClippedBySurface";

// A change of focus progress too small to see: the looks' colours differ by
// at most a tenth in alpha and their shadows by 8 px in radius, so this moves
// a colour by a tenth of a level and a shadow by a twentieth of a pixel.
constexpr double kUnseenProgress = 0.005;

} // namespace

NmSurfaceModifier::NmSurfaceModifier(Kind kind, QWidget *content, bool focused)
    : QObject(content)
    , m_kind(kind)
    , m_content(content)
    , m_focused(focused)
    , m_focusProgress(focused ? 1.0 : 0.0)
{
    content->installEventFilter(this);
    watchParent();
    content->update();
    updateShadow();
}

NmPaneSurfaceModifier *NmPaneSurfaceModifier::apply(QWidget *content, bool focused)
{
    if (!content)
        return nullptr;
    if (auto *existing = qobject_cast<NmPaneSurfaceModifier *>(NmSurfaceModifier::of(content))) {
        existing->setFocused(focused);
        return existing;
    }
    return new NmPaneSurfaceModifier(Kind::pane, content, focused);
}

NmPromptBarSurfaceModifier *NmPromptBarSurfaceModifier::apply(QWidget *content, bool focused)
{
    if (!content)
        return nullptr;
    if (auto *existing = qobject_cast<NmPromptBarSurfaceModifier *>(NmSurfaceModifier::of(content))) {
        existing->setFocused(focused);
        return existing;
    }
    return new NmPromptBarSurfaceModifier(Kind::promptBar, content, focused);
}

NmSurfaceModifier *NmSurfaceModifier::of(const QWidget *content)
{
    return content ? content->findChild<NmSurfaceModifier *>(QString(), Qt::FindDirectChildrenOnly) : nullptr;
}

void NmSurfaceModifier::setFocused(bool focused)
{
    if (m_focused == focused)
        return;
    m_focused = focused;
    const qreal target = focused ? 1.0 : 0.0;
    if (!m_content || !m_content->isVisible()) {
        ReducibleAnimation::stop(this, "focusProgress");
        setFocusProgress(target);
        return;
    }
    // The spring's long tail changes the look by less than can be seen for
    // many frames, each of which would draw the surface and its shadow again:
    // that close to the target, the target is shown.
    ReducibleAnimation::animateValue(this, "focusProgress", m_focusProgress, target, NmMotion::quick(),
                                     [this, target](double progress) {
                                         setFocusProgress(std::abs(progress - target) < kUnseenProgress ? target
                                                                                                          : progress);
                                     });
}

void NmSurfaceModifier::setFocusProgress(qreal progress)
{
    if (progress == m_focusProgress)
        return;
    m_focusProgress = progress;
    if (m_content)
        m_content->update();
    updateShadow();
}

NmSurfaceLook NmSurfaceModifier::restingLook(bool focused) const
{
    return m_kind == Kind::pane ? SurfaceStyles::pane(focused) : SurfaceStyles::promptBar(focused);
}

NmSurfaceLook NmSurfaceModifier::look() const
{
    return SurfaceStyles::between(restingLook(false), restingLook(true), m_focusProgress);
}

QRectF NmSurfaceModifier::shapeRectInParent() const
{
    if (!m_content)
        return {};
    QRectF rect(m_content->geometry());
    // A surface that is animating in or out casts the shadow of what is seen.
    if (const NmMotionEffect *effect = NmMotionEffect::existing(m_content)) {
        const qreal s = effect->scale();
        const QPointF c = rect.center();
        rect = QRectF(c.x() - rect.width() * s / 2, c.y() - rect.height() * s / 2, rect.width() * s,
                      rect.height() * s);
    }
    return rect;
}

QRect NmSurfaceModifier::shadowRectInParent() const
{
    // Both focus states fit in the larger (focused) shadow.
    return SurfaceStyles::shadow(true).bounds(QRectF(m_content ? m_content->geometry() : QRect())).toAlignedRect();
}

void NmSurfaceModifier::paintShadow(QPainter &painter, const QRegion &painted) const
{
    if (!m_content || !m_content->isVisible())
        return;
    const QRectF shape = shapeRectInParent();
    painter.save();
    if (!painted.isEmpty()) {
        // The shadow is drawn only outside the surface's shape (half a point
        // in): the surface's rectangle without its corners, a little inside,
        // never shows it. A repaint within it (the transcript scrolling
        // under the pane) draws no shadow, and one that reaches a corner only
        // the corner's part, rather than clipping the whole shadow by its
        // outline for nothing.
        const int corner = int(std::ceil(look().shape.cornerExtent(shape))) + 2;
        const QRect inner = shape.toAlignedRect();
        QRegion shows = QRegion(shadowRectInParent()) & painted;
        shows -= QRegion(inner.adjusted(corner, 2, -corner, -2));
        shows -= QRegion(inner.adjusted(2, corner, -2, -corner));
        if (shows.isEmpty()) {
            painter.restore();
            return;
        }
        painter.setClipRegion(shows, Qt::IntersectClip);
    }
    const NmMotionEffect *effect = NmMotionEffect::existing(m_content);
    const qreal opacity = effect ? effect->opacity() : 1.0;
    // While the focus changes, the two looks' shadows fade into each other.
    SurfaceStyles::paintShadowBetween(painter, restingLook(false), restingLook(true), m_focusProgress, shape,
                                      opacity);
    painter.restore();
}

void NmSurfaceModifier::paintChildShadows(QPainter &painter, const QWidget *parent)
{
    if (!parent)
        return;
    for (QObject *child : parent->children()) {
        auto *widget = qobject_cast<QWidget *>(child);
        if (!widget || widget->isWindow())
            continue;
        if (NmSurfaceModifier *surface = of(widget))
            surface->paintShadow(painter);
    }
}

void NmSurfaceModifier::updateShadow()
{
    if (!m_parent)
        return;
    // A hidden surface casts no shadow: the one it cast is cleared once and
    // nothing more is repainted while it stays hidden (a hidden pane still
    // lays out and animates, and its old place may lie under a shown one).
    if (!m_content || !m_content->isVisible()) {
        if (!m_lastShadowRect.isEmpty())
            m_parent->update(m_lastShadowRect);
        m_lastShadowRect = QRect();
        return;
    }
    const QRect now = shadowRectInParent();
    m_parent->update(m_lastShadowRect.united(now));
    m_lastShadowRect = now;
}

void NmSurfaceModifier::watchParent()
{
    QWidget *parent = m_content ? m_content->parentWidget() : nullptr;
    if (parent == m_parent)
        return;
    if (m_parent) {
        m_parent->removeEventFilter(this);
        m_parent->update(m_lastShadowRect);
    }
    m_parent = parent;
    m_lastShadowRect = QRect();
    if (m_parent)
        m_parent->installEventFilter(this);
}

void NmSurfaceModifier::clipChildren()
{
    if (!m_content)
        return;
    const QRectF bounds(m_content->rect());
    const NmShape shape = look().shape;
    // Children away from the corners need no clipping.
    const qreal corner = shape.cornerExtent(bounds);
    const QRectF safeX = bounds.adjusted(corner, 0, -corner, 0);
    const QRectF safeY = bounds.adjusted(0, corner, 0, -corner);
    const QPainterPath outline = shape.path(bounds);
    for (QObject *object : m_content->children()) {
        auto *child = qobject_cast<QWidget *>(object);
        if (!child || child->isWindow())
            continue;
        const QRectF geometry(child->geometry());
        const bool clear = safeX.contains(geometry) || safeY.contains(geometry);
        if (clear) {
            if (child->property(kClippedByProperty).toBool()) {
                child->clearMask();
                child->setProperty(kClippedByProperty, false);
            }
            continue;
        }
        const QPolygon polygon = outline.translated(-geometry.topLeft()).toFillPolygon().toPolygon();
        child->setMask(QRegion(polygon));
        child->setProperty(kClippedByProperty, true);
    }
}

bool NmSurfaceModifier::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_content) {
        switch (event->type()) {
        case QEvent::Paint: {
            // The surface is the widget's background: drawn before the widget
            // paints its own content. At rest it is drawn from the small image
            // of its look (a pane repaints its background whenever its
            // transcript scrolls); while its focus changes, directly.
            QPainter painter(m_content);
            const QRectF rect(m_content->rect());
            if (m_focusProgress <= 0.0 || m_focusProgress >= 1.0)
                SurfaceStyles::paintSliced(painter, look(), rect);
            else
                SurfaceStyles::paint(painter, look(), rect);
            break;
        }
        case QEvent::ParentChange:
            watchParent();
            updateShadow();
            break;
        case QEvent::Resize:
            clipChildren();
            updateShadow();
            break;
        case QEvent::LayoutRequest:
        case QEvent::ChildAdded:
            // The surface's own place is the same: its shadow is redrawn only
            // if it moved since (a pane's layout is asked for whenever its
            // transcript grows, and the parent's repaint would take every
            // widget over the shadow with it).
            clipChildren();
            if (shadowRectInParent() != m_lastShadowRect)
                updateShadow();
            break;
        case QEvent::Move:
        case QEvent::Show:
        case QEvent::Hide:
            updateShadow();
            break;
        default: break;
        }
    } else if (watched == m_parent && event->type() == QEvent::Paint) {
        if (!m_parent->property(kPaintsOwnSurfaceShadows).toBool()) {
            QPainter painter(m_parent);
            paintShadow(painter, static_cast<QPaintEvent *>(event)->region());
        }
    }
    return QObject::eventFilter(watched, event);
}

} // namespace nerim
