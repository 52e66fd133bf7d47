#include "platform/DesktopAnimationSetting.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QProcess>

#include <utility>

namespace nerim {

namespace {

const QString kPortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kPortalInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString kNamespace = QStringLiteral("org.gnome.desktop.interface");
const QString kKey = QStringLiteral("enable-animations");

bool processesHeld = false;
QList<QPointer<DesktopAnimationSetting>> &waitingForRelease()
{
    static QList<QPointer<DesktopAnimationSetting>> waiting;
    return waiting;
}

// The portal's older Read method wraps the value in one more variant.
std::optional<bool> unwrapBool(QVariant value)
{
    for (int depth = 0; depth < 4 && value.userType() == qMetaTypeId<QDBusVariant>(); ++depth)
        value = qvariant_cast<QDBusVariant>(value).variant();
    if (value.userType() == QMetaType::Bool)
        return value.toBool();
    return std::nullopt;
}

} // namespace

DesktopAnimationSetting::DesktopAnimationSetting(QObject *parent)
    : QObject(parent)
{
}

DesktopAnimationSetting::~DesktopAnimationSetting()
{
    // A `gsettings` still running is a child object; QProcess ends it.
    if (m_gsettings)
        m_gsettings->disconnect(this);
}

void DesktopAnimationSetting::start()
{
    if (m_started)
        return;
    m_started = true;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        readGsettings();
        return;
    }
    bus.connect(kPortalService, kPortalPath, kPortalInterface, QStringLiteral("SettingChanged"), this,
                SLOT(onPortalSettingChanged(QString, QString, QDBusVariant)));
    readPortal(QStringLiteral("ReadOne"));
}

void DesktopAnimationSetting::setAnimationsEnabled(bool enabled)
{
    if (m_enabled == enabled)
        return;
    m_enabled = enabled;
    emit animationsEnabledChanged(enabled);
}

std::optional<bool> DesktopAnimationSetting::parseGsettingsValue(const QByteArray &output)
{
    const QByteArray value = output.trimmed();
    if (value == "true")
        return true;
    if (value == "false")
        return false;
    return std::nullopt;
}

void DesktopAnimationSetting::onPortalSettingChanged(const QString &nameSpace, const QString &key,
                                                     const QDBusVariant &value)
{
    if (nameSpace != kNamespace || key != kKey)
        return;
    if (const auto enabled = unwrapBool(value.variant()))
        setAnimationsEnabled(*enabled);
}

void DesktopAnimationSetting::readPortal(const QString &method)
{
    QDBusMessage call = QDBusMessage::createMethodCall(kPortalService, kPortalPath, kPortalInterface, method);
    call << kNamespace << kKey;
    // Ask a portal that is already running; never start one just for this.
    call.setAutoStartService(false);
    auto *watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, method](QDBusPendingCallWatcher *w) { onPortalReply(w, method); });
}

void DesktopAnimationSetting::onPortalReply(QDBusPendingCallWatcher *watcher, const QString &method)
{
    watcher->deleteLater();
    const QDBusMessage reply = watcher->reply();
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
        if (const auto enabled = unwrapBool(reply.arguments().constFirst())) {
            setAnimationsEnabled(*enabled);
            return;
        }
    }
    // Portals before version 2 only have Read.
    if (method == QLatin1String("ReadOne") && reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod")) {
        readPortal(QStringLiteral("Read"));
        return;
    }
    readGsettings();
}

void DesktopAnimationSetting::holdProcesses()
{
    processesHeld = true;
}

void DesktopAnimationSetting::releaseProcesses()
{
    processesHeld = false;
    const QList<QPointer<DesktopAnimationSetting>> waiting = std::exchange(waitingForRelease(), {});
    for (const QPointer<DesktopAnimationSetting> &setting : waiting) {
        if (setting && setting->m_waitingForRelease) {
            setting->m_waitingForRelease = false;
            setting->readGsettings();
        }
    }
}

void DesktopAnimationSetting::readGsettings()
{
    if (m_gsettings || m_waitingForRelease)
        return;
    if (processesHeld) {
        m_waitingForRelease = true;
        waitingForRelease().append(this);
        return;
    }
    auto *process = new QProcess(this);
    m_gsettings = process;
    process->setProgram(QStringLiteral("gsettings"));
    process->setArguments({QStringLiteral("get"), kNamespace, kKey});
    process->setStandardInputFile(QProcess::nullDevice());
    process->setProcessChannelMode(QProcess::SeparateChannels);
    connect(process, &QProcess::finished, this, [this, process](int exitCode, QProcess::ExitStatus status) {
        if (status == QProcess::NormalExit && exitCode == 0) {
            if (const auto enabled = parseGsettingsValue(process->readAllStandardOutput()))
                setAnimationsEnabled(*enabled);
        }
        process->deleteLater();
    });
    connect(process, &QProcess::errorOccurred, this, [process](QProcess::ProcessError error) {
        // Not installed: the desktop has no say; animations stay on.
        if (error == QProcess::FailedToStart)
            process->deleteLater();
    });
    process->start();
}

} // namespace nerim
