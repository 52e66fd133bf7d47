// The yardstick of the preview's memory: a bare QWebEngineView showing the
// page given as the first argument. Prints "loaded" once the page is shown,
// then stays open until it is ended.
#include <QApplication>
#include <QTimer>
#include <QUrl>
#include <QWebEngineView>
#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    QWebEngineView view;
    view.resize(1280, 800);
    QObject::connect(&view, &QWebEngineView::loadFinished, &view, [](bool) {
        QTimer::singleShot(500, [] {
            std::printf("loaded\n");
            std::fflush(stdout);
        });
    });
    view.load(QUrl::fromUserInput(QString::fromLocal8Bit(argv[1])));
    view.show();
    return QApplication::exec();
}
