#include "ui/design/widgets/AtmosphereView.h"

#include "ui/design/AtmosphereMesh.h"
#include "ui/design/MotionPreferences.h"
#include "ui/design/widgets/NmSurfaceModifier.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QRegion>

#include <algorithm>
#include <cmath>

namespace nerim {

namespace {

// How often the picture is checked for a visible change. The fastest point of
// the mesh moves a few pixels a second, which changes a row's colour by a
// fraction of a level a second: checking three times a second keeps every
// repaint within a fraction of a level of where it was due.
constexpr int kFrameMs = 330;
// The picture is sampled as this many rows, averaged in bands of the dither's
// period, so each band's mean is the undithered colour to 1/16 of a level.
constexpr int kSampleRows = 256;
constexpr int kSampleBand = 16;
constexpr int kBands = kSampleRows / kSampleBand;
// A band whose colour moved by this many 8-bit levels has changed visibly.
constexpr float kVisibleChange = 0.5f;
// When one band has, every band that has moved by this much is repainted with
// it: each repaint costs a composite of the whole window once a web view is
// in it, so bands that would cross the line soon after go in the same one.
constexpr float kCarriedChange = 0.25f;
} // namespace

AtmosphereView::AtmosphereView(QWidget *parent)
    : QWidget(parent)
    , m_clock(&atmosphereTimeNow)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setProperty(NmSurfaceModifier::kPaintsOwnSurfaceShadows, true);
    m_frames.setInterval(kFrameMs);
    connect(&m_frames, &QTimer::timeout, this, &AtmosphereView::refresh);
    connect(&MotionPreferences::shared(), &MotionPreferences::reduceMotionChanged, this, [this] {
        updateSchedule();
        refresh();
    });
}

void AtmosphereView::setClock(std::function<double()> clock)
{
    m_clock = std::move(clock);
    refresh();
}

QList<float> AtmosphereView::sample() const
{
    const double t = m_clock ? m_clock() : 0.0;
    const QImage probe =
        renderAtmosphere(atmosphereMesh(t, MotionPreferences::shared().reduceMotion()), QSize(1, kSampleRows));
    QList<float> bands;
    bands.reserve(kBands * 3);
    for (int band = 0; band < kBands; ++band) {
        int r = 0, g = 0, b = 0;
        for (int y = band * kSampleBand; y < (band + 1) * kSampleBand; ++y) {
            const QRgb pixel = probe.pixel(0, y);
            r += qRed(pixel);
            g += qGreen(pixel);
            b += qBlue(pixel);
        }
        bands << float(r) / kSampleBand << float(g) / kSampleBand << float(b) / kSampleBand;
    }
    return bands;
}

QList<QRgb> AtmosphereView::render()
{
    ++m_renders;
    const int height = std::max(1, int(std::ceil(this->height() * devicePixelRatioF())));
    const double t = m_clock ? m_clock() : 0.0;
    // The mesh's rows hold one colour each: one pixel per row says it all.
    const QImage column =
        renderAtmosphere(atmosphereMesh(t, MotionPreferences::shared().reduceMotion()), QSize(1, height));
    QList<QRgb> rows(height);
    for (int y = 0; y < height; ++y)
        rows[y] = column.pixel(0, y);
    return rows;
}

QRect AtmosphereView::bandArea(int band) const
{
    // Whole logical rows that cover the band's share of the height, with a
    // row to spare on each side for rounding.
    const int top = int(std::floor(double(band) * height() / kBands)) - 1;
    const int bottom = int(std::ceil(double(band + 1) * height() / kBands)) + 1;
    return QRect(0, top, width(), bottom - top).intersected(rect());
}

