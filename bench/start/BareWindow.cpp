// The yardstick of the start and memory benchmarks: a bare Qt Widgets window
// of the size Nerim's window opens at (MainWindow's default size, passed in
// by the build), built in the same tree with the same options. It stays open
// until it is ended; the benchmark's probe reports its first paint.
#include <QApplication>
#include <QPainter>
#include <QWidget>

class BareWindow : public QWidget {
    Q_OBJECT
protected:
    void paintEvent(QPaintEvent *) override { QPainter(this).fillRect(rect(), QColor(0xf4, 0xf1, 0xea)); }
};

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    BareWindow window;
    window.resize(NERIM_WINDOW_WIDTH, NERIM_WINDOW_HEIGHT);
    window.show();
    return QApplication::exec();
}

#include "BareWindow.moc"
