#include "platform/LibsecretStore.h"

#include "foundation/Log.h"

#include <QFileInfo>
#include <condition_variable>
#include <dlfcn.h>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

// glib names a struct member "signals", which Qt defines as a macro.
#pragma push_macro("signals")
#undef signals
#include <libsecret/secret.h>
#pragma pop_macro("signals")

namespace nerim::platform {

namespace {

// The keyring client is loaded the first time the store is used, so that
// Nerim starts without it (and without GIO, which it brings). Only the few
// functions used below are resolved; GLib's come through the client's own
// dependencies.
struct SecretLibrary {
    decltype(&secret_password_lookup_binary_sync) lookupBinary = nullptr;
    decltype(&secret_password_store_binary_sync) storeBinary = nullptr;
    decltype(&secret_password_clear_sync) clear = nullptr;
    decltype(&secret_value_new) valueNew = nullptr;
    decltype(&secret_value_get) valueGet = nullptr;
    decltype(&secret_value_unref) valueUnref = nullptr;
    decltype(&g_cancellable_new) cancellableNew = nullptr;
    decltype(&g_cancellable_cancel) cancellableCancel = nullptr;
    decltype(&g_object_unref) objectUnref = nullptr;
    decltype(&g_error_free) errorFree = nullptr;
    decltype(&g_io_error_quark) ioErrorQuark = nullptr;
    decltype(&g_dbus_error_quark) dbusErrorQuark = nullptr;
    QString error; // why it could not be loaded; empty once loaded

