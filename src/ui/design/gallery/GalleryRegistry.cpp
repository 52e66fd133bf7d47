#include "GalleryRegistry.h"

#include <QApplication>
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

QImage renderWidget(QWidget *widget, QSize size)
{
    widget->resize(size);
    widget->setAttribute(Qt::WA_DontShowOnScreen);
    widget->show();
    for (int i = 0; i < 3; ++i)
        QApplication::processEvents();
    return widget->grab().toImage();
}

} // namespace nerim::gallery
