// Without a session bus Nerim says once that the keyring is unavailable and
// starts no bus: D-Bus libraries asked for the session bus afterwards fail at
// once instead of running `dbus-launch --autolaunch`, whose bus would outlive
// Nerim.
#include "foundation/Log.h"
#include "platform/LibsecretStore.h"

#include "TestEnvironment.h"

#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

#pragma push_macro("signals")
#undef signals
#include <gio/gio.h>
#pragma pop_macro("signals")

using nerim::platform::LibsecretStore;
using Status = nerim::platform::SecretStore::Status;

TEST(SessionBusAbsent, TheKeyringIsSaidUnavailableOnceAndNoBusIsStarted)
{
    // No bus: no address, an empty runtime folder, an X display to autolaunch
    // on, and a `dbus-launch` of the test's own first on PATH that records
    // being run.
    const QString folder = nerim::test::makeTempDir(QStringLiteral("no-bus"));
    const QString called = folder + QStringLiteral("/dbus-launch-was-run");
    const QString fake = folder + QStringLiteral("/dbus-launch");
    ASSERT_TRUE(nerim::test::writeFile(fake, QStringLiteral("#!/bin/sh\necho \"$@\" >> '%1'\nexit 1\n").arg(called).toUtf8()));
    ASSERT_TRUE(QFile::setPermissions(fake, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(folder));
    qputenv("DISPLAY", ":77");
    qputenv("PATH", QFile::encodeName(folder) + ':' + qgetenv("PATH"));
    ASSERT_FALSE(LibsecretStore::sessionBusAvailable());

    QStringList logged;
    const nerim::LogSink previous = nerim::setLogSink([&](const QString &line) { logged.append(line); });
    EXPECT_FALSE(LibsecretStore::startNoSessionBus());
    EXPECT_FALSE(LibsecretStore::startNoSessionBus());
    nerim::setLogSink(previous);
    ASSERT_EQ(logged.size(), 1);
    EXPECT_TRUE(logged.first().contains(QStringLiteral("keyring is unavailable")));
    EXPECT_FALSE(LibsecretStore::sessionBusAvailable());

    // The store fails at once; GLib's way to the session bus (the one
    // libsecret takes) starts nothing.
    EXPECT_EQ(LibsecretStore().read(QStringLiteral("app.nerim.test"), QStringLiteral("x")).status,
              Status::serviceUnavailable);
    GError *error = nullptr;
    gchar *address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    GDBusConnection *bus = address ? g_dbus_connection_new_for_address_sync(
                                         address,
                                         GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                                         nullptr, nullptr, &error)
                                   : nullptr;
    EXPECT_EQ(bus, nullptr);
    if (bus)
        g_object_unref(bus);
    g_free(address);
    if (error)
        g_error_free(error);
    EXPECT_FALSE(QFileInfo::exists(called)) << "dbus-launch was run";

    // Where a bus is there, nothing is changed.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    EXPECT_TRUE(LibsecretStore::startNoSessionBus());
    EXPECT_EQ(qgetenv("DBUS_SESSION_BUS_ADDRESS"), QByteArray("unix:path=/nonexistent/bus"));
}
