#pragma once

#include <QImage>
#include <QTimer>
#include <QWidget>

#include <functional>

namespace nerim {

// The drifting window background: the atmosphere mesh painted into a narrow
// image as tall as the widget's pixels and drawn stretched across it. While
// shown it recomputes the mesh at most 30 times a second and repaints only
// when the picture changed; under Reduce Motion it stands still (no timer).
// It paints the shadows of surfaces placed directly on it.
class AtmosphereView : public QWidget {
    Q_OBJECT
public:
    explicit AtmosphereView(QWidget *parent = nullptr);

    // Replaces the clock (seconds since 2001-01-01T00:00:00Z), for tests and
    // the gallery.
    void setClock(std::function<double()> clock);

    // Whether frames are being scheduled (shown and motion not reduced).
    bool isAnimating() const { return m_frames.isActive(); }

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void updateSchedule();
    // Recomputes the picture; repaints when it differs from the one shown.
    void refresh();
    QImage render() const;

    std::function<double()> m_clock;
    QTimer m_frames;
    QImage m_image;
};

} // namespace nerim
