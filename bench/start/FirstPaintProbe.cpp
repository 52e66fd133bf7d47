// Put into a program with LD_PRELOAD by the start benchmark: prints "painted"
// on standard output once the first paint of a widget of the class named by
// NERIM_FIRST_PAINT_CLASS (or of a widget inside one) is done. The program
// itself is unchanged, so an earlier build can be measured the same way.
// With NERIM_FIRST_PAINT_EXIT set, the program ends right after it (for
// profiling the start alone).
#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstdlib>

namespace {

class FirstPaintReporter : public QObject {
public:
    explicit FirstPaintReporter(QByteArray className) : m_className(std::move(className)) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::Paint || !watched->isWidgetType())
            return false;
        for (QObject *object = watched; object; object = object->parent()) {
            if (object->inherits(m_className.constData())) {
                QCoreApplication::instance()->removeEventFilter(this);
                QTimer::singleShot(0, [] {
                    std::printf("painted\n");
                    std::fflush(stdout);
                    if (qEnvironmentVariableIsSet("NERIM_FIRST_PAINT_EXIT"))
                        std::_Exit(0);
                });
                break;
            }
        }
        return false;
    }

private:
    QByteArray m_className;
};

void installReporter()
{
    const QByteArray className = qgetenv("NERIM_FIRST_PAINT_CLASS");
    if (className.isEmpty())
        return;
    auto *reporter = new FirstPaintReporter(className);
    reporter->moveToThread(QCoreApplication::instance()->thread());
    QCoreApplication::instance()->installEventFilter(reporter);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installReporter)