void AtmosphereView::refresh()
{
    if (m_rows.isEmpty()) {
        update();
        return;
    }
    const QList<float> now = sample();
    if (now.size() != m_shownSample.size()) {
        m_rows.clear();
        update();
        return;
    }
    const auto moved = [&](int band) {
        float most = 0;
        for (int channel = 0; channel < 3; ++channel)
            most = std::max(most, std::abs(now[band * 3 + channel] - m_shownSample[band * 3 + channel]));
        return most;
    };
    bool visible = false;
    for (int band = 0; band < kBands && !visible; ++band)
        visible = moved(band) >= kVisibleChange;
    if (!visible)
        return;
    QRegion changed;
    QList<float> shown = m_shownSample;
    for (int band = 0; band < kBands; ++band) {
        if (moved(band) < kCarriedChange)
            continue;
        changed += bandArea(band);
        for (int channel = 0; channel < 3; ++channel)
            shown[band * 3 + channel] = now[band * 3 + channel];
    }
    // Only the changed bands take the new rows; the others keep showing
    // (and remembering) what they showed.
    const QList<QRgb> rows = render();
    const qreal ratio = devicePixelRatioF();
    for (const QRect &area : changed) {
        const int first = std::max(0, int(std::floor(area.top() * ratio)));
        const int last = std::min(int(rows.size()), int(std::ceil((area.bottom() + 1) * ratio)));
        for (int y = first; y < last && y < m_rows.size(); ++y)
            m_rows[y] = rows[y];
    }
    m_shownSample = shown;
    m_lastRepainted = changed;
    update(changed);
}

void AtmosphereView::paintEvent(QPaintEvent *event)
{
    if (m_rows.isEmpty()) {
        m_shownSample = sample();
        m_rows = render();
    }
    QPainter painter(this);
    {
        // Each row of device pixels is one solid fill across the exposed area.
        const qreal ratio = devicePixelRatioF();
        const QRect exposed = event->rect();
        painter.save();
        painter.scale(1 / ratio, 1 / ratio);
        const int left = int(std::floor(exposed.left() * ratio));
        const int right = int(std::ceil((exposed.right() + 1) * ratio));
        const int first = std::max(0, int(std::floor(exposed.top() * ratio)));
        const int last = std::min(int(m_rows.size()), int(std::ceil((exposed.bottom() + 1) * ratio)));
        for (int y = first; y < last; ++y) {
            const QRgb colour = m_rows[y];
            int end = y + 1;
            while (end < last && m_rows[end] == colour)
                ++end;
            painter.fillRect(QRect(left, y, right - left, end - y), QColor(colour));
            y = end - 1;
        }
        painter.restore();
    }
    NmSurfaceModifier::paintChildShadows(painter, this);
}

void AtmosphereView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    QWidget *top = window();
    if (top != m_watchedWindow) {
        if (m_watchedWindow)
            m_watchedWindow->removeEventFilter(this);
        m_watchedWindow = top;
        if (top != this)
            top->installEventFilter(this);
    }
    updateSchedule();
    refresh();
}

bool AtmosphereView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_watchedWindow) {
        switch (event->type()) {
        case QEvent::WindowStateChange:
        case QEvent::ActivationChange:
        case QEvent::Show:
        case QEvent::Hide:
            QMetaObject::invokeMethod(this, [this] {
                const bool was = m_frames.isActive();
                updateSchedule();
                if (!was && m_frames.isActive())
                    refresh();
            }, Qt::QueuedConnection);
            break;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void AtmosphereView::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    updateSchedule();
}

void AtmosphereView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_rows.clear();
}

void AtmosphereView::updateSchedule()
{
    const QWidget *top = window();
    const bool minimised = top->windowState().testFlag(Qt::WindowMinimized);
    // A window that was never activated (an off-screen one, say) keeps
    // drifting; one the user has left (to another application) rests.
    if (top->isActiveWindow())
        m_windowWasActive = true;
    const bool inactive = m_windowWasActive && !top->isActiveWindow()
                          && QGuiApplication::applicationState() != Qt::ApplicationActive;
    if (isVisible() && !minimised && !inactive && !MotionPreferences::shared().reduceMotion())
        m_frames.start();
    else
        m_frames.stop();
}

} // namespace nerim
