// Renders every gallery page to <folder>/<page>.png (the folder is the first
// argument, else the build folder's gallery/). Further arguments pick pages by
// name. Exits non-zero when a page cannot be drawn or written.
#include "GalleryRegistry.h"

#include <QApplication>
#include <QDir>
#include <QTextStream>

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Pictures at twice the density, as on a high-resolution screen.
    if (qEnvironmentVariableIsEmpty("QT_SCALE_FACTOR"))
        qputenv("QT_SCALE_FACTOR", "2");
    QApplication app(argc, argv);

    const QStringList arguments = QApplication::arguments().mid(1);
    const QString folder = arguments.isEmpty() ? QStringLiteral(NERIM_GALLERY_DEFAULT_DIR) : arguments.first();
    const QStringList only = arguments.mid(1);
    if (!QDir().mkpath(folder)) {
        QTextStream(stderr) << "Cannot create " << folder << "\n";
        return 1;
    }

    int failures = 0;
    for (const nerim::gallery::Page &page : nerim::gallery::pages()) {
        if (!only.isEmpty() && !only.contains(page.name))
            continue;
        const QImage image = page.render();
        const QString path = QDir(folder).filePath(page.name + QStringLiteral(".png"));
        if (image.isNull() || !image.save(path)) {
            QTextStream(stderr) << "Failed: " << page.name << "\n";
            ++failures;
            continue;
        }
        QTextStream(stdout) << path << "\n";
    }
    return failures == 0 ? 0 : 1;
}
