#include "ui/design/widgets/AtmosphereView.h"

#include "ui/design/AtmosphereMesh.h"
#include "ui/design/MotionPreferences.h"
#include "ui/design/widgets/NmSurfaceModifier.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPainter>

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
// A band whose colour moved by this many 8-bit levels has changed visibly.
constexpr float kVisibleChange = 0.5f;
// The mesh's rows hold one colour each, so a narrow image stretched sideways
// loses nothing; its height follows the widget's pixels (up to a limit) so
// the dither stays fine.
constexpr int kImageWidth = 16;
constexpr int kMaxImageHeight = 2400;

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
    bands.reserve(kSampleRows / kSampleBand * 3);
    for (int band = 0; band < kSampleRows / kSampleBand; ++band) {
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

QImage AtmosphereView::render()
{
    ++m_renders;
    m_shownSample = sample();
    const int height = std::clamp(int(std::ceil(this->height() * devicePixelRatioF())), 1, kMaxImageHeight);
    const double t = m_clock ? m_clock() : 0.0;
    return renderAtmosphere(atmosphereMesh(t, MotionPreferences::shared().reduceMotion()),
                            QSize(kImageWidth, height));
}

void AtmosphereView::refresh()
{
    if (m_image.isNull()) {
        update();
        return;
    }
    const QList<float> now = sample();
    bool visible = now.size() != m_shownSample.size();
    for (qsizetype i = 0; !visible && i < now.size(); ++i)
        visible = std::abs(now[i] - m_shownSample[i]) >= kVisibleChange;
    if (!visible)
        return;
    m_image = render();
    update();
}

void AtmosphereView::paintEvent(QPaintEvent *)
{
    if (m_image.isNull())
        m_image = render();
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(QRectF(rect()), m_image);
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
    m_image = QImage();
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
