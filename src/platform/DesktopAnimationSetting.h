#pragma once

#include <QObject>
#include <QPointer>
#include <optional>

class QDBusPendingCallWatcher;
class QDBusVariant;
class QProcess;

namespace nerim {

// Whether the desktop wants interface animations: GNOME's
// org.gnome.desktop.interface enable-animations, read through the desktop
// settings portal (and followed through its SettingChanged signal) or, when no
// portal answers, once through `gsettings`. Until a reading arrives, and when
// neither source is there, nothing is known (callers assume animations on).
// Everything is asynchronous; nothing here blocks the thread it runs on.
class DesktopAnimationSetting : public QObject {
    Q_OBJECT
public:
    explicit DesktopAnimationSetting(QObject *parent = nullptr);
    ~DesktopAnimationSetting() override;

    // Starts reading the desktop's setting (once).
    void start();

    std::optional<bool> animationsEnabled() const { return m_enabled; }

    // Records a reading; emits the signal when it differs from the last one.
    void setAnimationsEnabled(bool enabled);

    // Parses a `gsettings get` answer ("true" / "false" with a line end).
    static std::optional<bool> parseGsettingsValue(const QByteArray &output);

    // While held, a reading that needs `gsettings` waits to start its process
    // until release: the application holds it from its start until its first
    // window is on the screen and the process reaper is in place. (The
    // portal's reading, a message on the bus, is never held.) GUI thread only.
    static void holdProcesses();
    static void releaseProcesses();
    // Whether this object waits for the release to start `gsettings`.
    bool isWaitingForRelease() const { return m_waitingForRelease; }

signals:
    void animationsEnabledChanged(bool enabled);

private slots:
    void onPortalSettingChanged(const QString &nameSpace, const QString &key, const QDBusVariant &value);

private:
    void readPortal(const QString &method);
    void onPortalReply(QDBusPendingCallWatcher *watcher, const QString &method);
    void readGsettings();

    std::optional<bool> m_enabled;
    bool m_started = false;
    bool m_waitingForRelease = false;
    QPointer<QProcess> m_gsettings;
};

} // namespace nerim
