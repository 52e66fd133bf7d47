#include "GalleryRegistry.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPainter>
#include <QThread>
#include <QVariantAnimation>
#include <QWidget>

#include <algorithm>

namespace nerim::gallery {

namespace {

std::vector<Page> &registry()
{
    static std::vector<Page> all;
    return all;
}

} // namespace

void registerPage(const QString &name, std::function<QImage()> render)
{
    registry().push_back(Page{name, std::move(render)});
}

std::vector<Page> pages()
{
    std::vector<Page> sorted = registry();
    std::sort(sorted.begin(), sorted.end(), [](const Page &a, const Page &b) { return a.name < b.name; });
    return sorted;
}

namespace {

std::vector<std::function<bool()>> &busyChecks()
{
    static std::vector<std::function<bool()>> checks;
    return checks;
}

} // namespace

void registerBusyCheck(std::function<bool()> busy) { busyChecks().push_back(std::move(busy)); }

QImage renderWidget(QWidget *widget, QSize size)
{
    widget->resize(size);
    widget->setAttribute(Qt::WA_DontShowOnScreen);
    widget->show();
    for (int i = 0; i < 3; ++i)
        QApplication::processEvents();
    const auto busy = [] {
        return std::any_of(busyChecks().begin(), busyChecks().end(), [](const auto &check) { return check(); });
    };
    QElapsedTimer waited;
    waited.start();
    while (busy() && waited.elapsed() < 5000) {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    QApplication::processEvents();
    return widget->grab().toImage();
}

void seekAnimations(QObject *root, double fraction)
{
    const auto running = root->findChildren<QVariantAnimation *>();
    for (QVariantAnimation *animation : running) {
        if (animation->state() == QAbstractAnimation::Stopped)
            continue;
        // Held where it is put: drawing a page takes longer than a motion.
        animation->pause();
        animation->setCurrentTime(int(animation->duration() * fraction));
    }
    for (int i = 0; i < 3; ++i)
        QApplication::processEvents();
}

QImage frameStrip(const std::vector<std::pair<QString, QImage>> &frames)
{
    constexpr int caption = 28;
    constexpr int gap = 16;
    qreal ratio = 1;
    int width = gap;
    int height = 0;
    for (const auto &[title, image] : frames) {
        ratio = image.devicePixelRatio();
        width += int(image.width() / ratio) + gap;
        height = std::max(height, int(image.height() / ratio));
    }
    QImage strip(QSize(width, height + caption + gap) * ratio, QImage::Format_ARGB32_Premultiplied);
    strip.setDevicePixelRatio(ratio);
    strip.fill(qColor(NmColor::paperShade));
    QPainter painter(&strip);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setFont(NmFont::captionMedium());
    int left = gap;
    for (const auto &[title, image] : frames) {
        const int frameWidth = int(image.width() / ratio);
        painter.setPen(qColor(NmColor::inkSecondary));
        painter.drawText(QRect(left, 0, frameWidth, caption), Qt::AlignLeft | Qt::AlignVCenter, title);
        painter.drawImage(QPoint(left, caption), image);
        left += frameWidth + gap;
    }
    return strip;
}

} // namespace nerim::gallery
