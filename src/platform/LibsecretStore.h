#pragma once

#include "platform/SecretStore.h"

#include <chrono>

namespace nerim::platform {

// SecretStore over the freedesktop Secret Service (gnome-keyring, KWallet...)
// through libsecret. Items carry the attributes "service" and "account".
//
// Each call runs libsecret's synchronous API on a short-lived worker thread
// and waits for it at most `timeout`; a keyring that does not answer in time
// (a locked collection waiting on an unlock prompt, a stuck bus) is cancelled
// and reported as serviceUnavailable. Without a session bus the call fails at
// once, before libsecret is asked. libsecret itself is loaded on the first
// call that needs it; when it cannot be loaded, that is logged once and every
// call reports serviceUnavailable.
//
// The one item Nerim keeps in the desktop's keyring is the managed-keys
// session token (service "app.nerim.managed-keys", account "session-token";
// see Credentials.h, whose callers read the item before changing it and judge
// a failed write or clear by reading it back, since an abandoned call may
// still be carried out).
// libsecret is opened with dlopen, and no call is made at start, so a start
// never loads it. `main` calls startNoSessionBus first; what Nerim starts
// inherits the "disabled:" address.
class LibsecretStore final : public SecretStore {
public:
    explicit LibsecretStore(std::chrono::milliseconds timeout = std::chrono::seconds(5));

    ReadOutcome read(const QString &service, const QString &account) override;
    Outcome add(const QString &service, const QString &account, const QByteArray &secret,
                const QString &label) override;
    Outcome update(const QString &service, const QString &account, const QByteArray &secret) override;
    Outcome remove(const QString &service, const QString &account) override;

    // True when a D-Bus session bus address is known (from the environment or
    // the standard socket in $XDG_RUNTIME_DIR).
    static bool sessionBusAvailable();

    // Without a session bus, libdbus (Qt's D-Bus, the accessibility bridge)
    // and GLib (libsecret) would each start one of their own by running
    // `dbus-launch --autolaunch`, whose dbus-daemon outlives Nerim. When no
    // bus is there, this names a bus address that starts nothing
    // (`noBusAddress`) in the environment of this process and of what it
    // starts, and says once in the log that the system keyring is
    // unavailable; calls to the store then fail at once. Returns whether a
    // session bus is there. Call first thing in main, before any thread.
    static bool startNoSessionBus();

    // An address of an unknown kind: every D-Bus library fails to connect to
    // it at once, and none starts a bus in its place.
    static inline const char *const noBusAddress = "disabled:";

    // The keyring client library, loaded on first use.
    static inline const char *const libraryName = "libsecret-1.so.0";

private:
    std::chrono::milliseconds m_timeout;
};

} // namespace nerim::platform
