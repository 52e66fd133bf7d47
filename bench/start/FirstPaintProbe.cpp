// Put into a program with LD_PRELOAD by the start benchmark: prints "painted"
// on standard output once the first paint of a widget of the class named by
// NERIM_FIRST_PAINT_CLASS (or of a widget inside one) is done. The program
// itself is unchanged, so an earlier build can be measured the same way.
// With NERIM_FIRST_PAINT_EXIT set, the program ends right after it (for
// profiling the start alone).
//
// "Done" is when the paint under way is on the screen: the report is posted
// at high priority, so that it is handled as soon as the painting returns to
// the event loop, ahead of whatever the program queued meanwhile for later
// (which would otherwise count as start time the first picture never waited
// for); then, on X11, a round trip to the X server (a request it answers only
// after every request sent before it, the picture's included) says the
// server holds the pixels.
#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>
#include <dlfcn.h>
#include <QWidget>
#include <cstdio>
#include <cstdlib>

namespace {

const QEvent::Type kReport = QEvent::Type(QEvent::User + 0x5eed);

// Waits until the X server has handled every request the program sent. The
// xcb functions are taken from the xcb library Qt's platform plugin loaded,
// so the probe needs no headers or library of its own.
void waitForTheServer()
{
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection())
        return;
    struct Cookie {
        unsigned int sequence;
    };
    using Request = Cookie (*)(xcb_connection_t *);
    using Reply = void *(*)(xcb_connection_t *, Cookie, void **);
    const auto request = reinterpret_cast<Request>(dlsym(RTLD_DEFAULT, "xcb_get_input_focus"));
    const auto reply = reinterpret_cast<Reply>(dlsym(RTLD_DEFAULT, "xcb_get_input_focus_reply"));
    if (request && reply)
        std::free(reply(x11->connection(), request(x11->connection()), nullptr));
}

class FirstPaintReporter : public QObject {
public:
    explicit FirstPaintReporter(QByteArray className) : m_className(std::move(className)) {}

    bool event(QEvent *event) override
    {
        if (event->type() != kReport)
            return QObject::event(event);
        waitForTheServer();
        std::printf("painted\n");
        std::fflush(stdout);
        if (qEnvironmentVariableIsSet("NERIM_FIRST_PAINT_EXIT"))
            std::_Exit(0);
        return true;
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::Paint || !watched->isWidgetType())
            return false;
        for (QObject *object = watched; object; object = object->parent()) {
            if (object->inherits(m_className.constData())) {
                QCoreApplication::instance()->removeEventFilter(this);
                QCoreApplication::postEvent(this, new QEvent(kReport), Qt::HighEventPriority);
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
