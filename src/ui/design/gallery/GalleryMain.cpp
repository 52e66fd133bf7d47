// Renders every gallery page to <folder>/<page>.png (the folder is the first
// argument, else the build folder's gallery/). Further arguments pick pages by
// name. Exits non-zero when a page cannot be drawn or written.
#include "GalleryRegistry.h"
#include "preview/PreviewSandbox.h"

#include <QApplication>
#include <QDir>
#include <QTextStream>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Pictures at twice the density, as on a high-resolution screen.
    if (qEnvironmentVariableIsEmpty("QT_SCALE_FACTOR"))
        qputenv("QT_SCALE_FACTOR", "2");
    // Pages that hold a web view load the web engine, which reads its options
    // from the end of the command line: as root it must run without its
    // sandbox, as in the application, or it ends the whole program.
    nerim::PreviewSandbox::EngineCommandLine commandLine(argc, argv, ::geteuid());
    QApplication app(commandLine.argc(), commandLine.argv());

    QStringList arguments = QApplication::arguments().mid(1);
    // The web engine's options are not the gallery's.
    if (const qsizetype engine = arguments.indexOf(QStringLiteral("--webEngineArgs")); engine >= 0)
        arguments = arguments.first(engine);
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