    bool loaded() const { return error.isEmpty(); }
};

const SecretLibrary &secretLibrary()
{
    static const SecretLibrary library = [] {
        SecretLibrary l;
        // Never closed: worker threads left to finish on their own may still be in it.
        void *handle = dlopen(LibsecretStore::libraryName, RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            l.error = QString::fromLocal8Bit(dlerror());
        } else {
            QStringList missing;
            const auto resolve = [&](auto &function, const char *name) {
                function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(dlsym(handle, name));
                if (!function)
                    missing << QString::fromLatin1(name);
            };
            resolve(l.lookupBinary, "secret_password_lookup_binary_sync");
            resolve(l.storeBinary, "secret_password_store_binary_sync");
            resolve(l.clear, "secret_password_clear_sync");
            resolve(l.valueNew, "secret_value_new");
            resolve(l.valueGet, "secret_value_get");
            resolve(l.valueUnref, "secret_value_unref");
            resolve(l.cancellableNew, "g_cancellable_new");
            resolve(l.cancellableCancel, "g_cancellable_cancel");
            resolve(l.objectUnref, "g_object_unref");
            resolve(l.errorFree, "g_error_free");
            resolve(l.ioErrorQuark, "g_io_error_quark");
            resolve(l.dbusErrorQuark, "g_dbus_error_quark");
            if (!missing.isEmpty())
                l.error =
                    QStringLiteral("%1 lacks %2")
                        .arg(QString::fromLatin1(LibsecretStore::libraryName), missing.join(QStringLiteral(", ")));
        }
        if (!l.loaded())
            logLine(QStringLiteral("[Nerim] The system keyring is unavailable: its client library couldn't be "
                                   "loaded (%1)")
                        .arg(l.error));
        return l;
    }();
    return library;
}

const SecretSchema *itemSchema()
{
    // Items are found by their two attributes alone, whichever program made them.
    static const SecretSchema schema = [] {
        SecretSchema s{};
        s.name = "app.nerim.GenericPassword";
        s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        s.attributes[0].name = "service";
        s.attributes[0].type = SECRET_SCHEMA_ATTRIBUTE_STRING;
        s.attributes[1].name = "account";
        s.attributes[1].type = SECRET_SCHEMA_ATTRIBUTE_STRING;
        s.attributes[2].name = nullptr;
        return s;
    }();
    return &schema;
}

QString takeError(GError *error)
{
    if (!error)
        return QString();
    const QString message = QString::fromUtf8(error->message);
    secretLibrary().errorFree(error);
    return message;
}

// A GError from the bus itself (no Secret Service to talk to) versus an error
// the keyring answered with.
SecretStore::Status classify(const GError *error)
{
    if (error->domain == secretLibrary().ioErrorQuark() && error->code == G_IO_ERROR_CANCELLED)
        return SecretStore::Status::serviceUnavailable;
    if (error->domain == secretLibrary().dbusErrorQuark() || error->domain == secretLibrary().ioErrorQuark())
        return SecretStore::Status::serviceUnavailable;
    return SecretStore::Status::failure;
}

SecretStore::ReadOutcome failed(GError *error)
{
    SecretStore::ReadOutcome outcome;
    outcome.status = classify(error);
    outcome.detail = takeError(error);
    return outcome;
}

// Runs `work` on a worker thread and waits at most `timeout` for it. On
// expiry the work is cancelled and left to finish on its own; its result is
// dropped.
template <typename Result>
Result runBounded(std::chrono::milliseconds timeout, std::function<Result(GCancellable *)> work, Result onTimeout)
{
    struct Shared {
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
        Result result;
        GCancellable *cancellable = secretLibrary().cancellableNew();
        ~Shared() { secretLibrary().objectUnref(cancellable); }
    };
    auto shared = std::make_shared<Shared>();
    std::thread([shared, work = std::move(work)] {
        Result result = work(shared->cancellable);
        std::lock_guard lock(shared->mutex);
        shared->result = std::move(result);
        shared->done = true;
        shared->finished.notify_all();
    }).detach();
    std::unique_lock lock(shared->mutex);
    if (shared->finished.wait_for(lock, timeout, [&] { return shared->done; }))
        return std::move(shared->result);
    secretLibrary().cancellableCancel(shared->cancellable);
    return onTimeout;
}

SecretStore::ReadOutcome lookup(const QByteArray &service, const QByteArray &account, GCancellable *cancellable)
{
    GError *error = nullptr;
    SecretValue *value = secretLibrary().lookupBinary(itemSchema(), cancellable, &error, "service", service.constData(),
                                                      "account", account.constData(), nullptr);
    if (error)
        return failed(error);
    SecretStore::ReadOutcome outcome;
    if (!value) {
        outcome.status = SecretStore::Status::itemNotFound;
        return outcome;
    }
    gsize length = 0;
    const gchar *bytes = secretLibrary().valueGet(value, &length);
    outcome.secret = QByteArray(bytes, qsizetype(length));
    secretLibrary().valueUnref(value);
    return outcome;
}

SecretStore::Outcome store(const QByteArray &service, const QByteArray &account, const QByteArray &secret,
                           const QByteArray &label, GCancellable *cancellable)
{
    GError *error = nullptr;
    SecretValue *value = secretLibrary().valueNew(secret.constData(), secret.size(), "text/plain");
    const gboolean stored =
        secretLibrary().storeBinary(itemSchema(), SECRET_COLLECTION_DEFAULT, label.constData(), value, cancellable,
                                    &error, "service", service.constData(), "account", account.constData(), nullptr);
    secretLibrary().valueUnref(value);
    SecretStore::Outcome outcome;
    if (error) {
        outcome.status = classify(error);
        outcome.detail = takeError(error);
    } else if (!stored) {
        outcome.status = SecretStore::Status::failure;
        outcome.detail = QStringLiteral("the keyring did not store the item");
    }
    return outcome;
}

SecretStore::Outcome asOutcome(const SecretStore::ReadOutcome &read)
{
    return SecretStore::Outcome{read.status, read.detail};
}

SecretStore::Outcome timedOut(std::chrono::milliseconds timeout)
{
    return SecretStore::Outcome{SecretStore::Status::serviceUnavailable,
                                QStringLiteral("the system keyring did not answer within %1 ms").arg(timeout.count())};
}

SecretStore::Outcome noBus()
{
    return SecretStore::Outcome{SecretStore::Status::serviceUnavailable,
                                QStringLiteral("no D-Bus session bus is available for the system keyring")};
}

SecretStore::Outcome noLibrary()
{
    return SecretStore::Outcome{
        SecretStore::Status::serviceUnavailable,
        QStringLiteral("the system keyring's client library couldn't be loaded (%1)").arg(secretLibrary().error)};
}

// Why the store cannot be used at all (no bus, no client library), or nothing.
std::optional<SecretStore::Outcome> unusable()
{
    if (!LibsecretStore::sessionBusAvailable())
        return noBus();
    if (!secretLibrary().loaded())
        return noLibrary();
    return std::nullopt;
}

} // namespace

LibsecretStore::LibsecretStore(std::chrono::milliseconds timeout)
    : m_timeout(timeout)
{
}

bool LibsecretStore::sessionBusAvailable()
{
    const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    if (address == noBusAddress)
        return false;
    if (!address.isEmpty())
        return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus"));
}

bool LibsecretStore::startNoSessionBus()
{
    if (sessionBusAvailable())
        return true;
    static std::once_flag said;
    std::call_once(said, [] {
        logLine(QStringLiteral("[Nerim] No D-Bus session bus: the system keyring is unavailable (no bus is "
                               "started for it)"));
    });
    qputenv("DBUS_SESSION_BUS_ADDRESS", noBusAddress);
    return false;
}

SecretStore::ReadOutcome LibsecretStore::read(const QString &service, const QString &account)
{
    if (const auto outcome = unusable())
        return ReadOutcome{outcome->status, outcome->detail, {}};
    const Outcome late = timedOut(m_timeout);
    return runBounded<ReadOutcome>(
        m_timeout,
        [service = service.toUtf8(), account = account.toUtf8()](GCancellable *cancellable) {
            return lookup(service, account, cancellable);
        },
        ReadOutcome{late.status, late.detail, {}});
}

SecretStore::Outcome LibsecretStore::add(const QString &service, const QString &account, const QByteArray &secret,
                                         const QString &label)
{
    if (const auto outcome = unusable())
        return *outcome;
    return runBounded<Outcome>(
        m_timeout,
        [service = service.toUtf8(), account = account.toUtf8(), secret, label = label.toUtf8()](
            GCancellable *cancellable) {
            const ReadOutcome existing = lookup(service, account, cancellable);
            if (existing.status == Status::success)
                return Outcome{Status::duplicateItem, QString()};
            if (existing.status != Status::itemNotFound)
                return asOutcome(existing);
            return store(service, account, secret, label, cancellable);
        },
        timedOut(m_timeout));
}

SecretStore::Outcome LibsecretStore::update(const QString &service, const QString &account, const QByteArray &secret)
{
    if (const auto outcome = unusable())
        return *outcome;
    return runBounded<Outcome>(
        m_timeout,
        [service = service.toUtf8(), account = account.toUtf8(), secret](GCancellable *cancellable) {
            const ReadOutcome existing = lookup(service, account, cancellable);
            if (existing.status != Status::success)
                return asOutcome(existing);
            // Storing an item with the same attributes replaces its secret.
            return store(service, account, secret, QByteArrayLiteral("Nerim secret"), cancellable);
        },
        timedOut(m_timeout));
}

SecretStore::Outcome LibsecretStore::remove(const QString &service, const QString &account)
{
    if (const auto outcome = unusable())
        return *outcome;
    return runBounded<Outcome>(
        m_timeout,
        [service = service.toUtf8(), account = account.toUtf8()](GCancellable *cancellable) {
            GError *error = nullptr;
            const gboolean removed =
                secretLibrary().clear(itemSchema(), cancellable, &error, "service", service.constData(), "account",
                                      account.constData(), nullptr);
            if (error)
                return Outcome{classify(error), takeError(error)};
            return removed ? Outcome{} : Outcome{Status::itemNotFound, QString()};
        },
        timedOut(m_timeout));
}

} // namespace nerim::platform
