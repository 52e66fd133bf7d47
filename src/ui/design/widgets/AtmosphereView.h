#pragma once

#include <QList>
#include <QRegion>
#include <QRgb>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>

namespace nerim {

// The drifting window background: the atmosphere mesh, whose colours change
// only down the window, kept as one colour per row of pixels and painted as
// solid rows (never an image scaled to the window, which costs far more and
// starts the painter's pool of helper threads).
//
// The drift is slow (periods of most of a minute, a few pixels a second) and
// a repaint of the background repaints every translucent surface above it,
// so the view repaints only what has changed visibly: a few times a second it
// samples the mesh's colours in bands down the window and repaints the bands
// whose colour moved by half an 8-bit level from what they show, leaving the
// rest of the window alone. It rests (no timer) while hidden, while its
// window is minimised or inactive, and under Reduce Motion. It paints the
// shadows of surfaces placed directly on it.
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
    // What the last change of the picture repainted, in the view's
    // coordinates (empty before the first change).
    QRegion lastRepainted() const { return m_lastRepainted; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void updateSchedule();
    // Recomputes the picture; repaints the bands that differ from those shown.
    void refresh();
    // The row colours at the clock's time, one per row of device pixels.
    QList<QRgb> render();
    // The mean colour levels of the bands down the picture at the clock's time.
    QList<float> sample() const;
    // The band's rows in the view's coordinates.
    QRect bandArea(int band) const;

    std::function<double()> m_clock;
    QTimer m_frames;
    QList<QRgb> m_rows;
    QList<float> m_shownSample;
    QRegion m_lastRepainted;
    QPointer<QWidget> m_watchedWindow;
    int m_renders = 0;
    bool m_windowWasActive = false;
};

} // namespace nerim
