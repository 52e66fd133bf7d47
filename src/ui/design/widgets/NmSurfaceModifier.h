#pragma once

#include "ui/design/SurfaceStyles.h"

#include <QObject>
#include <QPointer>
#include <QRectF>

class QPainter;
class QRegion;
class QWidget;

namespace nerim {

// Turns a widget into one of the two raised surfaces: its background is the
// surface (material stand-in, paper fill, inside stroke), its child widgets
// are clipped to the surface's shape where they reach into the corners, and
// its shadow is painted by its parent (a widget cannot paint outside itself).
// The surface adds no padding: callers set their own contents margins.
//
// Parents that paint their own background in paintEvent set the property
// kPaintsOwnSurfaceShadows and call paintChildShadows after their background;
// for any other parent the shadow is painted before the parent's paintEvent.
//
// At rest a surface costs little: it draws from small cached images
// (SurfaceStyles::paintSliced, NmPainter::paintShadow); a repaint of the
// parent inside the surface (a transcript scrolling under a pane) draws none
// of its shadow, and one that reaches a corner draws only the part of the
// shadow there (paintShadow with the region painted), not the whole shadow
// clipped by the outline; a hidden surface clears its old shadow once and
// repaints nothing more while hidden; a focus change's fade shows the resting
// value once within half a colour level of it, so the spring's long tail does
// not draw the pane and its shadow again frame after frame.
class NmSurfaceModifier : public QObject {
    Q_OBJECT
public:
    enum class Kind { pane, promptBar };
    static constexpr const char *kPaintsOwnSurfaceShadows = "nmPaintsOwnSurfaceShadows";

    Kind kind() const { return m_kind; }
    bool focused() const { return m_focused; }
    // A change of focus moves the fill, stroke and shadow to the new look
    // with the quick spring while the surface is on screen (at once under
    // Reduce Motion, or while hidden).
    void setFocused(bool focused);
    // How far the look is from unfocused (0) to focused (1).
    qreal focusProgress() const { return m_focusProgress; }
    // The look as drawn now.
    NmSurfaceLook look() const;
    QWidget *content() const { return m_content; }

    // The surface modifier of `content`, if it is a surface.
    static NmSurfaceModifier *of(const QWidget *content);
    // Paints the shadows of the visible surfaces among `parent`'s children.
    static void paintChildShadows(QPainter &painter, const QWidget *parent);

    // Paints this surface's shadow with a painter on the parent; given the
    // parent's region being painted, only the part of it the shadow can show
    // in (nothing when that region lies where the surface covers it).
    void paintShadow(QPainter &painter, const QRegion &painted = QRegion()) const;
    // The part of the parent the shadow covers.
    QRect shadowRectInParent() const;
    // Asks the parent to repaint the shadow (e.g. while the surface animates).
    void updateShadow();

protected:
    NmSurfaceModifier(Kind kind, QWidget *content, bool focused);
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void setFocusProgress(qreal progress);
    // The look at rest, focused or not.
    NmSurfaceLook restingLook(bool focused) const;
    void watchParent();
    void clipChildren();
    QRectF shapeRectInParent() const;

    Kind m_kind;
    QPointer<QWidget> m_content;
    QPointer<QWidget> m_parent;
    bool m_focused = false;
    qreal m_focusProgress = 0;
    QRect m_lastShadowRect;
};

// Rounded rectangle of radius 14 (panes, panels, project cards, the sidebar).
class NmPaneSurfaceModifier final : public NmSurfaceModifier {
    Q_OBJECT
public:
    static NmPaneSurfaceModifier *apply(QWidget *content, bool focused = false);

private:
    using NmSurfaceModifier::NmSurfaceModifier;
};

// Capsule (the prompt bar); its stroke turns brass when focused.
class NmPromptBarSurfaceModifier final : public NmSurfaceModifier {
    Q_OBJECT
public:
    static NmPromptBarSurfaceModifier *apply(QWidget *content, bool focused = false);

private:
    using NmSurfaceModifier::NmSurfaceModifier;
};

} // namespace nerim
