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
