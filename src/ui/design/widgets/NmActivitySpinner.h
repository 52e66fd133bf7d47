#pragma once

#include <QColor>
#include <QTimer>
#include <QWidget>

namespace nerim {

// A small indeterminate activity indicator: eight spokes around a centre, the
// brightest one stepping round twelve times a second while the spinner is
// shown. Under Reduce Motion it stands still, its spokes fading round the
// circle. The timer runs only while the spinner is visible.
class NmActivitySpinner : public QWidget {
    Q_OBJECT
public:
    static constexpr int spokeCount = 8;
    // The small control size: the side of the square the spokes fill.
    static constexpr qreal smallDiameter = 14.0;

    explicit NmActivitySpinner(QWidget *parent = nullptr);

    void setColor(const QColor &color);
    QColor color() const { return m_color; }
    void setDiameter(qreal diameter);
    qreal diameter() const { return m_diameter; }

    // Which spoke is the brightest.
    int phase() const { return m_phase; }
    bool isSpinning() const { return m_steps.isActive(); }

    // The opacity of `spoke` when `phase` is the brightest: 1 for it, then
    // falling evenly to 0.25 for the spoke just behind it.
    static double spokeOpacity(int spoke, int phase);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void updateSchedule();

    QColor m_color = Qt::white;
    qreal m_diameter = smallDiameter;
    int m_phase = 0;
    QTimer m_steps;
};

} // namespace nerim
