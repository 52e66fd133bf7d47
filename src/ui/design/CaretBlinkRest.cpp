#include "ui/design/CaretBlinkRest.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QEvent>
#include <QGuiApplication>
#include <QPointer>
#include <QStyleHints>

namespace nerim {

namespace {

// Longer than a day is the desktop's way of saying "never stop" (GTK's
// default there is the largest integer).
constexpr qint64 kLongestTimeoutSeconds = 24 * 60 * 60;

bool isInput(QEvent::Type type)
{
    switch (type) {
    case QEvent::KeyPress:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::InputMethod:
    case QEvent::TouchBegin:
    case QEvent::FocusIn:
        return true;
    default:
        return false;
    }
}

} // namespace

CaretBlinkRest &CaretBlinkRest::shared()
{
    static QPointer<CaretBlinkRest> instance;
    if (!instance)
        instance = new CaretBlinkRest(QCoreApplication::instance());
    return *instance;
}

CaretBlinkRest::CaretBlinkRest(QObject *parent)
    : QObject(parent)
    , m_awakeFlashTime(QGuiApplication::styleHints()->cursorFlashTime())
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(m_timeout);
    connect(&m_timer, &QTimer::timeout, this, &CaretBlinkRest::rest);
    QCoreApplication::instance()->installEventFilter(this);
    m_timer.start();
    readDesktopTimeout();
}

std::optional<std::chrono::milliseconds> CaretBlinkRest::timeoutForDesktopSeconds(qint64 seconds)
{
    if (seconds <= 0)
        return defaultTimeout;
    if (seconds > kLongestTimeoutSeconds)
        return std::nullopt;
    return std::chrono::milliseconds(seconds * 1000);
}

void CaretBlinkRest::setTimeout(std::chrono::milliseconds timeout)
{
    m_timeout = timeout;
    m_neverRests = false;
    m_timer.setInterval(timeout);
    wake();
}

bool CaretBlinkRest::eventFilter(QObject *watched, QEvent *event)
{
    if (isInput(event->type()))
        wake();
    return QObject::eventFilter(watched, event);
}

void CaretBlinkRest::wake()
{
    if (m_resting) {
        m_resting = false;
        QGuiApplication::styleHints()->setCursorFlashTime(m_awakeFlashTime);
        emit restingChanged(false);
    }
    if (m_neverRests)
        m_timer.stop();
    else
        m_timer.start();
}

void CaretBlinkRest::rest()
{
    // Carets that never blink have nothing to rest from.
    if (m_resting || m_awakeFlashTime <= 0)
        return;
    m_resting = true;
    QGuiApplication::styleHints()->setCursorFlashTime(0);
    emit restingChanged(true);
}

void CaretBlinkRest::readDesktopTimeout()
{
    // One question to a settings portal that is already running; without a
    // session bus or a portal the default stands (no helper program is run
    // for this).
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.portal.Desktop"), QStringLiteral("/org/freedesktop/portal/desktop"),
        QStringLiteral("org.freedesktop.portal.Settings"), QStringLiteral("ReadOne"));
    call << QStringLiteral("org.gnome.desktop.interface") << QStringLiteral("cursor-blink-timeout");
    call.setAutoStartService(false);
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        const QDBusMessage reply = w->reply();
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return;
        QVariant value = reply.arguments().constFirst();
        for (int depth = 0; depth < 4 && value.userType() == qMetaTypeId<QDBusVariant>(); ++depth)
            value = qvariant_cast<QDBusVariant>(value).variant();
        bool ok = false;
        const qint64 seconds = value.toLongLong(&ok);
        if (!ok)
            return;
        const std::optional<std::chrono::milliseconds> timeout = timeoutForDesktopSeconds(seconds);
        if (!timeout) {
            m_neverRests = true;
            wake();
            return;
        }
        m_timeout = *timeout;
        m_timer.setInterval(m_timeout);
        if (!m_resting)
            m_timer.start();
    });
}

} // namespace nerim
