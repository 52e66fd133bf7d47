#pragma once

#include <QImage>
#include <QList>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>

namespace nerim {

// The drifting window background: the atmosphere mesh painted into a narrow
// image as tall as the widget's pixels and drawn stretched across it.
//
// The drift is slow (periods of most of a minute, a few pixels a second) and
// a repaint of the background repaints every translucent surface above it,
// so the view repaints only when the picture has changed visibly: a few
// times a second it samples the mesh's colours down a short column and
// repaints once some row's colour moved by half an 8-bit level from what is
// shown. It rests (no timer) while hidden, while its window is minimised or
// inactive, and under Reduce Motion. It paints the shadows of surfaces placed
// directly on it.
class AtmosphereView : public QWidget {
    Q_OBJECT
public:
    explicit AtmosphereView(QWidget *parent = nullptr);

    // Replaces the clock (seconds since 2001-01-01T00:00:00Z), for tests and
    // the gallery.
    void setClock(std::function<double()> clock);

    // Whether frames are being scheduled (shown in a window that is neither
    // minimised nor inactive, and motion not reduced).
    bool isAnimating() const { return m_frames.isActive(); }
    // How many times the picture was rendered anew, for tests and benchmarks.
    int renderCount() const { return m_renders; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void updateSchedule();
    // Recomputes the picture; repaints when it differs from the one shown.
    void refresh();
    QImage render();
    // The mean colour levels of a few bands down the picture at the clock's time.
    QList<float> sample() const;

    std::function<double()> m_clock;
    QTimer m_frames;
    QImage m_image;
    QList<float> m_shownSample;
    QPointer<QWidget> m_watchedWindow;
    int m_renders = 0;
    bool m_windowWasActive = false;
};

} // namespace nerim
