#include "ui/design/widgets/AtmosphereView.h"

#include "ui/design/AtmosphereMesh.h"
#include "ui/design/MotionPreferences.h"
#include "ui/design/widgets/NmSurfaceModifier.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

namespace nerim {

namespace {

// At most 30 frames a second.
constexpr int kFrameMs = 34;
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

QImage AtmosphereView::render() const
{
    const int height = std::clamp(int(std::ceil(this->height() * devicePixelRatioF())), 1, kMaxImageHeight);
    const double t = m_clock ? m_clock() : 0.0;
    return renderAtmosphere(atmosphereMesh(t, MotionPreferences::shared().reduceMotion()),
                            QSize(kImageWidth, height));
}

void AtmosphereView::refresh()
{
    QImage image = render();
    if (image == m_image)
        return;
    m_image = std::move(image);
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
    updateSchedule();
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
    if (isVisible() && !MotionPreferences::shared().reduceMotion())
        m_frames.start();
    else
        m_frames.stop();
}

} // namespace nerim
