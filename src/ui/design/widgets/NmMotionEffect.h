#pragma once

#include "ui/design/DesignTokens.h"

#include <QGraphicsEffect>
#include <QElapsedTimer>
#include <QImage>
#include <QPixmap>
#include <utility>
#include <vector>

class QWidget;

namespace nerim {

// The one graphics effect an animated widget carries. Qt allows a single
// effect per widget, so opacity, scale about the centre, Gaussian blur and
// brightness are combined here. At rest (opacity 1, scale 1, no blur, no
// brightness) the widget is drawn directly, at no cost.
//
// A blur (a pane or panel materializing) runs on a copy of the widget's
// picture shrunk by a whole factor that leaves a sigma of at least one of its
// pixels (block averages), drawn back at full size; the box passes divide by
// multiplying with a reciprocal, so three panes coming into view blur in a few
// milliseconds a frame. The picture is taken once, unpadded (again when the
// widget asked to be drawn while no value of the motion changed, or after
// 100 ms), with its shrunk copies made once per factor: a frame blurs only the
// small padded copy. Values within a hair of rest count as rest, so an
// animation that ends a hair away leaves nothing drawn through the effect.
// The effect switches itself off while at rest, since an enabled effect
// has the whole widget redrawn for any change inside it (an unfocused pane
// keeps its at 0.85 opacity). A change of opacity or brightness repaints only
// the widget, since Qt repaints the whole parent when told an effect's bounds
// moved, which only a scale above 1 or a blur does; a change of brightness
// (a finished task's pulse) does not have the surface's shadow drawn again
// either, and a brightness under one colour level draws the widget directly.
//
// Every animation reads MotionPreferences when it starts and runs through
// ReducibleAnimation, ReducibleTransition (an inserted widget drops its effect
// once at rest, so repaints inside it stop going through the effect and a web
// view in it is composited live) or NmFrameMotion; under Reduce Motion all of
// it applies at once.
class NmMotionEffect : public QGraphicsEffect {
    Q_OBJECT
    Q_PROPERTY(qreal opacity READ opacity WRITE setOpacity)
    Q_PROPERTY(qreal scale READ scale WRITE setScale)
    Q_PROPERTY(qreal blurRadius READ blurRadius WRITE setBlurRadius)
    Q_PROPERTY(qreal brightness READ brightness WRITE setBrightness)
public:
    explicit NmMotionEffect(QObject *parent = nullptr);

    // The widget's effect, installed on first use. Null when the widget
    // already carries an effect of another kind (it is left alone).
    static NmMotionEffect *of(QWidget *widget);
    // The widget's effect if it has one.
    static NmMotionEffect *existing(const QWidget *widget);

    qreal opacity() const { return m_opacity; }
    qreal scale() const { return m_scale; }
    qreal blurRadius() const { return m_blur; } // points; sigma is half of it
    qreal brightness() const { return m_brightness; }
    void setOpacity(qreal opacity);
    void setScale(qreal scale);
    void setBlurRadius(qreal radius);
    void setBrightness(qreal brightness);

    MaterializeValues values() const { return {m_blur, m_opacity, m_scale}; }
    void setValues(const MaterializeValues &values);

    bool isAtRest() const;
    QRectF boundingRectFor(const QRectF &sourceRect) const override;

signals:
    // Any value changed (surfaces repaint the shadow their parent draws).
    void valuesChanged();

protected:
    void draw(QPainter *painter) override;

private:
    // A value changed; `boundsChange`: one that can move the drawn bounds
    // (a scale above 1, a blur); `shadowChange`: one the surface's shadow
    // shows (all but the brightness).
    void changed(bool boundsChange, bool shadowChange = true);
    void notifySurface();
    // A value of the motion changed; at rest, the pictures made for the
    // motion are let go.
    void forgetCopies();

    qreal m_opacity = 1.0;
    qreal m_scale = 1.0;
    qreal m_blur = 0.0;
    qreal m_brightness = 0.0;
    // The widget's picture a motion animates, where it goes, and its copies
    // made smaller for blurs, by shrink factor (a materialize passes
    // through a few factors).
    QPixmap m_picture;
    QPoint m_pictureOffset;
    QElapsedTimer m_pictureAge;
    std::vector<std::pair<int, QImage>> m_shrunk;
    // A value changed since the last frame was drawn.
    bool m_moved = false;
};

} // namespace nerim
