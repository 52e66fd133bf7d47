// A build step: renders the application icon's SVG into the sizes the window
// uses, as raw pixels, so that the running application makes its icon from
// them without the SVG icon engine or an image reader (which loads every
// image format plugin to ask whether one reads the file).
//
//     nerim_icon_renderer <icon.svg> <output folder> <size>...
//
// Writes <output folder>/nerim-<size>.argb32 for each size: side × side pixels,
// rows from the top, each pixel one 32-bit word of premultiplied alpha, red,
// green and blue in the byte order of the machine that builds (the one that
// runs it: the application draws straight from these bytes), with nothing
// before or after them.
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QString>
#include <QSvgRenderer>
#include <cstdio>

int main(int argc, char **argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <icon.svg> <output folder> <size>...\n", argv[0]);
        return 2;
    }
    QSvgRenderer renderer(QString::fromLocal8Bit(argv[1]));
    if (!renderer.isValid()) {
        std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[1]);
        return 1;
    }
    for (int i = 3; i < argc; ++i) {
        const int side = QString::fromLatin1(argv[i]).toInt();
        if (side <= 0)
            return 2;
        QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        {
            QPainter painter(&image);
            painter.setRenderHint(QPainter::Antialiasing);
            renderer.render(&painter, QRectF(0, 0, side, side));
        }
        const QString path = QStringLiteral("%1/nerim-%2.argb32").arg(QString::fromLocal8Bit(argv[2])).arg(side);
        QFile file(path);
        bool written = file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        for (int y = 0; written && y < side; ++y)
            written = file.write(reinterpret_cast<const char *>(image.constScanLine(y)), qint64(side) * 4) == side * 4;
        if (!written || !file.flush()) {
            std::fprintf(stderr, "%s: cannot write %s\n", argv[0], qPrintable(path));
            return 1;
        }
    }
    return 0;
}
